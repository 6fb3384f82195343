// SPDX-License-Identifier: MIT
// The memory cursor and the sequential file reader behind the record readers.
#include "marrowvane_dat/binary_reader.hpp"

#include <cstring>

#include "platform/file_io.hpp"

namespace marrowvane_dat {

namespace {

template <class T>
std::expected<T, IoError> read_le(Cursor& cursor) noexcept {
  std::uint8_t bytes[sizeof(T)];
  if (auto read = cursor.read_exact(bytes); !read) {
    return std::unexpected(read.error());
  }
  return load_le<T>(std::span<const std::uint8_t, sizeof(T)>(bytes));
}

}  // namespace

std::expected<std::uint8_t, IoError> Cursor::read_u8() noexcept {
  return read_le<std::uint8_t>(*this);
}
std::expected<std::uint16_t, IoError> Cursor::read_u16() noexcept {
  return read_le<std::uint16_t>(*this);
}
std::expected<std::uint32_t, IoError> Cursor::read_u32() noexcept {
  return read_le<std::uint32_t>(*this);
}

std::expected<void, IoError> Cursor::skip(std::uint64_t count) noexcept {
  if (count > remaining()) {
    return std::unexpected(IoError::unexpected_eof());
  }
  position_ += count;
  return {};
}

std::expected<void, IoError> FdReader::read_exact(std::span<std::uint8_t> out) noexcept {
  std::size_t done = 0;
  while (done < out.size()) {
    const auto got = detail::read_some(fd_, out.subspan(done));
    if (!got) {
      return std::unexpected(got.error());
    }
    if (*got == 0) {
      return std::unexpected(IoError::unexpected_eof());
    }
    done += *got;
    position_ += *got;
  }
  return {};
}

void FdReader::seek(std::uint64_t position) noexcept {
  // Best effort: the rewind only matters to a caller that goes on reading the
  // descriptor sequentially, and the archive reader never does after a failure.
  if (detail::seek_to(fd_, position)) {
    position_ = position;
  }
}

}  // namespace marrowvane_dat
