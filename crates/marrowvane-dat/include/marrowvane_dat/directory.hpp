// SPDX-License-Identifier: MIT
// The archive's directory as it is held in memory: the 24-byte entry record, the node
// layout, and the read-only map from file id to entry, kept in id order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <iterator>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

#include "marrowvane_dat/binary_reader.hpp"
#include "marrowvane_dat/error.hpp"
#include "marrowvane_dat/export.hpp"

namespace marrowvane_dat {

/// One 24-byte directory entry: where a file's block chain starts and how many bytes
/// it stores.
struct DatFileEntry {
  /// Six u32 fields.
  static constexpr std::size_t SIZE = 6 * 4;
  /// Bit 0 of bit_flags: the stored bytes are LRS-compressed.
  static constexpr std::uint32_t COMPRESSED_FLAG = 0x1;

  std::uint32_t bit_flags = 0;  ///< Only COMPRESSED_FLAG is interpreted; other bits are kept.
  std::uint32_t id = 0;         ///< The file id, the key in DatFileMap.
  std::uint32_t offset = 0;     ///< Absolute offset of the first block of the file's chain.
  std::uint32_t size = 0;       ///< Bytes stored in the chain, before any decompression.
  std::uint32_t timestamp = 0;  ///< Kept as read; not interpreted.
  std::uint32_t version = 0;    ///< Kept as read; not interpreted.

  /// True when bit 0 of bit_flags is set.
  [[nodiscard]] bool is_compressed() const noexcept { return (bit_flags & COMPRESSED_FLAG) != 0; }

  /// Reads the six u32 fields in order. On failure the source is rewound to where the
  /// entry started and the error names the field that ran out.
  template <ByteSource Source>
  static std::expected<DatFileEntry, BinReadError> read(Source& in);
  /// The entry stored in exactly these 24 bytes.
  [[nodiscard]] static constexpr DatFileEntry decode(
      std::span<const std::uint8_t, SIZE> bytes) noexcept {
    const auto field = [&](std::size_t index) {
      return load_le<std::uint32_t>(bytes.subspan(index * 4).first<4>());
    };
    return DatFileEntry{.bit_flags = field(0),
                        .id = field(1),
                        .offset = field(2),
                        .size = field(3),
                        .timestamp = field(4),
                        .version = field(5)};
  }

  /// Field by field.
  friend bool operator==(const DatFileEntry&, const DatFileEntry&) = default;
};

/// The directory node layout: 62 child offsets, an entry count, 61 entry slots.
struct DatDirectoryNode {
  /// u32 child offsets; a node whose first one is 0 is a leaf.
  static constexpr std::size_t BRANCH_COUNT = 62;
  /// Entry slots; a larger stored count fails as an entry cut short at the node's end.
  static constexpr std::size_t MAX_ENTRIES = 61;
  /// Bytes a node's block chain holds; the reader asks for exactly this many.
  static constexpr std::size_t SIZE = BRANCH_COUNT * 4 + 4 + MAX_ENTRIES * DatFileEntry::SIZE;
};
static_assert(DatDirectoryNode::SIZE == 1716);

/// A random-access range over directory entries in id order; a view into the map it
/// came from, valid as long as that map lives.
class DatEntryRange {
 public:
  /// A map element: (id, entry).
  using Slot = std::pair<std::uint32_t, DatFileEntry>;

  /// Iterates the entries of consecutive map slots.
  class iterator {
   public:
    /// Standard iterator traits; elements are read-only entries.
    ///@{
    using iterator_category = std::random_access_iterator_tag;
    using iterator_concept = std::contiguous_iterator_tag;
    using value_type = DatFileEntry;
    using difference_type = std::ptrdiff_t;
    using pointer = const DatFileEntry*;
    using reference = const DatFileEntry&;
    ///@}

    /// A singular iterator, valid only to assign to or compare with another singular one.
    iterator() noexcept = default;
    /// Points at the entry of `slot`.
    explicit iterator(const Slot* slot) noexcept : slot_(slot) {}

    /// Random-access iterator operations; moving outside the range is undefined.
    ///@{
    reference operator*() const noexcept { return slot_->second; }
    pointer operator->() const noexcept { return &slot_->second; }
    reference operator[](difference_type n) const noexcept { return slot_[n].second; }
    iterator& operator++() noexcept {
      ++slot_;
      return *this;
    }
    iterator operator++(int) noexcept { return iterator(slot_++); }
    iterator& operator--() noexcept {
      --slot_;
      return *this;
    }
    iterator operator--(int) noexcept { return iterator(slot_--); }
    iterator& operator+=(difference_type n) noexcept {
      slot_ += n;
      return *this;
    }
    iterator& operator-=(difference_type n) noexcept {
      slot_ -= n;
      return *this;
    }
    friend iterator operator+(iterator it, difference_type n) noexcept { return it += n; }
    friend iterator operator+(difference_type n, iterator it) noexcept { return it += n; }
    friend iterator operator-(iterator it, difference_type n) noexcept { return it -= n; }
    friend difference_type operator-(iterator a, iterator b) noexcept { return a.slot_ - b.slot_; }
    friend bool operator==(iterator a, iterator b) noexcept = default;
    friend auto operator<=>(iterator a, iterator b) noexcept = default;
    ///@}

   private:
    const Slot* slot_ = nullptr;
  };

  /// An empty range.
  DatEntryRange() noexcept = default;
  /// Views `slots`, which must be in id order and outlive the range.
  explicit DatEntryRange(std::span<const Slot> slots) noexcept : slots_(slots) {}

  /// Standard range access.
  ///@{
  [[nodiscard]] iterator begin() const noexcept { return iterator(slots_.data()); }
  [[nodiscard]] iterator end() const noexcept { return iterator(slots_.data() + slots_.size()); }
  [[nodiscard]] std::size_t size() const noexcept { return slots_.size(); }
  [[nodiscard]] bool empty() const noexcept { return slots_.empty(); }
  ///@}
  /// The n-th entry in id order; n < size().
  [[nodiscard]] const DatFileEntry& operator[](std::size_t n) const noexcept {
    return slots_[n].second;
  }

 private:
  std::span<const Slot> slots_;
};

/// Every directory entry by file id, in ascending id order. Read-only and map-like:
/// elements are (id, entry) pairs as in a standard map, looked up by binary search.
/// Built once when an archive is opened; 28 bytes per entry.
class MARROWVANE_DAT_EXPORT DatFileMap {
 public:
  /// Standard map typedefs: keys are file ids, mapped values entries.
  ///@{
  using key_type = std::uint32_t;
  using mapped_type = DatFileEntry;
  ///@}
  /// Reached only through const references, so the id cannot change under its entry.
  using value_type = std::pair<std::uint32_t, DatFileEntry>;
  /// Standard container typedefs; iterators and references are const only.
  ///@{
  using size_type = std::size_t;
  using difference_type = std::ptrdiff_t;
  using const_reference = const value_type&;
  using reference = const_reference;
  using const_iterator = const value_type*;
  using iterator = const_iterator;
  ///@}

  /// An empty map.
  DatFileMap() noexcept = default;
  /// Takes entries in the order a directory walk met them; where an id occurs more than
  /// once the entry met last is kept.
  explicit DatFileMap(const std::vector<DatFileEntry>& walk_order);
  /// The same for (id, entry) pairs, sorted in place where it can.
  explicit DatFileMap(std::vector<value_type>&& walk_order);

  /// Standard container access, in id order.
  ///@{
  [[nodiscard]] const_iterator begin() const noexcept { return slots_.data(); }
  [[nodiscard]] const_iterator end() const noexcept { return slots_.data() + slots_.size(); }
  [[nodiscard]] size_type size() const noexcept { return slots_.size(); }
  [[nodiscard]] bool empty() const noexcept { return slots_.empty(); }
  ///@}

  /// The element of `id`, or end() when there is none.
  [[nodiscard]] const_iterator find(std::uint32_t id) const noexcept {
    const const_iterator it = lower_bound(id);
    return it != end() && it->first == id ? it : end();
  }
  /// True when `id` has an entry.
  [[nodiscard]] bool contains(std::uint32_t id) const noexcept { return find(id) != end(); }
  /// 1 when `id` has an entry, else 0.
  [[nodiscard]] size_type count(std::uint32_t id) const noexcept { return contains(id) ? 1 : 0; }
  /// The entry of `id`; throws std::out_of_range when there is none, like a standard
  /// map (find() is the non-throwing lookup).
  [[nodiscard]] const DatFileEntry& at(std::uint32_t id) const {
    const const_iterator it = find(id);
    if (it == end()) {
      throw std::out_of_range("DatFileMap::at: no entry for this file id");
    }
    return it->second;
  }
  /// The first element whose id is not below `id`.
  [[nodiscard]] const_iterator lower_bound(std::uint32_t id) const noexcept {
    return std::partition_point(begin(), end(), [id](const value_type& v) { return v.first < id; });
  }
  /// The first element whose id is above `id`.
  [[nodiscard]] const_iterator upper_bound(std::uint32_t id) const noexcept {
    return std::partition_point(begin(), end(),
                                [id](const value_type& v) { return v.first <= id; });
  }

  /// Every entry, in id order.
  [[nodiscard]] DatEntryRange entries() const noexcept { return DatEntryRange(slots_); }
  /// The entries whose ids lie in [first, last], in id order; empty when first > last.
  [[nodiscard]] DatEntryRange entries_in_range(std::uint32_t first,
                                               std::uint32_t last) const noexcept {
    if (first > last) {
      return {};
    }
    const const_iterator from = lower_bound(first);
    const const_iterator to = upper_bound(last);
    return DatEntryRange(std::span<const value_type>(from, to));
  }

 private:
  std::vector<value_type> slots_;
};

template <ByteSource Source>
std::expected<DatFileEntry, BinReadError> DatFileEntry::read(Source& in) {
  if constexpr (PeekableSource<Source>) {
    if (const std::span<const std::uint8_t> whole = in.peek(SIZE); whole.size() == SIZE) {
      in.seek(in.position() + SIZE);
      return decode(whole.first<SIZE>());
    }
  }
  RecordReader<Source> r(in, "DatFileEntry");
  DatFileEntry e;
  r.read(e.bit_flags, "bit_flags");
  r.read(e.id, "id");
  r.read(e.offset, "offset");
  r.read(e.size, "size");
  r.read(e.timestamp, "timestamp");
  r.read(e.version, "version");
  static_assert(SIZE == sizeof e.bit_flags + sizeof e.id + sizeof e.offset + sizeof e.size +
                            sizeof e.timestamp + sizeof e.version);
  return r.finish(e);
}

}  // namespace marrowvane_dat
