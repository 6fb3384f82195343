// SPDX-License-Identifier: MIT
// Binary searches and slices over the entry orders built at start.
#include "entry_index.hpp"

#include <algorithm>
#include <numeric>
#include <span>

namespace marrowvane_dat::cli {

EntryIndex::EntryIndex(const Archive& archive) : entries_(archive.db.entries()) {
  const auto count = static_cast<std::uint32_t>(entries_.size());
  for (std::uint32_t i = 0; i < count; ++i) {
    by_type_[archive.type_of(entries_[i].id)].push_back(i);
  }
  const auto smaller = [this](std::uint32_t x, std::uint32_t y) {
    // Equal sizes keep id order, so pages of equal sizes are stable.
    return entries_[x].size != entries_[y].size ? entries_[x].size < entries_[y].size : x < y;
  };
  by_size_.resize(count);
  std::iota(by_size_.begin(), by_size_.end(), std::uint32_t{0});
  std::ranges::sort(by_size_, smaller);
  for (const auto& [type, positions] : by_type_) {
    Positions sorted = positions;
    std::ranges::sort(sorted, smaller);
    by_type_and_size_.emplace(type, std::move(sorted));
  }
}

const EntryIndex::Positions* EntryIndex::by_id(std::optional<DatFileType> type) const {
  if (!type) {
    return nullptr;
  }
  static const Positions none;
  const auto found = by_type_.find(*type);
  return found == by_type_.end() ? &none : &found->second;
}

const EntryIndex::Positions& EntryIndex::by_size(std::optional<DatFileType> type) const {
  if (!type) {
    return by_size_;
  }
  static const Positions none;
  const auto found = by_type_and_size_.find(*type);
  return found == by_type_and_size_.end() ? none : found->second;
}

std::map<DatFileType, std::size_t> EntryIndex::type_counts() const {
  std::map<DatFileType, std::size_t> counts;
  for (const auto& [type, positions] : by_type_) {
    counts.emplace(type, positions.size());
  }
  return counts;
}

EntryPage EntryIndex::page(const EntryQuery& q) const {
  EntryPage page;
  if (q.lo > q.hi) {
    return page;
  }
  // The matching positions in id order, as a range of a list or of the directory.
  std::size_t first = 0;
  std::size_t last = 0;
  const Positions* list = by_id(q.type);
  const auto id_at = [&](std::size_t i) { return entries_[list ? (*list)[i] : i].id; };
  const auto position_at = [&](std::size_t i) { return list ? (*list)[i] : i; };
  {
    const std::size_t n = list ? list->size() : entries_.size();
    const auto bound = [&](auto below) {
      std::size_t lo = 0;
      std::size_t hi = n;
      while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (below(id_at(mid))) {
          lo = mid + 1;
        } else {
          hi = mid;
        }
      }
      return lo;
    };
    first = bound([&](std::uint32_t id) { return id < q.lo; });
    last = bound([&](std::uint32_t id) { return id <= q.hi; });
  }
  page.total = last - first;
  if (q.offset >= page.total || q.limit == 0) {
    return page;
  }
  const std::size_t count = std::min(q.limit, page.total - q.offset);
  page.entries.reserve(count);
  const auto take = [&](std::size_t position) { page.entries.push_back(&entries_[position]); };

  if (q.order == EntryOrder::Id) {
    for (std::size_t k = 0; k < count; ++k) {
      take(position_at(q.descending ? last - 1 - q.offset - k : first + q.offset + k));
    }
    return page;
  }
  const bool whole_id_space = q.lo == 0 && q.hi == std::numeric_limits<std::uint32_t>::max();
  if (whole_id_space) {
    const Positions& sorted = by_size(q.type);
    for (std::size_t k = 0; k < count; ++k) {
      take(sorted[q.descending ? sorted.size() - 1 - q.offset - k : q.offset + k]);
    }
    return page;
  }
  std::vector<std::uint32_t> range(page.total);
  for (std::size_t i = 0; i < page.total; ++i) {
    range[i] = static_cast<std::uint32_t>(position_at(first + i));
  }
  const auto before = [&](std::uint32_t x, std::uint32_t y) {
    const std::uint32_t sx = entries_[x].size;
    const std::uint32_t sy = entries_[y].size;
    if (sx != sy) {
      return q.descending ? sx > sy : sx < sy;
    }
    return q.descending ? x > y : x < y;
  };
  const auto end = range.begin() + static_cast<std::ptrdiff_t>(q.offset + count);
  std::partial_sort(range.begin(), end, range.end(), before);
  for (std::size_t k = q.offset; k < q.offset + count; ++k) {
    take(range[k]);
  }
  return page;
}

}  // namespace marrowvane_dat::cli
