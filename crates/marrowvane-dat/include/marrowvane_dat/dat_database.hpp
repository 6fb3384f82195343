// An open DAT archive: its header, its directory of file entries, and retrieval of
// file bytes by id through block chains.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <unordered_map>
#include <vector>

#include "marrowvane_dat/archive_source.hpp"
#include "marrowvane_dat/binary_reader.hpp"
#include "marrowvane_dat/error.hpp"
#include "marrowvane_dat/export.hpp"

namespace marrowvane_dat {

// The kind of archive, derived from the header's signature, block size and dataset.
enum class DatKind : std::uint8_t {
  Portal = 0,
  Cell = 1,
  Local = 2,
  Unknown = 3,
};

// The 80-byte archive header stored at absolute offset 0x140.
struct MARROWVANE_DAT_EXPORT DatHeader {
  // Absolute file offset of the header.
  static constexpr std::uint64_t OFFSET = 0x140;
  static constexpr std::size_t VERSION_STRING_SIZE = 16;
  // 15 u32 fields, the version string, then version_minor.
  static constexpr std::size_t SIZE = 15 * 4 + VERSION_STRING_SIZE + 4;
  // The signature of a recognised archive.
  static constexpr std::uint32_t MAGIC = 0x5442;

  std::uint32_t magic = 0;
  std::uint32_t block_size = 0;
  std::uint32_t file_size = 0;
  std::uint32_t dataset = 0;
  std::uint32_t subset = 0;
  std::uint32_t free_head = 0;
  std::uint32_t free_tail = 0;
  std::uint32_t free_count = 0;
  std::uint32_t root_offset = 0;
  std::uint32_t new_lru = 0;
  std::uint32_t old_lru = 0;
  std::uint32_t use_lru = 0;
  std::uint32_t master_map_id = 0;
  std::uint32_t engine_version = 0;
  std::uint32_t game_version = 0;
  // Exactly 16 bytes as stored: not decoded, not trimmed at a zero byte.
  std::vector<std::uint8_t> version_string = std::vector<std::uint8_t>(VERSION_STRING_SIZE);
  std::uint32_t version_minor = 0;

  // Portal for signature 0x5442 with 1024-byte blocks and dataset 1, Cell for 256-byte
  // blocks and dataset 2, Local for any other block size/dataset with the signature,
  // Unknown without it.
  [[nodiscard]] DatKind dat_kind() const noexcept;

  // Reads the 17 fields in order from the source's position. On failure the source is
  // rewound to where the header started and the error names the field that failed.
  template <ByteSource Source>
  static std::expected<DatHeader, BinReadError> read(Source& in);

  friend bool operator==(const DatHeader&, const DatHeader&) = default;
};

// One 24-byte directory entry: where a file's block chain starts and how many bytes
// it stores.
struct DatFileEntry {
  static constexpr std::size_t SIZE = 6 * 4;
  // Bit 0 of bit_flags: the stored bytes are LRS-compressed.
  static constexpr std::uint32_t COMPRESSED_FLAG = 0x1;

  std::uint32_t bit_flags = 0;
  std::uint32_t id = 0;
  std::uint32_t offset = 0;
  std::uint32_t size = 0;
  std::uint32_t timestamp = 0;
  std::uint32_t version = 0;

  // True when bit 0 of bit_flags is set.
  [[nodiscard]] bool is_compressed() const noexcept { return (bit_flags & COMPRESSED_FLAG) != 0; }

  // Reads the six u32 fields in order; same failure contract as DatHeader::read.
  template <ByteSource Source>
  static std::expected<DatFileEntry, BinReadError> read(Source& in);

  friend bool operator==(const DatFileEntry&, const DatFileEntry&) = default;
};

// The directory node layout: 62 child offsets, an entry count, 61 entry slots.
struct DatDirectoryNode {
  static constexpr std::size_t BRANCH_COUNT = 62;
  static constexpr std::size_t MAX_ENTRIES = 61;
  static constexpr std::size_t SIZE = BRANCH_COUNT * 4 + 4 + MAX_ENTRIES * DatFileEntry::SIZE;
};
static_assert(DatDirectoryNode::SIZE == 1716);

// An open archive. Owns its header, its directory map and its source (closing the
// file when destroyed). Move-only. After open() nothing about it changes, so the
// const retrieval calls may run on several threads at once without locking.
class MARROWVANE_DAT_EXPORT DatDatabase {
 public:
  using FileMap = std::unordered_map<std::uint32_t, DatFileEntry>;

  // Opens the archive file at `path`: reads the header at 0x140 through the file
  // position, then loads the whole directory. Errors: PathError (cannot open), Io
  // (seek), BinRead (header), or the directory's error unchanged. Nothing stays
  // open on failure.
  static Result<DatDatabase> open(const std::filesystem::path& path);
  // Opens an archive from any source (in memory, a test double); the header is read
  // with positional reads at 0x140. Same errors as open(path) except PathError.
  static Result<DatDatabase> open(std::unique_ptr<ArchiveSource> source);

  DatDatabase(DatDatabase&&) noexcept = default;
  DatDatabase& operator=(DatDatabase&&) noexcept = default;
  DatDatabase(const DatDatabase&) = delete;
  DatDatabase& operator=(const DatDatabase&) = delete;
  ~DatDatabase() = default;

  [[nodiscard]] const DatHeader& header() const noexcept { return header_; }
  // Every directory entry by file id; iteration order is unspecified.
  [[nodiscard]] const FileMap& files() const noexcept { return files_; }
  [[nodiscard]] DatKind dat_kind() const noexcept { return header_.dat_kind(); }

  // Gathers exactly `size` bytes from the block chain starting at `offset`. Size 0
  // reads nothing. Errors: Io (the archive ends or a read fails), Corruption (block
  // size too small to make progress). Thread-safe.
  [[nodiscard]] Result<std::vector<std::uint8_t>> read_file_data(std::uint32_t offset,
                                                                 std::uint32_t size) const;
  // The file's bytes by id, decompressed when its entry says so. Errors: NotFound
  // (id not in the directory), or those of read_file_data. Thread-safe.
  [[nodiscard]] Result<std::vector<std::uint8_t>> get_file(std::uint32_t id) const;

 private:
  DatDatabase(DatHeader header, std::unique_ptr<ArchiveSource> source) noexcept
      : header_(std::move(header)), source_(std::move(source)) {}

  static Result<DatDatabase> finish_open(DatHeader header, std::unique_ptr<ArchiveSource> source);
  Result<void> read_directory();
  Result<std::vector<std::uint8_t>> read_chain(std::uint32_t offset, std::uint32_t size) const;

  DatHeader header_;
  FileMap files_;
  std::unique_ptr<ArchiveSource> source_;
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

template <ByteSource Source>
std::expected<DatFileEntry, BinReadError> DatFileEntry::read(Source& in) {
  RecordReader<Source> r(in, "DatFileEntry");
  DatFileEntry e;
  r.read(e.bit_flags, "bit_flags");
  r.read(e.id, "id");
  r.read(e.offset, "offset");
  r.read(e.size, "size");
  r.read(e.timestamp, "timestamp");
  r.read(e.version, "version");
  static_assert(SIZE == sizeof e.bit_flags + sizeof e.id + sizeof e.offset + sizeof e.size +
                            sizeof e.timestamp + sizeof e.version);
  return r.finish(e);
}

}  // namespace marrowvane_dat
