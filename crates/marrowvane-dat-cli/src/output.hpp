// SPDX-License-Identifier: MIT
// Where the tool's text goes: data to standard output, diagnostics and progress to
// standard error, plus the small formatting helpers every command shares.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace marrowvane_dat::cli {

// The prefix of every diagnostic line.
inline constexpr std::string_view TOOL_NAME = "marrowvane-dat";

// Writes all of `bytes` to standard output, unbuffered. When the reader has gone
// away (closed pipe) the process ends quietly with status 0; any other write
// failure ends it with a diagnostic and the status set by
// set_output_failure_status (1 unless changed). Safe from any thread.
void write_stdout(std::span<const std::uint8_t> bytes);
// The same for text.
void write_stdout(std::string_view text);
// The exit status when standard output cannot be written; set once, before output.
void set_output_failure_status(int status) noexcept;

// Writes "marrowvane-dat: <message>" and a line break to standard error in one
// write, so lines from several threads never interleave.
void report_error(std::string_view message);
// Writes `text` to standard error unchanged; failures are ignored.
void write_stderr(std::string_view text);

// The system's text for an errno value (thread-safe).
[[nodiscard]] std::string errno_text(int code);

// Text for standard output gathered into large writes, so that a long listing costs
// few system calls and never sits in memory whole. Not thread-safe.
class StdoutStream {
 public:
  StdoutStream() = default;
  StdoutStream(const StdoutStream&) = delete;
  StdoutStream& operator=(const StdoutStream&) = delete;
  // Writes what is left.
  ~StdoutStream() { flush(); }

  // Appends `text`, writing the buffer out once it is large.
  void append(std::string_view text);
  // Writes the buffer out now.
  void flush();

 private:
  static constexpr std::size_t FLUSH_AT = std::size_t{64} << 10;
  std::string buffer_;
};

// True when standard input, output or error is a terminal.
[[nodiscard]] bool stdin_is_terminal() noexcept;
[[nodiscard]] bool stdout_is_terminal() noexcept;
[[nodiscard]] bool stderr_is_terminal() noexcept;

// Exactly eight upper-case hexadecimal digits, zero-filled ("0000ABCD").
[[nodiscard]] std::string hex8(std::uint32_t value);
// A file id the one way the tool prints it to people, in text, messages and file
// names: hex8 without a prefix ("40000001"), as the library's own messages do, and as
// parse_file_id reads it back.
[[nodiscard]] std::string id_text(std::uint32_t id);
// The string form of an id in JSON, beside the number: "0x40000001". parse_file_id
// reads it back as the same id.
[[nodiscard]] std::string id_hex_json(std::uint32_t id);
// Two lower-case hexadecimal digits per byte, no separators.
[[nodiscard]] std::string hex_bytes(std::span<const std::uint8_t> bytes);
// Decimal rendering of any integer.
[[nodiscard]] std::string decimal(std::uint64_t value);
[[nodiscard]] std::string decimal(std::int64_t value);
// A byte count for people: "512 B", "1.5 KiB", "3.2 MiB".
[[nodiscard]] std::string human_bytes(std::uint64_t bytes);
// `value` with two decimals ("2.50").
[[nodiscard]] std::string fixed2(double value);

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

// Counts finished work items and their bytes from any thread, and draws a
// one-line bar on standard error when it is a terminal.
class Progress {
 public:
  // `visible` false keeps the counters but never draws.
  Progress(std::size_t total, bool visible) noexcept : total_(total), visible_(visible) {}

  // Records one finished item of `bytes` bytes. Thread-safe.
  void advance(std::uint64_t bytes) noexcept {
    bytes_.fetch_add(bytes, std::memory_order_relaxed);
    done_.fetch_add(1, std::memory_order_release);
  }
  [[nodiscard]] std::size_t done() const noexcept { return done_.load(std::memory_order_acquire); }
  [[nodiscard]] std::uint64_t bytes() const noexcept {
    return bytes_.load(std::memory_order_relaxed);
  }
  [[nodiscard]] std::size_t total() const noexcept { return total_; }
  [[nodiscard]] bool visible() const noexcept { return visible_; }

  // Redraws the bar in place (no-op when not visible). Call from one thread only.
  void draw() const;
  // Erases the bar so that later lines start on a clean line.
  void clear() const;

 private:
  std::size_t total_;
  bool visible_;
  std::atomic<std::size_t> done_{0};
  std::atomic<std::uint64_t> bytes_{0};
};

}  // namespace marrowvane_dat::cli
