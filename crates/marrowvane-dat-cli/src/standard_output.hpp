// SPDX-License-Identifier: MIT
// Where the tool's text goes: data to standard output, diagnostics to standard error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace marrowvane_dat::cli {

// The prefix of every diagnostic line.
inline constexpr std::string_view TOOL_NAME = "marrowvane-dat";

// Writes all of `bytes` to `fd`; returns 0 or the errno of the failure.
[[nodiscard]] int write_all(int fd, std::span<const std::uint8_t> bytes) noexcept;

// Writes all of `bytes` to standard output, from any thread. False once it has failed:
// the first failure is reported (a closed pipe silently: its reader chose to stop) and
// later writes fail at once, so the command can stop its work and exit non-zero.
[[nodiscard]] bool write_stdout(std::span<const std::uint8_t> bytes);
// The same for text.
[[nodiscard]] bool write_stdout(std::string_view text);
// True once a write to standard output has failed.
[[nodiscard]] bool stdout_failed() noexcept;

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
  // Writes what is left; a failure still shows in stdout_failed().
  ~StdoutStream() { (void)flush(); }

  // Appends `text`, writing the buffer out once it is large; false once output failed.
  bool append(std::string_view text);
  // Writes the buffer out now; false once output failed.
  bool flush();

 private:
  static constexpr std::size_t FLUSH_AT = std::size_t{64} << 10;
  std::string buffer_;
};

// True when descriptor `fd` (STDIN_FILENO, STDOUT_FILENO, ...) is a terminal.
[[nodiscard]] bool is_terminal(int fd) noexcept;

}  // namespace marrowvane_dat::cli
