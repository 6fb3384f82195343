// SPDX-License-Identifier: MIT
// Number and id formatting, aligned field blocks and tables.
#include "table.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace marrowvane_dat::cli {

std::string hex8(std::uint32_t value) {
  static constexpr char DIGITS[] = "0123456789ABCDEF";
  std::string out(8, '0');
  for (std::size_t i = 8; i-- > 0;) {
    out[i] = DIGITS[value & 0xFU];
    value >>= 4U;
  }
  return out;
}

std::string id_text(std::uint32_t id) {
  return hex8(id);
}

std::string id_hex_json(std::uint32_t id) {
  return "0x" + hex8(id);
}

std::string utc_text(std::uint32_t unix_seconds) {
  // Calendar arithmetic rather than gmtime: the same on every platform, and thread-safe.
  const std::chrono::sys_seconds at{std::chrono::seconds{unix_seconds}};
  const auto day = std::chrono::floor<std::chrono::days>(at);
  const std::chrono::year_month_day date{day};
  const std::chrono::hh_mm_ss time{at - day};
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return buf;
}

std::string entry_file_name(std::uint32_t id) {
  return id_text(id) + ".bin";
}

std::string hex_bytes(std::span<const std::uint8_t> bytes) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const std::uint8_t byte : bytes) {
    out.push_back(DIGITS[byte >> 4U]);
    out.push_back(DIGITS[byte & 0xFU]);
  }
  return out;
}

std::string human_bytes(std::uint64_t bytes) {
  if (bytes < 1024) {
    return decimal(bytes) + " B";
  }
  static constexpr const char* UNITS[] = {"KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes) / 1024.0;
  std::size_t unit = 0;
  while (value >= 1024.0 && unit + 1 < std::size(UNITS)) {
    value /= 1024.0;
    ++unit;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f %s", value, UNITS[unit]);
  return buf;
}

std::string fixed2(double value) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f", value);
  return buf;
}

std::string field_lines(const std::vector<std::pair<std::string_view, std::string>>& fields) {
  std::size_t width = 0;
  for (const auto& [name, value] : fields) {
    width = std::max(width, name.size() + 1);
  }
  std::string out;
  for (const auto& [name, value] : fields) {
    out.append(name).push_back(':');
    out.append(width - name.size() - 1 + 2, ' ').append(value).push_back('\n');
  }
  return out;
}

std::string table_line(std::span<const std::string> cells, std::span<const std::size_t> widths,
                       const std::vector<bool>& right_aligned) {
  std::string line;
  for (std::size_t c = 0; c < cells.size(); ++c) {
    if (c > 0) {
      line.append(2, ' ');
    }
    const std::size_t pad = widths[c] > cells[c].size() ? widths[c] - cells[c].size() : 0;
    if (c < right_aligned.size() && right_aligned[c]) {
      line.append(pad, ' ').append(cells[c]);
    } else {
      line.append(cells[c]).append(pad, ' ');
    }
  }
  while (!line.empty() && line.back() == ' ') {
    line.pop_back();
  }
  line.push_back('\n');
  return line;
}

Table::Table(std::vector<std::string> headers, std::vector<bool> right_aligned)
    : headers_(std::move(headers)), right_aligned_(std::move(right_aligned)) {
  right_aligned_.resize(headers_.size(), false);
}

void Table::add_row(std::vector<std::string> cells) {
  cells.resize(headers_.size());
  rows_.push_back(std::move(cells));
}

std::string Table::render() const {
  std::vector<std::size_t> widths(headers_.size());
  for (std::size_t c = 0; c < headers_.size(); ++c) {
    widths[c] = headers_[c].size();
    for (const auto& row : rows_) {
      widths[c] = std::max(widths[c], row[c].size());
    }
  }
  std::string out = table_line(headers_, widths, right_aligned_);
  for (const auto& row : rows_) {
    out.append(table_line(row, widths, right_aligned_));
  }
  return out;
}

}  // namespace marrowvane_dat::cli
