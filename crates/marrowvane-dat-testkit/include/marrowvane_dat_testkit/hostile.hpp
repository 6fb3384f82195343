// SPDX-License-Identifier: MIT
// Archives shaped to make a reader work hard for few bytes, shared by the hostile
// archive tool, the fuzz seeds and the benchmarks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "marrowvane_dat_testkit/archive_builder.hpp"

namespace marrowvane_dat::testkit {

// A directory of about `bytes` bytes laid out over 5-byte blocks (one payload byte
// each) in scattered chains, so opening reads every node a byte at a time, never two
// neighbours together. Its entries all point at one small file.
ArchiveBuilder tiny_block_directory(std::size_t bytes);

// `count` entries, each over a block of its own that links to itself, each sized to
// end just before its chain would pass through more blocks than the archive holds:
// no two entries share a block, yet each reads about the whole archive's length.
ArchiveBuilder self_linked_entries(std::uint32_t count);

}  // namespace marrowvane_dat::testkit
