// SPDX-License-Identifier: MIT
// The places of the commands a build leaves out for want of their library: each is
// compiled only when its command is not, so the tool simply has no such command.
#include "command_line.hpp"

namespace marrowvane_dat::cli {

#ifndef MARROWVANE_DAT_WITH_SERVE
void register_serve(CommandLine&) {}
#endif
#ifndef MARROWVANE_DAT_WITH_MOUNT
void register_mount(CommandLine&) {}
#endif

}  // namespace marrowvane_dat::cli
