// SPDX-License-Identifier: MIT
// Greedy LRS compression with a hash chain over the 4095-byte window.
#include "marrowvane_dat_testkit/lrs_compressor.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <vector>

namespace marrowvane_dat::testkit {
namespace {

constexpr std::uint32_t NONE = std::numeric_limits<std::uint32_t>::max();
// The chain ring holds one link per window position; a link older than the window
// is never followed, so the ring never needs clearing.
constexpr std::size_t RING_SIZE = 4096;
static_assert(RING_SIZE > LRS_MAX_DISTANCE);

// Every earlier position whose two leading bytes hash alike, most recent first. The
// head table has about two slots per input byte (at most one per byte pair), so a
// small input is cheap to set up: fixtures compress thousands of small files.
// Positions whose pair merely collides match fewer than 2 bytes and are passed over,
// so the matches found are those of a table keyed by the exact pair.
class MatchFinder {
 public:
  explicit MatchFinder(std::span<const std::uint8_t> data)
      : data_(data),
        bits_(table_bits(data.size())),
        head_(std::size_t{1} << bits_, NONE),
        prev_(std::min(RING_SIZE, data.size()), NONE) {}

  void insert(std::size_t pos) noexcept {
    if (pos + 1 >= data_.size()) {
      return;
    }
    const std::size_t key = key_at(pos);
    prev_[pos % RING_SIZE] = head_[key];
    head_[key] = static_cast<std::uint32_t>(pos);
  }

  struct Match {
    std::size_t length = 0;
    std::size_t distance = 0;
  };

  // The longest match for `pos` within the window, the nearest one among equals.
  [[nodiscard]] Match longest(std::size_t pos) const noexcept {
    Match best;
    if (pos + 1 >= data_.size()) {
      return best;
    }
    const std::size_t max_len = std::min(LRS_MAX_MATCH, data_.size() - pos);
    for (std::size_t cand = head_[key_at(pos)]; cand != NONE && pos - cand <= LRS_MAX_DISTANCE;
         cand = prev_[cand % RING_SIZE]) {
      // A candidate can only win if it also matches the byte where the best ends.
      if (best.length != 0 && data_[cand + best.length] != data_[pos + best.length]) {
        continue;
      }
      std::size_t len = 0;
      // Comparing against the input itself is what makes overlapping copies right:
      // the decoder will have produced those bytes by the time it reads them.
      while (len < max_len && data_[cand + len] == data_[pos + len]) {
        ++len;
      }
      if (len >= LRS_MIN_MATCH && len > best.length) {
        best = Match{len, pos - cand};
        if (len == max_len) {
          break;
        }
      }
    }
    return best;
  }

 private:
  static unsigned table_bits(std::size_t size) noexcept {
    unsigned bits = 8;
    while (bits < 16 && (std::size_t{1} << bits) < 2 * size) {
      ++bits;
    }
    return bits;
  }
  [[nodiscard]] std::size_t key_at(std::size_t pos) const noexcept {
    const auto pair =
        static_cast<std::uint32_t>(data_[pos]) | (static_cast<std::uint32_t>(data_[pos + 1]) << 8);
    return static_cast<std::size_t>((pair * 0x9E3779B1U) >> (32 - bits_));
  }

  std::span<const std::uint8_t> data_;
  unsigned bits_;
  std::vector<std::uint32_t> head_;
  std::vector<std::uint32_t> prev_;
};

}  // namespace

std::vector<std::uint8_t> compress_lrs(std::span<const std::uint8_t> content) {
  const std::size_t n = content.size();
  std::vector<std::uint8_t> out;
  // Worst case: every byte a literal plus one control byte per eight tokens.
  out.reserve(4 + n + n / 8 + 1);
  const auto declared = static_cast<std::uint32_t>(n);
  for (unsigned shift = 0; shift < 32; shift += 8) {
    out.push_back(static_cast<std::uint8_t>(declared >> shift));
  }

  MatchFinder finder(content);
  std::size_t control_index = 0;
  unsigned tokens_in_group = 8;
  std::size_t pos = 0;
  while (pos < n) {
    // A control byte is written only when a token follows it, as the decoder reads it.
    if (tokens_in_group == 8) {
      control_index = out.size();
      out.push_back(0);
      tokens_in_group = 0;
    }
    const MatchFinder::Match match = finder.longest(pos);
    if (match.length >= LRS_MIN_MATCH) {
      out[control_index] =
          static_cast<std::uint8_t>(out[control_index] | (0x80U >> tokens_in_group));
      out.push_back(static_cast<std::uint8_t>(match.distance & 0xFFU));
      out.push_back(
          static_cast<std::uint8_t>(((match.distance >> 8) << 4) | (match.length - LRS_MIN_MATCH)));
      for (std::size_t i = 0; i < match.length; ++i) {
        finder.insert(pos + i);
      }
      pos += match.length;
    } else {
      out.push_back(content[pos]);
      finder.insert(pos);
      ++pos;
    }
    ++tokens_in_group;
  }
  return out;
}

}  // namespace marrowvane_dat::testkit
