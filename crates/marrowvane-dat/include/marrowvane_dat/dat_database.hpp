// SPDX-License-Identifier: MIT
// An open DAT archive: its header, its directory of file entries, and retrieval of
// file bytes by id through block chains.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "marrowvane_dat/archive_source.hpp"
#include "marrowvane_dat/binary_reader.hpp"
#include "marrowvane_dat/directory.hpp"
#include "marrowvane_dat/error.hpp"
#include "marrowvane_dat/export.hpp"

namespace marrowvane_dat {

namespace detail {
class ArchiveReader;
}  // namespace detail

/// The kind of archive, derived from the header's signature, block size and dataset.
enum class DatKind : std::uint8_t {
  Portal = 0,   ///< Signature, 1024-byte blocks, dataset 1.
  Cell = 1,     ///< Signature, 256-byte blocks, dataset 2; file types go by the low 16 bits.
  Local = 2,    ///< Signature with any other block size and dataset; classified like Portal.
  Unknown = 3,  ///< No signature; the archive still opens if it can be read.
};

/// The 80-byte archive header stored at absolute offset 0x140.
struct MARROWVANE_DAT_EXPORT DatHeader {
  /// Absolute file offset of the header.
  static constexpr std::uint64_t OFFSET = 0x140;
  /// Bytes of version_string.
  static constexpr std::size_t VERSION_STRING_SIZE = 16;
  /// 15 u32 fields, the version string, then version_minor.
  static constexpr std::size_t SIZE = 15 * 4 + VERSION_STRING_SIZE + 4;
  /// The signature of a recognised archive.
  static constexpr std::uint32_t MAGIC = 0x5442;

  std::uint32_t magic = 0;       ///< MAGIC when recognised; only dat_kind() looks at it.
  std::uint32_t block_size = 0;  ///< Bytes per block, the 4-byte link word included.
  std::uint32_t file_size = 0;   ///< Kept as read; not checked against the real size.
  std::uint32_t dataset = 0;     ///< An input of dat_kind().
  /// The fields the library keeps as read and never interprets.
  ///@{
  std::uint32_t subset = 0;
  std::uint32_t free_head = 0;
  std::uint32_t free_tail = 0;
  std::uint32_t free_count = 0;
  ///@}
  std::uint32_t root_offset = 0;  ///< Absolute offset of the root node's first block; 0: no files.
  /// Also kept as read and never interpreted.
  ///@{
  std::uint32_t new_lru = 0;
  std::uint32_t old_lru = 0;
  std::uint32_t use_lru = 0;
  std::uint32_t master_map_id = 0;
  std::uint32_t engine_version = 0;
  std::uint32_t game_version = 0;
  ///@}
  /// Exactly 16 bytes as stored: not decoded, not trimmed at a zero byte.
  std::vector<std::uint8_t> version_string = std::vector<std::uint8_t>(VERSION_STRING_SIZE);
  std::uint32_t version_minor = 0;  ///< Kept as read; not interpreted.

  /// Portal for signature 0x5442 with 1024-byte blocks and dataset 1, Cell for 256-byte
  /// blocks and dataset 2, Local for any other block size/dataset with the signature,
  /// Unknown without it.
  [[nodiscard]] DatKind dat_kind() const noexcept;

  /// Reads the 17 fields in order from the source's position. On failure the source is
  /// rewound to where the header started and the error names the field that failed.
  template <ByteSource Source>
  static std::expected<DatHeader, BinReadError> read(Source& in);

  /// Field by field, version_string byte by byte.
  friend bool operator==(const DatHeader&, const DatHeader&) = default;
};

/// An open archive. Owns its header, its directory and its source (closing the file
/// or releasing the mapping when destroyed). Move-only. After opening nothing about it
/// changes, so every const call may run on several threads at once without locking.
class MARROWVANE_DAT_EXPORT DatDatabase {
 public:
  /// The directory's type, as files() returns it.
  using FileMap = DatFileMap;

  /// Opens the archive file at `path` and reads it with pread: reads the header at 0x140
  /// through the file position, then loads the whole directory. Errors: PathError
  /// (cannot open, or a FIFO, socket or character device), Io (seek), BinRead (header),
  /// or the directory's error unchanged. Nothing stays open on failure.
  static Result<DatDatabase> open(const std::filesystem::path& path);
  /// As open(path), but the file is then mapped read-only and read from memory. Same
  /// results and errors, plus Io when the mapping fails. A file truncated by someone
  /// else while it is mapped makes reads of the lost pages fault (SIGBUS).
  static Result<DatDatabase> open_mapped(const std::filesystem::path& path);
  /// Opens an archive already in memory without copying it; the caller keeps `bytes`
  /// alive and unchanged while the database lives. Errors as open(path) minus PathError.
  static Result<DatDatabase> open_borrowed(std::span<const std::uint8_t> bytes);
  /// Opens an archive in memory, taking ownership of the buffer. Errors as open_borrowed.
  static Result<DatDatabase> open_owned(std::vector<std::uint8_t> bytes);
  /// Opens an archive from any source (a test double, a custom store); the header is
  /// read with positional reads at 0x140. Errors as open_borrowed, plus Other for a
  /// null source.
  static Result<DatDatabase> open(std::unique_ptr<ArchiveSource> source);

  /// Move-only: one owner for the source; a moved-from database may only be destroyed or
  /// assigned to.
  ///@{
  DatDatabase(DatDatabase&&) noexcept;
  DatDatabase& operator=(DatDatabase&&) noexcept;
  DatDatabase(const DatDatabase&) = delete;
  DatDatabase& operator=(const DatDatabase&) = delete;
  ~DatDatabase();
  ///@}

  /// The header read at open.
  [[nodiscard]] const DatHeader& header() const noexcept { return header_; }
  /// Every directory entry by file id, in id order.
  [[nodiscard]] const FileMap& files() const noexcept { return files_; }
  /// The archive's kind, from its header.
  [[nodiscard]] DatKind dat_kind() const noexcept { return header_.dat_kind(); }

  /// The entry of `id` without copying it, or null when the directory has none.
  [[nodiscard]] const DatFileEntry* find(std::uint32_t id) const noexcept {
    const auto it = files_.find(id);
    return it == files_.end() ? nullptr : &it->second;
  }
  /// Every entry in id order.
  [[nodiscard]] DatEntryRange entries() const noexcept { return files_.entries(); }
  /// The entries whose ids lie in [first, last], in id order.
  [[nodiscard]] DatEntryRange entries_in_range(std::uint32_t first,
                                               std::uint32_t last) const noexcept {
    return files_.entries_in_range(first, last);
  }

  /// The size of the file once decompressed, without decompressing it: the 4-byte
  /// size prefix of a compressed entry (read from its first block), the stored size
  /// otherwise, and also for a compressed entry storing fewer than 4 bytes (those
  /// decompress to themselves). A compressed entry's prefix is only what it declares:
  /// size buffers by file_size_bound(). Errors: NotFound, those of read_file_data.
  /// Thread-safe.
  [[nodiscard]] Result<std::uint32_t> decompressed_size(std::uint32_t id) const;
  /// The most bytes get_file can return for `id`, without decompressing it: the stored
  /// size of a plain entry; for a compressed one the smaller of its declared size and
  /// what its stored bytes can decode to. A buffer of this size always suffices for
  /// get_file_to. Errors: those of decompressed_size. Thread-safe.
  [[nodiscard]] Result<std::uint32_t> file_size_bound(std::uint32_t id) const;

  /// The absolute offsets of the blocks `id`'s chain passes through, in order, found by
  /// following the links (the payloads are only checked to lie within the archive,
  /// where its length is known; blocks side by side are read in windows of up to
  /// 64 KiB, so a long contiguous chain costs few reads). Lets a caller see which
  /// entries share blocks. Errors: NotFound, Io (a link cannot be read, or the chain
  /// runs past the archive's end), Corruption (as read_file_data). Thread-safe.
  [[nodiscard]] Result<std::vector<std::uint32_t>> block_offsets(std::uint32_t id) const;
  /// Calls `visit` with the offset of each block of `id`'s chain, in block_offsets'
  /// order, until it returns false: the walk ends there and succeeds, so a caller
  /// looking for one block never walks a long chain to its end. Errors: those of
  /// block_offsets met before the walk ends, and NotFound. Thread-safe.
  [[nodiscard]] Result<void> visit_block_offsets(
      std::uint32_t id, const std::function<bool(std::uint32_t)>& visit) const;

  /// Gathers exactly `size` bytes from the block chain starting at `offset`. Size 0
  /// reads nothing. Errors: Io (the archive ends or a read fails), Corruption (a block
  /// size too small to make progress, or a chain that passes through more blocks than
  /// the archive holds on its block grid: its links loop or its blocks overlap).
  /// Thread-safe.
  [[nodiscard]] Result<std::vector<std::uint8_t>> read_file_data(std::uint32_t offset,
                                                                 std::uint32_t size) const;
  /// As read_file_data, into `out` (resized to `size`, its capacity reused). On failure
  /// `out` holds unspecified bytes.
  [[nodiscard]] Result<void> read_file_data_into(std::uint32_t offset, std::uint32_t size,
                                                 std::vector<std::uint8_t>& out) const;
  /// The file's bytes by id, decompressed when its entry says so. Errors: NotFound
  /// (id not in the directory), or those of read_file_data. Thread-safe.
  [[nodiscard]] Result<std::vector<std::uint8_t>> get_file(std::uint32_t id) const;
  /// As get_file, into `out`, reusing its capacity: a loop over many files with one
  /// buffer allocates only when a file is larger than any before. On failure `out`
  /// holds unspecified bytes.
  [[nodiscard]] Result<void> get_file_into(std::uint32_t id, std::vector<std::uint8_t>& out) const;
  /// As get_file, into memory the caller owns: `out` must hold the file's
  /// file_size_bound() (bytes past what is written may be overwritten). Returns how
  /// many bytes the file has, fewer than that bound when a compressed payload ends
  /// early. Errors: those of get_file, and Other, naming the size needed, when `out`
  /// is too small.
  [[nodiscard]] Result<std::size_t> get_file_to(std::uint32_t id,
                                                std::span<std::uint8_t> out) const;

 private:
  /// Where read_entry puts a file's bytes: a vector (fresh or reused) or a span.
  struct Destination;

  DatDatabase(DatHeader header, DatFileMap files,
              std::unique_ptr<detail::ArchiveReader> reader) noexcept;
  static Result<DatDatabase> open_source(DatHeader header, std::unique_ptr<ArchiveSource> source);
  /// The one read of an entry's bytes behind every public read form.
  Result<std::size_t> read_entry(const DatFileEntry& entry, const Destination& to) const;

  DatHeader header_;
  FileMap files_;
  std::unique_ptr<detail::ArchiveReader> reader_;
};

template <ByteSource Source>
std::expected<DatHeader, BinReadError> DatHeader::read(Source& in) {
  RecordReader<Source> r(in, "DatHeader");
  DatHeader h;
  r.read(h.magic, "magic");
  r.read(h.block_size, "block_size");
  r.read(h.file_size, "file_size");
  r.read(h.dataset, "dataset");
  r.read(h.subset, "subset");
  r.read(h.free_head, "free_head");
  r.read(h.free_tail, "free_tail");
  r.read(h.free_count, "free_count");
  r.read(h.root_offset, "root_offset");
  r.read(h.new_lru, "new_lru");
  r.read(h.old_lru, "old_lru");
  r.read(h.use_lru, "use_lru");
  r.read(h.master_map_id, "master_map_id");
  r.read(h.engine_version, "engine_version");
  r.read(h.game_version, "game_version");
  r.read_bytes(h.version_string, "version_string");
  r.read(h.version_minor, "version_minor");
  return r.finish(std::move(h));
}

}  // namespace marrowvane_dat
