// SPDX-License-Identifier: MIT
// Opening an archive from each kind of source, and reading its files by id.
#include "marrowvane_dat/dat_database.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "block_chain.hpp"
#include "file_length.hpp"
#include "marrowvane_dat/utils.hpp"

namespace marrowvane_dat {
namespace {

// Reads the header of an archive source with positional reads from a running position.
class SourceReader {
 public:
  SourceReader(const ArchiveSource& source, std::uint64_t position) noexcept
      : source_(source), position_(position) {}

  std::expected<void, IoError> read_exact(std::span<std::uint8_t> out) {
    if (auto read = source_.read_exact_at(out, position_); !read) {
      return read;
    }
    position_ += out.size();
    return {};
  }
  [[nodiscard]] std::uint64_t position() const noexcept { return position_; }
  void seek(std::uint64_t position) noexcept { position_ = position; }

 private:
  const ArchiveSource& source_;
  std::uint64_t position_;
};

DatError out_of_memory() {
  return IoError::out_of_memory();
}

struct OpenedFile {
  UniqueFd fd;
  DatHeader header;
  std::uint64_t length;
};

// Reads the header in one go from a reader `make_reader()` gives; only when that fails
// is it read again field by field from a fresh reader (after `rewind()`), which is what
// names the field that ran out.
template <class MakeReader, class Rewind>
std::expected<DatHeader, BinReadError> read_header(MakeReader make_reader, Rewind rewind) {
  std::array<std::uint8_t, DatHeader::SIZE> bytes{};
  if (auto whole = make_reader(); whole.read_exact(bytes)) {
    Cursor cursor(bytes);
    return DatHeader::read(cursor);
  }
  if (!rewind()) {
    return std::unexpected(BinReadError(IoError::from_errno(errno)));
  }
  auto fields = make_reader();
  return DatHeader::read(fields);
}

// Opens `path` for reading without ever blocking, refuses what cannot hold an archive,
// and reads the header through the file position.
Result<OpenedFile> open_file(const std::filesystem::path& path) {
  // The system call would stop at a NUL byte and open some other file.
  if (path.native().find('\0') != std::string::npos) {
    return std::unexpected(DatError::PathError{path, IoError::from_errno(EINVAL)});
  }
  // O_NONBLOCK keeps a FIFO without a writer (or a terminal) from blocking the open; it
  // changes nothing for regular files and block devices.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) {
    const int code = errno;
    return std::unexpected(DatError::PathError{path, IoError::from_errno(code)});
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) {
    const int code = errno;
    return std::unexpected(DatError::PathError{path, IoError::from_errno(code)});
  }
  // Directories fall through: reading one fails like any unreadable header.
  if (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode) || S_ISCHR(info.st_mode)) {
    return std::unexpected(DatError::PathError{path, IoError::unsupported_file_type()});
  }
  // Reads from here on should wait for data like any other file read (the flag means
  // nothing to a regular file, so only the rest pay for clearing it).
  if (!S_ISREG(info.st_mode)) {
    if (const int flags = ::fcntl(fd.get(), F_GETFL);
        flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) < 0) {
      const int code = errno;
      return std::unexpected(DatError::PathError{path, IoError::from_errno(code)});
    }
  }
  const std::uint64_t length = detail::file_length(fd.get(), info).value_or(0);
  if (::lseek(fd.get(), static_cast<off_t>(DatHeader::OFFSET), SEEK_SET) < 0) {
    return std::unexpected(IoError::from_errno(errno));
  }
  auto header = read_header(
      [&] { return FdReader(fd.get(), DatHeader::OFFSET); },
      [&] { return ::lseek(fd.get(), static_cast<off_t>(DatHeader::OFFSET), SEEK_SET) >= 0; });
  if (!header) {
    return std::unexpected(std::move(header.error()));
  }
  return OpenedFile{std::move(fd), std::move(*header), length};
}

}  // namespace

DatKind DatHeader::dat_kind() const noexcept {
  if (magic != MAGIC) {
    return DatKind::Unknown;
  }
  if (block_size == 0x400) {
    return dataset == 1 ? DatKind::Portal : DatKind::Local;
  }
  if (block_size == 0x100) {
    return dataset == 2 ? DatKind::Cell : DatKind::Local;
  }
  return DatKind::Local;
}

Result<DatDatabase> DatDatabase::open(const std::filesystem::path& path) {
  try {
    auto opened = open_file(path);
    if (!opened) {
      return std::unexpected(std::move(opened.error()));
    }
    return finish_open(std::move(opened->header),
                       std::make_unique<FileSource>(std::move(opened->fd), opened->length));
  } catch (const std::bad_alloc&) {
    return std::unexpected(out_of_memory());
  }
}

Result<DatDatabase> DatDatabase::open_mapped(const std::filesystem::path& path) {
  try {
    auto opened = open_file(path);
    if (!opened) {
      return std::unexpected(std::move(opened.error()));
    }
    auto mapped = MappedSource::map(opened->fd.get());
    if (!mapped) {
      return std::unexpected(mapped.error());
    }
    return finish_open(std::move(opened->header), std::move(*mapped));
  } catch (const std::bad_alloc&) {
    return std::unexpected(out_of_memory());
  }
}

Result<DatDatabase> DatDatabase::open_borrowed(std::span<const std::uint8_t> bytes) {
  try {
    return open(std::make_unique<MemorySource>(bytes));
  } catch (const std::bad_alloc&) {
    return std::unexpected(out_of_memory());
  }
}

Result<DatDatabase> DatDatabase::open_owned(std::vector<std::uint8_t> bytes) {
  try {
    return open(std::make_unique<MemorySource>(std::move(bytes)));
  } catch (const std::bad_alloc&) {
    return std::unexpected(out_of_memory());
  }
}

Result<DatDatabase> DatDatabase::open(std::unique_ptr<ArchiveSource> source) {
  if (!source) {
    return std::unexpected(DatError::Other{"no archive source was given"});
  }
  try {
    auto header =
        read_header([&] { return SourceReader(*source, DatHeader::OFFSET); }, [] { return true; });
    if (!header) {
      return std::unexpected(std::move(header.error()));
    }
    return finish_open(std::move(*header), std::move(source));
  } catch (const std::bad_alloc&) {
    return std::unexpected(out_of_memory());
  }
}

Result<DatDatabase> DatDatabase::finish_open(DatHeader header,
                                             std::unique_ptr<ArchiveSource> source) {
  DatDatabase database(std::move(header), std::move(source));
  database.archive_length_ =
      database.source_->size_hint().value_or(std::numeric_limits<std::uint64_t>::max());
  if (auto loaded = database.read_directory(); !loaded) {
    return std::unexpected(std::move(loaded.error()));
  }
  return database;
}

Result<void> DatDatabase::read_file_data_into(std::uint32_t offset, std::uint32_t size,
                                              std::vector<std::uint8_t>& out) const {
  if (size == 0) {
    out.clear();
    return {};
  }
  auto geometry = detail::chain_geometry(header_.block_size, archive_length_);
  if (!geometry) {
    return std::unexpected(std::move(geometry.error()));
  }
  try {
    detail::ChainScratch scratch;
    if (size > geometry->max_chain_bytes()) {
      // No chain in this archive can gather that much, so the read fails; find out how
      // without allocating for the size.
      out.clear();
      return detail::read_chain(*source_, *geometry, offset, size, {}, scratch);
    }
    if (const std::span<const std::uint8_t> image = source_->memory(); !image.empty()) {
      // Copied straight from memory into a vector that grows as it goes: nothing is
      // zero-filled first, even in a fresh or a growing buffer.
      out.clear();
      out.reserve(size);
      return detail::read_chain_appending(image, *geometry, offset, size, out);
    }
    out.resize(std::size_t{size} + detail::CHAIN_SLACK);
    auto read = detail::read_chain(*source_, *geometry, offset, size, out, scratch);
    out.resize(size);
    return read;
  } catch (const std::bad_alloc&) {
    return std::unexpected(out_of_memory());
  }
}

Result<std::vector<std::uint8_t>> DatDatabase::read_file_data(std::uint32_t offset,
                                                              std::uint32_t size) const {
  std::vector<std::uint8_t> out;
  if (auto read = read_file_data_into(offset, size, out); !read) {
    return std::unexpected(std::move(read.error()));
  }
  // The room the read used past the end is not worth keeping beside a small result.
  if (out.capacity() - out.size() > out.size() / 16) {
    try {
      out.shrink_to_fit();
    } catch (const std::bad_alloc&) {
      // Keeping the larger buffer is harmless.
    }
  }
  return out;
}

Result<void> DatDatabase::get_file_into(std::uint32_t id, std::vector<std::uint8_t>& out) const {
  const DatFileEntry* entry = find(id);
  if (entry == nullptr) {
    return std::unexpected(DatError::NotFound{id});
  }
  if (!entry->is_compressed()) {
    return read_file_data_into(entry->offset, entry->size, out);
  }
  // The stored bytes go to the buffer's tail and are decoded into its head, so one
  // buffer serves both and a reused one needs no allocation at all.
  if (auto read = read_file_data_into(entry->offset, entry->size, out); !read) {
    return read;
  }
  if (out.empty()) {
    return {};  // nothing stored decompresses to nothing
  }
  try {
    const std::size_t stored = out.size();
    const std::size_t bound = detail::lrs_output_bound(out);
    out.resize(bound + stored);
    std::memmove(out.data() + bound, out.data(), stored);
    const std::span<const std::uint8_t> input(out.data() + bound, stored);
    out.resize(detail::decompress_lrs_to(input, std::span(out).first(bound)));
    return {};
  } catch (const std::bad_alloc&) {
    return std::unexpected(out_of_memory());
  }
}

Result<std::size_t> DatDatabase::get_file_to(std::uint32_t id, std::span<std::uint8_t> out) const {
  const DatFileEntry* entry = find(id);
  if (entry == nullptr) {
    return std::unexpected(DatError::NotFound{id});
  }
  const auto too_small = [&](std::uint64_t needed) {
    char text[128];
    std::snprintf(text, sizeof text, "a buffer of %zu bytes cannot hold file 0x%08X of %llu bytes",
                  out.size(), id, static_cast<unsigned long long>(needed));
    return std::unexpected(DatError::Other{text});
  };
  if (!entry->is_compressed()) {
    if (out.size() < entry->size) {
      return too_small(entry->size);
    }
    if (entry->size == 0) {
      return 0;
    }
    auto geometry = detail::chain_geometry(header_.block_size, archive_length_);
    if (!geometry) {
      return std::unexpected(std::move(geometry.error()));
    }
    detail::ChainScratch scratch;
    // A size no chain can reach only needs its error found, not room to fail in.
    const bool reachable = entry->size <= geometry->max_chain_bytes();
    if (auto read = detail::read_chain(*source_, *geometry, entry->offset, entry->size,
                                       reachable ? out : std::span<std::uint8_t>(), scratch);
        !read) {
      return std::unexpected(std::move(read.error()));
    }
    return entry->size;
  }
  try {
    std::vector<std::uint8_t> stored;
    if (auto read = read_file_data_into(entry->offset, entry->size, stored); !read) {
      return std::unexpected(std::move(read.error()));
    }
    const std::size_t bound = detail::lrs_output_bound(stored);
    if (out.size() < bound) {
      return too_small(bound);
    }
    return detail::decompress_lrs_to(stored, out);
  } catch (const std::bad_alloc&) {
    return std::unexpected(out_of_memory());
  }
}

Result<std::vector<std::uint8_t>> DatDatabase::get_file(std::uint32_t id) const {
  const DatFileEntry* entry = find(id);
  if (entry == nullptr) {
    return std::unexpected(DatError::NotFound{id});
  }
  if (!entry->is_compressed()) {
    return read_file_data(entry->offset, entry->size);
  }
  // A result handed over for keeping gets its own buffer, sized to the content alone.
  auto stored = read_file_data(entry->offset, entry->size);
  if (!stored) {
    return stored;
  }
  try {
    std::vector<std::uint8_t> out(detail::lrs_output_bound(*stored));
    out.resize(detail::decompress_lrs_to(*stored, out));
    return out;
  } catch (const std::bad_alloc&) {
    return std::unexpected(out_of_memory());
  }
}

Result<std::uint32_t> DatDatabase::decompressed_size(std::uint32_t id) const {
  const DatFileEntry* entry = find(id);
  if (entry == nullptr) {
    return std::unexpected(DatError::NotFound{id});
  }
  constexpr std::uint32_t SIZE_FIELD = 4;
  // Fewer than 4 stored bytes decompress to themselves.
  if (!entry->is_compressed() || entry->size < SIZE_FIELD) {
    return entry->size;
  }
  std::array<std::uint8_t, SIZE_FIELD> head{};
  try {
    std::vector<std::uint8_t> bytes;
    if (auto read = read_file_data_into(entry->offset, SIZE_FIELD, bytes); !read) {
      return std::unexpected(std::move(read.error()));
    }
    std::copy_n(bytes.begin(), SIZE_FIELD, head.begin());
  } catch (const std::bad_alloc&) {
    return std::unexpected(out_of_memory());
  }
  return load_le<std::uint32_t>(std::span<const std::uint8_t, SIZE_FIELD>(head));
}

}  // namespace marrowvane_dat
