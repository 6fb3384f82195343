// SPDX-License-Identifier: MIT
// The diff command: two archives compared id by id.
#include <string>

#include "archive.hpp"
#include "archive_diff.hpp"
#include "command_line.hpp"
#include "standard_output.hpp"

namespace marrowvane_dat::cli {
namespace {

struct DiffOptions {
  std::string archive_a;
  std::string archive_b;
  bool json = false;
};

int run_diff(const DiffOptions& options, Verbosity verbosity) {
  if (options.archive_a == STDIN_ARCHIVE && options.archive_b == STDIN_ARCHIVE) {
    return usage_error(std::string(TOOL_NAME) + " diff",
                       "only one archive can be read from standard input");
  }
  const auto a = open_archive(options.archive_a);
  const auto b = a ? open_archive(options.archive_b) : std::nullopt;
  if (!b) {
    return EXIT_TROUBLE;
  }
  const DiffReport report = diff_archives(*a, *b);
  const bool shown = options.json ? write_stdout(report.json.dump(2) + "\n")
                                  : verbosity == Verbosity::Quiet || write_stdout(report.text);
  if (!shown || report.trouble) {
    return EXIT_TROUBLE;
  }
  return report.identical ? EXIT_OK : EXIT_DIFFERENT;
}

}  // namespace

void register_diff(CommandLine& cli) {
  const auto [diff, options] =
      cli.add("diff", "List the ids added, removed and changed (size, flags, version or content)",
              run_diff);
  add_archive(diff, options->archive_a, "ARCHIVE_A");
  add_archive(diff, options->archive_b, "ARCHIVE_B");
  diff->add_flag("--json", options->json, "Print JSON instead of text");
  diff->footer(
      "Contents are compared by a 64-bit hash of the decompressed bytes when the stored sizes "
      "are equal; a file over blocks that an earlier file (or its own chain) already passed "
      "through is compared by its entry only, and listed as shared.\nExit status: 0 "
      "identical, 1 different, 2 trouble (an archive or file could not be read).");
}

}  // namespace marrowvane_dat::cli
