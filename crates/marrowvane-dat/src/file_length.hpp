// SPDX-License-Identifier: MIT
// The length of an open file, block devices included.
#pragma once

#include <cstdint>
#include <optional>

#include <sys/stat.h>
#include <unistd.h>

namespace marrowvane_dat::detail {

// The bytes a file holds: its size for a regular file; for a block device (whose size
// fstat reports as 0) the offset of its end. Nothing when neither can be had.
inline std::optional<std::uint64_t> file_length(int fd, const struct stat& info) noexcept {
  if (S_ISBLK(info.st_mode)) {
    const off_t end = ::lseek(fd, 0, SEEK_END);
    return end < 0 ? std::nullopt : std::optional<std::uint64_t>(static_cast<std::uint64_t>(end));
  }
  return info.st_size < 0 ? std::nullopt
                          : std::optional<std::uint64_t>(static_cast<std::uint64_t>(info.st_size));
}

}  // namespace marrowvane_dat::detail
