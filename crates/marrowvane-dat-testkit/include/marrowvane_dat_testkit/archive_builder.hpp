// SPDX-License-Identifier: MIT
// Assembles DAT archive images in memory for tests, fuzz seeds, benchmarks and samples.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "marrowvane_dat/dat_database.hpp"

namespace marrowvane_dat::testkit {

// How the blocks of one chain are placed in the image.
enum class ChainLayout {
  // Block after block in ascending order.
  Contiguous,
  // Never two chain neighbours side by side and not in ascending order: the chain
  // zig-zags from its highest block to its lowest and inwards, with a zeroed block
  // between any two of its blocks. Deterministic.
  Scattered,
};

// One stored file, given by its content before compression.
struct FileSpec {
  std::uint32_t id = 0;
  std::vector<std::uint8_t> content;
  // Store compress_lrs(content) and set bit 0 of bit_flags.
  bool compressed = false;
  // Further bit_flags bits, OR-ed in as given (bit 0 included, so a test can flag
  // stored bytes as compressed that are not).
  std::uint32_t extra_flags = 0;
  std::uint32_t timestamp = 0;
  std::uint32_t version = 0;
};

// One directory node given field by field, for trees a proper builder would never make.
struct NodeSpec {
  std::array<std::uint32_t, marrowvane_dat::DatDirectoryNode::BRANCH_COUNT> branches{};
  // Written as given, even when it disagrees with entries.size().
  std::uint32_t entry_count = 0;
  // The first 61 are written into the entry slots; unused slots are zero.
  std::vector<marrowvane_dat::DatFileEntry> entries;
};

// An archive image under construction. The image starts with zeroed space up to the
// first multiple of the block size at or after the end of the header (0x190); every
// write appends at the end, so offsets handed out never move. The header is written
// at 0x140 when the image is taken with bytes().
class ArchiveBuilder {
 public:
  // Header defaults: magic 0x5442, the given block size, dataset 1 (2 for 256-byte
  // blocks), every other field 0, a zeroed 16-byte version string. A block size of 4
  // or less cannot link blocks: chains are then written as one block whose data runs
  // on past it.
  explicit ArchiveBuilder(std::uint32_t block_size = 1024);

  // The header as it will be written; every field may be changed. A file_size of 0
  // is written as the image length. The version string is written as 16 bytes
  // (zero-padded or cut).
  marrowvane_dat::DatHeader& header() noexcept { return header_; }
  [[nodiscard]] const marrowvane_dat::DatHeader& header() const noexcept { return header_; }

  // The block size used to lay out chains (the constructor's, whatever header() says).
  [[nodiscard]] std::uint32_t block_size() const noexcept { return block_size_; }

  // Stores `data` as a chain of whole blocks (little-endian link words, last link 0,
  // payload block_size - 4 per block, unused payload zero) and returns the offset of
  // its first block. Empty data still gets one block.
  std::uint32_t write_chain(std::span<const std::uint8_t> data,
                            ChainLayout layout = ChainLayout::Contiguous);

  // Appends raw bytes at the current end of the image and returns their offset.
  std::uint32_t append_raw(std::span<const std::uint8_t> bytes);

  // Appends zero bytes until the image length is a multiple of the block size.
  void align_to_block();

  // Overwrites 4 little-endian bytes at `offset`, growing the image with zeros if
  // needed. Patches that touch the header area win over the header knobs.
  void patch_u32(std::uint64_t offset, std::uint32_t value);
  // Overwrites bytes at `offset`, with the same growth and header rules as patch_u32.
  void patch_bytes(std::uint64_t offset, std::span<const std::uint8_t> bytes);

  // Stores the file's (possibly compressed) bytes as a chain and returns its entry.
  // The entry is not put into any directory.
  marrowvane_dat::DatFileEntry add_file(const FileSpec& file,
                                        ChainLayout layout = ChainLayout::Contiguous);

  // Stores the node's 1716 bytes as a chain and returns its offset.
  std::uint32_t write_node(const NodeSpec& node, ChainLayout layout = ChainLayout::Contiguous);

  // Writes a proper tree holding `entries` sorted by id: one leaf for up to 61
  // entries, otherwise a balanced multi-level tree (every node at most 61 entries and
  // at least one, an inner node with k entries has k + 1 children in slots 0..k,
  // every leaf at the same depth, ids ascending in order). Sets header().root_offset
  // and returns it; an empty set writes no node and gives 0.
  std::uint32_t build_directory(std::vector<marrowvane_dat::DatFileEntry> entries,
                                ChainLayout layout = ChainLayout::Contiguous);

  // add_file for each file in order, then build_directory over their entries.
  // Returns the root offset.
  std::uint32_t add_files(const std::vector<FileSpec>& files,
                          ChainLayout layout = ChainLayout::Contiguous);

  // The whole archive image: the stored bytes with the header written at 0x140.
  [[nodiscard]] std::vector<std::uint8_t> bytes() const;

  // Writes bytes() to `path`. Throws std::runtime_error when the file cannot be
  // written (test code only).
  void write_to(const std::filesystem::path& path) const;

  // The current image length in bytes.
  [[nodiscard]] std::uint64_t size() const noexcept { return image_.size(); }

 private:
  struct HeaderPatch {
    std::uint64_t offset;
    std::vector<std::uint8_t> bytes;
  };

  std::uint32_t write_subtree(std::span<const marrowvane_dat::DatFileEntry> entries,
                              unsigned height, ChainLayout layout);

  std::uint32_t block_size_;
  marrowvane_dat::DatHeader header_;
  std::vector<std::uint8_t> image_;
  std::vector<HeaderPatch> header_patches_;
};

}  // namespace marrowvane_dat::testkit
