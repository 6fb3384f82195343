// SPDX-License-Identifier: MIT
// Fuzzes decompress_lrs: it never fails, gives exactly what the byte-at-a-time
// reference decoder gives, and its output is bounded by the declared size and by
// what the token stream can produce.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "lrs.hpp"
#include "lrs_reference.hpp"
#include "marrowvane_dat/binary_reader.hpp"
#include "marrowvane_dat/utils.hpp"

namespace {

// Inputs past this only slow the fuzzer down; up to 17 output bytes per 2 input bytes.
constexpr std::size_t INPUT_CAP = std::size_t{1} << 20;
constexpr std::size_t SIZE_FIELD = 4;
// The most one two-byte back-reference token can copy.
constexpr std::uint64_t MAX_COPY = 17;

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > INPUT_CAP) return -1;
  const std::span<const std::uint8_t> input(data, size);
  const std::vector<std::uint8_t> output = marrowvane_dat::decompress_lrs(input);
  const std::vector<std::uint8_t> expected = marrowvane_dat::test::reference_decompress_lrs(input);
  check(output == expected);
  // An output of exactly the bound, so the sanitizers see a write past it.
  std::vector<std::uint8_t> exact(marrowvane_dat::detail::lrs_output_bound(input));
  const std::size_t produced = marrowvane_dat::detail::decompress_lrs_to(input, exact);
  check(produced == expected.size() && std::equal(expected.begin(), expected.end(), exact.begin()));

  if (size < SIZE_FIELD) {
    check(output.size() == size && std::equal(output.begin(), output.end(), input.begin()));
    return 0;
  }
  const std::uint32_t declared = marrowvane_dat::load_le<std::uint32_t>(input.first<SIZE_FIELD>());
  const std::uint64_t producible = (size - SIZE_FIELD) / 2 * MAX_COPY + 1;
  check(output.size() <= declared);
  check(output.size() <= producible);

  // Decoding is sequential, so declaring fewer bytes must stop at a prefix of the
  // same output.
  if (!output.empty()) {
    std::vector<std::uint8_t> shorter(input.begin(), input.end());
    const auto half = static_cast<std::uint32_t>(output.size() / 2);
    for (unsigned i = 0; i < SIZE_FIELD; ++i) {
      shorter[i] = static_cast<std::uint8_t>(half >> (8 * i));
    }
    const std::vector<std::uint8_t> prefix = marrowvane_dat::decompress_lrs(shorter);
    check(prefix.size() == half && std::equal(prefix.begin(), prefix.end(), output.begin()));
  }
  return 0;
}
