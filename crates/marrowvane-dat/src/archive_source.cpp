// SPDX-License-Identifier: MIT
// The owned file descriptor and the file-, mapping- and memory-backed archive sources.
#include "marrowvane_dat/archive_source.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>

#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "file_length.hpp"
#include "marrowvane_dat/utils.hpp"

namespace marrowvane_dat {
namespace {

std::optional<std::uint64_t> length_of(int fd) noexcept {
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    return std::nullopt;
  }
  return detail::file_length(fd, info);
}

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

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    UniqueFd old(fd_);
    fd_ = other.release();
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  // close() is not retried on EINTR: on Linux the descriptor is released either way.
  if (fd_ >= 0) {
    ::close(fd_);
  }
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

FileSource::FileSource(UniqueFd fd) noexcept : fd_(std::move(fd)), length_(length_of(fd_.get())) {}

std::expected<void, IoError> FileSource::read_exact_at(std::span<std::uint8_t> buf,
                                                       std::uint64_t offset) const {
  return read_exact_at_compat(fd_.get(), buf, offset);
}

std::expected<std::size_t, IoError> FileSource::read_vectored_at(
    std::span<const std::span<std::uint8_t>> pieces, std::uint64_t offset) const {
  const int fd = fd_.get();
  return detail::read_vectored_at_with(
      [fd](std::span<const std::span<std::uint8_t>> rest, std::size_t skip,
           std::uint64_t at) -> std::int64_t {
        // One system call takes at most IOV_MAX pieces; the loop around it continues.
        std::array<iovec, IOV_MAX> iov;
        std::size_t count = 0;
        for (const std::span<std::uint8_t> piece : rest) {
          if (count == iov.size()) {
            break;
          }
          iov[count++] = iovec{piece.data() + skip, piece.size() - skip};
          skip = 0;
        }
        return ::preadv(fd, iov.data(), static_cast<int>(count), static_cast<off_t>(at));
      },
      pieces, offset);
}

std::expected<std::unique_ptr<MappedSource>, IoError> MappedSource::map(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    return std::unexpected(IoError::from_errno(errno));
  }
  const auto length = static_cast<std::size_t>(detail::file_length(fd, info).value_or(0));
  if (length == 0) {
    // mmap refuses empty lengths; an empty file maps to no bytes.
    return std::make_unique<MappedSource>(Key{}, std::span<const std::uint8_t>{});
  }
  void* address = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0);
  if (address == MAP_FAILED) {
    return std::unexpected(IoError::from_errno(errno));
  }
  return std::make_unique<MappedSource>(
      Key{}, std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(address), length));
}

MappedSource::~MappedSource() {
  if (!bytes_.empty()) {
    // const_cast: munmap takes a non-const pointer but never writes through it.
    ::munmap(const_cast<std::uint8_t*>(bytes_.data()), bytes_.size());
  }
}

std::expected<void, IoError> MappedSource::read_exact_at(std::span<std::uint8_t> buf,
                                                         std::uint64_t offset) const {
  return copy_out(bytes_, buf, offset);
}

std::expected<void, IoError> MemorySource::read_exact_at(std::span<std::uint8_t> buf,
                                                         std::uint64_t offset) const {
  return copy_out(bytes_, buf, offset);
}

}  // namespace marrowvane_dat
