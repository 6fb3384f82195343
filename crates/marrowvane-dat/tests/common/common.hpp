// SPDX-License-Identifier: MIT
// Helpers shared by the font_parity cases.
#pragma once

#include <filesystem>
#include <optional>

namespace common {

// The portal archive to check, exactly as the library locates it: $MARROWVANE_PORTAL_DAT
// if it names something that exists, else <checkout>/dats/portal.dat if that exists,
// else nothing.
[[nodiscard]] std::optional<std::filesystem::path> get_portal_dat_path();

}  // namespace common
