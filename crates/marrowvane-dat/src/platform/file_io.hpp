// SPDX-License-Identifier: MIT
// What the archive layer asks of the operating system, implemented once per platform
// (platform/posix, platform/windows; CMake compiles the one that fits).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "marrowvane_dat/archive_source.hpp"
#include "marrowvane_dat/error.hpp"

namespace marrowvane_dat::detail {

struct OpenedFile {
  UniqueFd fd;
  std::uint64_t length = 0;
};

// Opens `path` read-only for reading an archive, shared with other readers and never
// blocking; refuses what cannot hold one (a FIFO, socket or character device). Errors
// are DatError::PathError naming `path`.
std::expected<OpenedFile, DatError> open_archive_file(const std::filesystem::path& path);

// Moves the file position of `fd` to `offset`; the OS error on failure.
std::expected<void, IoError> seek_to(int fd, std::uint64_t offset) noexcept;

// Reads up to `buf.size()` bytes at the file position of `fd` and advances it,
// retrying interrupted reads: the bytes read, 0 at the end of the file.
std::expected<std::size_t, IoError> read_some(int fd, std::span<std::uint8_t> buf) noexcept;

// The path held by environment variable `name` (ASCII), or nothing when it is unset
// or its value is not valid text (UTF-8 bytes on POSIX, UTF-16 on Windows).
std::optional<std::filesystem::path> environment_path(const char* name);

// The system's message for an operating-system error code, in UTF-8, without a
// trailing line break.
std::string os_message(int code);

// The code's meaning to a caller ("NotFound", "PermissionDenied", ...), for debug forms.
std::string_view os_error_kind(int code) noexcept;

}  // namespace marrowvane_dat::detail
