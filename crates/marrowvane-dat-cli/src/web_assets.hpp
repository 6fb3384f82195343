// SPDX-License-Identifier: MIT
// The viewer's pages, scripts and styles, embedded into the executable at build time.
#pragma once

#include <span>
#include <string_view>

namespace marrowvane_dat::cli {

// One file of the web/ directory: its name there and its bytes.
struct WebAsset {
  std::string_view name;
  std::string_view bytes;
};

// Every embedded file, in name order. Static storage; thread-safe.
[[nodiscard]] std::span<const WebAsset> web_assets() noexcept;

}  // namespace marrowvane_dat::cli
