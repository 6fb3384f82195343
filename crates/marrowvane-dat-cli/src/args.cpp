// SPDX-License-Identifier: MIT
// File id parsing, type names and typo suggestions for command-line arguments.
#include "args.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <vector>

#include "marrowvane_dat/file_type/file_type.hpp"

namespace marrowvane_dat::cli {
namespace {

constexpr std::string_view DECIMAL_PREFIX = "d:";
constexpr std::size_t MAX_HEX_DIGITS = 8;

bool is_hex_digit(char c) noexcept {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The optimal string alignment distance: insertions, deletions, substitutions and
// swaps of two neighbours each cost one, which covers the usual typing slips.
std::size_t edit_distance(std::string_view a, std::string_view b) {
  const std::size_t width = b.size() + 1;
  std::vector<std::size_t> d((a.size() + 1) * width);
  const auto at = [&](std::size_t i, std::size_t j) -> std::size_t& { return d[i * width + j]; };
  for (std::size_t i = 0; i <= a.size(); ++i) {
    at(i, 0) = i;
  }
  for (std::size_t j = 0; j <= b.size(); ++j) {
    at(0, j) = j;
  }
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      at(i, j) = std::min({at(i - 1, j) + 1, at(i, j - 1) + 1, at(i - 1, j - 1) + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        at(i, j) = std::min(at(i, j), at(i - 2, j - 2) + 1);
      }
    }
  }
  return at(a.size(), b.size());
}

}  // namespace

std::optional<std::uint32_t> parse_file_id(std::string_view text) noexcept {
  int base = 16;
  if (text.starts_with(DECIMAL_PREFIX)) {
    text.remove_prefix(DECIMAL_PREFIX.size());
    base = 10;
  } else {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
      text.remove_prefix(2);
    }
    if (text.size() > MAX_HEX_DIGITS || !std::ranges::all_of(text, is_hex_digit)) {
      return std::nullopt;
    }
  }
  // from_chars on an unsigned type refuses signs and blanks and reports overflow.
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

std::string file_id_syntax_error(std::string_view text) {
  return "not a file id: '" + std::string(text) +
         "' (ids are hexadecimal, as the tool prints them: 40000001 or 0x40000001; "
         "write a decimal id as d:1073741825)";
}

bool looks_decimal(std::string_view text) noexcept {
  return !text.empty() && std::ranges::all_of(text, [](char c) { return c >= '0' && c <= '9'; });
}

std::string valid_type_names() {
  std::vector<std::string> names;
  for (const DatFileType type : ALL_DAT_FILE_TYPES) {
    names.emplace_back(to_string(type));
  }
  std::ranges::sort(names);
  std::string out;
  for (const std::string& name : names) {
    if (!out.empty()) {
      out.append(", ");
    }
    out.append(name);
  }
  return out;
}

std::optional<std::string> closest_type_name(std::string_view text) {
  const auto lower = [](std::string_view word) {
    std::string out(word);
    std::ranges::transform(out, out.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
  };
  std::vector<std::string> names;
  std::vector<std::string> lowered;
  for (const DatFileType type : ALL_DAT_FILE_TYPES) {
    names.emplace_back(to_string(type));
    lowered.push_back(lower(names.back()));
  }
  const auto closest = closest_word(lower(text), lowered);
  if (!closest) {
    return std::nullopt;
  }
  return names[static_cast<std::size_t>(std::ranges::find(lowered, *closest) - lowered.begin())];
}

std::optional<std::string> closest_word(std::string_view word,
                                        std::span<const std::string> candidates) {
  // Short words are one slip from many others, so they get less room.
  const std::size_t allowed = word.size() <= 3 ? 1 : 2;
  std::optional<std::string> best;
  std::size_t best_distance = allowed + 1;
  const std::string* only_prefix_of = nullptr;
  std::size_t prefix_matches = 0;
  for (const std::string& candidate : candidates) {
    const std::size_t distance = edit_distance(word, candidate);
    if (distance < best_distance) {
      best_distance = distance;
      best = candidate;
    }
    if (word.size() >= 2 && candidate.starts_with(word)) {
      only_prefix_of = &candidate;
      ++prefix_matches;
    }
  }
  if (best) {
    return best;
  }
  if (prefix_matches == 1) {
    return *only_prefix_of;
  }
  return std::nullopt;
}

}  // namespace marrowvane_dat::cli
