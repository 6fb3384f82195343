// Where archive bytes come from: an owned file descriptor, and the positional-read
// seam (ArchiveSource) through which every read after the header goes.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "marrowvane_dat/error.hpp"
#include "marrowvane_dat/export.hpp"

namespace marrowvane_dat {

// Owns one file descriptor; -1 when empty. Closes it once on destruction.
class MARROWVANE_DAT_EXPORT UniqueFd {
 public:
  // An empty handle.
  UniqueFd() noexcept = default;
  // Takes ownership of `fd` (-1 for none).
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  // Moves ownership; `other` becomes empty.
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  // Closes the current descriptor, then takes over `other`'s.
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();

  // The descriptor, still owned; -1 when empty.
  [[nodiscard]] int get() const noexcept { return fd_; }
  // True when a descriptor is owned.
  [[nodiscard]] explicit operator bool() const noexcept { return fd_ >= 0; }
  // Gives up ownership and returns the descriptor.
  int release() noexcept;

 private:
  int fd_ = -1;
};

// A read-only, random-access view of an archive's bytes. read_exact_at must not
// depend on or change any shared position, so one source may serve many threads.
class MARROWVANE_DAT_EXPORT ArchiveSource {
 public:
  ArchiveSource() = default;
  ArchiveSource(const ArchiveSource&) = delete;
  ArchiveSource& operator=(const ArchiveSource&) = delete;
  virtual ~ArchiveSource() = default;

  // Fills all of `buf` from absolute `offset`; an end of data before `buf` is full is
  // an unexpected-EOF error. An empty `buf` succeeds without reading.
  [[nodiscard]] virtual std::expected<void, IoError> read_exact_at(std::span<std::uint8_t> buf,
                                                                   std::uint64_t offset) const = 0;
  // The number of bytes the source held when asked, if known. Only used to bound
  // allocations, never to refuse a read.
  [[nodiscard]] virtual std::optional<std::uint64_t> size_hint() const noexcept = 0;
};

// An archive file read with pread through an owned descriptor.
class MARROWVANE_DAT_EXPORT FileSource final : public ArchiveSource {
 public:
  // Reads through `fd`, which it owns from now on.
  explicit FileSource(UniqueFd fd) noexcept : fd_(std::move(fd)) {}

  [[nodiscard]] std::expected<void, IoError> read_exact_at(std::span<std::uint8_t> buf,
                                                           std::uint64_t offset) const override;
  // The file's current length from fstat, if it can be had.
  [[nodiscard]] std::optional<std::uint64_t> size_hint() const noexcept override;
  // The descriptor, still owned by the source.
  [[nodiscard]] int fd() const noexcept { return fd_.get(); }

 private:
  UniqueFd fd_;
};

// An archive held in memory; owns its bytes.
class MARROWVANE_DAT_EXPORT MemorySource final : public ArchiveSource {
 public:
  // Serves `bytes` as the archive.
  explicit MemorySource(std::vector<std::uint8_t> bytes) noexcept : bytes_(std::move(bytes)) {}

  [[nodiscard]] std::expected<void, IoError> read_exact_at(std::span<std::uint8_t> buf,
                                                           std::uint64_t offset) const override;
  [[nodiscard]] std::optional<std::uint64_t> size_hint() const noexcept override {
    return bytes_.size();
  }

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace marrowvane_dat
