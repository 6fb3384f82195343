// SPDX-License-Identifier: MIT
// How the tool formats numbers, ids, field blocks and tables for people.
#pragma once

#include <charconv>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace marrowvane_dat::cli {

// Exactly eight upper-case hexadecimal digits, zero-filled ("0000ABCD").
[[nodiscard]] std::string hex8(std::uint32_t value);
// A file id the one way the tool prints it to people, in text, messages and file
// names: hex8 without a prefix ("40000001"), as the library's own messages do, and as
// parse_file_id reads it back.
[[nodiscard]] std::string id_text(std::uint32_t id);
// The string form of an id in JSON, beside the number: "0x40000001". parse_file_id
// reads it back as the same id.
[[nodiscard]] std::string id_hex_json(std::uint32_t id);
// The file name an entry is written under ("40000001.bin"): only the tool's own
// formatting of the id, never bytes from the archive, so it cannot name another path.
[[nodiscard]] std::string entry_file_name(std::uint32_t id);
// Two lower-case hexadecimal digits per byte, no separators.
[[nodiscard]] std::string hex_bytes(std::span<const std::uint8_t> bytes);
// Decimal rendering of any integer.
template <std::integral T>
[[nodiscard]] std::string decimal(T value) {
  char buf[24];
  return {buf, std::to_chars(std::begin(buf), std::end(buf), value).ptr};
}
// A Unix time as UTC in ISO 8601 ("2024-01-31T12:00:00Z").
[[nodiscard]] std::string utc_text(std::uint32_t unix_seconds);
// A byte count for people: "512 B", "1.5 KiB", "3.2 MiB".
[[nodiscard]] std::string human_bytes(std::uint64_t bytes);
// `value` with two decimals ("2.50").
[[nodiscard]] std::string fixed2(double value);

// One "name:  value" line per field, the values of the block lined up.
[[nodiscard]] std::string field_lines(
    const std::vector<std::pair<std::string_view, std::string>>& fields);

// One table line: cells padded to `widths`, two blanks apart, right-aligned where
// `right_aligned` says so, no trailing blanks, ending in a line break.
[[nodiscard]] std::string table_line(std::span<const std::string> cells,
                                     std::span<const std::size_t> widths,
                                     const std::vector<bool>& right_aligned);

// A text table whose columns are padded to their widest cell. Numeric columns
// are right-aligned, the others left-aligned.
class Table {
 public:
  // `headers` fixes the column count; `right_aligned[i]` aligns column i right.
  Table(std::vector<std::string> headers, std::vector<bool> right_aligned);

  // Adds one row; it must have as many cells as there are headers.
  void add_row(std::vector<std::string> cells);
  // The header line and every row, each ending in a line break, columns two
  // blanks apart and no trailing blanks.
  [[nodiscard]] std::string render() const;

 private:
  std::vector<std::string> headers_;
  std::vector<bool> right_aligned_;
  std::vector<std::vector<std::string>> rows_;
};

}  // namespace marrowvane_dat::cli
