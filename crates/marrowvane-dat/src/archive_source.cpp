// The owned file descriptor and the file- and memory-backed archive sources.
#include "marrowvane_dat/archive_source.hpp"

#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

#include "marrowvane_dat/utils.hpp"

namespace marrowvane_dat {

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

std::expected<void, IoError> FileSource::read_exact_at(std::span<std::uint8_t> buf,
                                                       std::uint64_t offset) const {
  return read_exact_at_compat(fd_.get(), buf, offset);
}

std::optional<std::uint64_t> FileSource::size_hint() const noexcept {
  struct stat info {};
  if (::fstat(fd_.get(), &info) != 0 || info.st_size < 0) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(info.st_size);
}

std::expected<void, IoError> MemorySource::read_exact_at(std::span<std::uint8_t> buf,
                                                         std::uint64_t offset) const {
  if (buf.empty()) {
    return {};
  }
  if (offset > bytes_.size() || buf.size() > bytes_.size() - offset) {
    return std::unexpected(IoError::unexpected_eof());
  }
  std::memcpy(buf.data(), bytes_.data() + offset, buf.size());
  return {};
}

}  // namespace marrowvane_dat
