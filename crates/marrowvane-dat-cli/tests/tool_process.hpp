// Runs the marrowvane-dat executable as a child process and captures what it does.
#pragma once

#include <string>
#include <vector>

namespace marrowvane_dat::cli_test {

struct ToolRun {
  // The exit status, or 128 + signal number when the child was killed.
  int status = -1;
  std::string out;
  std::string err;
};

// Runs the tool with `args` (without the program name), standard input empty,
// and collects standard output, standard error and the exit status.
ToolRun run_tool(const std::vector<std::string>& args);

// Runs the tool with standard output a pipe whose reading end is already closed,
// as when the consumer of a pipeline has quit; captures only standard error.
ToolRun run_tool_into_closed_pipe(const std::vector<std::string>& args);

}  // namespace marrowvane_dat::cli_test
