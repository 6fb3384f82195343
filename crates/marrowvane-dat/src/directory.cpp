// SPDX-License-Identifier: MIT
// Loading the directory tree at open, and the id-ordered map it ends in.
#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>
#include <string>

#include "block_chain.hpp"
#include "marrowvane_dat/dat_database.hpp"

namespace marrowvane_dat {
namespace {

using Slot = DatFileMap::value_type;

// Sorts by id, keeping entries of equal id in their original order, using `spare` (as
// long as `slots`) as room. Directories are large and their ids spread over all 32
// bits, so a byte-wise radix sort does it in linear time; a pass whose byte is the same
// everywhere is skipped. Returns whichever vector ends up holding the result.
std::vector<Slot>& stable_sort_by_id(std::vector<Slot>& slots, std::vector<Slot>& spare) {
  std::array<std::array<std::size_t, 256>, 4> counts{};
  for (const Slot& slot : slots) {
    for (unsigned byte = 0; byte < 4; ++byte) {
      ++counts[byte][(slot.first >> (8 * byte)) & 0xFFU];
    }
  }
  std::vector<Slot>* from = &slots;
  std::vector<Slot>* to = &spare;
  for (unsigned byte = 0; byte < 4; ++byte) {
    std::array<std::size_t, 256>& count = counts[byte];
    if (std::ranges::find(count, slots.size()) != count.end()) {
      continue;
    }
    std::size_t position = 0;
    for (std::size_t& bucket : count) {
      position += std::exchange(bucket, position);
    }
    for (const Slot& slot : *from) {
      (*to)[count[(slot.first >> (8 * byte)) & 0xFFU]++] = slot;
    }
    std::swap(from, to);
  }
  return *from;
}

// The offsets of the directory nodes already read: open addressing over a power-of-two
// table, kept at most half full. Offset 0 never names a node, so it marks a free slot.
class OffsetSet {
 public:
  // False when `offset` (not 0) was inserted before.
  bool insert(std::uint32_t offset) {
    if ((count_ + 1) * 2 > slots_.size()) {
      grow();
    }
    std::size_t slot = home(offset);
    while (slots_[slot] != 0) {
      if (slots_[slot] == offset) {
        return false;
      }
      slot = (slot + 1) & (slots_.size() - 1);
    }
    slots_[slot] = offset;
    ++count_;
    return true;
  }

 private:
  // Node offsets are multiples of the block size, so the hash takes high product bits.
  [[nodiscard]] std::size_t home(std::uint32_t offset) const noexcept {
    return static_cast<std::size_t>((offset * 0x9E3779B1U) >> (32 - bits_));
  }
  void grow() {
    std::vector<std::uint32_t> old = std::exchange(slots_, {});
    bits_ = old.empty() ? 6 : bits_ + 1;
    slots_.assign(std::size_t{1} << bits_, 0);
    count_ = 0;
    for (const std::uint32_t offset : old) {
      if (offset != 0) {
        insert(offset);
      }
    }
  }

  std::vector<std::uint32_t> slots_;
  std::size_t count_ = 0;
  unsigned bits_ = 0;
};

std::string hex_offset(std::uint64_t offset) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(offset));
  return text;
}

std::uint32_t u32_at(std::span<const std::uint8_t> bytes, std::size_t at) noexcept {
  return load_le<std::uint32_t>(bytes.subspan(at).first<4>());
}

}  // namespace

DatFileMap::DatFileMap(const std::vector<DatFileEntry>& walk_order) {
  std::vector<value_type> slots;
  slots.reserve(walk_order.size());
  for (const DatFileEntry& entry : walk_order) {
    slots.emplace_back(entry.id, entry);
  }
  *this = DatFileMap(std::move(slots));
}

DatFileMap::DatFileMap(std::vector<value_type>&& walk_order) {
  const auto by_id = [](const value_type& a, const value_type& b) { return a.first < b.first; };
  constexpr std::size_t SMALL = 256;
  if (walk_order.size() < SMALL || std::ranges::is_sorted(walk_order, by_id)) {
    std::ranges::stable_sort(walk_order, by_id);
    slots_ = std::move(walk_order);
  } else {
    std::vector<value_type> spare(walk_order.size());
    slots_ = std::move(stable_sort_by_id(walk_order, spare));
  }
  // Of equal ids the walk met the last one last, and it is the one kept.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (i + 1 == slots_.size() || slots_[i + 1].first != slots_[i].first) {
      slots_[kept++] = slots_[i];
    }
  }
  slots_.resize(kept);
  // Room reserved for the walk but never filled is not kept for the database's life.
  if (slots_.capacity() - slots_.size() > slots_.size() / 8) {
    slots_.shrink_to_fit();
  }
}

// Walks the tree depth-first, pre-order, with an explicit stack: a node's entries come
// before its children's, children in slot order, so an id that occurs twice keeps the
// entry met last. Every node offset is remembered and a node reached a second time is
// refused: that ends a loop, and it also stops a damaged directory whose nodes share
// children from being walked over and over, which could take exponentially long
// without ever looping.
Result<void> DatDatabase::read_directory() {
  std::vector<std::uint32_t> pending;
  if (header_.root_offset != 0) {
    pending.push_back(header_.root_offset);
  }
  std::vector<DatFileMap::value_type> walk_order;
  // A directory holds about one entry per block; reserving that much address space up
  // front spares the copies of growing, and pages never filled are never touched.
  walk_order.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(
      archive_length_ / std::max<std::uint32_t>(header_.block_size, 1), std::uint64_t{1} << 22)));
  OffsetSet visited;
  detail::ChainScratch scratch;
  // Only a node to read makes the block size matter.
  std::optional<detail::ChainGeometry> geometry;
  std::array<std::uint8_t, DatDirectoryNode::SIZE + detail::CHAIN_SLACK> room;
  const std::span<const std::uint8_t, DatDirectoryNode::SIZE> node(room.data(),
                                                                   DatDirectoryNode::SIZE);
  while (!pending.empty()) {
    const std::uint32_t offset = pending.back();
    pending.pop_back();
    if (!visited.insert(offset)) {
      return std::unexpected(
          DatError::Corruption{"directory node at offset " + hex_offset(offset) +
                               " is reached more than once; the directory is not a tree"});
    }
    if (!geometry) {
      auto made = detail::chain_geometry(header_.block_size, archive_length_);
      if (!made) {
        return std::unexpected(std::move(made.error()));
      }
      geometry = *made;
    }
    if (auto read =
            detail::read_chain(*source_, *geometry, offset, DatDirectoryNode::SIZE, room, scratch);
        !read) {
      return read;
    }
    constexpr std::size_t COUNT_AT = DatDirectoryNode::BRANCH_COUNT * 4;
    constexpr std::size_t ENTRIES_AT = COUNT_AT + 4;
    const std::uint32_t entry_count = u32_at(node, COUNT_AT);
    const std::size_t present = std::min<std::size_t>(entry_count, DatDirectoryNode::MAX_ENTRIES);
    for (std::size_t i = 0; i < present; ++i) {
      const std::size_t at = ENTRIES_AT + i * DatFileEntry::SIZE;
      const std::uint32_t id = u32_at(node, at + 4);
      walk_order.emplace_back(id, DatFileEntry{
                                      .bit_flags = u32_at(node, at),
                                      .id = id,
                                      .offset = u32_at(node, at + 8),
                                      .size = u32_at(node, at + 12),
                                      .timestamp = u32_at(node, at + 16),
                                      .version = u32_at(node, at + 20),
                                  });
    }
    if (entry_count > DatDirectoryNode::MAX_ENTRIES) {
      // The 62nd entry would start at the node's end; the entry reader reports that
      // the way it reports any entry cut short.
      Cursor past_the_end(node);
      past_the_end.seek(DatDirectoryNode::SIZE);
      return std::unexpected(DatFileEntry::read(past_the_end).error());
    }
    static_assert(ENTRIES_AT + DatDirectoryNode::MAX_ENTRIES * DatFileEntry::SIZE ==
                  DatDirectoryNode::SIZE);
    if (u32_at(node, 0) == 0) {
      continue;
    }
    const std::size_t slots = std::min<std::size_t>(present + 1, DatDirectoryNode::BRANCH_COUNT);
    for (std::size_t slot = slots; slot-- > 0;) {
      if (const std::uint32_t branch = u32_at(node, slot * 4); branch != 0) {
        pending.push_back(branch);
      }
    }
  }
  files_ = DatFileMap(std::move(walk_order));
  return {};
}

}  // namespace marrowvane_dat
