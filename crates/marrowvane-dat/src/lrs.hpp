// SPDX-License-Identifier: MIT
// The LRS decoder's entry points for the read path: sizing its output and decoding into
// memory that is already there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace marrowvane_dat::detail {

// The 4-byte little-endian size that starts every LRS payload.
inline constexpr std::uint32_t LRS_SIZE_FIELD = 4;

// The most bytes decompress_lrs can return for an input of `input_size` bytes that
// declares `declared` bytes: the declared size capped by what the tokens can produce
// (two input bytes give at most 17). An input shorter than the size field comes back
// unchanged, so its bound is its own size.
std::size_t lrs_output_bound(std::size_t input_size, std::uint32_t declared) noexcept;

// lrs_output_bound for a whole input.
std::size_t lrs_output_bound(std::span<const std::uint8_t> input) noexcept;

// Decodes `input` into `output` (not overlapping; decoding stops when it is full) and
// returns how many of the bytes decompress_lrs gives it wrote; later bytes up to the
// bound are scratch.
std::size_t decompress_lrs_to(std::span<const std::uint8_t> input,
                              std::span<std::uint8_t> output) noexcept;

}  // namespace marrowvane_dat::detail
