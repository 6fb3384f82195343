// SPDX-License-Identifier: MIT
// The process set-up, system texts and the archive probe on POSIX systems.
#include "platform/system.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "archive_probe.hpp"
#include "retry.hpp"
#include "standard_output.hpp"

namespace marrowvane_dat::cli {

void prepare_process() noexcept {
  // A closed pipe then shows up as EPIPE from write(), which stops the command and
  // ends it quietly with a failure status instead of death by signal.
  std::signal(SIGPIPE, SIG_IGN);
}

int failed_write_errno() noexcept {
  return errno;
}

std::vector<std::string> utf8_arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

std::string errno_text(int code) {
  char buf[256];
  // The GNU strerror_r returns the text, which may or may not be in `buf`.
  return ::strerror_r(code, buf, sizeof buf);
}

ArchiveProbe probe_file(const std::string& path) {
  ArchiveProbe probe;
  // Only a regular file: opening a FIFO would wait for a writer. O_NONBLOCK covers one
  // put in its place between the two calls.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return probe;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    return probe;
  }
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    probe.length = static_cast<std::uint64_t>(st.st_size);
    std::array<std::uint8_t, DatHeader::SIZE> raw{};
    const ssize_t got = detail::retry_interrupted(
        [&] { return ::pread(fd, raw.data(), raw.size(), static_cast<off_t>(DatHeader::OFFSET)); });
    if (got == static_cast<ssize_t>(raw.size())) {
      probe.header = parse_stored_header(raw);
    }
  }
  ::close(fd);
  return probe;
}

std::uint64_t current_process_id() noexcept {
  return static_cast<unsigned>(::getpid());
}

}  // namespace marrowvane_dat::cli
