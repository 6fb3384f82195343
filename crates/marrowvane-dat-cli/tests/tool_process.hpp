// SPDX-License-Identifier: MIT
// Runs the marrowvane-dat executable as a child process and captures what it does.
// One implementation per platform: tool_process_posix.cpp, tool_process_windows.cpp.
#pragma once

#include <chrono>
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

// Where the child's standard output goes. Terminal and Full exist on POSIX systems only.
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
  // POSIX only: RLIMIT_FSIZE for the child, with SIGXFSZ ignored, so that writing past it fails
  // with EFBIG the way a full disk fails with ENOSPC.
  std::optional<std::uint64_t> file_size_limit = std::nullopt;
  // POSIX only: a signal sent to the child as soon as its standard output first delivers bytes.
  std::optional<int> signal_on_output = std::nullopt;
};

// Runs the tool with `args` (without the program name) and collects standard
// output, standard error and the exit status. Throws if the child cannot be started or
// `io` asks for what this platform lacks; on Windows, also when the child is still
// running after two minutes (it is ended first).
ToolRun run_tool(const std::vector<std::string>& args, const ToolIo& io = {});

// The id of this process, as the tool sees it in the names of its temporaries.
int own_process_id();

// The id of a process that has run, ended and been reaped: a writer killed without warning.
int ended_process_id();

// The tool started in the background (for serve), its standard output read line by
// line and its standard error left to the test's own. POSIX only.
class RunningTool {
 public:
  explicit RunningTool(const std::vector<std::string>& args);
  RunningTool(const RunningTool&) = delete;
  RunningTool& operator=(const RunningTool&) = delete;
  // Kills the child if it still runs.
  ~RunningTool();

  // The next line of standard output without its line break; nothing at end of file
  // or when `timeout` passes first.
  std::optional<std::string> read_line(std::chrono::milliseconds timeout);
  // Sends `signal` and waits for the child: its status as run_tool reports it.
  int signal_and_wait(int signal);

 private:
  int pid_ = -1;
  int out_ = -1;
  std::string buffered_;
};

}  // namespace marrowvane_dat::cli_test
