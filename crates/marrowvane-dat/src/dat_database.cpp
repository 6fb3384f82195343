// SPDX-License-Identifier: MIT
// Opening an archive from each kind of source, and reading its files by id.
#include "marrowvane_dat/dat_database.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <new>

#include "archive_reader.hpp"
#include "error_texts.hpp"
#include "lrs.hpp"
#include "platform/file_io.hpp"

namespace marrowvane_dat {
namespace {

DatError out_of_memory() {
  return IoError::out_of_memory();
}

// The header's bytes as far as one read got, and the error that stopped it short.
struct HeaderBytes {
  std::array<std::uint8_t, DatHeader::SIZE> bytes{};
  std::size_t got = 0;
  IoError stop = IoError::unexpected_eof();
};

// The record source the header is parsed from: the bytes read, then the error that
// ended the read, so a header cut short names the field it ran out in and the cause
// the read met, without reading anything twice.
class HeaderReader {
 public:
  explicit HeaderReader(const HeaderBytes& read) noexcept : read_(read) {}
  std::expected<void, IoError> read_exact(std::span<std::uint8_t> out) noexcept {
    if (out.size() > read_.got - position_) {
      return std::unexpected(read_.stop);
    }
    std::memcpy(out.data(), read_.bytes.data() + position_, out.size());
    position_ += out.size();
    return {};
  }
  [[nodiscard]] std::uint64_t position() const noexcept { return position_; }
  void seek(std::uint64_t position) noexcept { position_ = static_cast<std::size_t>(position); }

 private:
  const HeaderBytes& read_;
  std::size_t position_ = 0;
};

std::expected<DatHeader, BinReadError> parse_header(const HeaderBytes& read) {
  HeaderReader reader(read);
  return DatHeader::read(reader);
}

// Reads the header through the descriptor's own position: one seek, then reads in
// order until it is whole or the file ends or fails.
Result<DatHeader> read_header(int fd) {
  if (auto moved = detail::seek_to(fd, DatHeader::OFFSET); !moved) {
    return std::unexpected(moved.error());
  }
  HeaderBytes read;
  while (read.got < read.bytes.size()) {
    const auto got = detail::read_some(fd, std::span(read.bytes).subspan(read.got));
    if (!got || *got == 0) {
      if (!got) {
        read.stop = got.error();
      }
      break;
    }
    read.got += *got;
  }
  return parse_header(read);
}

// Reads the header with positional reads at its offset: in one read, and only when
// that fails word by word, which finds where the bytes stop (every field is a whole
// number of 4-byte words) and why.
Result<DatHeader> read_header(const ArchiveSource& source) {
  HeaderBytes read;
  auto whole = source.read_exact_at(read.bytes, DatHeader::OFFSET);
  if (whole) {
    read.got = read.bytes.size();
  }
  constexpr std::size_t WORD = 4;
  while (!whole && read.got < read.bytes.size()) {
    const std::span<std::uint8_t> word = std::span(read.bytes).subspan(read.got, WORD);
    if (auto got = source.read_exact_at(word, DatHeader::OFFSET + read.got); !got) {
      read.stop = got.error();
      break;
    }
    read.got += WORD;
  }
  return parse_header(read);
}

struct OpenedFile {
  UniqueFd fd;
  DatHeader header;
  std::uint64_t length;
};

// Opens `path` for reading without ever blocking, refuses what cannot hold an archive,
// and reads the header through the file position.
Result<OpenedFile> open_file(const std::filesystem::path& path) {
  auto file = detail::open_archive_file(path);
  if (!file) {
    return std::unexpected(std::move(file.error()));
  }
  auto header = read_header(file->fd.get());
  if (!header) {
    return std::unexpected(std::move(header.error()));
  }
  return OpenedFile{std::move(file->fd), std::move(*header), file->length};
}

// Stored bytes of compressed files read for a caller that keeps only the decoded
// ones, reused by later reads on the same thread; a buffer grown past SCRATCH_KEEP is
// given back afterwards so that one huge file does not stay resident.
constexpr std::size_t SCRATCH_KEEP = std::size_t{4} << 20;

class StoredScratch {
 public:
  StoredScratch() noexcept : buffer_(thread_buffer()) {}
  StoredScratch(const StoredScratch&) = delete;
  StoredScratch& operator=(const StoredScratch&) = delete;
  ~StoredScratch() {
    if (buffer_.capacity() > SCRATCH_KEEP) {
      std::vector<std::uint8_t>().swap(buffer_);
    }
  }
  std::vector<std::uint8_t>& get() noexcept { return buffer_; }

 private:
  static std::vector<std::uint8_t>& thread_buffer() noexcept {
    thread_local std::vector<std::uint8_t> buffer;
    return buffer;
  }
  std::vector<std::uint8_t>& buffer_;
};

}  // namespace

struct DatDatabase::Destination {
  // A vector to fill, or null for `span`.
  std::vector<std::uint8_t>* vector = nullptr;
  // True when the vector is the caller's to reuse: its capacity serves as room for the
  // stored bytes too. False for a result handed over to keep, sized to its content.
  bool reused = false;
  std::span<std::uint8_t> span;
};

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

DatDatabase::DatDatabase(DatHeader header, DatFileMap files,
                         std::unique_ptr<detail::ArchiveReader> reader) noexcept
    : header_(std::move(header)), files_(std::move(files)), reader_(std::move(reader)) {}
DatDatabase::DatDatabase(DatDatabase&&) noexcept = default;
DatDatabase& DatDatabase::operator=(DatDatabase&&) noexcept = default;
DatDatabase::~DatDatabase() = default;

Result<DatDatabase> DatDatabase::open(const std::filesystem::path& path) {
  try {
    auto opened = open_file(path);
    if (!opened) {
      return std::unexpected(std::move(opened.error()));
    }
    return open_source(std::move(opened->header),
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
    auto mapped = MemorySource::map(opened->fd.get());
    if (!mapped) {
      return std::unexpected(mapped.error());
    }
    return open_source(std::move(opened->header), std::move(*mapped));
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
    return std::unexpected(detail::no_source());
  }
  try {
    auto header = read_header(*source);
    if (!header) {
      return std::unexpected(std::move(header.error()));
    }
    return open_source(std::move(*header), std::move(source));
  } catch (const std::bad_alloc&) {
    return std::unexpected(out_of_memory());
  }
}

Result<DatDatabase> DatDatabase::open_source(DatHeader header,
                                             std::unique_ptr<ArchiveSource> source) {
  auto reader = std::make_unique<detail::ArchiveReader>(std::move(source), header.block_size);
  auto files = detail::read_directory(*reader, header.root_offset);
  if (!files) {
    return std::unexpected(std::move(files.error()));
  }
  return DatDatabase(std::move(header), std::move(*files), std::move(reader));
}

Result<void> DatDatabase::read_file_data_into(std::uint32_t offset, std::uint32_t size,
                                              std::vector<std::uint8_t>& out) const {
  try {
    return reader_->read_into(offset, size, out);
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
  return out;
}

// Plain bytes go straight to the destination. Compressed ones are read first: into
// the tail of a reused vector, decoded into its head, so one buffer serves both and
// needs no allocation at all once large enough; otherwise into this thread's scratch,
// decoded into the destination.
Result<std::size_t> DatDatabase::read_entry(const DatFileEntry& entry,
                                            const Destination& to) const {
  try {
    if (!entry.is_compressed()) {
      if (to.vector == nullptr && to.span.size() < entry.size) {
        return std::unexpected(detail::buffer_too_small(entry.id, to.span.size(), entry.size));
      }
      auto read = to.vector != nullptr ? reader_->read_into(entry.offset, entry.size, *to.vector)
                                       : reader_->read_into(entry.offset, entry.size, to.span);
      if (!read) {
        return std::unexpected(std::move(read.error()));
      }
      return entry.size;
    }
    if (entry.size == 0) {
      // Nothing stored decompresses to nothing.
      if (to.vector != nullptr) {
        to.vector->clear();
      }
      return 0;
    }
    StoredScratch scratch;
    std::vector<std::uint8_t>& stored = to.reused ? *to.vector : scratch.get();
    if (auto read = reader_->read_into(entry.offset, entry.size, stored); !read) {
      return std::unexpected(std::move(read.error()));
    }
    const std::size_t bound = detail::lrs_output_bound(stored);
    std::span<const std::uint8_t> input = stored;
    std::span<std::uint8_t> output = to.span;
    if (to.reused) {
      stored.resize(bound + entry.size);
      std::memmove(stored.data() + bound, stored.data(), entry.size);
      input = std::span(stored).subspan(bound);
      output = std::span(stored).first(bound);
    } else if (to.vector != nullptr) {
      to.vector->assign(bound, 0);
      output = *to.vector;
    } else if (to.span.size() < bound) {
      return std::unexpected(detail::buffer_too_small(entry.id, to.span.size(), bound));
    }
    const std::size_t made = detail::decompress_lrs_to(input, output);
    if (to.vector != nullptr) {
      to.vector->resize(made);
    }
    return made;
  } catch (const std::bad_alloc&) {
    return std::unexpected(out_of_memory());
  }
}

Result<void> DatDatabase::get_file_into(std::uint32_t id, std::vector<std::uint8_t>& out) const {
  const DatFileEntry* entry = find(id);
  if (entry == nullptr) {
    return std::unexpected(DatError::NotFound{id});
  }
  if (auto read = read_entry(*entry, Destination{.vector = &out, .reused = true, .span = {}});
      !read) {
    return std::unexpected(std::move(read.error()));
  }
  return {};
}

Result<std::size_t> DatDatabase::get_file_to(std::uint32_t id, std::span<std::uint8_t> out) const {
  const DatFileEntry* entry = find(id);
  if (entry == nullptr) {
    return std::unexpected(DatError::NotFound{id});
  }
  return read_entry(*entry, Destination{.vector = nullptr, .reused = false, .span = out});
}

Result<std::vector<std::uint8_t>> DatDatabase::get_file(std::uint32_t id) const {
  const DatFileEntry* entry = find(id);
  if (entry == nullptr) {
    return std::unexpected(DatError::NotFound{id});
  }
  std::vector<std::uint8_t> out;
  if (auto read = read_entry(*entry, Destination{.vector = &out, .reused = false, .span = {}});
      !read) {
    return std::unexpected(std::move(read.error()));
  }
  return out;
}

Result<std::uint32_t> DatDatabase::decompressed_size(std::uint32_t id) const {
  const DatFileEntry* entry = find(id);
  if (entry == nullptr) {
    return std::unexpected(DatError::NotFound{id});
  }
  // Fewer than 4 stored bytes decompress to themselves.
  if (!entry->is_compressed() || entry->size < detail::LRS_SIZE_FIELD) {
    return entry->size;
  }
  try {
    return reader_->declared_size(*entry);
  } catch (const std::bad_alloc&) {
    return std::unexpected(out_of_memory());
  }
}

Result<std::uint32_t> DatDatabase::file_size_bound(std::uint32_t id) const {
  auto declared = decompressed_size(id);
  const DatFileEntry* entry = find(id);
  if (!declared || !entry->is_compressed()) {
    return declared;
  }
  return static_cast<std::uint32_t>(detail::lrs_output_bound(entry->size, *declared));
}

Result<std::vector<std::uint32_t>> DatDatabase::block_offsets(std::uint32_t id) const {
  const DatFileEntry* entry = find(id);
  if (entry == nullptr) {
    return std::unexpected(DatError::NotFound{id});
  }
  try {
    std::vector<std::uint32_t> offsets;
    detail::BlockListSink sink(offsets);
    detail::ChainScratch scratch;
    if (auto walked = reader_->read(entry->offset, entry->size, sink, scratch); !walked) {
      return std::unexpected(std::move(walked.error()));
    }
    return offsets;
  } catch (const std::bad_alloc&) {
    return std::unexpected(out_of_memory());
  }
}

Result<void> DatDatabase::visit_block_offsets(
    std::uint32_t id, const std::function<bool(std::uint32_t)>& visit) const {
  const DatFileEntry* entry = find(id);
  if (entry == nullptr) {
    return std::unexpected(DatError::NotFound{id});
  }
  detail::BlockVisitSink sink(visit);
  detail::ChainScratch scratch;
  try {
    return reader_->read(entry->offset, entry->size, sink, scratch);
  } catch (const std::bad_alloc&) {
    return std::unexpected(out_of_memory());
  }
}

namespace detail {

ArchiveReader::ArchiveReader(std::unique_ptr<ArchiveSource> source, std::uint32_t block_size)
    : source_(std::move(source)),
      archive_length_(source_->size_hint().value_or(std::numeric_limits<std::uint64_t>::max())),
      block_size_(block_size) {
  if (auto geometry = chain_geometry(block_size, archive_length_)) {
    geometry_ = *geometry;
  }
}

Result<const ChainGeometry*> ArchiveReader::geometry() const {
  if (!geometry_) {
    return std::unexpected(block_size_too_small(block_size_));
  }
  return &*geometry_;
}

Result<void> ArchiveReader::read_into(std::uint32_t offset, std::uint32_t size,
                                      std::vector<std::uint8_t>& out) const {
  ChainScratch scratch;
  if (size > 0 && geometry_ && size > geometry_->max_chain_bytes) {
    // No chain in this archive can gather that much, so the read fails; find out how
    // without allocating for the size.
    out.clear();
    DiscardSink discard;
    return read(offset, size, discard, scratch);
  }
  if (size == 0) {
    out.clear();
  }
  VectorSink sink(out, size);
  return read(offset, size, sink, scratch);
}

Result<void> ArchiveReader::read_into(std::uint32_t offset, std::uint32_t size,
                                      std::span<std::uint8_t> out) const {
  ChainScratch scratch;
  if (size > 0 && geometry_ && size > geometry_->max_chain_bytes) {
    DiscardSink discard;
    return read(offset, size, discard, scratch);
  }
  SpanSink sink(out.first(size));
  return read(offset, size, sink, scratch);
}

std::unique_ptr<ArchiveReader> ArchiveReader::copy_in_memory(std::vector<std::uint8_t>& bytes,
                                                             std::uint64_t limit) const {
  const std::optional<std::uint64_t> length = source_->size_hint();
  if (!length || *length > limit || !source_->view_at(0, 1).empty()) {
    return nullptr;
  }
  try {
    bytes.resize(static_cast<std::size_t>(*length));
    if (!source_->read_exact_at(bytes, 0)) {
      return nullptr;
    }
    return std::make_unique<ArchiveReader>(std::make_unique<MemorySource>(std::span(bytes)),
                                           block_size_);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

Result<std::uint32_t> ArchiveReader::declared_size(const DatFileEntry& entry) const {
  std::array<std::uint8_t, LRS_SIZE_FIELD> head{};
  if (auto read = read_into(entry.offset, LRS_SIZE_FIELD, head); !read) {
    return std::unexpected(std::move(read.error()));
  }
  return load_le<std::uint32_t>(std::span<const std::uint8_t, LRS_SIZE_FIELD>(head));
}

}  // namespace detail

}  // namespace marrowvane_dat
