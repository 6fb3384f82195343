// SPDX-License-Identifier: MIT
// Loading the directory tree at open, and the id-ordered map it ends in.
#include <algorithm>
#include <array>
#include <memory>
#include <utility>
#include <vector>

#include "archive_reader.hpp"
#include "error_texts.hpp"

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

// One node's fields at their named offsets: 62 child offsets, the entry count, then
// 61 entry slots.
// An archive of blocks below SMALL_BLOCK_SIZE is walked from one whole read when it is
// at most this long.
constexpr std::uint64_t WHOLE_READ_LIMIT = std::uint64_t{32} << 20;

constexpr std::size_t COUNT_AT = DatDirectoryNode::BRANCH_COUNT * 4;
constexpr std::size_t ENTRIES_AT = COUNT_AT + 4;
static_assert(ENTRIES_AT + DatDirectoryNode::MAX_ENTRIES * DatFileEntry::SIZE ==
              DatDirectoryNode::SIZE);

using Node = std::span<const std::uint8_t, DatDirectoryNode::SIZE>;

std::uint32_t branch(Node node, std::size_t slot) noexcept {
  return load_le<std::uint32_t>(node.subspan(slot * 4).first<4>());
}

// Appends the node's entries to `walk_order` and its children, last slot first, to
// `pending`. An entry count past the slots fails as the entry reader fails on an entry
// cut short at the node's end.
Result<void> decode_node(Node node, std::vector<Slot>& walk_order,
                         std::vector<std::uint32_t>& pending) {
  Cursor cursor(node);
  cursor.seek(COUNT_AT);
  const std::uint32_t entry_count = *cursor.read_u32();
  const std::size_t present = std::min<std::size_t>(entry_count, DatDirectoryNode::MAX_ENTRIES);
  for (std::size_t i = 0; i < present; ++i) {
    const DatFileEntry entry = *DatFileEntry::read(cursor);
    walk_order.emplace_back(entry.id, entry);
  }
  if (entry_count > DatDirectoryNode::MAX_ENTRIES) {
    // The 62nd entry would start at the node's end.
    return std::unexpected(DatFileEntry::read(cursor).error());
  }
  if (branch(node, 0) == 0) {
    return {};
  }
  const std::size_t slots = std::min<std::size_t>(present + 1, DatDirectoryNode::BRANCH_COUNT);
  for (std::size_t slot = slots; slot-- > 0;) {
    if (const std::uint32_t child = branch(node, slot); child != 0) {
      pending.push_back(child);
    }
  }
  return {};
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

namespace detail {

// Walks the tree depth-first, pre-order, with an explicit stack: a node's entries come
// before its children's, children in slot order, so an id that occurs twice keeps the
// entry met last. Every node offset is remembered and a node reached a second time is
// refused: that ends a loop, and it also stops a damaged directory whose nodes share
// children from being walked over and over, which could take exponentially long
// without ever looping. Nodes of a sound directory never share a block, so all of them
// together pass through at most the blocks the archive holds; a directory that needs
// more is refused, which keeps opening within what reading the archive once costs.
Result<DatFileMap> read_directory(const ArchiveReader& archive, std::uint32_t root_offset) {
  // Nodes over tiny blocks cost a read of a few bytes per block wherever their links
  // lead, many times what reading the archive once costs. The client never writes such
  // blocks; an archive that has them and is small enough is read once and walked in
  // memory, which gives the same bytes and so the same entries and errors.
  std::vector<std::uint8_t> whole;
  std::unique_ptr<ArchiveReader> in_memory;
  if (const auto geometry = archive.geometry();
      geometry && (*geometry)->block_size < SMALL_BLOCK_SIZE && root_offset != 0) {
    in_memory = archive.copy_in_memory(whole, WHOLE_READ_LIMIT);
  }
  const ArchiveReader& reader = in_memory ? *in_memory : archive;
  std::vector<std::uint32_t> pending;
  if (root_offset != 0) {
    pending.push_back(root_offset);
  }
  std::vector<Slot> walk_order;
  // A directory holds about one entry per block; reserving that much address space up
  // front spares the copies of growing, and pages never filled are never touched.
  if (const auto geometry = reader.geometry()) {
    walk_order.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(
        reader.archive_length() / (*geometry)->block_size, std::uint64_t{1} << 22)));
  }
  OffsetSet visited;
  ChainScratch scratch;
  std::uint64_t blocks = 0;
  std::array<std::uint8_t, DatDirectoryNode::SIZE> node{};
  while (!pending.empty()) {
    const std::uint32_t offset = pending.back();
    pending.pop_back();
    if (!visited.insert(offset)) {
      return std::unexpected(node_reached_twice(offset));
    }
    SpanSink sink(node);
    if (auto read = reader.read(offset, DatDirectoryNode::SIZE, sink, scratch); !read) {
      return std::unexpected(std::move(read.error()));
    }
    // The geometry exists: the read above needed it.
    if (const std::uint64_t max_blocks = (*reader.geometry())->max_blocks;
        (blocks += sink.blocks()) > max_blocks) {
      return std::unexpected(directory_too_large(max_blocks));
    }
    if (auto decoded = decode_node(node, walk_order, pending); !decoded) {
      return std::unexpected(std::move(decoded.error()));
    }
  }
  return DatFileMap(std::move(walk_order));
}

}  // namespace detail

}  // namespace marrowvane_dat
