// SPDX-License-Identifier: MIT
// An LRS compressor for test fixtures: the inverse of marrowvane_dat::decompress_lrs.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace marrowvane_dat::testkit {

// The longest distance a back-reference can carry (12 bits; 0 is the end marker).
inline constexpr std::size_t LRS_MAX_DISTANCE = 4095;
// The shortest and longest copy a back-reference can ask for.
inline constexpr std::size_t LRS_MIN_MATCH = 2;
inline constexpr std::size_t LRS_MAX_MATCH = 17;

// Compresses `content` greedily: at every position the longest earlier match within
// the 4095-byte window (overlapping allowed), else a literal. The result is the
// 4-byte little-endian content size followed by control bytes and tokens; it never
// contains an end marker and decompresses to exactly `content`. Content longer than
// 4 GiB - 1 bytes cannot be described and is not supported.
std::vector<std::uint8_t> compress_lrs(std::span<const std::uint8_t> content);

}  // namespace marrowvane_dat::testkit
