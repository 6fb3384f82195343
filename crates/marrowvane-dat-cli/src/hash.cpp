// SPDX-License-Identifier: MIT
// XXH64: four lanes over 32-byte stripes, then the tail, then a final avalanche.
#include "hash.hpp"

namespace marrowvane_dat::cli {
namespace {

constexpr std::uint64_t PRIME1 = 0x9E3779B185EBCA87ULL;
constexpr std::uint64_t PRIME2 = 0xC2B2AE3D27D4EB4FULL;
constexpr std::uint64_t PRIME3 = 0x165667B19E3779F9ULL;
constexpr std::uint64_t PRIME4 = 0x85EBCA77C2B2AE63ULL;
constexpr std::uint64_t PRIME5 = 0x27D4EB2F165667C5ULL;

constexpr std::uint64_t rotl(std::uint64_t x, int r) noexcept {
  return (x << r) | (x >> (64 - r));
}

std::uint64_t load64(const std::uint8_t* p) noexcept {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) {
    v = (v << 8) | p[i];
  }
  return v;
}

std::uint64_t load32(const std::uint8_t* p) noexcept {
  return std::uint64_t{p[0]} | (std::uint64_t{p[1]} << 8) | (std::uint64_t{p[2]} << 16) |
         (std::uint64_t{p[3]} << 24);
}

constexpr std::uint64_t lane_round(std::uint64_t acc, std::uint64_t input) noexcept {
  return rotl(acc + input * PRIME2, 31) * PRIME1;
}

constexpr std::uint64_t merge(std::uint64_t acc, std::uint64_t lane) noexcept {
  return (acc ^ lane_round(0, lane)) * PRIME1 + PRIME4;
}

}  // namespace

std::uint64_t hash64(std::span<const std::uint8_t> bytes) noexcept {
  const std::uint8_t* p = bytes.data();
  const std::uint8_t* const end = p + bytes.size();
  std::uint64_t h = 0;
  if (bytes.size() >= 32) {
    std::uint64_t v1 = PRIME1 + PRIME2;
    std::uint64_t v2 = PRIME2;
    std::uint64_t v3 = 0;
    std::uint64_t v4 = 0 - PRIME1;
    for (; end - p >= 32; p += 32) {
      v1 = lane_round(v1, load64(p));
      v2 = lane_round(v2, load64(p + 8));
      v3 = lane_round(v3, load64(p + 16));
      v4 = lane_round(v4, load64(p + 24));
    }
    h = rotl(v1, 1) + rotl(v2, 7) + rotl(v3, 12) + rotl(v4, 18);
    h = merge(merge(merge(merge(h, v1), v2), v3), v4);
  } else {
    h = PRIME5;
  }
  h += bytes.size();
  for (; end - p >= 8; p += 8) {
    h = rotl(h ^ lane_round(0, load64(p)), 27) * PRIME1 + PRIME4;
  }
  if (end - p >= 4) {
    h = rotl(h ^ (load32(p) * PRIME1), 23) * PRIME2 + PRIME3;
    p += 4;
  }
  for (; p < end; ++p) {
    h = rotl(h ^ (*p * PRIME5), 11) * PRIME1;
  }
  h ^= h >> 33;
  h *= PRIME2;
  h ^= h >> 29;
  h *= PRIME3;
  h ^= h >> 32;
  return h;
}

}  // namespace marrowvane_dat::cli
