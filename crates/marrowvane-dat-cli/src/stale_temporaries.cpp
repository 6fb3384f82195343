// SPDX-License-Identifier: MIT
// A scan of one directory for temporaries whose writer is gone.
#include "stale_temporaries.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace marrowvane_dat::cli {
namespace {

constexpr std::string_view PART = ".part-";

bool all_digits(std::string_view text) noexcept {
  return !text.empty() && std::ranges::all_of(text, [](char c) { return c >= '0' && c <= '9'; });
}

// A process that cannot be signalled for lack of permission still exists.
bool process_gone(pid_t pid) noexcept {
  return ::kill(pid, 0) != 0 && errno == ESRCH;
}

}  // namespace

std::optional<pid_t> temporary_owner(std::string_view name) noexcept {
  const std::size_t part = name.rfind(PART);
  if (name.size() < 2 || name.front() != '.' || part == std::string_view::npos || part < 2) {
    return std::nullopt;
  }
  const std::string_view tail = name.substr(part + PART.size());
  const std::size_t dash = tail.find('-');
  if (dash == std::string_view::npos || !all_digits(tail.substr(0, dash)) ||
      !all_digits(tail.substr(dash + 1))) {
    return std::nullopt;
  }
  pid_t pid = 0;
  const auto [end, ec] = std::from_chars(tail.data(), tail.data() + dash, pid);
  if (ec != std::errc() || pid <= 0) {
    return std::nullopt;
  }
  return pid;
}

void remove_stale_temporaries(int dir_fd) noexcept {
  // A descriptor of its own, because closedir() closes the one it reads.
  const int fd = ::openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    return;
  }
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(fd), ::closedir);
  if (!dir) {
    ::close(fd);
    return;
  }
  const pid_t self = ::getpid();
  while (const dirent* entry = ::readdir(dir.get())) {
    const auto owner = temporary_owner(entry->d_name);
    struct stat st {};
    if (!owner || *owner == self || !process_gone(*owner) ||
        ::fstatat(dir_fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
      continue;
    }
    ::unlinkat(dir_fd, entry->d_name, 0);
  }
}

}  // namespace marrowvane_dat::cli
