// SPDX-License-Identifier: MIT
// A small deterministic random source for generated fixtures, samples and benchmarks.
#pragma once

#include <cstdint>

namespace marrowvane_dat::testkit {

// splitmix64: small, fast and the same sequence on every platform and run.
class Rng {
 public:
  // Starts the sequence at `seed`.
  explicit Rng(std::uint64_t seed) noexcept : state_(seed) {}

  // The next 64 random bits.
  std::uint64_t next() noexcept {
    state_ += 0x9E3779B97F4A7C15ULL;
    std::uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  // Uniform in [0, bound); bound > 0.
  std::uint32_t below(std::uint32_t bound) noexcept {
    return static_cast<std::uint32_t>(next() % bound);
  }
  // One random byte.
  std::uint8_t byte() noexcept { return static_cast<std::uint8_t>(next() >> 56); }
  // Uniform in [0, 1).
  double unit() noexcept { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

 private:
  std::uint64_t state_;
};

}  // namespace marrowvane_dat::testkit
