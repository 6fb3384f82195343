// File id and type name parsing for command-line arguments.
#include "args.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace marrowvane_dat::cli {

std::optional<std::uint32_t> parse_file_id(std::string_view text) noexcept {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  // from_chars on an unsigned type refuses signs and blanks and reports overflow.
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc{} || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

std::optional<DatFileType> parse_type_name(std::string_view text) noexcept {
  const auto same_ignoring_case = [](std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) {
      return std::tolower(static_cast<unsigned char>(x)) ==
             std::tolower(static_cast<unsigned char>(y));
    });
  };
  for (const DatFileType type : ALL_DAT_FILE_TYPES) {
    if (same_ignoring_case(to_string(type), text)) {
      return type;
    }
  }
  return std::nullopt;
}

std::string valid_type_names() {
  std::string out;
  for (const DatFileType type : ALL_DAT_FILE_TYPES) {
    if (!out.empty()) {
      out.append(", ");
    }
    out.append(to_string(type));
  }
  return out;
}

}  // namespace marrowvane_dat::cli
