// Opening an archive, loading its directory tree, and reading block chains.
#include "marrowvane_dat/dat_database.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <new>
#include <unordered_set>

#include <fcntl.h>
#include <unistd.h>

#include "marrowvane_dat/utils.hpp"

namespace marrowvane_dat {
namespace {

// Every block starts with the absolute offset of the next one.
constexpr std::uint32_t LINK_SIZE = 4;
// Reads larger than this are split so that a size nobody can back never turns into
// one huge allocation before the first byte has been read.
constexpr std::uint64_t MAX_READ_PIECE = std::uint64_t{1} << 20;

std::string hex_offset(std::uint64_t offset) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(offset));
  return text;
}

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
    // The system call would stop at a NUL byte and open some other file.
    if (path.native().find('\0') != std::string::npos) {
      return std::unexpected(DatError::PathError{path, IoError::from_errno(EINVAL)});
    }
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
      const int code = errno;
      return std::unexpected(DatError::PathError{path, IoError::from_errno(code)});
    }
    if (::lseek(fd.get(), static_cast<off_t>(DatHeader::OFFSET), SEEK_SET) < 0) {
      return std::unexpected(IoError::from_errno(errno));
    }
    FdReader reader(fd.get(), DatHeader::OFFSET);
    auto header = DatHeader::read(reader);
    if (!header) {
      return std::unexpected(std::move(header.error()));
    }
    return finish_open(std::move(*header), std::make_unique<FileSource>(std::move(fd)));
  } catch (const std::bad_alloc&) {
    return std::unexpected(out_of_memory());
  }
}

Result<DatDatabase> DatDatabase::open(std::unique_ptr<ArchiveSource> source) {
  if (!source) {
    return std::unexpected(DatError::Other{"no archive source was given"});
  }
  try {
    SourceReader reader(*source, DatHeader::OFFSET);
    auto header = DatHeader::read(reader);
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
  if (auto loaded = database.read_directory(); !loaded) {
    return std::unexpected(std::move(loaded.error()));
  }
  return database;
}

// Walks the tree depth-first, pre-order, with an explicit stack: a node's entries go
// into the map before its children, children in slot order, so an id that occurs
// twice keeps the entry met last. Every node offset is remembered and a node reached
// a second time is refused: that ends a loop, and it also stops a damaged directory
// whose nodes share children from being walked over and over, which could take
// exponentially long without ever looping.
Result<void> DatDatabase::read_directory() {
  std::vector<std::uint32_t> pending;
  if (header_.root_offset != 0) {
    pending.push_back(header_.root_offset);
  }
  std::unordered_set<std::uint32_t> visited;
  std::array<std::uint32_t, DatDirectoryNode::BRANCH_COUNT> branches{};
  while (!pending.empty()) {
    const std::uint32_t offset = pending.back();
    pending.pop_back();
    if (!visited.insert(offset).second) {
      return std::unexpected(
          DatError::Corruption{"directory node at offset " + hex_offset(offset) +
                               " is reached more than once; the directory is not a tree"});
    }
    auto node = read_file_data(offset, DatDirectoryNode::SIZE);
    if (!node) {
      return std::unexpected(std::move(node.error()));
    }
    Cursor cursor(*node);
    // The node buffer always holds SIZE bytes, so the fixed part cannot run short.
    for (std::uint32_t& branch : branches) {
      branch = cursor.read_u32().value_or(0);
    }
    const std::uint32_t entry_count = cursor.read_u32().value_or(0);
    // A count above 61 runs off the end of the node and fails on the 62nd entry.
    for (std::uint64_t i = 0; i < entry_count; ++i) {
      auto entry = DatFileEntry::read(cursor);
      if (!entry) {
        return std::unexpected(std::move(entry.error()));
      }
      files_.insert_or_assign(entry->id, *entry);
    }
    if (branches[0] == 0) {
      continue;
    }
    const std::size_t slots = static_cast<std::size_t>(
        std::min<std::uint64_t>(std::uint64_t{entry_count} + 1, DatDirectoryNode::BRANCH_COUNT));
    for (std::size_t slot = slots; slot-- > 0;) {
      if (branches[slot] != 0) {
        pending.push_back(branches[slot]);
      }
    }
  }
  return {};
}

Result<std::vector<std::uint8_t>> DatDatabase::read_file_data(std::uint32_t offset,
                                                              std::uint32_t size) const {
  if (size == 0) {
    return std::vector<std::uint8_t>{};
  }
  if (header_.block_size <= LINK_SIZE) {
    return std::unexpected(
        DatError::Corruption{"block size " + std::to_string(header_.block_size) +
                             " leaves no room for data after the 4-byte block link"});
  }
  try {
    return read_chain(offset, size);
  } catch (const std::bad_alloc&) {
    return std::unexpected(out_of_memory());
  }
}

Result<std::vector<std::uint8_t>> DatDatabase::read_chain(std::uint32_t offset,
                                                          std::uint32_t size) const {
  const std::uint64_t block_data_size = std::uint64_t{header_.block_size} - LINK_SIZE;
  std::vector<std::uint8_t> buffer;
  // The file cannot back more than its own length unless the chain loops, so the
  // declared size is only trusted that far up front.
  buffer.reserve(static_cast<std::size_t>(
      std::min<std::uint64_t>(size, source_->size_hint().value_or(MAX_READ_PIECE))));

  const auto append = [&](std::uint64_t at, std::uint64_t count) -> std::expected<void, IoError> {
    while (count > 0) {
      const std::size_t piece = static_cast<std::size_t>(std::min(count, MAX_READ_PIECE));
      const std::size_t filled = buffer.size();
      buffer.resize(filled + piece);
      if (auto read = source_->read_exact_at(std::span(buffer).subspan(filled, piece), at); !read) {
        return read;
      }
      at += piece;
      count -= piece;
    }
    return {};
  };

  std::uint32_t remaining = size;
  std::uint64_t current = offset;
  while (remaining > 0) {
    std::uint8_t link_bytes[LINK_SIZE];
    if (auto read = source_->read_exact_at(link_bytes, current); !read) {
      return std::unexpected(read.error());
    }
    const std::uint32_t next = load_le<std::uint32_t>(std::span<const std::uint8_t, 4>(link_bytes));
    // The last block (link 0) supplies everything still missing, reading on past the
    // block's end into the bytes that follow it.
    const std::uint64_t to_read =
        next != 0 ? std::min<std::uint64_t>(remaining, block_data_size) : remaining;
    if (auto read = append(current + LINK_SIZE, to_read); !read) {
      return std::unexpected(read.error());
    }
    remaining -= static_cast<std::uint32_t>(to_read);
    current = next;
  }
  return buffer;
}

Result<std::vector<std::uint8_t>> DatDatabase::get_file(std::uint32_t id) const {
  const auto found = files_.find(id);
  if (found == files_.end()) {
    return std::unexpected(DatError::NotFound{id});
  }
  const DatFileEntry& entry = found->second;
  auto stored = read_file_data(entry.offset, entry.size);
  if (!stored || !entry.is_compressed()) {
    return stored;
  }
  try {
    return decompress_lrs(*stored);
  } catch (const std::bad_alloc&) {
    return std::unexpected(out_of_memory());
  }
}

}  // namespace marrowvane_dat
