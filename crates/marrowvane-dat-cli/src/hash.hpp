// SPDX-License-Identifier: MIT
// A fast 64-bit content hash, for telling whether two files hold the same bytes.
#pragma once

#include <cstdint>
#include <span>

namespace marrowvane_dat::cli {

// The XXH64 hash of `bytes` with seed 0: well mixed and fast, for spotting accidental
// differences. Not a defence against someone crafting a collision on purpose.
[[nodiscard]] std::uint64_t hash64(std::span<const std::uint8_t> bytes) noexcept;

}  // namespace marrowvane_dat::cli
