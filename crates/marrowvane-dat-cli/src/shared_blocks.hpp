// SPDX-License-Identifier: MIT
// Finding entries whose chains pass through blocks an earlier entry already uses,
// which lets a small archive expand into many copies of the same bytes.
#pragma once

#include <cstdint>
#include <map>

#include "marrowvane_dat/dat_database.hpp"

namespace marrowvane_dat::cli {

// For every entry that uses a block an entry of lower id already used, the id of
// that earlier entry (the first such block's owner), keyed by the later entry's id.
// Entries whose chains cannot be walked are left to the read that will fail on them.
[[nodiscard]] std::map<std::uint32_t, std::uint32_t> find_shared_blocks(const DatDatabase& db);

}  // namespace marrowvane_dat::cli
