// SPDX-License-Identifier: MIT
// The command line's own value syntax: file ids, type names, and the suggestion of
// a valid word for a mistyped one.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace marrowvane_dat::cli {

// A file id as people type it. Ids are hexadecimal, the way the tool prints them:
// one to eight hex digits in either case, with or without a leading "0x" or "0X"
// ("40000001", "0x40000001", "0x1"). Decimal only after the explicit prefix "d:"
// ("d:1073741825"). Nothing else: no sign, no blanks, no trailing characters,
// nothing above 0xFFFFFFFF.
[[nodiscard]] std::optional<std::uint32_t> parse_file_id(std::string_view text) noexcept;

// The one-line reason why `text` is not a file id, naming the accepted forms.
[[nodiscard]] std::string file_id_syntax_error(std::string_view text);

// True when `text` is made of decimal digits only: an id that a person may have meant
// in decimal although the tool reads it as hexadecimal.
[[nodiscard]] bool looks_decimal(std::string_view text) noexcept;

// Every type name in alphabetical order, separated by ", ".
[[nodiscard]] std::string valid_type_names();

// The type name a mistyped `text` most likely meant, ignoring case as --type does;
// nothing when none is close.
[[nodiscard]] std::optional<std::string> closest_type_name(std::string_view text);

// The candidate closest to `word` if it is close enough to be a likely typo (a small
// edit distance for its length, or `word` a prefix of exactly one candidate);
// nothing otherwise.
[[nodiscard]] std::optional<std::string> closest_word(std::string_view word,
                                                      std::span<const std::string> candidates);

}  // namespace marrowvane_dat::cli
