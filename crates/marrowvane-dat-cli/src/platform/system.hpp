// SPDX-License-Identifier: MIT
// What the tool asks of the operating system beyond the library and the output tree:
// one implementation per platform under platform/posix and platform/windows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace marrowvane_dat::cli {

// Readies the process before any output: a closed pipe ends a write with an error
// instead of the process, standard streams carry bytes unchanged, and the console
// shows UTF-8.
void prepare_process() noexcept;

// The errno of a write to a descriptor that has just failed, read before anything else
// can change it; a pipe whose reader has gone is EPIPE on every platform.
[[nodiscard]] int failed_write_errno() noexcept;

// This process's id, as the system's process list shows it.
[[nodiscard]] std::uint64_t current_process_id() noexcept;

// The command line as UTF-8 strings, the program name first.
[[nodiscard]] std::vector<std::string> utf8_arguments(int argc, char** argv);

}  // namespace marrowvane_dat::cli
