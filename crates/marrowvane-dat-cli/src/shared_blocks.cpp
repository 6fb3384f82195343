// SPDX-License-Identifier: MIT
// Two walks over the chains: a bitmap of used blocks finds the blocks in conflict,
// then only those blocks get their first owner remembered.
#include "shared_blocks.hpp"

#include <algorithm>
#include <unordered_map>
#include <vector>

#include "table.hpp"

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
  // Each walk stops at the first block already seen, so the walks together cover at
  // most the archive's blocks once plus one block per entry, however long the chains.
  // Entries that use none of an earlier walk's blocks keep apart from each other.
  BlockBits used(db.header().block_size);
  BlockBits conflict(db.header().block_size);
  const DatEntryRange entries = db.entries();
  std::vector<std::uint32_t> walked;
  walked.reserve(entries.size());
  bool any = false;
  for (const DatFileEntry& entry : entries) {
    std::uint32_t blocks = 0;
    (void)db.visit_block_offsets(entry.id, [&](std::uint32_t offset) {
      ++blocks;
      if (!used.test_and_set(offset)) {
        return true;
      }
      conflict.test_and_set(offset);
      any = true;
      return false;
    });
    walked.push_back(blocks);
  }
  std::map<std::uint32_t, std::uint32_t> shared;
  if (!any) {
    return shared;
  }
  // The same walks again, in the same order, so the first to reach a block in
  // conflict is the one that reached it first above.
  const std::uint32_t block_size = std::max<std::uint32_t>(db.header().block_size, 1);
  std::unordered_map<std::uint32_t, std::uint32_t> owner;
  std::size_t index = 0;
  for (const DatFileEntry& entry : entries) {
    std::uint32_t left = walked[index++];
    (void)db.visit_block_offsets(entry.id, [&](std::uint32_t offset) {
      if (conflict.test(offset)) {
        // A chain that comes back to a block of its own repeats bytes the archive
        // holds once, as a block shared with another entry does.
        const auto [slot, added] = owner.try_emplace(offset / block_size, entry.id);
        if (!added) {
          shared.try_emplace(entry.id, slot->second);
        }
      }
      return --left > 0;
    });
  }
  return shared;
}

std::string shared_blocks_text(std::uint32_t id, std::uint32_t owner) {
  return owner == id ? "passes through one of its blocks twice"
                     : "shares blocks with file " + id_text(owner);
}

}  // namespace marrowvane_dat::cli
