// SPDX-License-Identifier: MIT
// Finding entries whose chains pass through blocks an earlier entry already uses,
// which lets a small archive expand into many copies of the same bytes.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "marrowvane_dat/dat_database.hpp"

namespace marrowvane_dat::cli {

// For every entry that uses a block an entry of lower id already used, the id of
// that earlier entry (the first such block's owner), keyed by the later entry's id;
// an entry whose own chain comes back to a block it already passed maps to itself.
// Blocks count by their place on the archive's block grid, so blocks that overlap
// off the grid count as one. Entries whose chains cannot be walked are left to the
// read that will fail on them.
[[nodiscard]] std::map<std::uint32_t, std::uint32_t> find_shared_blocks(const DatDatabase& db);

// What is wrong with entry `id`, found by find_shared_blocks with `owner`, in words:
// "shares blocks with file <owner>", or "passes through one of its blocks twice".
[[nodiscard]] std::string shared_blocks_text(std::uint32_t id, std::uint32_t owner);

}  // namespace marrowvane_dat::cli
