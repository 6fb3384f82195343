// SPDX-License-Identifier: MIT
// Removing the temporary files that extract runs killed without warning (SIGKILL, a
// crash, a power cut) left in an output directory.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <sys/types.h>

namespace marrowvane_dat::cli {

// The name `name` is written under before it is renamed into place:
// ".<name>.part-<pid>-<n>", unique within this process, read back by temporary_owner.
[[nodiscard]] std::string temporary_name(std::string_view name);

// The id of the process that wrote `name`, when `name` has the shape of the tool's
// own temporary names (".<file>.part-<pid>-<n>"); nothing otherwise.
[[nodiscard]] std::optional<pid_t> temporary_owner(std::string_view name) noexcept;

// Removes from directory `dir_fd` every regular file with a temporary name whose
// process no longer exists. Best effort: what cannot be read or removed stays.
void remove_stale_temporaries(int dir_fd) noexcept;

}  // namespace marrowvane_dat::cli
