// SPDX-License-Identifier: MIT
// Reading block chains: the one read path behind read_file_data, get_file and the
// directory walk, for every kind of archive source.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "marrowvane_dat/archive_source.hpp"
#include "marrowvane_dat/error.hpp"

namespace marrowvane_dat::detail {

// Every block starts with the absolute offset of the next one.
inline constexpr std::uint32_t LINK_SIZE = 4;

// Room a chain read may use past the end of its result, for the link words of blocks
// read in one go before their payloads are moved into place.
inline constexpr std::size_t CHAIN_SLACK = 2048;

// What a chain read needs to know about its archive.
struct ChainGeometry {
  // Bytes per block, link included; above LINK_SIZE.
  std::uint32_t block_size = 0;
  // The archive's length, or max() when the source cannot tell.
  std::uint64_t archive_length = std::numeric_limits<std::uint64_t>::max();

  // A chain that visits more blocks than this has looped: the archive cannot hold
  // more distinct blocks.
  [[nodiscard]] std::uint64_t max_blocks() const noexcept {
    return archive_length == std::numeric_limits<std::uint64_t>::max()
               ? archive_length
               : archive_length / block_size + 1;
  }
  // No chain within the block bound can gather more bytes than this: every block but
  // the last gives at most block_size - 4, and the last no more than the archive holds.
  [[nodiscard]] std::uint64_t max_chain_bytes() const noexcept {
    const std::uint64_t blocks = max_blocks();
    return blocks == std::numeric_limits<std::uint64_t>::max()
               ? blocks
               : (blocks - 1) * (block_size - LINK_SIZE) + archive_length;
  }
};

// Reusable room for reads of archives with tiny blocks, which are served from windows
// of the archive instead of one read per block.
struct ChainScratch {
  std::vector<std::uint8_t> window;
};

// The geometry of an archive whose blocks are `block_size` bytes. Errors: Corruption
// when a block has no room for data after its link, so no chain could make progress;
// ask only when bytes are to be read.
Result<ChainGeometry> chain_geometry(std::uint32_t block_size, std::uint64_t archive_length);

// Gathers `size` bytes of the chain whose first block is at `offset` into the first
// `size` bytes of `out`, which holds at least `size` bytes (those past `size` may be
// clobbered; with CHAIN_SLACK of them a run of blocks always takes one read), or, when
// `out` is empty, only finds the error that gathering them gives (for sizes no
// chain can reach). Results and errors are exactly
// those of following the chain block by block (read the link, then the payload:
// block_size - 4 bytes, or everything still missing from the last block), except that
// a chain visiting more than geometry.max_blocks() blocks is Corruption.
Result<void> read_chain(const ArchiveSource& source, const ChainGeometry& geometry,
                        std::uint32_t offset, std::uint32_t size, std::span<std::uint8_t> out,
                        ChainScratch& scratch);

// read_chain for an archive held in memory, appending the bytes to `out` instead of
// filling a sized buffer, so no byte is written before its final one. `out` should be
// empty with room reserved; on failure it holds the bytes gathered so far.
Result<void> read_chain_appending(std::span<const std::uint8_t> image,
                                  const ChainGeometry& geometry, std::uint32_t offset,
                                  std::uint32_t size, std::vector<std::uint8_t>& out);

}  // namespace marrowvane_dat::detail
