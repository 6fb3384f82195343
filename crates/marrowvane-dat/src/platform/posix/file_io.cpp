// SPDX-License-Identifier: MIT
// The archive layer on POSIX systems: descriptors, pread/preadv, mmap and errno texts.
#include "platform/file_io.hpp"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "file_length.hpp"
#include "marrowvane_dat/binary_reader.hpp"
#include "marrowvane_dat/utils.hpp"
#include "posix_io.hpp"
#include "retry.hpp"
#include "utf8.hpp"

namespace marrowvane_dat {
namespace {

std::optional<std::uint64_t> length_of(int fd) noexcept {
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    return std::nullopt;
  }
  return detail::file_length(fd, info);
}

// One read over `rest`, the first piece from its byte `skip` on: a preadv, or a
// preadv2 when there are `flags`.
std::int64_t read_pieces(int fd, std::span<const std::span<std::uint8_t>> rest, std::size_t skip,
                         std::uint64_t at, int flags) {
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
#ifdef RWF_NOWAIT
  if (flags != 0) {
    return ::preadv2(fd, iov.data(), static_cast<int>(count), static_cast<off_t>(at), flags);
  }
#endif
  (void)flags;
  return ::preadv(fd, iov.data(), static_cast<int>(count), static_cast<off_t>(at));
}

}  // namespace

UniqueFd::~UniqueFd() {
  // close() is not retried on EINTR: on Linux the descriptor is released either way.
  if (fd_ >= 0) {
    ::close(fd_);
  }
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
      [fd](std::span<const std::span<std::uint8_t>> rest, std::size_t skip, std::uint64_t at) {
        return read_pieces(fd, rest, skip, at, 0);
      },
      pieces, offset);
}

std::size_t FileSource::read_cached_at(std::span<const std::span<std::uint8_t>> pieces,
                                       std::uint64_t offset) const noexcept {
#ifdef RWF_NOWAIT
  const int fd = fd_.get();
  // A read that would wait fails with EAGAIN, which ends the loop with what came before.
  return detail::read_vectored_at_with(
             [fd](std::span<const std::span<std::uint8_t>> rest, std::size_t skip,
                  std::uint64_t at) { return read_pieces(fd, rest, skip, at, RWF_NOWAIT); },
             pieces, offset)
      .value_or(0);
#else
  (void)pieces;
  (void)offset;
  return 0;
#endif
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

std::expected<void, IoError> read_exact_at_compat(int fd, std::span<std::uint8_t> buf,
                                                  std::uint64_t offset) noexcept {
  return detail::read_exact_at_with(
      [fd](void* out, std::size_t count, std::uint64_t at) {
        return ::pread(fd, out, count, static_cast<off_t>(at));
      },
      buf, offset);
}

namespace detail {

std::expected<OpenedFile, DatError> open_archive_file(const std::filesystem::path& path) {
  // The system call would stop at a NUL byte and open some other file.
  if (path.native().find('\0') != std::string::npos) {
    return std::unexpected(DatError::PathError{path, IoError::from_errno(EINVAL)});
  }
  // O_NONBLOCK keeps a FIFO without a writer (or a terminal) from blocking the open; it
  // changes nothing for regular files and block devices.
  UniqueFd fd(
      retry_interrupted([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); }));
  if (!fd) {
    const int code = errno;
    return std::unexpected(DatError::PathError{path, IoError::from_errno(code)});
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) {
    const int code = errno;
    return std::unexpected(DatError::PathError{path, IoError::from_errno(code)});
  }
  // Directories fall through: reading one fails like any unreadable header.
  if (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode) || S_ISCHR(info.st_mode)) {
    return std::unexpected(DatError::PathError{path, IoError::unsupported_file_type()});
  }
  // Reads from here on should wait for data like any other file read (the flag means
  // nothing to a regular file, so only the rest pay for clearing it).
  if (!S_ISREG(info.st_mode)) {
    if (const int flags = ::fcntl(fd.get(), F_GETFL);
        flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) < 0) {
      const int code = errno;
      return std::unexpected(DatError::PathError{path, IoError::from_errno(code)});
    }
  }
  const std::uint64_t length = file_length(fd.get(), info).value_or(0);
  return OpenedFile{std::move(fd), length};
}

std::expected<void, IoError> seek_to(int fd, std::uint64_t offset) noexcept {
  if (::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
    return std::unexpected(IoError::from_errno(errno));
  }
  return {};
}

std::expected<std::size_t, IoError> read_some(int fd, std::span<std::uint8_t> buf) noexcept {
  const ssize_t got = retry_interrupted([&] { return ::read(fd, buf.data(), buf.size()); });
  if (got < 0) {
    return std::unexpected(IoError::from_errno(errno));
  }
  return static_cast<std::size_t>(got);
}

std::optional<std::filesystem::path> environment_path(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || !is_valid_utf8(value)) {
    return std::nullopt;
  }
  return std::filesystem::path(value);
}

std::string os_message(int code) {
  char buffer[256];
  // The GNU strerror_r may return a static string instead of filling the buffer.
  return ::strerror_r(code, buffer, sizeof buffer);
}

std::string_view os_error_kind(int code) noexcept {
  switch (code) {
    case ENOENT:
      return "NotFound";
    case EACCES:
    case EPERM:
      return "PermissionDenied";
    case EINTR:
      return "Interrupted";
    case EISDIR:
      return "IsADirectory";
    case ENOTDIR:
      return "NotADirectory";
    case EINVAL:
      return "InvalidInput";
    case ENOMEM:
      return "OutOfMemory";
    case ELOOP:
      return "FilesystemLoop";
    case ENAMETOOLONG:
      return "InvalidFilename";
    default:
      return "Uncategorized";
  }
}

}  // namespace detail
}  // namespace marrowvane_dat
