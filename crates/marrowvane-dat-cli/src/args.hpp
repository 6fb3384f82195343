// Parsing the command line's own value syntax: file ids and file type names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "marrowvane_dat/file_type/file_type.hpp"

namespace marrowvane_dat::cli {

// A file id written in decimal ("1073741825") or as hexadecimal after "0x" or
// "0X" ("0x40000001"). Nothing else is accepted: no sign, no blanks, no
// trailing characters, nothing above 0xFFFFFFFF.
[[nodiscard]] std::optional<std::uint32_t> parse_file_id(std::string_view text) noexcept;

// The file type whose name matches `text` ignoring letter case ("font" is Font).
[[nodiscard]] std::optional<DatFileType> parse_type_name(std::string_view text) noexcept;

// Every type name in declaration order, separated by ", ".
[[nodiscard]] std::string valid_type_names();

}  // namespace marrowvane_dat::cli
