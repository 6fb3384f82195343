// SPDX-License-Identifier: MIT
// What the mount keeps of the files being read, shared by every open file and
// bounded in bytes, least recently used out first.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "plain_chain.hpp"

namespace marrowvane_dat::cli {

// What serving reads of one file at any offset needs: the whole decoded file when it
// is compressed, or its chain, learnt as it is read, when it is stored plain; or why
// it cannot be read.
struct FileContent {
  bool compressed = false;
  std::vector<std::uint8_t> bytes;
  std::unique_ptr<PlainChain> chain;
  // Not empty: the file cannot be read, and this says why.
  std::string error;

  // The heap bytes this content holds.
  [[nodiscard]] std::size_t footprint() const noexcept {
    return bytes.capacity() + (chain ? sizeof(PlainChain) + chain->footprint() : 0) +
           error.capacity();
  }
};

// File contents by id, loaded on demand by one loader and kept while their total
// footprint stays within a bound. Thread-safe: a file asked for by several threads at
// once is loaded once, and the others wait for it.
class FileCache {
 public:
  // One file's place in the cache; whoever holds it keeps that file's content alive
  // even after the cache has let it go, so an open file is loaded at most once.
  class Slot {
    friend class FileCache;
    std::once_flag loaded_;
    std::shared_ptr<const FileContent> content_;
    std::atomic<const FileContent*> ready_{nullptr};
  };

  using Loader = std::function<FileContent(std::uint32_t id)>;

  // Keeps at most `capacity` bytes of contents; `loader` makes a file's content.
  FileCache(std::uint64_t capacity, Loader loader)
      : capacity_(capacity), loader_(std::move(loader)) {}

  // The slot of `id`, made if there is none; loads nothing.
  [[nodiscard]] std::shared_ptr<Slot> slot(std::uint32_t id);
  // The content of the file of `slot`, loading it on first use (the loader's
  // exceptions pass through, and the next call tries again).
  [[nodiscard]] const FileContent& content(std::uint32_t id, Slot& slot);
  // The content of the file of `slot` when it is loaded already, else null; never waits.
  [[nodiscard]] static const FileContent* loaded(const Slot& slot) noexcept {
    return slot.ready_.load(std::memory_order_acquire);
  }

 private:
  struct Held {
    std::shared_ptr<Slot> slot;
    std::list<std::uint32_t>::iterator recent;
    std::size_t footprint = 0;
  };

  // What a slot costs before its content is loaded: its map node, list node and
  // control block, so that files opened and never read still count.
  static constexpr std::size_t SLOT_COST = 160;

  // Counts a freshly loaded content.
  void charge(std::uint32_t id, const Slot& slot);
  // Lets go of the least recent slots while the total is over the bound. Holds mutex_.
  void trim();

  const std::uint64_t capacity_;
  const Loader loader_;
  mutable std::mutex mutex_;
  // Most recently used first.
  std::list<std::uint32_t> recent_;
  std::unordered_map<std::uint32_t, Held> held_;
  std::uint64_t total_ = 0;
};

}  // namespace marrowvane_dat::cli
