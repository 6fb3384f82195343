// SPDX-License-Identifier: MIT
// Output files by descriptor: openat/mkdirat with O_NOFOLLOW below the output
// directory, a temporary file per write, and a rename that does or does not replace.
#include "output_tree.hpp"

#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "stale_temporaries.hpp"
#include "standard_output.hpp"
#include "table.hpp"

namespace marrowvane_dat::cli {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t WRITE_CHUNK = std::size_t{1} << 20;
// Temporary names are unique per process and write; a name left by a crashed run is
// skipped by O_EXCL, a few times at most.
constexpr int TEMP_NAME_ATTEMPTS = 16;

std::string failure(std::string_view what, const fs::path& shown, int code) {
  return path_text(shown) + ": " + std::string(what) + ": " + errno_text(code);
}

// Why `name` in `dir_fd` could not be opened as a directory without following links.
std::string not_a_directory(int dir_fd, std::string_view name, const fs::path& shown, int code) {
  struct stat st {};
  if (::fstatat(dir_fd, std::string(name).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISLNK(st.st_mode)) {
      return path_text(shown) + ": is a symbolic link; refusing to follow it";
    }
    if (!S_ISDIR(st.st_mode)) {
      return path_text(shown) + ": exists and is not a directory";
    }
  }
  return failure("cannot open directory", shown, code);
}

// Moves `temp` to `name` in `dir_fd` unless `name` is taken. Returns 0, EEXIST, or
// another errno.
int rename_no_replace(int dir_fd, const std::string& temp, const std::string& name) {
  if (::renameat2(dir_fd, temp.c_str(), dir_fd, name.c_str(), RENAME_NOREPLACE) == 0) {
    return 0;
  }
  if (errno != EINVAL && errno != ENOSYS) {
    return errno;
  }
  // A file system without RENAME_NOREPLACE: a hard link also never replaces.
  if (::linkat(dir_fd, temp.c_str(), dir_fd, name.c_str(), 0) != 0) {
    return errno;
  }
  ::unlinkat(dir_fd, temp.c_str(), 0);
  return 0;
}

}  // namespace

std::expected<OutputTree, std::string> OutputTree::open(const fs::path& path) {
  std::error_code ec;
  if (fs::exists(path, ec) && !fs::is_directory(path, ec)) {
    return std::unexpected(path_text(path) + ": exists and is not a directory");
  }
  fs::create_directories(path, ec);
  if (ec) {
    return std::unexpected(path_text(path) + ": cannot create directory: " + ec.message());
  }
  // The directory itself is the user's choice and may be reached through a link.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) {
    return std::unexpected(failure("cannot open directory", path, errno));
  }
  return OutputTree(path, std::move(fd));
}

std::expected<UniqueFd, std::string> OutputTree::subdir(std::string_view name, bool create) const {
  const std::string component(name);
  const fs::path where = shown(name);
  if (create && ::mkdirat(fd_.get(), component.c_str(), 0777) != 0 && errno != EEXIST) {
    return std::unexpected(failure("cannot create directory", where, errno));
  }
  UniqueFd fd(
      ::openat(fd_.get(), component.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) {
    const int code = errno;
    if (code == ENOENT && !create) {
      return UniqueFd();
    }
    return std::unexpected(not_a_directory(fd_.get(), name, where, code));
  }
  return fd;
}

bool name_taken(int dir_fd, std::string_view name) noexcept {
  struct stat st {};
  const std::string component(name);
  return ::fstatat(dir_fd, component.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
}

std::expected<WriteOutcome, std::string> write_file_atomically(int dir_fd, std::string_view name,
                                                               std::span<const std::uint8_t> bytes,
                                                               Existing existing,
                                                               const fs::path& shown,
                                                               const std::atomic<bool>* stop) {
  std::string temp;
  UniqueFd fd;
  for (int attempt = 0; attempt < TEMP_NAME_ATTEMPTS && !fd; ++attempt) {
    temp = temporary_name(name);
    // O_EXCL with O_CREAT never follows a link at the final component.
    fd = UniqueFd(
        ::openat(dir_fd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!fd && errno != EEXIST) {
      break;
    }
  }
  if (!fd) {
    return std::unexpected(failure("cannot create a temporary file", shown, errno));
  }
  const auto abandon = [&](std::string reason) -> std::expected<WriteOutcome, std::string> {
    fd = UniqueFd();
    ::unlinkat(dir_fd, temp.c_str(), 0);
    return std::unexpected(std::move(reason));
  };

  for (std::size_t done = 0; done < bytes.size(); done += WRITE_CHUNK) {
    if (stop != nullptr && stop->load(std::memory_order_relaxed)) {
      return abandon(path_text(shown) + ": interrupted while writing");
    }
    if (const int code = write_all(
            fd.get(), bytes.subspan(done).first(std::min(WRITE_CHUNK, bytes.size() - done)));
        code != 0) {
      return abandon(failure("cannot write", shown, code));
    }
  }
  // close() is where some file systems report a failed write-back.
  if (::close(fd.release()) != 0) {
    return abandon(failure("cannot write", shown, errno));
  }

  const std::string target(name);
  if (existing == Existing::Replace) {
    if (::renameat(dir_fd, temp.c_str(), dir_fd, target.c_str()) != 0) {
      return abandon(failure("cannot replace", shown, errno));
    }
    return WriteOutcome::Written;
  }
  const int code = rename_no_replace(dir_fd, temp, target);
  if (code == EEXIST) {
    ::unlinkat(dir_fd, temp.c_str(), 0);
    return WriteOutcome::Exists;
  }
  if (code != 0) {
    return abandon(failure("cannot create", shown, code));
  }
  return WriteOutcome::Written;
}

}  // namespace marrowvane_dat::cli
