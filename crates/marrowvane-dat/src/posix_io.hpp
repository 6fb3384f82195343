// SPDX-License-Identifier: MIT
// The loops around pread and preadv, written over any function of their shape so that
// tests can feed them interrupted, short and failing reads.
#pragma once

#include <cerrno>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include <sys/types.h>

#include "marrowvane_dat/error.hpp"
#include "retry.hpp"

namespace marrowvane_dat::detail {

// Fills `buf` from `offset` with `pread_fn(out, count, at)` (a pread: bytes read, 0 at
// the end of the data, or -1 with errno set): interrupted reads are retried, short ones
// continued, an early end is an unexpected-EOF error and any other failure the OS error.
template <class PreadFn>
requires std::invocable<PreadFn&, void*, std::size_t, std::uint64_t> std::expected<void, IoError>
read_exact_at_with(PreadFn&& pread_fn, std::span<std::uint8_t> buf, std::uint64_t offset)
noexcept {
  std::size_t done = 0;
  while (done < buf.size()) {
    const ssize_t got = retry_interrupted(
        [&] { return pread_fn(buf.data() + done, buf.size() - done, offset + done); });
    if (got < 0) {
      return std::unexpected(IoError::from_errno(errno));
    }
    if (got == 0) {
      return std::unexpected(IoError::unexpected_eof());
    }
    done += static_cast<std::size_t>(got);
  }
  return {};
}

// Fills `pieces` from `offset` with `read(pieces, skip, offset)` (a preadv over the
// pieces, the first from its byte `skip` on: bytes read, 0 at the end of the data, or
// -1 with errno set) and returns the bytes placed. Interrupted reads are retried and
// short ones continued until the pieces are full or the data ends; a failure after some
// bytes ends the read with those, a failure before any is the OS error.
template <class ReadFn>
std::expected<std::size_t, IoError> read_vectored_at_with(
    ReadFn&& read, std::span<const std::span<std::uint8_t>> pieces, std::uint64_t offset) {
  std::size_t total = 0;
  for (const std::span<std::uint8_t> piece : pieces) {
    total += piece.size();
  }
  std::size_t done = 0;
  std::size_t index = 0;
  std::size_t skip = 0;
  while (done < total) {
    const std::int64_t got =
        retry_interrupted([&] { return read(pieces.subspan(index), skip, offset + done); });
    if (got < 0) {
      if (done == 0) {
        return std::unexpected(IoError::from_errno(errno));
      }
      break;
    }
    if (got == 0) {
      break;
    }
    done += static_cast<std::size_t>(got);
    std::size_t advance = skip + static_cast<std::size_t>(got);
    while (index < pieces.size() && advance >= pieces[index].size()) {
      advance -= pieces[index].size();
      ++index;
    }
    skip = advance;
  }
  return done;
}

}  // namespace marrowvane_dat::detail
