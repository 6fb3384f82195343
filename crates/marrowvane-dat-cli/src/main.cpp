// SPDX-License-Identifier: MIT
// The marrowvane-dat entry point.
#include <csignal>
#include <exception>
#include <new>

#include "command_line.hpp"
#include "standard_output.hpp"

int main(int argc, char** argv) {
  using namespace marrowvane_dat::cli;
  // A closed pipe then shows up as EPIPE from write(), which stops the command and
  // ends it quietly with a failure status instead of death by signal.
  std::signal(SIGPIPE, SIG_IGN);
  try {
    return CommandLine().run(argc, argv);
  } catch (const std::bad_alloc&) {
    report_error("out of memory");
    return EXIT_FAILED;
  } catch (const std::exception& error) {
    // Only the standard library can get here (no threads, a failed conversion).
    report_error(error.what());
    return EXIT_FAILED;
  } catch (...) {
    report_error("unexpected internal error");
    return EXIT_FAILED;
  }
}
