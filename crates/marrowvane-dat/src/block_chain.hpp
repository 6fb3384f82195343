// SPDX-License-Identifier: MIT
// Reading block chains: the one walk behind every read of file bytes and directory
// nodes, for every kind of archive source, writing into any kind of output sink.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <span>
#include <vector>

#include "marrowvane_dat/archive_source.hpp"
#include "marrowvane_dat/error.hpp"

namespace marrowvane_dat::detail {

// Blocks smaller than this hold too few bytes to be read one by one at a fair cost:
// the client never writes them, and reads of them take other ways.
inline constexpr std::uint32_t SMALL_BLOCK_SIZE = 64;

// Every block starts with the absolute offset of the next one.
inline constexpr std::uint32_t LINK_SIZE = 4;

// What a chain read needs to know about its archive; fixed when the archive opens.
struct ChainGeometry {
  // Bytes per block, link included; above LINK_SIZE.
  std::uint32_t block_size = 0;
  // The archive's length, or max() when the source cannot tell.
  std::uint64_t archive_length = std::numeric_limits<std::uint64_t>::max();
  // The most blocks one chain may pass through: the blocks the archive holds on its
  // block grid. More means its links loop or its blocks overlap.
  std::uint64_t max_blocks = std::numeric_limits<std::uint64_t>::max();
  // No chain within the block bound can gather more bytes than this: every block but
  // the last gives at most block_size - 4, and the last no more than the archive holds.
  std::uint64_t max_chain_bytes = std::numeric_limits<std::uint64_t>::max();

  [[nodiscard]] bool length_known() const noexcept {
    return archive_length != std::numeric_limits<std::uint64_t>::max();
  }
  [[nodiscard]] std::uint64_t payload_size() const noexcept { return block_size - LINK_SIZE; }
};

// The geometry of an archive whose blocks are `block_size` bytes. Errors: Corruption
// when a block has no room for data after its link, so no chain could make progress;
// ask only when bytes are to be read.
Result<ChainGeometry> chain_geometry(std::uint32_t block_size, std::uint64_t archive_length);

// Output sinks. A walk hands a sink the result's bytes in order, either as a view to
// copy (append) or by asking for the room the next bytes are read into (room); room it
// took but could not fill it gives back (give_back). Every walk works with every sink.

// Fills a buffer sized by the caller.
class SpanSink {
 public:
  static constexpr bool KEEPS_BYTES = true;
  explicit SpanSink(std::span<std::uint8_t> out) noexcept : out_(out) {}
  std::span<std::uint8_t> room(std::size_t count) noexcept {
    const std::span<std::uint8_t> room = out_.subspan(filled_, count);
    filled_ += count;
    return room;
  }
  void append(std::span<const std::uint8_t> bytes) noexcept {
    std::memcpy(out_.data() + filled_, bytes.data(), bytes.size());
    filled_ += bytes.size();
  }
  void give_back(std::size_t count) noexcept { filled_ -= count; }
  void block(std::uint64_t /*offset*/) noexcept { ++blocks_; }
  // How many blocks the walk passed through.
  [[nodiscard]] std::uint64_t blocks() const noexcept { return blocks_; }

 private:
  std::span<std::uint8_t> out_;
  std::size_t filled_ = 0;
  std::uint64_t blocks_ = 0;
};

// Fills a vector with a result of `size` bytes. Views are appended to an emptied vector
// (nothing is zero-filled first); the first read in place sizes the vector once (a
// reused one keeps its capacity) and later views are copied into it. May throw
// std::bad_alloc.
class VectorSink {
 public:
  static constexpr bool KEEPS_BYTES = true;
  VectorSink(std::vector<std::uint8_t>& out, std::size_t size) noexcept : out_(out), size_(size) {}
  std::span<std::uint8_t> room(std::size_t count) {
    if (!sized_) {
      out_.resize(size_);
      sized_ = true;
    }
    const std::span<std::uint8_t> room = std::span(out_).subspan(filled_, count);
    filled_ += count;
    return room;
  }
  void append(std::span<const std::uint8_t> bytes) {
    if (sized_) {
      std::memcpy(out_.data() + filled_, bytes.data(), bytes.size());
    } else {
      if (filled_ == 0) {
        out_.clear();
        out_.reserve(size_);
      }
      out_.insert(out_.end(), bytes.begin(), bytes.end());
    }
    filled_ += bytes.size();
  }
  void give_back(std::size_t count) noexcept { filled_ -= count; }
  void block(std::uint64_t /*offset*/) noexcept {}

 private:
  std::vector<std::uint8_t>& out_;
  std::size_t size_;
  std::size_t filled_ = 0;
  bool sized_ = false;
};

// Keeps nothing: finds the error a read gives (or that it gives none) without room for
// its bytes, and reads no payload.
class DiscardSink {
 public:
  static constexpr bool KEEPS_BYTES = false;
  void block(std::uint64_t /*offset*/) noexcept {}
};

// Keeps the offset of every block the walk passes through, and reads no payload.
class BlockListSink {
 public:
  static constexpr bool KEEPS_BYTES = false;
  explicit BlockListSink(std::vector<std::uint32_t>& out) noexcept : out_(out) {}
  void block(std::uint64_t offset) { out_.push_back(static_cast<std::uint32_t>(offset)); }

 private:
  std::vector<std::uint32_t>& out_;
};

// Hands each block's offset to a caller's function, which ends the walk early by
// returning false.
class BlockVisitSink {
 public:
  static constexpr bool KEEPS_BYTES = false;
  explicit BlockVisitSink(const std::function<bool(std::uint32_t)>& visit) noexcept
      : visit_(visit) {}
  [[nodiscard]] bool block(std::uint64_t offset) {
    return visit_(static_cast<std::uint32_t>(offset));
  }

 private:
  const std::function<bool(std::uint32_t)>& visit_;
};

// Reusable room for the walks served from windows of the archive instead of one read
// per block: those of archives with tiny blocks, and those that keep no bytes.
struct ChainScratch {
  std::vector<std::uint8_t> window;
};

// Gathers `size` bytes of the chain whose first block is at `offset` into `sink`.
// Results and errors are exactly those of following the chain block by block (read
// the link, then the payload: block_size - 4 bytes, or everything still missing from
// the last block), except that a chain visiting more than geometry.max_blocks blocks
// is Corruption. A sink that keeps bytes must take `size` of them (a caller sizes by
// geometry.max_chain_bytes first); std::bad_alloc from the sink passes through.
template <class Sink>
Result<void> read_chain(const ArchiveSource& source, const ChainGeometry& geometry,
                        std::uint32_t offset, std::uint32_t size, Sink& sink,
                        ChainScratch& scratch);

extern template Result<void> read_chain(const ArchiveSource&, const ChainGeometry&, std::uint32_t,
                                        std::uint32_t, SpanSink&, ChainScratch&);
extern template Result<void> read_chain(const ArchiveSource&, const ChainGeometry&, std::uint32_t,
                                        std::uint32_t, VectorSink&, ChainScratch&);
extern template Result<void> read_chain(const ArchiveSource&, const ChainGeometry&, std::uint32_t,
                                        std::uint32_t, DiscardSink&, ChainScratch&);
extern template Result<void> read_chain(const ArchiveSource&, const ChainGeometry&, std::uint32_t,
                                        std::uint32_t, BlockListSink&, ChainScratch&);
extern template Result<void> read_chain(const ArchiveSource&, const ChainGeometry&, std::uint32_t,
                                        std::uint32_t, BlockVisitSink&, ChainScratch&);

}  // namespace marrowvane_dat::detail
