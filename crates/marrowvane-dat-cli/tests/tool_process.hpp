// SPDX-License-Identifier: MIT
// Runs the marrowvane-dat executable as a child process and captures what it does.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace marrowvane_dat::cli_test {

struct ToolRun {
  // The exit status, or 128 + signal number when the child was killed.
  int status = -1;
  std::string out;
  std::string err;
};

// Where the child's standard output goes.
enum class Stdout : std::uint8_t {
  Pipe,        // captured
  Terminal,    // a pseudo-terminal, captured (line breaks arrive as "\r\n")
  Full,        // /dev/full: every write fails with ENOSPC
  ClosedPipe,  // a pipe whose reader has already gone, as when `| head` has quit
};

struct ToolIo {
  // The child's standard input; /dev/null when not given.
  std::optional<std::filesystem::path> stdin_file = std::nullopt;
  Stdout out = Stdout::Pipe;
  // RLIMIT_FSIZE for the child, with SIGXFSZ ignored, so that writing past it fails
  // with EFBIG the way a full disk fails with ENOSPC.
  std::optional<std::uint64_t> file_size_limit = std::nullopt;
  // A signal sent to the child as soon as its standard output first delivers bytes.
  std::optional<int> signal_on_output = std::nullopt;
};

// Runs the tool with `args` (without the program name) and collects standard
// output, standard error and the exit status.
ToolRun run_tool(const std::vector<std::string>& args, const ToolIo& io = {});

}  // namespace marrowvane_dat::cli_test
