// SPDX-License-Identifier: MIT
// Two walks over the chains: a bitmap of used blocks finds the blocks in conflict,
// then only those blocks get their first owner remembered.
#include "shared_blocks.hpp"

#include <unordered_map>
#include <vector>

namespace marrowvane_dat::cli {
namespace {

// One bit per block on the archive's grid, grown as offsets are seen: the library
// only returns offsets within the archive, so it stays within its length.
class BlockBits {
 public:
  explicit BlockBits(std::uint32_t block_size) : block_size_(block_size == 0 ? 1 : block_size) {}

  // Sets the bit of the block at `offset`; true when it was already set.
  bool test_and_set(std::uint32_t offset) {
    const std::size_t index = offset / block_size_;
    if (index >= bits_.size()) {
      bits_.resize(index + 1);
    }
    const bool was = bits_[index];
    bits_[index] = true;
    return was;
  }
  [[nodiscard]] bool test(std::uint32_t offset) const {
    const std::size_t index = offset / block_size_;
    return index < bits_.size() && bits_[index];
  }

 private:
  std::uint32_t block_size_;
  std::vector<bool> bits_;
};

}  // namespace

std::map<std::uint32_t, std::uint32_t> find_shared_blocks(const DatDatabase& db) {
  BlockBits used(db.header().block_size);
  BlockBits conflict(db.header().block_size);
  bool any = false;
  for (const DatFileEntry& entry : db.entries()) {
    auto offsets = db.block_offsets(entry.id);
    for (const std::uint32_t offset : offsets ? *offsets : std::vector<std::uint32_t>{}) {
      if (used.test_and_set(offset)) {
        conflict.test_and_set(offset);
        any = true;
      }
    }
  }
  std::map<std::uint32_t, std::uint32_t> shared;
  if (!any) {
    return shared;
  }
  std::unordered_map<std::uint32_t, std::uint32_t> owner;
  for (const DatFileEntry& entry : db.entries()) {
    auto offsets = db.block_offsets(entry.id);
    for (const std::uint32_t offset : offsets ? *offsets : std::vector<std::uint32_t>{}) {
      if (!conflict.test(offset)) {
        continue;
      }
      const auto [slot, added] = owner.try_emplace(offset, entry.id);
      if (!added && slot->second != entry.id) {
        shared.try_emplace(entry.id, slot->second);
        break;
      }
    }
  }
  return shared;
}

}  // namespace marrowvane_dat::cli
