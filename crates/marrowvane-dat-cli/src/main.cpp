// SPDX-License-Identifier: MIT
// The marrowvane-dat entry point.
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "command_line.hpp"
#include "platform/system.hpp"
#include "standard_output.hpp"

int main(int argc, char** argv) {
  using namespace marrowvane_dat::cli;
  prepare_process();
  try {
    std::vector<std::string> arguments = utf8_arguments(argc, argv);
    std::vector<char*> pointers;
    for (std::string& argument : arguments) {
      pointers.push_back(argument.data());
    }
    pointers.push_back(nullptr);
    return CommandLine().run(static_cast<int>(arguments.size()), pointers.data());
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
