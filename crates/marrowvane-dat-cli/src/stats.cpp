// SPDX-License-Identifier: MIT
// The stats command: one archive summarised type by type.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive.hpp"
#include "command_line.hpp"
#include "documents.hpp"
#include "standard_output.hpp"
#include "table.hpp"

namespace marrowvane_dat::cli {
namespace {

struct StatsOptions {
  std::string archive;
  bool json = false;
};

int run_stats(const StatsOptions& options, Verbosity verbosity) {
  const auto archive = open_archive(options.archive);
  if (!archive) {
    return EXIT_FAILED;
  }
  const StatsReport report = stats_report(*archive);
  const TypeStats& total = report.total;
  if (total.unreadable > 0 && verbosity != Verbosity::Quiet) {
    report_error(archive->name + ": " + decimal(total.unreadable) +
                 (total.unreadable == 1 ? " file has" : " files have") +
                 " an unknown decompressed size, its data unreadable (verify names the damage)");
  }

  if (options.json) {
    return write_stdout(stats_json(*archive, report).dump(2) + "\n") ? EXIT_OK : EXIT_FAILED;
  }
  Table table({"TYPE", "FILES", "COMPRESSED", "STORED", "DECOMPRESSED", "RATIO", "UNKNOWN"},
              {false, true, true, true, true, true, true});
  for (const auto& [type, stats] : report.by_type) {
    table.add_row(stats.cells(std::string(type)));
  }
  table.add_row(total.cells("total"));
  std::string text = table.render();
  if (total.shared > 0) {
    text += "Shared blocks counted once: " + decimal(total.shared) +
            (total.shared == 1 ? " file passes" : " files pass") +
            " through blocks already counted; their bytes are left out of STORED and "
            "DECOMPRESSED\n";
  }
  return write_stdout(text) ? EXIT_OK : EXIT_FAILED;
}

}  // namespace

void register_stats(CommandLine& cli) {
  const auto [stats, options] = cli.add(
      "stats", "Count files and stored and decompressed bytes per type, with the ratio", run_stats);
  add_archive(stats, options->archive, "ARCHIVE");
  stats->add_flag("--json", options->json, "Print JSON instead of text");
  stats->footer(
      "RATIO is decompressed bytes divided by stored bytes. UNKNOWN counts files whose "
      "decompressed size cannot be read (their data is damaged; verify names it): they are "
      "left out of DECOMPRESSED and RATIO. Blocks are counted once: a file over blocks that a "
      "file of lower id (or its own chain) already passed through adds to FILES only, and a "
      "note says how many such files there are.");
}

}  // namespace marrowvane_dat::cli
