// The LRS decompressor: literals and 12-bit-distance back-references under control bytes.
#include <algorithm>

#include "marrowvane_dat/binary_reader.hpp"
#include "marrowvane_dat/utils.hpp"

namespace marrowvane_dat {

namespace {

constexpr std::size_t SIZE_FIELD = 4;
// A back-reference token is two bytes and copies at most 17.
constexpr std::uint64_t MAX_COPY = 17;

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
    while (exact_token()) {
    }
    return produced();
  }

 private:
  [[nodiscard]] std::size_t produced() const noexcept {
    return static_cast<std::size_t>(out_ - out_begin_);
  }

  // Decodes one token a byte at a time with every check; false when decoding ends.
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
      for (std::size_t i = 0; i < length && out_ != out_end_; ++i) {
        // A distance past the start of the output keeps reading its first byte.
        const std::size_t at = produced();
        *out_ = out_begin_[offset > at ? 0 : at - offset];
        ++out_;
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

std::size_t lrs_output_bound(std::span<const std::uint8_t> input) noexcept {
  if (input.size() < SIZE_FIELD) {
    return input.size();
  }
  const std::uint32_t declared = load_le<std::uint32_t>(input.first<SIZE_FIELD>());
  // The declared size is not trusted on its own: the token stream cannot produce more
  // than 17 bytes per two input bytes.
  const std::uint64_t producible = ((input.size() - SIZE_FIELD) / 2) * MAX_COPY + 1;
  return static_cast<std::size_t>(std::min<std::uint64_t>(declared, producible));
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
