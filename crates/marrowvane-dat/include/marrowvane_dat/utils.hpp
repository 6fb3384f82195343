// SPDX-License-Identifier: MIT
// Free helpers of the archive layer: the positional read, LRS decompression and
// locating the portal archive.
#pragma once

#include <cerrno>
#include <concepts>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include <sys/types.h>

#include "marrowvane_dat/error.hpp"
#include "marrowvane_dat/export.hpp"

namespace marrowvane_dat {

/// Fills all of `buf` from absolute `offset` of `fd` with pread, never touching the
/// descriptor's position. Interrupted reads are retried; an end of file before `buf`
/// is full is an unexpected-EOF error; any other failure is the OS error.
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

namespace detail {

/// The most bytes decompress_lrs can return for `input`: the declared size capped by the tokens.
std::size_t lrs_output_bound(std::span<const std::uint8_t> input) noexcept;

/// Decodes `input` into `output` (not overlapping; decoding stops when it is full) and returns
/// how many of the bytes decompress_lrs gives it wrote; later bytes up to the bound are scratch.
std::size_t decompress_lrs_to(std::span<const std::uint8_t> input,
                              std::span<std::uint8_t> output) noexcept;

/// The read loop of read_exact_at_compat over any pread-shaped function, so tests
/// can feed it interrupted, short and failing reads.
template <class PreadFn>
requires std::invocable<PreadFn&, void*, std::size_t, std::uint64_t> std::expected<void, IoError>
read_exact_at_with(PreadFn&& pread_fn, std::span<std::uint8_t> buf, std::uint64_t offset)
noexcept {
  std::size_t done = 0;
  while (done < buf.size()) {
    const ssize_t got = pread_fn(buf.data() + done, buf.size() - done, offset + done);
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      return std::unexpected(IoError::from_errno(errno));
    }
    if (got == 0) {
      return std::unexpected(IoError::unexpected_eof());
    }
    done += static_cast<std::size_t>(got);
  }
  return {};
}

}  // namespace detail

}  // namespace marrowvane_dat
