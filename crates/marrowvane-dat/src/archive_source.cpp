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
#include "posix_io.hpp"

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

MemorySource::MemorySource(std::vector<std::uint8_t> bytes) {
  auto owned = std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes));
  bytes_ = *owned;
  owner_ = std::move(owned);
}

std::expected<std::unique_ptr<MemorySource>, IoError> MemorySource::map(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    return std::unexpected(IoError::from_errno(errno));
  }
  const auto length = static_cast<std::size_t>(detail::file_length(fd, info).value_or(0));
  if (length == 0) {
    // mmap refuses empty lengths; an empty file maps to no bytes.
    return std::make_unique<MemorySource>(std::span<const std::uint8_t>{});
  }
  void* address = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0);
  if (address == MAP_FAILED) {
    return std::unexpected(IoError::from_errno(errno));
  }
  const std::span<const std::uint8_t> bytes(static_cast<const std::uint8_t*>(address), length);
  try {
    std::shared_ptr<const void> mapping(address, [length](const void* start) {
      // const_cast: munmap takes a non-const pointer but never writes through it.
      ::munmap(const_cast<void*>(start), length);
    });
    return std::make_unique<MemorySource>(bytes, std::move(mapping));
  } catch (const std::bad_alloc&) {
    // The shared pointer unmaps when it cannot take the mapping over; nothing else holds it.
    return std::unexpected(IoError::out_of_memory());
  }
}

std::expected<void, IoError> MemorySource::read_exact_at(std::span<std::uint8_t> buf,
                                                         std::uint64_t offset) const {
  return copy_out(bytes_, buf, offset);
}

std::span<const std::uint8_t> MemorySource::view_at(std::uint64_t offset,
                                                    std::size_t count) const noexcept {
  if (offset > bytes_.size() || count > bytes_.size() - offset) {
    return {};
  }
  return bytes_.subspan(static_cast<std::size_t>(offset), count);
}

}  // namespace marrowvane_dat
