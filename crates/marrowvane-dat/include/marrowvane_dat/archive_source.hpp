// SPDX-License-Identifier: MIT
// Where archive bytes come from: an owned file descriptor, and the positional-read
// seam (ArchiveSource) through which every read after the header goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "marrowvane_dat/error.hpp"
#include "marrowvane_dat/export.hpp"

namespace marrowvane_dat {

/// Owns one file descriptor; -1 when empty. Closes it once on destruction.
class MARROWVANE_DAT_EXPORT UniqueFd {
 public:
  /// An empty handle.
  UniqueFd() noexcept = default;
  /// Takes ownership of `fd` (-1 for none).
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  /// Moves ownership; `other` becomes empty.
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  /// Closes the current descriptor, then takes over `other`'s.
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();

  /// The descriptor, still owned; -1 when empty.
  [[nodiscard]] int get() const noexcept { return fd_; }
  /// True when a descriptor is owned.
  [[nodiscard]] explicit operator bool() const noexcept { return fd_ >= 0; }
  /// Gives up ownership and returns the descriptor.
  int release() noexcept;

 private:
  int fd_ = -1;
};

/// A read-only, random-access view of an archive's bytes. No read may depend on or
/// change a shared position, so one source may serve many threads at once.
class MARROWVANE_DAT_EXPORT ArchiveSource {
 public:
  ArchiveSource() = default;
  ArchiveSource(const ArchiveSource&) = delete;
  ArchiveSource& operator=(const ArchiveSource&) = delete;
  virtual ~ArchiveSource() = default;

  /// Fills all of `buf` from absolute `offset`; an end of data before `buf` is full is
  /// an unexpected-EOF error. An empty `buf` succeeds without reading.
  [[nodiscard]] virtual std::expected<void, IoError> read_exact_at(std::span<std::uint8_t> buf,
                                                                   std::uint64_t offset) const = 0;
  /// The number of bytes the source holds. The database asks once, when it opens, and
  /// bounds allocations and block chains by it; a source that returns nothing gets
  /// neither bound.
  [[nodiscard]] virtual std::optional<std::uint64_t> size_hint() const noexcept = 0;

  /// Fills `pieces` one after another from the consecutive bytes at `offset`, in as few
  /// reads as the source can, and returns how many bytes it placed: fewer than the
  /// pieces hold when the data ends or a read fails part way. An error means nothing was
  /// read. The default reads piece by piece with read_exact_at.
  [[nodiscard]] virtual std::expected<std::size_t, IoError> read_vectored_at(
      std::span<const std::span<std::uint8_t>> pieces, std::uint64_t offset) const;

  /// As read_vectored_at, but never waits for a device: fills `pieces` only from bytes
  /// already in memory (for a file, the system's page cache) and returns how many it
  /// placed, stopping before the first it would have to wait for. The default, for a
  /// source that cannot tell, places nothing.
  [[nodiscard]] virtual std::size_t read_cached_at(std::span<const std::span<std::uint8_t>> pieces,
                                                   std::uint64_t offset) const noexcept;

  /// The `count` bytes at `offset` as a view of memory the source already holds, valid
  /// as long as the source lives; empty when it holds no such bytes (the default).
  [[nodiscard]] virtual std::span<const std::uint8_t> view_at(std::uint64_t offset,
                                                              std::size_t count) const noexcept;

  /// The `buf.size()` bytes at `offset`: a view of memory the source holds when it can
  /// give one, else `buf` filled by read_exact_at. Errors as read_exact_at.
  [[nodiscard]] std::expected<std::span<const std::uint8_t>, IoError> read_at(
      std::span<std::uint8_t> buf, std::uint64_t offset) const;
};

/// An archive file read with pread through an owned descriptor.
class MARROWVANE_DAT_EXPORT FileSource final : public ArchiveSource {
 public:
  /// Reads through `fd`, which it owns from now on, and takes its length once from fstat.
  explicit FileSource(UniqueFd fd) noexcept;
  /// Reads through `fd`, which it owns from now on, whose length the caller already
  /// knows to be `length`.
  FileSource(UniqueFd fd, std::uint64_t length) noexcept : fd_(std::move(fd)), length_(length) {}

  [[nodiscard]] std::expected<void, IoError> read_exact_at(std::span<std::uint8_t> buf,
                                                           std::uint64_t offset) const override;
  /// The file's length when the source was made, if fstat could tell.
  [[nodiscard]] std::optional<std::uint64_t> size_hint() const noexcept override { return length_; }
  /// One preadv per call (retried when interrupted, continued when short).
  [[nodiscard]] std::expected<std::size_t, IoError> read_vectored_at(
      std::span<const std::span<std::uint8_t>> pieces, std::uint64_t offset) const override;
  /// On Linux, preadv2 with RWF_NOWAIT; elsewhere nothing is placed.
  [[nodiscard]] std::size_t read_cached_at(std::span<const std::span<std::uint8_t>> pieces,
                                           std::uint64_t offset) const noexcept override;
  /// The descriptor, still owned by the source.
  [[nodiscard]] int fd() const noexcept { return fd_.get(); }

 private:
  UniqueFd fd_;
  std::optional<std::uint64_t> length_;
};

/// An archive whose bytes are in memory: a buffer it owns, a read-only mapping of a file
/// it owns, or bytes a caller keeps alive. Every read is a view of those bytes.
class MARROWVANE_DAT_EXPORT MemorySource final : public ArchiveSource {
 public:
  /// Owns `bytes` and serves them as the archive.
  explicit MemorySource(std::vector<std::uint8_t> bytes);
  /// Serves `bytes` without copying them, keeping `owner` (if any) alive for as long as
  /// the source lives; without an owner the caller keeps the bytes alive and unchanged
  /// for as long as the source (and any database opened on it) lives.
  explicit MemorySource(std::span<const std::uint8_t> bytes,
                        std::shared_ptr<const void> owner = {}) noexcept
      : owner_(std::move(owner)), bytes_(bytes) {}
  /// Maps the whole of `fd` read-only (the descriptor need not stay open); the mapping
  /// goes with the source. A mapping has one hazard that reads through a descriptor do
  /// not: if another process truncates the file while it is mapped, touching the lost
  /// pages raises SIGBUS and ends the process. Map only files that nobody shortens while
  /// they are open. Errors: the OS error of fstat or mmap.
  [[nodiscard]] static std::expected<std::unique_ptr<MemorySource>, IoError> map(int fd);

  [[nodiscard]] std::expected<void, IoError> read_exact_at(std::span<std::uint8_t> buf,
                                                           std::uint64_t offset) const override;
  [[nodiscard]] std::optional<std::uint64_t> size_hint() const noexcept override {
    return bytes_.size();
  }
  /// Every byte asked for that the source holds.
  [[nodiscard]] std::size_t read_cached_at(std::span<const std::span<std::uint8_t>> pieces,
                                           std::uint64_t offset) const noexcept override;
  /// Any range inside the bytes; empty outside them.
  [[nodiscard]] std::span<const std::uint8_t> view_at(std::uint64_t offset,
                                                      std::size_t count) const noexcept override;

 private:
  std::shared_ptr<const void> owner_;
  std::span<const std::uint8_t> bytes_;
};

}  // namespace marrowvane_dat
