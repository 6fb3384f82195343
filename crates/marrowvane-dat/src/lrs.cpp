// SPDX-License-Identifier: MIT
// The LRS decompressor: literals and 12-bit-distance back-references under control bytes.
#include <algorithm>
#include <bit>
#include <cstring>

#include "lrs.hpp"
#include "marrowvane_dat/binary_reader.hpp"
#include "marrowvane_dat/utils.hpp"

namespace marrowvane_dat {

namespace {

constexpr std::size_t SIZE_FIELD = detail::LRS_SIZE_FIELD;
// A back-reference token is two bytes and copies at most 17.
constexpr std::uint64_t MAX_COPY = 17;

// The fast loop over-copies: a literal run is moved a whole chunk at a time and a
// back-reference writes up to COPY_WINDOW bytes, whatever its length. Bytes past a
// token's end are garbage until the tokens after it overwrite them.
constexpr std::size_t CHUNK = 8;
constexpr std::size_t COPY_WINDOW = 3 * CHUNK;
static_assert(COPY_WINDOW >= MAX_COPY);
// A whole group is decoded without a bounds check only this far from the edges. Its
// control byte and seven two-byte tokens come before the last token, and a literal
// run starting there reads a whole chunk.
constexpr std::ptrdiff_t FAST_INPUT_MARGIN = 1 + 7 * 2 + CHUNK;
// Seven tokens of up to 17 bytes, then a last one writing its whole window.
constexpr std::ptrdiff_t FAST_OUTPUT_MARGIN = 7 * MAX_COPY + COPY_WINDOW;

void copy_chunk(std::uint8_t* to, const std::uint8_t* from) noexcept {
  std::memcpy(to, from, CHUNK);
}

// Where a repeating copy's last chunk goes so that it ends where the copy does (or
// where the first chunk does, for shorter copies). Runs are mostly followed by more
// of the same run, whose short source just before that end then comes out of one
// store: a load straddling two recent stores waits until both reach the cache.
std::size_t last_chunk_at(std::size_t length) noexcept {
  return std::max(length, CHUNK) - CHUNK;
}

// `chunk`, loaded from a stream that repeats every 8 bytes, turned into what loading
// it `bytes` further on gives.
std::uint64_t advance_pattern(std::uint64_t chunk, std::size_t bytes) noexcept {
  const auto bits = static_cast<int>(8 * bytes);
  if constexpr (std::endian::native == std::endian::little) {
    return std::rotr(chunk, bits);
  } else {
    return std::rotl(chunk, bits);
  }
}

// Repeats the `sizeof(Lane)` bytes before `out` over the window, from a register.
// Every lane holds the pattern as it was loaded and is stored back the same way, so
// the bytes come out in order whatever the host byte order.
template <class Lane>
void fill_pattern(std::uint8_t* out, std::size_t length) noexcept {
  Lane lane = 0;
  std::memcpy(&lane, out - sizeof(Lane), sizeof(Lane));
  // The multiplier has a 1 in the lowest bit of every lane: 0x0001000100010001 for
  // two-byte lanes, 0x0000000100000001 for four.
  const std::uint64_t chunk = lane * (~std::uint64_t{0} / static_cast<Lane>(~Lane{0}));
  for (std::size_t at = 0; at < COPY_WINDOW; at += CHUNK) {
    std::memcpy(out + at, &chunk, CHUNK);
  }
  const std::size_t last = last_chunk_at(length);
  const std::uint64_t last_chunk = advance_pattern(chunk, last);
  std::memcpy(out + last, &last_chunk, CHUNK);
}

// copy_match for a distance shorter than the length: the copy reads bytes it writes
// itself, repeating the last `distance` bytes. Out of line, the common copy's loop
// stays small enough to run measurably faster.
[[gnu::noinline]] void copy_repeating(std::uint8_t* out, std::size_t distance,
                                      std::size_t length) noexcept {
  const std::uint8_t* from = out - distance;
  if (distance >= CHUNK) {
    // Each chunk reads only bytes written before it.
    copy_chunk(out, from);
    copy_chunk(out + CHUNK, from + CHUNK);
    copy_chunk(out + 2 * CHUNK, from + 2 * CHUNK);
  } else if (distance == 1) {
    std::memset(out, *from, COPY_WINDOW);
    std::memset(out + last_chunk_at(length), *from, CHUNK);
  } else if (distance == 2) {
    fill_pattern<std::uint16_t>(out, length);
  } else if (distance == 4) {
    fill_pattern<std::uint32_t>(out, length);
  } else {
    for (std::size_t i = 0; i < CHUNK; ++i) {
      out[i] = from[i];
    }
    // The rest repeats from a whole number of periods back, at least a chunk, so no
    // chunk reads what it writes.
    const std::size_t step = (CHUNK + distance - 1) / distance * distance;
    copy_chunk(out + CHUNK, out + CHUNK - step);
    copy_chunk(out + 2 * CHUNK, out + 2 * CHUNK - step);
  }
}

// Writes the `length` bytes a back-reference at `distance` produces at `out`, the
// same bytes copying one at a time forwards gives, and garbage after them up to
// COPY_WINDOW. The distance is at least 1 and at most what has been produced.
void copy_match(std::uint8_t* out, std::size_t distance, std::size_t length) noexcept {
  if (distance >= length) [[likely]] {
    // Every byte copied is older than the copy, so loading before storing is enough,
    // even where the window overlaps its source. The 17th byte is old too when the
    // length asks for it.
    const std::uint8_t* from = out - distance;
    std::memmove(out, from, 2 * CHUNK);
    out[2 * CHUNK] = from[2 * CHUNK];
  } else {
    copy_repeating(out, distance, length);
  }
}

// Decoding state shared by the token loops: where the next token starts, where the
// next byte goes, and which bit of the current control byte belongs to the next
// token (0: a control byte comes first).
class LrsDecoder {
 public:
  LrsDecoder(std::span<const std::uint8_t> data, std::span<std::uint8_t> output) noexcept
      : in_(data.data()),
        in_end_(data.data() + data.size()),
        out_begin_(output.data()),
        out_(output.data()),
        out_end_(output.data() + output.size()) {}

  std::size_t run() noexcept {
    for (;;) {
      while (control_bit_ == 0 && far_from_edges() && fast_group()) {
      }
      // The exact loop finishes the group the fast loop could not start or handed
      // over, then the fast loop may take the next one.
      do {
        if (!exact_token()) {
          return produced();
        }
      } while (control_bit_ != 0);
    }
  }

 private:
  [[nodiscard]] std::size_t produced() const noexcept {
    return static_cast<std::size_t>(out_ - out_begin_);
  }

  [[nodiscard]] bool far_from_edges() const noexcept {
    return in_end_ - in_ >= FAST_INPUT_MARGIN && out_end_ - out_ >= FAST_OUTPUT_MARGIN;
  }

  // Decodes a whole group far from the edges. A back-reference the exact loop must
  // judge (the end marker, or a distance reaching before the output) is left
  // undecoded with the state on it, and the result is false.
  bool fast_group() noexcept {
    const std::uint8_t control = *in_++;
    // The token bits from the top, then a stop bit: the leading zeros count the
    // literals before the next reference, and only the stop bit is left at the end.
    constexpr std::uint32_t STOP = std::uint32_t{1} << 23U;
    constexpr std::uint32_t GROUP_DONE = std::uint32_t{1} << 31U;
    std::uint32_t bits = (static_cast<std::uint32_t>(control) << 24U) | STOP;
    for (;;) {
      if ((bits & GROUP_DONE) == 0) {
        const int literals = std::countl_zero(bits);
        std::memcpy(out_, in_, CHUNK);
        out_ += literals;
        in_ += literals;
        bits <<= static_cast<unsigned>(literals);
        if (bits == GROUP_DONE) {
          return true;
        }
      }
      const std::size_t offset = in_[0] | (static_cast<std::size_t>(in_[1] & 0xF0U) << 4U);
      const std::size_t length = (in_[1] & 0x0FU) + 2U;
      // Distance 0 wraps around to the largest value, so one comparison also leaves
      // the end marker to the exact loop.
      if (offset - 1 >= produced()) {
        control_byte_ = control;
        control_bit_ = 0x80U >> static_cast<unsigned>(std::countr_zero(bits) - 23);
        return false;
      }
      in_ += 2;
      copy_match(out_, offset, length);
      out_ += length;
      bits <<= 1U;
      // Checked here too, or the next literal chunk would write past the margin.
      if (bits == GROUP_DONE) {
        return true;
      }
    }
  }

  // Decodes one token with every check; false when decoding ends.
  bool exact_token() noexcept {
    if (out_ == out_end_ || in_ == in_end_) {
      return false;
    }
    if (control_bit_ == 0) {
      control_byte_ = *in_++;
      control_bit_ = 0x80;
    }
    if ((control_byte_ & control_bit_) != 0) {
      if (in_end_ - in_ < 2) {
        return false;
      }
      const std::size_t offset = in_[0] | (static_cast<std::size_t>(in_[1] & 0xF0U) << 4U);
      const std::size_t length = (in_[1] & 0x0FU) + 2U;
      in_ += 2;
      // Distance 0 marks the end of the stream; a reference with no output yet to
      // copy from is malformed and ends decoding the same way.
      if (offset == 0 || out_ == out_begin_) {
        return false;
      }
      // With the source inside the output and room for the whole window, the fast
      // loop's copy gives the same bytes; that keeps the tail of small files quick.
      if (offset <= produced() && out_end_ - out_ >= static_cast<std::ptrdiff_t>(COPY_WINDOW)) {
        copy_match(out_, offset, length);
        out_ += length;
      } else {
        for (std::size_t i = 0; i < length && out_ != out_end_; ++i) {
          // A distance past the start of the output keeps reading its first byte.
          const std::size_t at = produced();
          *out_ = out_begin_[offset > at ? 0 : at - offset];
          ++out_;
        }
      }
    } else {
      if (in_ == in_end_) {
        return false;
      }
      *out_++ = *in_++;
    }
    control_bit_ >>= 1U;
    return true;
  }

  const std::uint8_t* in_;
  const std::uint8_t* in_end_;
  std::uint8_t* out_begin_;
  std::uint8_t* out_;
  std::uint8_t* out_end_;
  std::uint8_t control_byte_ = 0;
  unsigned control_bit_ = 0;
};

}  // namespace

namespace detail {

std::size_t lrs_output_bound(std::size_t input_size, std::uint32_t declared) noexcept {
  if (input_size < SIZE_FIELD) {
    return input_size;
  }
  // The declared size is not trusted on its own: the token stream cannot produce more
  // than 17 bytes per two input bytes.
  const std::uint64_t producible = ((input_size - SIZE_FIELD) / 2) * MAX_COPY + 1;
  return static_cast<std::size_t>(std::min<std::uint64_t>(declared, producible));
}

std::size_t lrs_output_bound(std::span<const std::uint8_t> input) noexcept {
  if (input.size() < SIZE_FIELD) {
    return input.size();
  }
  return lrs_output_bound(input.size(), load_le<std::uint32_t>(input.first<SIZE_FIELD>()));
}

std::size_t decompress_lrs_to(std::span<const std::uint8_t> input,
                              std::span<std::uint8_t> output) noexcept {
  const std::size_t limit = std::min(lrs_output_bound(input), output.size());
  if (input.size() < SIZE_FIELD) {
    std::copy_n(input.begin(), limit, output.begin());
    return limit;
  }
  // Stopping at the bound is stopping at the declared size: the stream can never
  // produce as much as the other cap.
  return LrsDecoder(input.subspan(SIZE_FIELD), output.first(limit)).run();
}

}  // namespace detail

std::vector<std::uint8_t> decompress_lrs(std::span<const std::uint8_t> input) {
  std::vector<std::uint8_t> output(detail::lrs_output_bound(input));
  output.resize(detail::decompress_lrs_to(input, output));
  return output;
}

}  // namespace marrowvane_dat
