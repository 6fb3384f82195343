// SPDX-License-Identifier: MIT
// The hostile shapes: built with the archive builder, then linked by hand where an
// honest chain would never go.
#include "marrowvane_dat_testkit/hostile.hpp"

#include <vector>

namespace marrowvane_dat::testkit {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A node holds 61 entries; with its 5-byte blocks in scattered order (a zeroed block
// between any two) a node takes about this many bytes of the archive.
constexpr std::size_t TINY_NODE_BYTES = 2 * 1716 * 5;
constexpr std::size_t ENTRIES_PER_NODE = 61;

// Zeros compress to about an eighth: a 2-byte token copies 17, a control byte per 8.
constexpr std::size_t ZEROS_PER_STORED_BYTE = 8;
constexpr std::size_t EXPANDING_FILE_CONTENT = 256 << 10;

}  // namespace

ArchiveBuilder tiny_block_directory(std::size_t bytes) {
  ArchiveBuilder builder(5);
  const std::uint32_t data = builder.write_chain(Bytes(8, 0x44));
  const std::size_t nodes = bytes / TINY_NODE_BYTES + 1;
  // A balanced tree of full leaves holds 60 of every 61 entries in its leaves.
  const auto count = static_cast<std::uint32_t>(nodes * (ENTRIES_PER_NODE - 1));
  std::vector<DatFileEntry> entries;
  entries.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    entries.push_back(DatFileEntry{.id = 0x06000000 + i, .offset = data, .size = 8});
  }
  builder.build_directory(entries, ChainLayout::Scattered);
  return builder;
}

ArchiveBuilder self_linked_entries(std::uint32_t count) {
  constexpr std::uint32_t BLOCK = 1024;
  ArchiveBuilder builder(BLOCK);
  std::vector<DatFileEntry> entries;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t block = builder.write_chain(Bytes(BLOCK - 4, 0x5A));
    builder.patch_u32(block, block);
    // The archive holds more than `count` blocks, so `count` passes stay in bounds.
    entries.push_back(
        DatFileEntry{.id = 0x06000000 + i, .offset = block, .size = count * (BLOCK - 4)});
  }
  builder.build_directory(entries);
  return builder;
}

ArchiveBuilder most_expanding_files(std::size_t bytes) {
  ArchiveBuilder builder(1024);
  const std::size_t count = bytes * ZEROS_PER_STORED_BYTE / EXPANDING_FILE_CONTENT + 1;
  std::vector<FileSpec> files;
  for (std::size_t i = 0; i < count; ++i) {
    files.push_back({.id = 0x06000000 + static_cast<std::uint32_t>(i),
                     .content = Bytes(EXPANDING_FILE_CONTENT, 0),
                     .compressed = true});
  }
  builder.add_files(files);
  return builder;
}

ArchiveBuilder shared_expanding_chain(std::uint32_t count, std::size_t stored) {
  ArchiveBuilder builder(1024);
  const DatFileEntry shared = builder.add_file(
      {.id = 0x06000000, .content = Bytes(stored * ZEROS_PER_STORED_BYTE, 0), .compressed = true});
  std::vector<DatFileEntry> entries;
  for (std::uint32_t i = 0; i < count; ++i) {
    DatFileEntry entry = shared;
    entry.id = 0x06000000 + i;
    entries.push_back(entry);
  }
  builder.build_directory(entries);
  return builder;
}

}  // namespace marrowvane_dat::testkit
