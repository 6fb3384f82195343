// SPDX-License-Identifier: MIT
// What an open database reads with: its source and the chain geometry fixed at open,
// and the reads of stored bytes that every public read form and the directory share.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "block_chain.hpp"
#include "marrowvane_dat/archive_source.hpp"
#include "marrowvane_dat/directory.hpp"
#include "marrowvane_dat/error.hpp"

namespace marrowvane_dat::detail {

class ArchiveReader {
 public:
  // Reads `source` as an archive of `block_size`-byte blocks.
  ArchiveReader(std::unique_ptr<ArchiveSource> source, std::uint32_t block_size);

  // The geometry, or Corruption when the block size leaves no room for data.
  [[nodiscard]] Result<const ChainGeometry*> geometry() const;
  // The source's length when it opened, or max() when it could not tell.
  [[nodiscard]] std::uint64_t archive_length() const noexcept { return archive_length_; }

  // Gathers `size` bytes of the chain at `offset` into `sink` (see read_chain). Size 0
  // reads nothing, whatever the block size.
  template <class Sink>
  Result<void> read(std::uint32_t offset, std::uint32_t size, Sink& sink,
                    ChainScratch& scratch) const {
    if (size == 0) {
      return {};
    }
    auto geometry = this->geometry();
    if (!geometry) {
      return std::unexpected(std::move(geometry.error()));
    }
    return read_chain(*source_, **geometry, offset, size, sink, scratch);
  }

  // The `size` stored bytes at `offset` into `out`, resized to `size` (capacity reused).
  // A size no chain in the archive can reach only has its error found, with no room
  // allocated for it. May throw std::bad_alloc.
  Result<void> read_into(std::uint32_t offset, std::uint32_t size,
                         std::vector<std::uint8_t>& out) const;
  // The same into the first `size` bytes of `out`, which holds at least that many.
  Result<void> read_into(std::uint32_t offset, std::uint32_t size,
                         std::span<std::uint8_t> out) const;

  // The size a compressed entry declares in its first 4 stored bytes; read without a
  // heap allocation. The entry stores at least 4 bytes.
  Result<std::uint32_t> declared_size(const DatFileEntry& entry) const;

  // A reader of the same archive over a copy of all its bytes in `bytes`, for a walk
  // that would otherwise read a few bytes at a time wherever links lead. Nothing when
  // the source already holds its bytes in memory, its length is unknown or above
  // `limit`, or the copy cannot be made (a failed read or no memory for it): the
  // caller then reads as before. Reads through the copy give the same bytes and errors.
  [[nodiscard]] std::unique_ptr<ArchiveReader> copy_in_memory(std::vector<std::uint8_t>& bytes,
                                                              std::uint64_t limit) const;

 private:
  std::unique_ptr<ArchiveSource> source_;
  std::uint64_t archive_length_;
  std::optional<ChainGeometry> geometry_;
  std::uint32_t block_size_;
};

// Walks the directory tree from the node at `root_offset` (0: no files) and returns
// every entry by id. Errors: those of reading a node's chain, BinRead for a node whose
// entry count runs past its end, Corruption for a node reached twice.
Result<DatFileMap> read_directory(const ArchiveReader& reader, std::uint32_t root_offset);

}  // namespace marrowvane_dat::detail
