// SPDX-License-Identifier: MIT
// The check helpers of font_parity's cases: a failed check aborts the case by throwing
// CheckFailure, which the case runner catches. Header-only, so a module with checks
// links without the runner.
#pragma once

#include <charconv>
#include <concepts>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <iterator>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace case_runner {

// A failed check: what went wrong and the position of the failing check.
class CheckFailure final : public std::exception {
 public:
  CheckFailure(std::string message, std::source_location where) noexcept
      : message_(std::move(message)), where_(where) {}

  // The failure text, as reported under the case's name.
  [[nodiscard]] const char* what() const noexcept override { return message_.c_str(); }
  [[nodiscard]] const std::string& message() const noexcept { return message_; }
  // The position of the check that failed.
  [[nodiscard]] std::source_location where() const noexcept { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

// Aborts the running case with `message`, recording the caller's position.
[[noreturn]] inline void fail(std::string message,
                              std::source_location where = std::source_location::current()) {
  throw CheckFailure(std::move(message), where);
}

// The three-line equality failure text: "assertion `left == right` failed" (with ": "
// and `message` appended when it is not empty), then "  left: " and " right: " lines.
[[nodiscard]] inline std::string equality_message(std::string_view left, std::string_view right,
                                                  std::string_view message = {}) {
  std::string text = "assertion `left == right` failed";
  if (!message.empty()) {
    text += ": ";
    text += message;
  }
  text += "\n  left: ";
  text += left;
  text += "\n right: ";
  text += right;
  return text;
}

// Renders `text` the way values of text are shown in failures: in double quotes, with
// quotes, backslashes and control characters escaped.
[[nodiscard]] inline std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u{%x}", static_cast<unsigned>(byte));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

namespace detail {

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

template <class T>
concept HasDisplayText = requires(const T& value) {
  { to_string(value) } -> std::convertible_to<std::string_view>;
};

inline std::string integer_text(std::int64_t value) {
  char buffer[24];
  const auto end = std::to_chars(std::begin(buffer), std::end(buffer), value).ptr;
  return std::string(buffer, end);
}

inline std::string integer_text(std::uint64_t value) {
  char buffer[24];
  const auto end = std::to_chars(std::begin(buffer), std::end(buffer), value).ptr;
  return std::string(buffer, end);
}

}  // namespace detail

// Renders a compared value: integers in decimal, booleans as true/false, text quoted,
// an optional as Some(value) or None, anything else by its to_string() found by ADL.
template <class T>
[[nodiscard]] std::string format_value(const T& value) {
  if constexpr (std::is_same_v<T, bool>) {
    return value ? "true" : "false";
  } else if constexpr (std::signed_integral<T>) {
    return detail::integer_text(static_cast<std::int64_t>(value));
  } else if constexpr (std::unsigned_integral<T>) {
    return detail::integer_text(static_cast<std::uint64_t>(value));
  } else if constexpr (detail::IsOptional<T>::value) {
    return value ? "Some(" + format_value(*value) + ")" : std::string("None");
  } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    return quoted(std::string_view(value));
  } else {
    static_assert(detail::HasDisplayText<T>, "no way to show this value in a failure");
    return std::string(to_string(value));
  }
}

namespace detail {

template <class L, class R>
[[nodiscard]] bool values_equal(const L& left, const R& right) {
  if constexpr (std::integral<L> && std::integral<R> && !std::is_same_v<L, bool> &&
                !std::is_same_v<R, bool>) {
    return std::cmp_equal(left, right);
  } else {
    return left == right;
  }
}

}  // namespace detail

// Aborts the running case with the equality failure text when left != right.
template <class L, class R>
void assert_eq(const L& left, const R& right,
               std::source_location where = std::source_location::current()) {
  if (!detail::values_equal(left, right)) {
    throw CheckFailure(equality_message(format_value(left), format_value(right)), where);
  }
}

// As above, with `message` ending the failure's first line.
template <class L, class R>
void assert_eq(const L& left, const R& right, std::string_view message,
               std::source_location where = std::source_location::current()) {
  if (!detail::values_equal(left, right)) {
    throw CheckFailure(equality_message(format_value(left), format_value(right), message), where);
  }
}

}  // namespace case_runner
