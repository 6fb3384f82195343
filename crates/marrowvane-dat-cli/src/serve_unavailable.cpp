// SPDX-License-Identifier: MIT
// The serve command's place when the tool is built without an HTTP library.
#include "command_line.hpp"

namespace marrowvane_dat::cli {

void register_serve(CommandLine&) {}

}  // namespace marrowvane_dat::cli
