// SPDX-License-Identifier: MIT
// The positional read of archive files and the lookup of the portal archive.
#include "marrowvane_dat/utils.hpp"

#include <cstdlib>
#include <system_error>

#include <unistd.h>

#include "posix_io.hpp"
#include "utf8.hpp"

#ifndef MARROWVANE_DAT_PACKAGE_DIR
#error "MARROWVANE_DAT_PACKAGE_DIR must name the library's package directory"
#endif

namespace marrowvane_dat {

std::expected<void, IoError> read_exact_at_compat(int fd, std::span<std::uint8_t> buf,
                                                  std::uint64_t offset) noexcept {
  return detail::read_exact_at_with(
      [fd](void* out, std::size_t count, std::uint64_t at) {
        return ::pread(fd, out, count, static_cast<off_t>(at));
      },
      buf, offset);
}

namespace {

// Exists as the file system sees it: metadata readable, symbolic links followed.
bool path_exists(const std::filesystem::path& path) {
  std::error_code ignored;
  return std::filesystem::exists(path, ignored);
}

}  // namespace

std::optional<std::filesystem::path> get_portal_dat_path() {
  if (const char* value = std::getenv("MARROWVANE_PORTAL_DAT");
      value != nullptr && detail::is_valid_utf8(value)) {
    std::filesystem::path path(value);
    if (path_exists(path)) {
      return path;
    }
  }
  const std::filesystem::path workspace_root =
      std::filesystem::path(MARROWVANE_DAT_PACKAGE_DIR) / "../../";
  std::filesystem::path repo_dats = workspace_root / "dats/portal.dat";
  if (path_exists(repo_dats)) {
    return repo_dats;
  }
  return std::nullopt;
}

}  // namespace marrowvane_dat
