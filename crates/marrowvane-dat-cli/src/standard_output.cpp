// SPDX-License-Identifier: MIT
// Standard output and error writing, and what happens when standard output fails.
#include "standard_output.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>

#include <unistd.h>

#include "platform/system.hpp"
#include "retry.hpp"

namespace marrowvane_dat::cli {
namespace {

constexpr std::size_t MAX_WRITE = std::size_t{1} << 30;

// The errno of the first failed write to standard output; 0 while none has failed.
std::atomic<int> stdout_error{0};

}  // namespace

int write_all(int fd, std::span<const std::uint8_t> bytes) noexcept {
  while (!bytes.empty()) {
    // Capped so that the count fits every platform's parameter type.
    const auto count = static_cast<unsigned>(std::min(bytes.size(), MAX_WRITE));
    const auto written =
        detail::retry_interrupted([&] { return ::write(fd, bytes.data(), count); });
    if (written < 0) {
      return failed_write_errno();
    }
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
  return 0;
}

bool write_stdout(std::span<const std::uint8_t> bytes) {
  if (stdout_failed()) {
    return false;
  }
  const int code = write_all(STDOUT_FILENO, bytes);
  int expected = 0;
  // A reader that stops early (`| head`) is not an error to report, only a reason
  // to stop; SIGPIPE is ignored in main, so this is where we learn of it.
  if (code != 0 && stdout_error.compare_exchange_strong(expected, code) && code != EPIPE) {
    report_error("standard output: cannot write: " + errno_text(code));
  }
  return code == 0;
}

bool write_stdout(std::string_view text) {
  return write_stdout({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

bool stdout_failed() noexcept {
  return stdout_error.load(std::memory_order_relaxed) != 0;
}

void report_error(std::string_view message) {
  std::string line;
  line.reserve(TOOL_NAME.size() + 2 + message.size() + 1);
  line.append(TOOL_NAME).append(": ").append(message).push_back('\n');
  write_stderr(line);
}

void write_stderr(std::string_view text) {
  (void)write_all(STDERR_FILENO, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

bool StdoutStream::append(std::string_view text) {
  buffer_.append(text);
  return buffer_.size() < FLUSH_AT ? !stdout_failed() : flush();
}

bool StdoutStream::flush() {
  const bool ok = write_stdout(buffer_);
  buffer_.clear();
  return ok;
}

bool is_terminal(int fd) noexcept {
  return ::isatty(fd) == 1;
}

}  // namespace marrowvane_dat::cli
