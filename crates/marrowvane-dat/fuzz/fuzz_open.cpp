// SPDX-License-Identifier: MIT
// Fuzzes opening an archive from bytes and reading every file it lists, from memory,
// through a descriptor and through sources that hold nothing in memory: each call
// succeeds or returns an error, and every source gives the same results.
#include <cstddef>
#include <cstdint>
#include <span>

#include "archive_checks.hpp"

namespace {

// Larger inputs only slow the fuzzer down. No size declared inside the input needs a
// cap: no read may return more than twice the archive, which the checks hold it to.
constexpr std::size_t INPUT_CAP = std::size_t{1} << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > INPUT_CAP) return -1;
  marrowvane_dat::fuzz::check_archive(std::span<const std::uint8_t>(data, size));
  return 0;
}
