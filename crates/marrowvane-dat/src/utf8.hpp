// SPDX-License-Identifier: MIT
// UTF-8 validation and lossy decoding, shared by path rendering and the environment lookup.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace marrowvane_dat::detail {

// Length of the valid UTF-8 sequence at the start of `text`, or 0 when the bytes there
// do not begin one. `*invalid_prefix` receives how many bytes form the maximal invalid
// prefix (at least 1) when 0 is returned.
std::size_t utf8_sequence_length(std::string_view text, std::size_t* invalid_prefix) noexcept;

// True when every byte of `text` belongs to a valid UTF-8 sequence.
bool is_valid_utf8(std::string_view text) noexcept;

// `text` with each maximal invalid sequence replaced by U+FFFD.
std::string utf8_lossy(std::string_view text);

// UTF-16 `text` (a Windows path) in UTF-8, each unpaired surrogate replaced by U+FFFD.
std::string utf8_lossy(std::wstring_view text);

// `text` between double quotes with quotes, backslashes and control characters
// escaped; invalid UTF-8 bytes shown as \xNN.
std::string debug_quote(std::string_view text);

}  // namespace marrowvane_dat::detail
