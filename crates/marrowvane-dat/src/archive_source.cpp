// SPDX-License-Identifier: MIT
// What every archive source shares, and the memory-backed source (the file and mapping
// parts are in platform/).
#include "marrowvane_dat/archive_source.hpp"

#include <algorithm>
#include <cstring>

namespace marrowvane_dat {
namespace {

std::expected<void, IoError> copy_out(std::span<const std::uint8_t> bytes,
                                      std::span<std::uint8_t> buf, std::uint64_t offset) noexcept {
  if (buf.empty()) {
    return {};
  }
  if (offset > bytes.size() || buf.size() > bytes.size() - offset) {
    return std::unexpected(IoError::unexpected_eof());
  }
  std::memcpy(buf.data(), bytes.data() + offset, buf.size());
  return {};
}

}  // namespace

// Closing is the platform's (platform/); handing the descriptor over is not.
UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    UniqueFd old(fd_);
    fd_ = other.release();
  }
  return *this;
}

int UniqueFd::release() noexcept {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

std::expected<std::size_t, IoError> ArchiveSource::read_vectored_at(
    std::span<const std::span<std::uint8_t>> pieces, std::uint64_t offset) const {
  std::size_t done = 0;
  for (const std::span<std::uint8_t> piece : pieces) {
    if (auto read = read_exact_at(piece, offset + done); !read) {
      if (done == 0) {
        return std::unexpected(read.error());
      }
      break;
    }
    done += piece.size();
  }
  return done;
}

std::size_t ArchiveSource::read_cached_at(std::span<const std::span<std::uint8_t>> /*pieces*/,
                                          std::uint64_t /*offset*/) const noexcept {
  return 0;
}

std::span<const std::uint8_t> ArchiveSource::view_at(std::uint64_t /*offset*/,
                                                     std::size_t /*count*/) const noexcept {
  return {};
}

std::expected<std::span<const std::uint8_t>, IoError> ArchiveSource::read_at(
    std::span<std::uint8_t> buf, std::uint64_t offset) const {
  if (const std::span<const std::uint8_t> view = view_at(offset, buf.size());
      view.size() == buf.size() && !view.empty()) {
    return view;
  }
  if (auto read = read_exact_at(buf, offset); !read) {
    return std::unexpected(read.error());
  }
  return buf;
}

MemorySource::MemorySource(std::vector<std::uint8_t> bytes) {
  auto owned = std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes));
  bytes_ = *owned;
  owner_ = std::move(owned);
}

std::expected<void, IoError> MemorySource::read_exact_at(std::span<std::uint8_t> buf,
                                                         std::uint64_t offset) const {
  return copy_out(bytes_, buf, offset);
}

std::size_t MemorySource::read_cached_at(std::span<const std::span<std::uint8_t>> pieces,
                                         std::uint64_t offset) const noexcept {
  std::size_t done = 0;
  for (const std::span<std::uint8_t> piece : pieces) {
    if (offset >= bytes_.size()) {
      break;
    }
    const auto count =
        static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), bytes_.size() - offset));
    std::memcpy(piece.data(), bytes_.data() + offset, count);
    done += count;
    offset += count;
    if (count < piece.size()) {
      break;
    }
  }
  return done;
}

std::span<const std::uint8_t> MemorySource::view_at(std::uint64_t offset,
                                                    std::size_t count) const noexcept {
  if (offset > bytes_.size() || count > bytes_.size() - offset) {
    return {};
  }
  return bytes_.subspan(static_cast<std::size_t>(offset), count);
}

}  // namespace marrowvane_dat
