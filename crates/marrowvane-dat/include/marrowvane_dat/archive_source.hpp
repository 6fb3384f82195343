// SPDX-License-Identifier: MIT
// Where archive bytes come from: an owned file descriptor, and the positional-read
// seam (ArchiveSource) through which every read after the header goes.
#pragma once

#include <cerrno>
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

  /// All of the source's bytes when they are in memory (a buffer or a mapping), valid
  /// as long as the source lives; empty otherwise.
  [[nodiscard]] virtual std::span<const std::uint8_t> memory() const noexcept { return {}; }
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
  /// The descriptor, still owned by the source.
  [[nodiscard]] int fd() const noexcept { return fd_.get(); }

 private:
  UniqueFd fd_;
  std::optional<std::uint64_t> length_;
};

/// A whole archive file mapped read-only into memory; unmapped when destroyed.
/// A mapping has one hazard that reads through a descriptor do not: if another
/// process truncates the file while it is mapped, touching the lost pages raises
/// SIGBUS and ends the process. Map only files that nobody shortens while they are open.
class MARROWVANE_DAT_EXPORT MappedSource final : public ArchiveSource {
 public:
  /// Maps the whole of `fd` (which it does not keep open). Errors: the OS error of
  /// fstat or mmap.
  [[nodiscard]] static std::expected<std::unique_ptr<MappedSource>, IoError> map(int fd);

 private:
  struct Key {
    explicit Key() = default;
  };

 public:
  /// Adopts a mapping made by map(); not callable from outside.
  MappedSource(Key, std::span<const std::uint8_t> bytes) noexcept : bytes_(bytes) {}
  MappedSource(const MappedSource&) = delete;
  MappedSource& operator=(const MappedSource&) = delete;
  ~MappedSource() override;

  [[nodiscard]] std::expected<void, IoError> read_exact_at(std::span<std::uint8_t> buf,
                                                           std::uint64_t offset) const override;
  [[nodiscard]] std::optional<std::uint64_t> size_hint() const noexcept override {
    return bytes_.size();
  }
  [[nodiscard]] std::span<const std::uint8_t> memory() const noexcept override { return bytes_; }

 private:
  std::span<const std::uint8_t> bytes_;
};

/// An archive held in memory: either a buffer it owns or bytes it borrows.
class MARROWVANE_DAT_EXPORT MemorySource final : public ArchiveSource {
 public:
  /// Owns `bytes` and serves them as the archive.
  explicit MemorySource(std::vector<std::uint8_t> bytes) noexcept
      : owned_(std::move(bytes)), bytes_(owned_) {}
  /// Serves `bytes` without copying them; the caller keeps them alive and unchanged for
  /// as long as the source (and any database opened on it) lives.
  explicit MemorySource(std::span<const std::uint8_t> bytes) noexcept : bytes_(bytes) {}

  [[nodiscard]] std::expected<void, IoError> read_exact_at(std::span<std::uint8_t> buf,
                                                           std::uint64_t offset) const override;
  [[nodiscard]] std::optional<std::uint64_t> size_hint() const noexcept override {
    return bytes_.size();
  }
  [[nodiscard]] std::span<const std::uint8_t> memory() const noexcept override { return bytes_; }

 private:
  std::vector<std::uint8_t> owned_;
  std::span<const std::uint8_t> bytes_;
};

namespace detail {

/// The loop of FileSource::read_vectored_at over any preadv-shaped function, so tests can
/// feed it interrupted, short and failing reads. `read(pieces, skip, offset)` fills
/// `pieces` (the first from its byte `skip` on) from `offset` and returns the bytes read,
/// 0 at the end of the data, or -1 with errno set. Interrupted reads are retried and
/// short ones continued until the pieces are full or the data ends.
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
    const std::int64_t got = read(pieces.subspan(index), skip, offset + done);
    if (got < 0) {
      const int code = errno;
      if (code == EINTR) {
        continue;
      }
      if (done == 0) {
        return std::unexpected(IoError::from_errno(code));
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

}  // namespace detail

}  // namespace marrowvane_dat
