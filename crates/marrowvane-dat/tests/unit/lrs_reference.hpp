// SPDX-License-Identifier: MIT
// The straightforward byte-at-a-time LRS decoder, kept as the reference the library's
// decoder is compared against by tests, fuzzers and benchmarks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace marrowvane_dat::test {

// Decodes `input` one token and one byte at a time, exactly as the format reads:
// inputs shorter than the 4-byte size field come back unchanged; decoding stops at the
// declared size, at the end of the input, at a truncated token, at distance 0 and at
// a back-reference while nothing has been produced yet.
inline std::vector<std::uint8_t> reference_decompress_lrs(std::span<const std::uint8_t> input) {
  if (input.size() < 4) {
    return {input.begin(), input.end()};
  }
  const std::uint32_t output_size =
      static_cast<std::uint32_t>(input[0]) | (static_cast<std::uint32_t>(input[1]) << 8U) |
      (static_cast<std::uint32_t>(input[2]) << 16U) | (static_cast<std::uint32_t>(input[3]) << 24U);
  const std::span<const std::uint8_t> data = input.subspan(4);

  std::vector<std::uint8_t> output;
  std::uint8_t control_byte = 0;
  unsigned control_bit = 0;
  std::size_t input_idx = 0;
  while (output.size() < output_size && input_idx < data.size()) {
    if (control_bit == 0) {
      control_byte = data[input_idx++];
      control_bit = 0x80;
    }
    if ((control_byte & control_bit) != 0) {
      if (input_idx + 1 >= data.size()) {
        break;
      }
      const std::uint8_t b1 = data[input_idx];
      const std::uint8_t b2 = data[input_idx + 1];
      input_idx += 2;
      const std::size_t offset = b1 | (static_cast<std::size_t>(b2 & 0xF0U) << 4U);
      const std::size_t length = (b2 & 0x0FU) + 2U;
      if (offset == 0 || output.empty()) {
        break;
      }
      for (std::size_t i = 0; i < length && output.size() < output_size; ++i) {
        const std::size_t copy_idx = offset > output.size() ? 0 : output.size() - offset;
        output.push_back(output[copy_idx]);
      }
    } else {
      if (input_idx >= data.size()) {
        break;
      }
      output.push_back(data[input_idx++]);
    }
    control_bit >>= 1U;
  }
  return output;
}

}  // namespace marrowvane_dat::test
