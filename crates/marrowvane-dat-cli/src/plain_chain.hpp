// SPDX-License-Identifier: MIT
// Ranges of a plain (uncompressed) stored file read straight from its blocks, with the
// chain learnt as reads reach it: opening a large file reads nothing, and reading it
// from start to end passes over its blocks once, the link words coming with the data.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include <marrowvane_dat/archive_source.hpp>
#include <marrowvane_dat/dat_database.hpp>

namespace marrowvane_dat::cli {

// Why a read failed: the library's error about the entry, as the caller words it.
template <class T>
using ChainResult = std::expected<T, std::string>;

// The pieces one read gives, in file order. They point into storage of the calling
// thread that stays valid until that thread reads again.
using ReadPieces = std::vector<std::span<const std::uint8_t>>;

// Whether a read may wait: for the disk, for another thread learning the same chain, or
// for the library's walk of it.
enum class Waiting { allowed, refused };
// What a read did: gave the bytes, or stopped short of something it would have had to
// wait for, leaving the read to a thread that may wait.
enum class Served { done, would_wait };

// The blocks of one plain entry's chain, as far as reads have followed it. Reads from
// many threads at once are safe; blocks already known are used without locking.
class PlainChain {
 public:
  // Words an error of the library about this entry.
  using Describe = std::function<std::string(const DatError&)>;

  // A chain for the plain entry `id` of `db`, whose bytes `payloads` reads; nothing is
  // read yet. Without `payloads`, every read goes through the library.
  PlainChain(const DatDatabase& db, const ArchiveSource* payloads, std::uint32_t id,
             Describe describe);

  // The file's bytes [from, from + count), which must lie within its stored size, as
  // pieces appended to `out`. Errors are the library's own for this entry: whenever
  // the chain does not go on as a sound one does, the library walks it and says why;
  // and once it has, every read gives that error. A read that may not wait gives the
  // bytes only when the source holds them in memory (read_cached_at) and nobody else is
  // learning the chain, else `would_wait` with nothing appended.
  [[nodiscard]] ChainResult<Served> read(std::uint64_t from, std::size_t count, ReadPieces& out,
                                         Waiting waiting = Waiting::allowed);

  // The heap bytes this chain holds, all of it reserved up front.
  [[nodiscard]] std::size_t footprint() const noexcept { return capacity_ * sizeof(std::uint32_t); }

 private:
  enum class Reach { known, ended, library, would_wait };
  struct Buffers;

  // Makes block `index` known, walking on from the last known block: `ended` when the
  // chain ends before it, `library` when only the library can read this chain.
  [[nodiscard]] ChainResult<Reach> reach(std::size_t index, Waiting waiting);
  // Gathers `count` bytes starting `within` the payload of known block `index`, learning
  // the blocks it passes: one vectored read per run of adjacent blocks puts the payloads
  // side by side, so the bytes come out as one piece.
  [[nodiscard]] ChainResult<Served> gather(std::size_t index, std::uint32_t within,
                                           std::size_t count, ReadPieces& out, Buffers& storage,
                                           Waiting waiting);
  // Ends a gather whose checks failed with `gathered`, the bytes before `from`, and the
  // `count` bytes from `from` on read by the library, if it finds the chain sound. A
  // read that may not wait leaves all of that to one that may.
  [[nodiscard]] ChainResult<Served> finish_elsewhere(std::uint64_t from, std::size_t count,
                                                     std::span<const std::uint8_t> gathered,
                                                     ReadPieces& out, Waiting waiting);
  // Reads `blocks` blocks from the one at `at` on in one vectored read, betting that
  // each follows the one before on disk: the link words go aside into `storage` (the
  // first with the `within` bytes before the range), the payloads one after another
  // into `rest`. Returns the bytes read; 0 when the read failed.
  [[nodiscard]] std::size_t read_run(std::uint64_t at, std::size_t blocks, std::uint32_t within,
                                     std::span<std::uint8_t> rest, Buffers& storage,
                                     Waiting waiting) const;
  // Records that block `index` is at `offset`: true when it was known to be there, or
  // when it is the next block and may be there in a sound chain (mutex_ held).
  bool learn(std::size_t index, std::uint32_t offset);
  // Records that the chain ends before block `index`.
  void learn_end(std::size_t index);
  // Asks the library, once, whether the chain is sound: its error if not.
  [[nodiscard]] ChainResult<void> settle();
  // The file's bytes [from, from + count) read by the library along its own block list,
  // for a chain it found sound where the checks here did not.
  [[nodiscard]] ChainResult<void> read_through_library(std::uint64_t from, std::size_t count,
                                                       ReadPieces& out);

  const DatDatabase& db_;
  const ArchiveSource* payloads_;
  const std::uint32_t id_;
  const std::uint64_t size_;
  const std::uint32_t block_size_;
  const std::uint64_t archive_length_;
  // No sound chain of this entry has more blocks than this.
  const std::size_t capacity_;
  // Written under mutex_ only, at [known_]; never moved, so readers need no lock.
  std::unique_ptr<std::uint32_t[]> blocks_;
  std::atomic<std::size_t> known_{0};
  // The last known block is the chain's last.
  std::atomic<bool> complete_{false};
  std::mutex mutex_;
  // The library's verdict: its error, or its block list when it found the chain sound.
  std::once_flag settled_;
  std::atomic<bool> failed_{false};
  std::atomic<bool> library_{false};
  const Describe describe_;
  std::string error_;
  std::vector<std::uint32_t> library_blocks_;
};

}  // namespace marrowvane_dat::cli
