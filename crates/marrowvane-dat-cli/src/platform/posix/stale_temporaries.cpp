// SPDX-License-Identifier: MIT
// A scan of one directory for temporaries whose writer is gone, by descriptor.
#include "stale_temporaries.hpp"

#include <cerrno>
#include <csignal>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace marrowvane_dat::cli {
namespace {

// A process that cannot be signalled for lack of permission still exists.
bool process_gone(pid_t pid) noexcept {
  return ::kill(pid, 0) != 0 && errno == ESRCH;
}

}  // namespace

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
