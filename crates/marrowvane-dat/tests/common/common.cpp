// SPDX-License-Identifier: MIT
// Helpers shared by the font_parity cases.
#include "common/common.hpp"

#include "marrowvane_dat/utils.hpp"

namespace common {

std::optional<std::filesystem::path> get_portal_dat_path() {
  return marrowvane_dat::get_portal_dat_path();
}

}  // namespace common
