// SPDX-License-Identifier: MIT
// Block chains followed block by block, through windows, or speculatively in one
// vectored read per run of adjacent blocks; every way gives the same bytes and the
// same errors as following the links one block at a time.
#include "block_chain.hpp"

#include <algorithm>
#include <array>
#include <climits>
#include <type_traits>

#include "error_texts.hpp"
#include "marrowvane_dat/binary_reader.hpp"

namespace marrowvane_dat::detail {
namespace {

// Archives with blocks below SMALL_BLOCK_SIZE are read through windows of this size:
// one read then serves hundreds of blocks when their links run side by side.
constexpr std::size_t WINDOW_SIZE = std::size_t{64} << 10;
// The smallest window read once a chain has jumped away from the last window: a read
// this small costs the source no more than reading a single block would.
constexpr std::size_t MIN_WINDOW_SIZE = 512;
// The first window of a walk that keeps no bytes: such a walk often stops after a
// block or two (a caller looking for blocks it has seen), so its windows start small
// and double while the chain runs on.
constexpr std::size_t FIRST_LINK_WINDOW_SIZE = std::size_t{4} << 10;
// The most blocks one speculative read covers: each takes two pieces of the read (its
// link word and its payload), and one Linux system call takes at most 1024 pieces.
constexpr std::size_t MAX_SPECULATIVE_BLOCKS = 512;

std::uint32_t link_at(const std::uint8_t* bytes) noexcept {
  return load_le<std::uint32_t>(std::span<const std::uint8_t, LINK_SIZE>(bytes, LINK_SIZE));
}

// The state of one chain read, shared by every way of reading it so that each can
// hand over to the exact block-by-block walk at any block.
template <class Sink>
class Walk {
 public:
  Walk(const ChainGeometry& geometry, std::uint32_t offset, std::uint32_t size, Sink& sink) noexcept
      : geometry_(geometry), start_(offset), current_(offset), remaining_(size), sink_(sink) {}

  [[nodiscard]] const ChainGeometry& geometry() const noexcept { return geometry_; }
  [[nodiscard]] std::uint64_t current() const noexcept { return current_; }
  [[nodiscard]] std::uint64_t remaining() const noexcept { return remaining_; }
  [[nodiscard]] std::uint64_t blocks_left() const noexcept {
    return geometry_.max_blocks - visited_;
  }
  [[nodiscard]] Sink& sink() const noexcept { return sink_; }

  // Counts the block about to be visited. A chain that needs more blocks than the
  // archive holds on its grid is going round in a loop or through overlapping blocks.
  Result<void> enter_block() {
    if (visited_ == geometry_.max_blocks) {
      return std::unexpected(chain_too_long(start_, geometry_.max_blocks));
    }
    ++visited_;
    if constexpr (std::is_same_v<decltype(sink_.block(current_)), bool>) {
      // The sink has seen enough: this block's link is still read, as the chain's
      // last block's would be, and nothing after it.
      if (!sink_.block(current_)) {
        remaining_ = 0;
      }
    } else {
      sink_.block(current_);
    }
    return {};
  }
  // What the current block supplies: a whole payload, or everything still missing
  // when it is the last block (it then runs on past its own end).
  [[nodiscard]] std::uint64_t take(std::uint32_t next) const noexcept {
    return next != 0 ? std::min(remaining_, geometry_.payload_size()) : remaining_;
  }
  void advance(std::uint64_t taken, std::uint32_t next) noexcept {
    remaining_ -= taken;
    current_ = next;
  }
  // Gives the sink the `count` bytes at `at` with one exact read (a view where the
  // source has one), or, when the sink keeps nothing, checks only that they exist.
  [[nodiscard]] Result<void> gather(const ArchiveSource& source, std::uint64_t at,
                                    std::uint64_t count) const {
    if constexpr (!Sink::KEEPS_BYTES) {
      const std::uint64_t length = geometry_.archive_length;
      if (at > length || count > length - at) {
        return std::unexpected(IoError::unexpected_eof());
      }
      return {};
    } else {
      const auto bytes = static_cast<std::size_t>(count);
      if (const std::span<const std::uint8_t> view = source.view_at(at, bytes);
          view.size() == bytes) {
        sink_.append(view);
        return {};
      }
      if (auto read = source.read_exact_at(sink_.room(bytes), at); !read) {
        return std::unexpected(read.error());
      }
      return {};
    }
  }

 private:
  const ChainGeometry& geometry_;
  std::uint64_t start_;
  std::uint64_t current_;
  std::uint64_t remaining_;
  std::uint64_t visited_ = 0;
  Sink& sink_;
};

// The reference walk: per block, one read of the link and one of the payload. From a
// source that holds its bytes in memory both are views, so this is also the fast way
// to read such a source.
template <class Sink>
Result<void> follow_exactly(const ArchiveSource& source, Walk<Sink>& walk) {
  while (walk.remaining() > 0) {
    if (auto entered = walk.enter_block(); !entered) {
      return entered;
    }
    std::uint8_t room[LINK_SIZE];
    const auto link = source.read_at(room, walk.current());
    if (!link) {
      return std::unexpected(link.error());
    }
    const std::uint32_t next = link_at(link->data());
    const std::uint64_t count = walk.take(next);
    if (auto gathered = walk.gather(source, walk.current() + LINK_SIZE, count); !gathered) {
      return gathered;
    }
    walk.advance(count, next);
  }
  return {};
}

// Tiny blocks read one by one would cost a system call per few bytes; instead the
// walk runs over a window of the archive, refilled wherever a link leads outside it.
// A window is sized by what the chain is likely to take from it: the first covers the
// chain as if its blocks followed one another, each later one twice the blocks the one
// before served. So a chain whose links jump about costs one small read per block (not
// a full window per block), while a contiguous run still takes few large reads.
// Anything the window cannot serve is read exactly, so errors stay those of the
// reference walk.
template <class Sink>
Result<void> walk_windows(const ArchiveSource& source, Walk<Sink>& walk,
                          std::vector<std::uint8_t>& window) {
  const ChainGeometry& geometry = walk.geometry();
  std::uint64_t base = 0;
  std::uint64_t held = 0;
  std::uint64_t served = 0;
  bool first = true;
  const auto holds = [&](std::uint64_t at, std::uint64_t count) {
    return at >= base && at - base <= held && count <= held - (at - base);
  };
  while (walk.remaining() > 0) {
    const std::uint64_t here = walk.current();
    if (!holds(here, LINK_SIZE)) {
      const std::uint64_t length = geometry.archive_length;
      const std::uint64_t payload = geometry.payload_size();
      const std::uint64_t contiguous =
          (walk.remaining() + payload - 1) / payload * geometry.block_size;
      const std::uint64_t earned =
          first ? (Sink::KEEPS_BYTES ? contiguous : FIRST_LINK_WINDOW_SIZE)
                : std::max<std::uint64_t>(MIN_WINDOW_SIZE, 2 * served * geometry.block_size);
      const std::uint64_t want =
          here < length ? std::min({earned, contiguous, std::uint64_t{WINDOW_SIZE}, length - here})
                        : 0;
      if (want < LINK_SIZE) {
        return follow_exactly(source, walk);
      }
      if (window.size() < want) {
        window.resize(static_cast<std::size_t>(want));
      }
      if (!source.read_exact_at(std::span(window).first(static_cast<std::size_t>(want)), here)) {
        return follow_exactly(source, walk);
      }
      base = here;
      held = want;
      served = 0;
      first = false;
    }
    if (auto entered = walk.enter_block(); !entered) {
      return entered;
    }
    ++served;
    const std::uint32_t next = link_at(window.data() + (here - base));
    const std::uint64_t count = walk.take(next);
    const std::uint64_t at = here + LINK_SIZE;
    if (holds(at, count)) {
      if constexpr (Sink::KEEPS_BYTES) {
        walk.sink().append(std::span(window).subspan(static_cast<std::size_t>(at - base),
                                                     static_cast<std::size_t>(count)));
      }
    } else if (auto gathered = walk.gather(source, at, count); !gathered) {
      return gathered;
    }
    walk.advance(count, next);
  }
  return {};
}

// Reads a run of blocks in one vectored read, betting that each block links to the one
// right after it: each link word goes to scratch and each payload straight to its place
// in the result, so no byte is moved twice. The bet is checked block by block; where it
// was wrong the room of the blocks after is given back and the read carries on from the
// block the link names. The bet's size follows the chain: the first read covers
// everything a fully adjacent chain would need, later ones the length of the run just
// seen (doubled while runs keep going), so a scattered chain costs one read per block.
// A read that runs short or fails hands over to the exact walk.
template <class Sink>
Result<void> read_speculatively(const ArchiveSource& source, Walk<Sink>& walk) {
  const ChainGeometry& geometry = walk.geometry();
  const std::uint64_t payload = geometry.payload_size();
  std::uint64_t bet = MAX_SPECULATIVE_BLOCKS;
  std::array<std::uint8_t, MAX_SPECULATIVE_BLOCKS * LINK_SIZE> links;
  // Per thread, not per read: a fresh array would zero 16 KiB of spans on every call,
  // which costs a small read (a directory node, say) more than its own copy.
  thread_local std::array<std::span<std::uint8_t>, 2 * MAX_SPECULATIVE_BLOCKS> pieces;
  Sink& sink = walk.sink();

  while (walk.remaining() > 0) {
    const std::uint64_t needed = (walk.remaining() + payload - 1) / payload;
    const std::uint64_t blocks = std::min({needed, bet, walk.blocks_left()});
    if (blocks == 0) {
      return walk.enter_block();  // the chain has used up its bound: this reports it
    }
    const std::uint64_t last_take = std::min(walk.remaining() - (blocks - 1) * payload, payload);
    const auto total = static_cast<std::size_t>((blocks - 1) * payload + last_take);
    const std::span<std::uint8_t> room = sink.room(total);
    for (std::size_t i = 0; i < blocks; ++i) {
      pieces[2 * i] = std::span(links).subspan(i * LINK_SIZE, LINK_SIZE);
      pieces[2 * i + 1] = room.subspan(i * payload, i + 1 < blocks ? payload : last_take);
    }
    const auto got = source.read_vectored_at(std::span(pieces).first(2 * blocks), walk.current());
    std::size_t used = 0;
    const auto hand_over = [&] {
      sink.give_back(total - used);
      return follow_exactly(source, walk);
    };
    if (!got) {
      return hand_over();
    }
    bool run_goes_on = false;
    std::size_t run = 0;
    for (std::size_t i = 0; i < blocks; ++i, ++run) {
      const std::uint64_t take = std::min(walk.remaining(), payload);
      if (*got < i * geometry.block_size + LINK_SIZE + take) {
        return hand_over();
      }
      if (auto entered = walk.enter_block(); !entered) {
        return entered;
      }
      const std::uint64_t here = walk.current();
      const std::uint32_t next = link_at(links.data() + i * LINK_SIZE);
      used += static_cast<std::size_t>(take);
      if (next == 0 && walk.remaining() > take) {
        // The last block supplies everything still missing, from the bytes after it.
        sink.give_back(total - used);
        used = total;
        walk.advance(take, next);
        return walk.gather(source, here + LINK_SIZE + take, walk.remaining());
      }
      walk.advance(walk.take(next), next);
      run_goes_on = next == here + geometry.block_size;
      if (walk.remaining() == 0 || !run_goes_on) {
        ++run;
        break;
      }
    }
    sink.give_back(total - used);
    bet = run_goes_on ? std::min<std::uint64_t>(2 * run, MAX_SPECULATIVE_BLOCKS) : run;
  }
  return {};
}

}  // namespace

Result<ChainGeometry> chain_geometry(std::uint32_t block_size, std::uint64_t archive_length) {
  if (block_size <= LINK_SIZE) {
    return std::unexpected(block_size_too_small(block_size));
  }
  ChainGeometry geometry{.block_size = block_size, .archive_length = archive_length};
  if (geometry.length_known()) {
    geometry.max_blocks = archive_length / block_size + 1;
    geometry.max_chain_bytes = (geometry.max_blocks - 1) * geometry.payload_size() + archive_length;
  }
  return geometry;
}

template <class Sink>
Result<void> read_chain(const ArchiveSource& source, const ChainGeometry& geometry,
                        std::uint32_t offset, std::uint32_t size, Sink& sink,
                        ChainScratch& scratch) {
  Walk<Sink> walk(geometry, offset, size, sink);
  if (size == 0) {
    return {};
  }
  // A source that holds its bytes gives views, and the exact walk over views is the
  // quickest read there is.
  if (!source.view_at(offset, LINK_SIZE).empty()) {
    return follow_exactly(source, walk);
  }
  // A few bytes (a size prefix) are not worth a window's allocation. A walk that keeps
  // no bytes takes windows at any block size: a system call per link word is what
  // made checking every chain of a large archive slow.
  if (geometry.length_known() &&
      (!Sink::KEEPS_BYTES || (geometry.block_size < SMALL_BLOCK_SIZE && size > SMALL_BLOCK_SIZE))) {
    return walk_windows(source, walk, scratch.window);
  }
  if constexpr (Sink::KEEPS_BYTES) {
    return read_speculatively(source, walk);
  } else {
    return follow_exactly(source, walk);
  }
}

template Result<void> read_chain(const ArchiveSource&, const ChainGeometry&, std::uint32_t,
                                 std::uint32_t, SpanSink&, ChainScratch&);
template Result<void> read_chain(const ArchiveSource&, const ChainGeometry&, std::uint32_t,
                                 std::uint32_t, VectorSink&, ChainScratch&);
template Result<void> read_chain(const ArchiveSource&, const ChainGeometry&, std::uint32_t,
                                 std::uint32_t, DiscardSink&, ChainScratch&);
template Result<void> read_chain(const ArchiveSource&, const ChainGeometry&, std::uint32_t,
                                 std::uint32_t, BlockListSink&, ChainScratch&);
template Result<void> read_chain(const ArchiveSource&, const ChainGeometry&, std::uint32_t,
                                 std::uint32_t, BlockVisitSink&, ChainScratch&);

}  // namespace marrowvane_dat::detail
