// SPDX-License-Identifier: MIT
// Standard output and error writing, number formatting, tables and the progress bar.
#include "output.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

namespace marrowvane_dat::cli {
namespace {

// Commands differ in what "failed" means (diff reserves 1 for "different").
std::atomic<int> output_failure_status{1};

// Loops until everything is written; returns 0 or the errno of the failure.
int write_all(int fd, const void* bytes, std::size_t size) noexcept {
  const auto* data = static_cast<const unsigned char*>(bytes);
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return errno;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

[[noreturn]] void stdout_failed(int code) {
  // A consumer that stops reading (`| head`) is not an error of ours: leave
  // without a word. SIGPIPE is ignored in main, so this is where we learn of it.
  if (code == EPIPE) {
    std::_Exit(0);
  }
  report_error("cannot write to standard output: " + errno_text(code));
  std::_Exit(output_failure_status.load(std::memory_order_relaxed));
}

}  // namespace

void write_stdout(std::span<const std::uint8_t> bytes) {
  if (const int code = write_all(STDOUT_FILENO, bytes.data(), bytes.size()); code != 0) {
    stdout_failed(code);
  }
}

void set_output_failure_status(int status) noexcept {
  output_failure_status.store(status, std::memory_order_relaxed);
}

void write_stdout(std::string_view text) {
  if (const int code = write_all(STDOUT_FILENO, text.data(), text.size()); code != 0) {
    stdout_failed(code);
  }
}

void report_error(std::string_view message) {
  std::string line;
  line.reserve(TOOL_NAME.size() + 2 + message.size() + 1);
  line.append(TOOL_NAME).append(": ").append(message).push_back('\n');
  write_stderr(line);
}

void write_stderr(std::string_view text) {
  (void)write_all(STDERR_FILENO, text.data(), text.size());
}

std::string errno_text(int code) {
  char buf[256];
  // The GNU strerror_r returns the text, which may or may not be in `buf`.
  return ::strerror_r(code, buf, sizeof buf);
}

void StdoutStream::append(std::string_view text) {
  buffer_.append(text);
  if (buffer_.size() >= FLUSH_AT) {
    flush();
  }
}

void StdoutStream::flush() {
  if (!buffer_.empty()) {
    write_stdout(buffer_);
    buffer_.clear();
  }
}

bool stdin_is_terminal() noexcept {
  return ::isatty(STDIN_FILENO) == 1;
}
bool stdout_is_terminal() noexcept {
  return ::isatty(STDOUT_FILENO) == 1;
}
bool stderr_is_terminal() noexcept {
  return ::isatty(STDERR_FILENO) == 1;
}

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

std::string decimal(std::uint64_t value) {
  char buf[24];
  const auto result = std::to_chars(std::begin(buf), std::end(buf), value);
  return std::string(std::begin(buf), result.ptr);
}

std::string decimal(std::int64_t value) {
  char buf[24];
  const auto result = std::to_chars(std::begin(buf), std::end(buf), value);
  return std::string(std::begin(buf), result.ptr);
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

Table::Table(std::vector<std::string> headers, std::vector<bool> right_aligned)
    : headers_(std::move(headers)), right_aligned_(std::move(right_aligned)) {
  right_aligned_.resize(headers_.size(), false);
}

void Table::add_row(std::vector<std::string> cells) {
  cells.resize(headers_.size());
  rows_.push_back(std::move(cells));
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

void Progress::draw() const {
  if (!visible_) {
    return;
  }
  static constexpr std::size_t WIDTH = 30;
  const std::size_t done_now = done();
  const std::size_t filled = total_ == 0 ? WIDTH : done_now * WIDTH / total_;
  std::string line = "\r[";
  line.append(filled, '#').append(WIDTH - filled, ' ').append("] ");
  line.append(decimal(static_cast<std::uint64_t>(done_now)))
      .append("/")
      .append(decimal(static_cast<std::uint64_t>(total_)))
      .append(" files, ")
      .append(human_bytes(bytes()))
      .append("\x1b[K");
  write_stderr(line);
}

void Progress::clear() const {
  if (visible_) {
    write_stderr("\r\x1b[K");
  }
}

}  // namespace marrowvane_dat::cli
