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

// Compressed files of zeros, each in a chain of its own, filling about `bytes`: an
// honest archive that decodes to as much as any archive of its length can (about
// eight times what it stores).
ArchiveBuilder most_expanding_files(std::size_t bytes);

// `count` entries over the one chain of a compressed file of zeros that stores about
// `stored` bytes: entries sharing a chain, with the most expansion on top.
ArchiveBuilder shared_expanding_chain(std::uint32_t count, std::size_t stored);

}  // namespace marrowvane_dat::testkit
