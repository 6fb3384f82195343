// SPDX-License-Identifier: MIT
// Block chains read block by block, from memory, through windows, or speculatively in
// one vectored read per run of adjacent blocks; every way gives the same bytes and
// the same errors as following the links one block at a time.
#include "block_chain.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>

#include "marrowvane_dat/binary_reader.hpp"

namespace marrowvane_dat::detail {
namespace {

// Archives with blocks this small are read through windows of this size: one read
// then serves hundreds of blocks, however their links jump about.
constexpr std::uint32_t SMALL_BLOCK_SIZE = 64;
constexpr std::size_t WINDOW_SIZE = std::size_t{64} << 10;
// The smallest window read once a chain has jumped away from the last window: a read
// this small costs the source no more than reading a single block would.
constexpr std::size_t MIN_WINDOW_SIZE = 512;
// The most blocks one speculative read covers; their link words need CHAIN_SLACK.
constexpr std::size_t MAX_SPECULATIVE_BLOCKS = CHAIN_SLACK / LINK_SIZE;

std::uint32_t link_at(const std::uint8_t* bytes) noexcept {
  return load_le<std::uint32_t>(std::span<const std::uint8_t, LINK_SIZE>(bytes, LINK_SIZE));
}

// The state of one chain read, shared by every way of reading it so that each can
// hand over to the exact block-by-block walk at any block.
class Walk {
 public:
  Walk(const ChainGeometry& geometry, std::uint32_t offset, std::uint32_t size,
       std::span<std::uint8_t> out) noexcept
      : geometry_(geometry),
        max_blocks_(geometry.max_blocks()),
        start_(offset),
        current_(offset),
        remaining_(size),
        out_(out) {}

  [[nodiscard]] std::uint64_t current() const noexcept { return current_; }
  [[nodiscard]] std::uint64_t remaining() const noexcept { return remaining_; }
  [[nodiscard]] std::uint64_t filled() const noexcept { return filled_; }
  [[nodiscard]] std::uint64_t blocks_left() const noexcept { return max_blocks_ - visited_; }
  [[nodiscard]] bool discarding() const noexcept { return out_.empty() && append_ == nullptr; }
  // Where bytes read from memory are appended, when the result is a growing vector
  // rather than a sized buffer.
  [[nodiscard]] std::vector<std::uint8_t>* appending() const noexcept { return append_; }
  void append_to(std::vector<std::uint8_t>* out) noexcept { append_ = out; }
  // The bytes the result may use, the room past its end included.
  [[nodiscard]] std::uint64_t room() const noexcept { return out_.size(); }
  [[nodiscard]] std::uint64_t block_size() const noexcept { return geometry_.block_size; }
  [[nodiscard]] std::uint64_t payload_size() const noexcept {
    return geometry_.block_size - LINK_SIZE;
  }
  [[nodiscard]] std::uint64_t archive_length() const noexcept { return geometry_.archive_length; }

  // Counts the block about to be visited. A chain that needs more blocks than the
  // archive can hold distinct ones is going round in a loop.
  Result<void> enter_block() {
    if (visited_ == max_blocks_) {
      char text[160];
      std::snprintf(text, sizeof text,
                    "block chain starting at offset 0x%08llX passes through more than %llu "
                    "blocks, more than the archive holds; its links loop",
                    static_cast<unsigned long long>(start_),
                    static_cast<unsigned long long>(max_blocks_));
      return std::unexpected(DatError::Corruption{text});
    }
    ++visited_;
    return {};
  }
  // What the current block supplies: a whole payload, or everything still missing
  // when it is the last block (it then runs on past its own end).
  [[nodiscard]] std::uint64_t take(std::uint32_t next) const noexcept {
    return next != 0 ? std::min(remaining_, payload_size()) : remaining_;
  }
  // Where the next `count` bytes of the result go.
  [[nodiscard]] std::span<std::uint8_t> destination(std::uint64_t count) const noexcept {
    return result_bytes(filled_, count);
  }
  // The `count` bytes of the result from `position` on.
  [[nodiscard]] std::span<std::uint8_t> result_bytes(std::uint64_t position,
                                                     std::uint64_t count) const noexcept {
    return out_.subspan(static_cast<std::size_t>(position), static_cast<std::size_t>(count));
  }
  void advance(std::uint64_t taken, std::uint32_t next) noexcept {
    filled_ += taken;
    remaining_ -= taken;
    current_ = next;
  }
  // Whether `count` bytes at `at` exist, for reads whose bytes are not kept.
  [[nodiscard]] Result<void> check_available(std::uint64_t at, std::uint64_t count) const {
    if (at > archive_length() || count > archive_length() - at) {
      return std::unexpected(IoError::unexpected_eof());
    }
    return {};
  }
  // Gathers the next `count` bytes of the result from `at` with one exact read, or only
  // checks that they exist when the result is being discarded.
  [[nodiscard]] Result<void> gather(const ArchiveSource& source, std::uint64_t at,
                                    std::uint64_t count) const {
    if (discarding()) {
      return check_available(at, count);
    }
    if (auto read = source.read_exact_at(destination(count), at); !read) {
      return std::unexpected(read.error());
    }
    return {};
  }

 private:
  const ChainGeometry& geometry_;
  std::uint64_t max_blocks_;
  std::uint64_t start_;
  std::uint64_t current_;
  std::uint64_t remaining_;
  std::uint64_t filled_ = 0;
  std::uint64_t visited_ = 0;
  std::span<std::uint8_t> out_;
  std::vector<std::uint8_t>* append_ = nullptr;
};

// The reference walk: per block, one read of the link and one of the payload.
Result<void> follow_exactly(const ArchiveSource& source, Walk& walk) {
  while (walk.remaining() > 0) {
    if (auto entered = walk.enter_block(); !entered) {
      return entered;
    }
    std::uint8_t link[LINK_SIZE];
    if (auto read = source.read_exact_at(link, walk.current()); !read) {
      return std::unexpected(read.error());
    }
    const std::uint32_t next = link_at(link);
    const std::uint64_t count = walk.take(next);
    const std::uint64_t at = walk.current() + LINK_SIZE;
    if (auto gathered = walk.gather(source, at, count); !gathered) {
      return gathered;
    }
    walk.advance(count, next);
  }
  return {};
}

// The same walk over bytes held in memory: bounds checks instead of reads.
Result<void> walk_memory(std::span<const std::uint8_t> image, Walk& walk) {
  const std::uint64_t length = image.size();
  while (walk.remaining() > 0) {
    if (auto entered = walk.enter_block(); !entered) {
      return entered;
    }
    const std::uint64_t here = walk.current();
    if (here > length || LINK_SIZE > length - here) {
      return std::unexpected(IoError::unexpected_eof());
    }
    const std::uint32_t next = link_at(image.data() + here);
    const std::uint64_t count = walk.take(next);
    const std::uint64_t at = here + LINK_SIZE;
    if (count > length - at) {
      return std::unexpected(IoError::unexpected_eof());
    }
    if (std::vector<std::uint8_t>* out = walk.appending()) {
      out->insert(out->end(), image.begin() + static_cast<std::ptrdiff_t>(at),
                  image.begin() + static_cast<std::ptrdiff_t>(at + count));
    } else if (!walk.discarding()) {
      std::memcpy(walk.destination(count).data(), image.data() + at, count);
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
Result<void> walk_windows(const ArchiveSource& source, Walk& walk,
                          std::vector<std::uint8_t>& window) {
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
      const std::uint64_t length = walk.archive_length();
      const std::uint64_t contiguous =
          (walk.remaining() + walk.payload_size() - 1) / walk.payload_size() * walk.block_size();
      const std::uint64_t earned =
          first ? contiguous
                : std::max<std::uint64_t>(MIN_WINDOW_SIZE, 2 * served * walk.block_size());
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
      if (!walk.discarding()) {
        std::memcpy(walk.destination(count).data(), window.data() + (at - base), count);
      }
    } else if (auto gathered = walk.gather(source, at, count); !gathered) {
      return gathered;
    }
    walk.advance(count, next);
  }
  return {};
}

// Reads a run of blocks in one read straight into the result, betting that each block
// links to the one right after it, then moves each payload down over the link words
// between them (cheaper than scattering the read into a piece per block). The bet is
// checked block by block; where it was wrong the read carries on from the block the
// link names. The bet's size follows the chain: the first read covers everything a
// fully adjacent chain would need, later ones the length of the run just seen (doubled
// while runs keep going), so a scattered chain costs one read per block. A read that
// runs short or fails hands over to the exact walk. The link words need room past the
// result's end: CHAIN_SLACK bytes.
Result<void> read_speculatively(const ArchiveSource& source, Walk& walk) {
  const std::uint64_t block_size = walk.block_size();
  const std::uint64_t payload = walk.payload_size();
  std::uint64_t bet = MAX_SPECULATIVE_BLOCKS;

  while (walk.remaining() > 0) {
    const std::uint64_t needed = (walk.remaining() + payload - 1) / payload;
    std::uint64_t blocks =
        std::min({needed, bet, walk.blocks_left(), std::uint64_t{MAX_SPECULATIVE_BLOCKS}});
    if (blocks == 0) {
      return walk.enter_block();  // the chain has used up its bound: this reports the loop
    }
    const std::uint64_t base = walk.filled();
    const auto span_of = [&](std::uint64_t count) {
      return (count - 1) * block_size + LINK_SIZE +
             std::min(walk.remaining() - (count - 1) * payload, payload);
    };
    // The run's link words must fit in the room past the result's end.
    while (blocks > 1 && base + span_of(blocks) > walk.room()) {
      --blocks;
    }
    if (base + span_of(blocks) > walk.room()) {
      return follow_exactly(source, walk);
    }
    const std::uint64_t span = span_of(blocks);
    const std::span<std::uint8_t> run[] = {walk.result_bytes(base, span)};
    const auto got = source.read_vectored_at(run, walk.current());
    if (!got) {
      return follow_exactly(source, walk);
    }

    std::uint64_t used = 0;
    bool run_goes_on = false;
    for (std::uint64_t i = 0; i < blocks; ++i) {
      const std::uint64_t take = std::min(walk.remaining(), payload);
      if (*got < i * block_size + LINK_SIZE + take) {
        return follow_exactly(source, walk);
      }
      if (auto entered = walk.enter_block(); !entered) {
        return entered;
      }
      const std::uint64_t here = walk.current();
      const std::uint8_t* block = walk.result_bytes(base + i * block_size, LINK_SIZE).data();
      const std::uint32_t next = link_at(block);
      std::memmove(walk.destination(take).data(), block + LINK_SIZE, take);
      if (next == 0 && walk.remaining() > take) {
        // The last block supplies everything still missing, from the bytes after it.
        if (auto read = source.read_exact_at(walk.destination(walk.remaining()).subspan(take),
                                             here + LINK_SIZE + take);
            !read) {
          return std::unexpected(read.error());
        }
      }
      walk.advance(walk.take(next), next);
      ++used;
      run_goes_on = next == here + block_size;
      if (walk.remaining() == 0 || !run_goes_on) {
        break;
      }
    }
    bet = run_goes_on ? std::min<std::uint64_t>(2 * used, MAX_SPECULATIVE_BLOCKS) : used;
  }
  return {};
}

}  // namespace

Result<ChainGeometry> chain_geometry(std::uint32_t block_size, std::uint64_t archive_length) {
  if (block_size <= LINK_SIZE) {
    return std::unexpected(
        DatError::Corruption{"block size " + std::to_string(block_size) +
                             " leaves no room for data after the 4-byte block link"});
  }
  return ChainGeometry{.block_size = block_size, .archive_length = archive_length};
}

Result<void> read_chain(const ArchiveSource& source, const ChainGeometry& geometry,
                        std::uint32_t offset, std::uint32_t size, std::span<std::uint8_t> out,
                        ChainScratch& scratch) {
  Walk walk(geometry, offset, size, out);
  if (const std::span<const std::uint8_t> image = source.memory(); !image.empty()) {
    return walk_memory(image, walk);
  }
  const bool length_known = geometry.archive_length != std::numeric_limits<std::uint64_t>::max();
  if (geometry.block_size < SMALL_BLOCK_SIZE && length_known) {
    return walk_windows(source, walk, scratch.window);
  }
  if (walk.discarding()) {
    return follow_exactly(source, walk);
  }
  return read_speculatively(source, walk);
}

Result<void> read_chain_appending(std::span<const std::uint8_t> image,
                                  const ChainGeometry& geometry, std::uint32_t offset,
                                  std::uint32_t size, std::vector<std::uint8_t>& out) {
  Walk walk(geometry, offset, size, {});
  walk.append_to(&out);
  return walk_memory(image, walk);
}

}  // namespace marrowvane_dat::detail
