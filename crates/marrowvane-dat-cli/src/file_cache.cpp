// SPDX-License-Identifier: MIT
// The mount's content cache: one mutex over the map and the recency list; loading
// happens outside it, once per slot.
#include "file_cache.hpp"

namespace marrowvane_dat::cli {

std::shared_ptr<FileCache::Slot> FileCache::slot(std::uint32_t id) {
  const std::lock_guard lock(mutex_);
  if (const auto it = held_.find(id); it != held_.end()) {
    recent_.splice(recent_.begin(), recent_, it->second.recent);
    return it->second.slot;
  }
  recent_.push_front(id);
  auto made = std::make_shared<Slot>();
  held_.emplace(id, Held{made, recent_.begin(), SLOT_COST});
  total_ += SLOT_COST;
  trim();
  return made;
}

const FileContent& FileCache::content(std::uint32_t id, Slot& slot) {
  bool loaded_here = false;
  std::call_once(slot.loaded_, [&] {
    slot.content_ = std::make_shared<const FileContent>(loader_(id));
    slot.ready_.store(slot.content_.get(), std::memory_order_release);
    loaded_here = true;
  });
  if (loaded_here) {
    charge(id, slot);
  }
  return *slot.content_;
}

void FileCache::charge(std::uint32_t id, const Slot& slot) {
  const std::lock_guard lock(mutex_);
  const auto it = held_.find(id);
  // Let go of already, or replaced by a newer slot: nothing of it is held.
  if (it == held_.end() || it->second.slot.get() != &slot) {
    return;
  }
  const std::size_t footprint = slot.content_->footprint();
  it->second.footprint += footprint;
  total_ += footprint;
  trim();
}

void FileCache::trim() {
  // Letting a slot go only means a later open loads it again; whoever holds it
  // keeps its content.
  while (total_ > capacity_ && !recent_.empty()) {
    const auto last = held_.find(recent_.back());
    total_ -= last->second.footprint;
    held_.erase(last);
    recent_.pop_back();
  }
}

}  // namespace marrowvane_dat::cli
