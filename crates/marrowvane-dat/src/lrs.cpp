// The LRS decompressor: literals and 12-bit-distance back-references under control bytes.
#include <algorithm>

#include "marrowvane_dat/binary_reader.hpp"
#include "marrowvane_dat/utils.hpp"

namespace marrowvane_dat {

namespace {
constexpr std::size_t SIZE_FIELD = 4;
// A back-reference token is two bytes and copies at most 17.
constexpr std::uint64_t MAX_COPY = 17;
}  // namespace

std::vector<std::uint8_t> decompress_lrs(std::span<const std::uint8_t> input) {
  if (input.size() < SIZE_FIELD) {
    return {input.begin(), input.end()};
  }
  const std::uint32_t output_size = load_le<std::uint32_t>(input.first<SIZE_FIELD>());
  const std::span<const std::uint8_t> data = input.subspan(SIZE_FIELD);

  std::vector<std::uint8_t> output;
  // The declared size is not trusted for the reservation: the token stream cannot
  // produce more than 17 bytes per two input bytes.
  const std::uint64_t producible = (data.size() / 2) * MAX_COPY + 1;
  output.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(output_size, producible)));

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
      // Distance 0 marks the end of the stream; a reference with no output yet to
      // copy from is malformed and ends decoding the same way.
      if (offset == 0 || output.empty()) {
        break;
      }
      for (std::size_t i = 0; i < length && output.size() < output_size; ++i) {
        // A distance past the start of the output keeps reading its first byte.
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

}  // namespace marrowvane_dat
