// SPDX-License-Identifier: MIT
// The lookup of the portal archive.
#include "marrowvane_dat/utils.hpp"

#include <cstdlib>
#include <system_error>

#include "platform/file_io.hpp"

#ifndef MARROWVANE_DAT_PACKAGE_DIR
#error "MARROWVANE_DAT_PACKAGE_DIR must name the library's package directory"
#endif

namespace marrowvane_dat {

namespace {

// Exists as the file system sees it: metadata readable, symbolic links followed.
bool path_exists(const std::filesystem::path& path) {
  std::error_code ignored;
  return std::filesystem::exists(path, ignored);
}

}  // namespace

std::optional<std::filesystem::path> get_portal_dat_path() {
  if (auto path = detail::environment_path("MARROWVANE_PORTAL_DAT"); path && path_exists(*path)) {
    return path;
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
