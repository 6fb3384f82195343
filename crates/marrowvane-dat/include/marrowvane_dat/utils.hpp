// SPDX-License-Identifier: MIT
// Free helpers of the archive layer: the positional read, LRS decompression and
// locating the portal archive.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "marrowvane_dat/error.hpp"
#include "marrowvane_dat/export.hpp"

namespace marrowvane_dat {

/// Fills all of `buf` from absolute `offset` of `fd` with positional reads (pread; on
/// Windows ReadFile with the offset given) that never depend on the descriptor's
/// position. POSIX leaves that position alone; Windows moves it to where the last read
/// ended. Interrupted reads are retried; an end of file before `buf` is full is an
/// unexpected-EOF error; any other failure is the OS error (errno, or on Windows the
/// system error code).
MARROWVANE_DAT_EXPORT std::expected<void, IoError> read_exact_at_compat(
    int fd, std::span<std::uint8_t> buf, std::uint64_t offset) noexcept;

/// Decompresses an LRS payload (4-byte little-endian size, then control bytes and
/// tokens). Never fails: malformed input ends decoding early and yields what was
/// decoded so far; inputs shorter than 4 bytes come back unchanged. Allocates at most
/// what the input can produce, so only exhausted memory can throw (std::bad_alloc).
MARROWVANE_DAT_EXPORT std::vector<std::uint8_t> decompress_lrs(std::span<const std::uint8_t> input);

/// The portal archive to check: $MARROWVANE_PORTAL_DAT if it names something that
/// exists (non-UTF-8 counts as unset), else \<package dir\>/../../dats/portal.dat if
/// that exists, else nothing. Never fails.
MARROWVANE_DAT_EXPORT std::optional<std::filesystem::path> get_portal_dat_path();

}  // namespace marrowvane_dat
