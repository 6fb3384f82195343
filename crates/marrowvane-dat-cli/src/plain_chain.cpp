// SPDX-License-Identifier: MIT
// A plain file's chain, followed through the link words that arrive with its payloads.
// The checks here are those a sound chain passes; at the first one that fails the
// library walks the chain itself and its verdict stands, so every error keeps the
// library's wording and nothing is served that the library would not give.
#include "plain_chain.hpp"

#include <algorithm>
#include <array>

#include <marrowvane_dat/binary_reader.hpp>

namespace marrowvane_dat::cli {
namespace {

// Reads that cover this much of a file at a time while walking to a far block, so a
// jump into a large file needs a bounded buffer.
constexpr std::size_t WALK_STEP = std::size_t{1} << 20;
// The most blocks one vectored read covers: each takes two pieces of the read (its link
// word and its payload), and one Linux system call takes at most 1024 pieces.
constexpr std::size_t MAX_RUN_BLOCKS = 512;

// Memory that grows to the largest size asked for and is never cleared: a read writes
// every byte of it that is used.
class Room {
 public:
  std::span<std::uint8_t> room(std::size_t size) {
    if (size > capacity_) {
      bytes_ = std::make_unique_for_overwrite<std::uint8_t[]>(size);
      capacity_ = size;
    }
    return {bytes_.get(), size};
  }

 private:
  std::unique_ptr<std::uint8_t[]> bytes_;
  std::size_t capacity_ = 0;
};

std::uint32_t link_at(const std::uint8_t* word) {
  return load_le<std::uint32_t>(std::span<const std::uint8_t, 4>(word, 4));
}

std::size_t chain_capacity(std::uint64_t size, std::uint32_t block_size, std::uint64_t length) {
  if (block_size <= 4 || size == 0) {
    return 0;
  }
  const std::uint64_t payload = block_size - 4;
  const std::uint64_t needed = (size + payload - 1) / payload;
  // A chain never passes through more blocks than the archive's block grid holds.
  return static_cast<std::size_t>(std::min(needed, length / block_size + 1));
}

}  // namespace

// What one thread's reads are assembled in.
struct PlainChain::Buffers {
  // The bytes a read gives.
  Room result;
  // The first block's link word and the bytes before the range in that block.
  Room head;
  std::array<std::uint8_t, 4 * MAX_RUN_BLOCKS> links;
  std::array<std::span<std::uint8_t>, 2 * MAX_RUN_BLOCKS> pieces;
};

PlainChain::PlainChain(const DatDatabase& db, const ArchiveSource* payloads, std::uint32_t id,
                       Describe describe)
    : db_(db),
      payloads_(payloads),
      id_(id),
      size_(db.find(id)->size),
      block_size_(db.header().block_size),
      archive_length_(payloads != nullptr ? payloads->size_hint().value_or(0) : 0),
      capacity_(archive_length_ > 0 ? chain_capacity(size_, block_size_, archive_length_) : 0),
      blocks_(std::make_unique_for_overwrite<std::uint32_t[]>(capacity_)),
      describe_(std::move(describe)) {}

ChainResult<Served> PlainChain::read(std::uint64_t from, std::size_t count, ReadPieces& out,
                                     Waiting waiting) {
  thread_local Buffers storage;
  if (count == 0) {
    return Served::done;
  }
  if (failed_.load(std::memory_order_acquire)) {
    return std::unexpected(error_);
  }
  const bool may_wait = waiting == Waiting::allowed;
  const auto through_library = [&]() -> ChainResult<Served> {
    if (!may_wait) {
      return Served::would_wait;
    }
    if (auto read = read_through_library(from, count, out); !read) {
      return std::unexpected(std::move(read.error()));
    }
    return Served::done;
  };
  if (capacity_ == 0 || library_.load(std::memory_order_acquire)) {
    return through_library();
  }
  const std::uint32_t payload = block_size_ - 4;
  std::size_t index = static_cast<std::size_t>(from / payload);
  const auto last_needed = static_cast<std::size_t>((from + count - 1) / payload);
  // Blocks already known are read without the lock; learning new ones takes it.
  std::unique_lock lock(mutex_, std::defer_lock);
  if (!complete_.load(std::memory_order_acquire) &&
      last_needed >= known_.load(std::memory_order_acquire)) {
    if (may_wait) {
      lock.lock();
    } else if (!lock.try_lock()) {
      return Served::would_wait;
    }
  }
  auto reached = reach(index, waiting);
  if (!reached) {
    return std::unexpected(std::move(reached.error()));
  }
  if (*reached == Reach::would_wait) {
    return Served::would_wait;
  }
  if (*reached == Reach::library) {
    return through_library();
  }
  if (*reached == Reach::ended) {
    // The chain ended earlier: its last block gives the rest of the file.
    index = known_.load(std::memory_order_acquire) - 1;
  }
  const auto within = static_cast<std::uint32_t>(from - std::uint64_t{index} * payload);
  return gather(index, within, count, out, storage, waiting);
}

ChainResult<PlainChain::Reach> PlainChain::reach(std::size_t index, Waiting waiting) {
  if (index < known_.load(std::memory_order_acquire)) {
    return Reach::known;
  }
  if (known_.load(std::memory_order_relaxed) == 0 && !learn(0, db_.find(id_)->offset)) {
    if (waiting == Waiting::refused) {
      return Reach::would_wait;
    }
    if (auto verdict = settle(); !verdict) {
      return std::unexpected(std::move(verdict.error()));
    }
    return Reach::library;
  }
  // Walk by reading the file up to that block, which teaches every link on the way.
  thread_local Buffers scratch;
  ReadPieces discard;
  const std::uint32_t payload = block_size_ - 4;
  while (index >= known_.load(std::memory_order_relaxed)) {
    if (complete_.load(std::memory_order_relaxed)) {
      return Reach::ended;
    }
    const std::size_t last = known_.load(std::memory_order_relaxed) - 1;
    const std::uint64_t at = std::uint64_t{last} * payload;
    const auto step = static_cast<std::size_t>(std::min<std::uint64_t>(
        {WALK_STEP, std::uint64_t{index - last} * payload + 1, size_ - at}));
    discard.clear();
    auto walked = gather(last, 0, step, discard, scratch, waiting);
    if (!walked) {
      return std::unexpected(std::move(walked.error()));
    }
    if (*walked == Served::would_wait) {
      return Reach::would_wait;
    }
    if (library_.load(std::memory_order_relaxed)) {
      return Reach::library;
    }
  }
  return Reach::known;
}

ChainResult<Served> PlainChain::gather(std::size_t index, std::uint32_t within, std::size_t count,
                                       ReadPieces& out, Buffers& storage, Waiting waiting) {
  const std::uint32_t payload = block_size_ - 4;
  // The payloads land one after another, so a read gives one piece however its blocks
  // lie; what a run read past a jump is overwritten by the run after the jump.
  const std::span<std::uint8_t> result = storage.result.room(count);
  std::size_t done = 0;
  std::size_t k = index;
  // A chain that has just jumped is read one block per run; one that has gone on to
  // the next block on disk, in a run as long as the read needs.
  bool streak = k == 0 || std::uint64_t{blocks_[k]} == std::uint64_t{blocks_[k - 1]} + block_size_;
  // Where this read stands when a check fails.
  const auto give_up = [&] {
    return finish_elsewhere(std::uint64_t{k} * payload + within, count - done, result.first(done),
                            out, waiting);
  };
  while (done < count) {
    const std::uint64_t at = blocks_[k];
    if (at + 4 > archive_length_) {
      return give_up();
    }
    const std::uint64_t need = std::uint64_t{within} + (count - done);
    const std::uint64_t blocks_on_disk = (archive_length_ - at - 4) / block_size_ + 1;
    const auto blocks = static_cast<std::size_t>(std::min<std::uint64_t>(
        {streak ? (need + payload - 1) / payload : 1, MAX_RUN_BLOCKS, blocks_on_disk}));
    const std::size_t got =
        read_run(at, blocks, within, result.subspan(done, count - done), storage, waiting);
    const auto& pieces = storage.pieces;
    std::size_t pos = 0;
    for (std::size_t b = 0; b < blocks; ++b) {
      const std::span<std::uint8_t> link_word = pieces[2 * b];
      const std::size_t planned_take = pieces[2 * b + 1].size();
      if (got < pos + link_word.size()) {
        return give_up();
      }
      const std::uint32_t link = link_at(link_word.data());
      const std::uint64_t remaining = size_ - std::uint64_t{k} * payload;
      const bool last = link == 0 || remaining <= payload;
      const std::uint64_t gives = last ? remaining : payload;
      const auto take =
          static_cast<std::size_t>(std::min<std::uint64_t>(gives - within, count - done));
      if (std::uint64_t{blocks_[k]} + 4 + gives > archive_length_) {
        return give_up();
      }
      if (take > planned_take) {
        // A last block that ends the chain early gives the rest of the file from the
        // bytes after it, which the run put aside as the next blocks' link words.
        if (waiting == Waiting::refused ||
            !payloads_->read_exact_at(result.subspan(done, take),
                                      std::uint64_t{blocks_[k]} + 4 + within)) {
          return give_up();
        }
      } else if (got < pos + link_word.size() + take) {
        return give_up();
      }
      pos += link_word.size() + planned_take;
      done += take;
      within = 0;
      if (last) {
        learn_end(k + 1);
      }
      if (done == count) {
        out.emplace_back(result.data(), count);
        return Served::done;
      }
      if (last || !learn(k + 1, link)) {
        return give_up();
      }
      streak = std::uint64_t{link} == std::uint64_t{blocks_[k]} + block_size_;
      ++k;
      if (!streak) {
        break;
      }
    }
  }
  out.emplace_back(result.data(), count);
  return Served::done;
}

ChainResult<Served> PlainChain::finish_elsewhere(std::uint64_t from, std::size_t count,
                                                 std::span<const std::uint8_t> gathered,
                                                 ReadPieces& out, Waiting waiting) {
  if (waiting == Waiting::refused) {
    return Served::would_wait;
  }
  if (auto verdict = settle(); !verdict) {
    return std::unexpected(std::move(verdict.error()));
  }
  if (!gathered.empty()) {
    out.push_back(gathered);
  }
  if (auto read = read_through_library(from, count, out); !read) {
    return std::unexpected(std::move(read.error()));
  }
  return Served::done;
}

std::size_t PlainChain::read_run(std::uint64_t at, std::size_t blocks, std::uint32_t within,
                                 std::span<std::uint8_t> rest, Buffers& storage,
                                 Waiting waiting) const {
  const std::uint32_t payload = block_size_ - 4;
  std::size_t planned = 0;
  for (std::size_t b = 0; b < blocks; ++b) {
    const std::size_t skip = b == 0 ? within : 0;
    storage.pieces[2 * b] =
        b == 0 ? storage.head.room(4 + skip) : std::span(storage.links).subspan(4 * b, 4);
    const std::size_t take = std::min<std::size_t>(payload - skip, rest.size() - planned);
    storage.pieces[2 * b + 1] = rest.subspan(planned, take);
    planned += take;
  }
  const std::span<const std::span<std::uint8_t>> run(storage.pieces.data(), 2 * blocks);
  if (waiting == Waiting::refused) {
    return payloads_->read_cached_at(run, at);
  }
  return payloads_->read_vectored_at(run, at).value_or(0);
}

bool PlainChain::learn(std::size_t index, std::uint32_t offset) {
  const std::size_t known = known_.load(std::memory_order_acquire);
  if (index < known) {
    return blocks_[index] == offset;
  }
  // Only the next block can be learnt, and only under mutex_, which every read that
  // may go past the known blocks holds.
  if (index != known || complete_.load(std::memory_order_relaxed) || index >= capacity_ ||
      std::uint64_t{offset} + 4 > archive_length_) {
    return false;
  }
  blocks_[index] = offset;
  known_.store(index + 1, std::memory_order_release);
  return true;
}

void PlainChain::learn_end(std::size_t index) {
  if (index == known_.load(std::memory_order_acquire)) {
    complete_.store(true, std::memory_order_release);
  }
}

ChainResult<void> PlainChain::settle() {
  std::call_once(settled_, [this] {
    if (auto walked = db_.block_offsets(id_); !walked || walked->empty()) {
      error_ = describe_(walked ? DatError(IoError::unexpected_eof()) : std::move(walked.error()));
      failed_.store(true, std::memory_order_release);
    } else {
      library_blocks_ = std::move(*walked);
      library_.store(true, std::memory_order_release);
    }
  });
  if (failed_.load(std::memory_order_acquire)) {
    return std::unexpected(error_);
  }
  return {};
}

ChainResult<void> PlainChain::read_through_library(std::uint64_t from, std::size_t count,
                                                   ReadPieces& out) {
  thread_local std::vector<std::uint8_t> bytes;
  if (auto verdict = settle(); !verdict) {
    return verdict;
  }
  const std::uint32_t payload = block_size_ > 4 ? block_size_ - 4 : 1;
  const std::size_t index = std::min<std::uint64_t>(from / payload, library_blocks_.size() - 1);
  const std::uint64_t within = from - std::uint64_t{index} * payload;
  if (auto read = db_.read_file_data_into(library_blocks_[index],
                                          static_cast<std::uint32_t>(within + count), bytes);
      !read) {
    return std::unexpected(describe_(read.error()));
  }
  out.emplace_back(bytes.data() + within, count);
  return {};
}

}  // namespace marrowvane_dat::cli
