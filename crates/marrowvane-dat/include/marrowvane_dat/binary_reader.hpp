// SPDX-License-Identifier: MIT
// Byte sources (a cursor over memory, a sequential file reader) and the field-by-field
// record-reading helper that every on-disk record reader uses.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <optional>
#include <source_location>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>

#include "marrowvane_dat/error.hpp"
#include "marrowvane_dat/export.hpp"

namespace marrowvane_dat {

/// A readable, seekable stream of bytes: what the record readers take.
template <class S>
concept ByteSource = requires(S& source, std::span<std::uint8_t> out, std::uint64_t pos) {
  { source.read_exact(out) } -> std::same_as<std::expected<void, IoError>>;
  { source.position() } -> std::convertible_to<std::uint64_t>;
  { source.seek(pos) } -> std::same_as<void>;
};

/// A seekable reader over borrowed bytes; the bytes must outlive it.
class MARROWVANE_DAT_EXPORT Cursor {
 public:
  /// Starts at position 0 of `data`.
  explicit Cursor(std::span<const std::uint8_t> data) noexcept : data_(data) {}

  /// Fills `out` from the current position and advances, or fails with unexpected
  /// end of file without moving when fewer bytes are left.
  /// (Inline: every record field is read through it.)
  std::expected<void, IoError> read_exact(std::span<std::uint8_t> out) noexcept {
    if (out.size() > remaining()) {
      return std::unexpected(IoError::unexpected_eof());
    }
    if (!out.empty()) {
      std::memcpy(out.data(), data_.data() + position_, out.size());
    }
    position_ += out.size();
    return {};
  }
  /// Reads a little-endian value of each width; same failure rule as read_exact.
  ///@{
  std::expected<std::uint8_t, IoError> read_u8() noexcept;
  std::expected<std::uint16_t, IoError> read_u16() noexcept;
  std::expected<std::uint32_t, IoError> read_u32() noexcept;
  ///@}
  /// The next `count` bytes without moving, or an empty span when fewer are left: lets
  /// a record reader decode a record it knows is whole without a check per field.
  [[nodiscard]] std::span<const std::uint8_t> peek(std::size_t count) const noexcept {
    return count <= remaining() ? data_.subspan(static_cast<std::size_t>(position_), count)
                                : std::span<const std::uint8_t>();
  }
  /// Moves forward by `count` bytes, or fails without moving when fewer are left.
  std::expected<void, IoError> skip(std::uint64_t count) noexcept;

  /// Bytes before the next one to read.
  [[nodiscard]] std::uint64_t position() const noexcept { return position_; }
  /// Sets the position; a position past the end makes every later read fail.
  void seek(std::uint64_t position) noexcept { position_ = position; }
  /// Length of the underlying bytes.
  [[nodiscard]] std::uint64_t size() const noexcept { return data_.size(); }
  /// Bytes left after the position (0 when the position is past the end).
  [[nodiscard]] std::uint64_t remaining() const noexcept {
    return position_ < data_.size() ? data_.size() - position_ : 0;
  }

 private:
  std::span<const std::uint8_t> data_;
  std::uint64_t position_ = 0;
};

/// Sequential unbuffered reads through a file descriptor's own position. Only the
/// archive header is read this way; the descriptor is borrowed, not owned.
class MARROWVANE_DAT_EXPORT FdReader {
 public:
  /// `position` is where the descriptor's file position stands now.
  FdReader(int fd, std::uint64_t position) noexcept : fd_(fd), position_(position) {}

  /// Reads until `out` is full, retrying interrupted reads; an early end of file is
  /// an unexpected-EOF error, any other failure the OS error.
  std::expected<void, IoError> read_exact(std::span<std::uint8_t> out) noexcept;
  /// Where the next read starts.
  [[nodiscard]] std::uint64_t position() const noexcept { return position_; }
  /// Moves the descriptor's position; used to rewind after a failed record.
  void seek(std::uint64_t position) noexcept;

 private:
  int fd_;
  std::uint64_t position_;
};

/// Decodes a little-endian unsigned or two's-complement signed integer from its bytes.
template <std::integral T>
[[nodiscard]] constexpr T load_le(std::span<const std::uint8_t, sizeof(T)> bytes) noexcept {
  using U = std::make_unsigned_t<T>;
  U value = 0;
  for (std::size_t i = sizeof(T); i-- > 0;) {
    value = static_cast<U>(static_cast<U>(value << 8U) | bytes[i]);
  }
  return static_cast<T>(value);
}

/// A byte source that can show the bytes ahead of it (a Cursor): records whose bytes
/// are all there are decoded from them directly.
template <class S>
concept PeekableSource = ByteSource<S> && requires(const S& source, std::size_t count) {
  { source.peek(count) } -> std::same_as<std::span<const std::uint8_t>>;
  { source.remaining() } -> std::convertible_to<std::uint64_t>;
};

/// Reads one record field by field. The first field that cannot be read rewinds the
/// source to where the record started and records the error with the frame
/// "While parsing field '<field>' in <record>"; every later read is then skipped, so a
/// reader is a flat list of fields followed by finish().
template <ByteSource Source>
class RecordReader {
 public:
  /// Starts a record named `record` at the source's position; `source` must outlive the reader.
  RecordReader(Source& source, std::string_view record) noexcept
      : source_(source), record_(record), start_(source.position()) {}

  /// Reads one little-endian integer field into `out`.
  template <std::integral T>
  void read(T& out, std::string_view name,
            std::source_location location = std::source_location::current()) {
    if (error_) return;
    std::uint8_t bytes[sizeof(T)] = {};
    if (auto got = source_.read_exact(bytes); !got) {
      fail(BinReadError(got.error()), name, location);
      return;
    }
    out = load_le<T>(std::span<const std::uint8_t, sizeof(T)>(bytes));
  }

  /// Reads a field of raw bytes, filling `out` completely.
  void read_bytes(std::span<std::uint8_t> out, std::string_view name,
                  std::source_location location = std::source_location::current()) {
    if (error_) return;
    if (auto got = source_.read_exact(out); !got) {
      fail(BinReadError(got.error()), name, location);
    }
  }

  /// Runs a nested reader (for example a list of sub-records) as one field;
  /// `read_nested` returns std::expected<void, BinReadError>.
  template <class F>
  void read_nested(std::string_view name, F&& read_nested,
                   std::source_location location = std::source_location::current()) {
    if (error_) return;
    if (auto got = std::forward<F>(read_nested)(); !got) {
      fail(std::move(got.error()), name, location);
    }
  }

  /// The finished record, or the error of the first field that failed.
  template <class V>
  std::expected<std::remove_cvref_t<V>, BinReadError> finish(V&& value) {
    if (error_) return std::unexpected(std::move(*error_));
    return std::forward<V>(value);
  }

 private:
  void fail(BinReadError error, std::string_view name, std::source_location location) {
    source_.seek(start_);
    error.add_field_context(name, record_, location);
    error_.emplace(std::move(error));
  }

  Source& source_;
  std::string_view record_;
  std::uint64_t start_;
  std::optional<BinReadError> error_;
};

}  // namespace marrowvane_dat
