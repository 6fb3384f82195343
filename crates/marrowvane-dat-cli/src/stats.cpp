// SPDX-License-Identifier: MIT
// The stats command: one archive summarised type by type.
#include <cstdint>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "archive.hpp"
#include "command_line.hpp"
#include "shared_blocks.hpp"
#include "standard_output.hpp"
#include "table.hpp"

namespace marrowvane_dat::cli {
namespace {

using Json = nlohmann::ordered_json;

struct StatsOptions {
  std::string archive;
  bool json = false;
};

struct TypeStats {
  std::uint64_t files = 0;
  std::uint64_t compressed = 0;
  std::uint64_t stored = 0;
  std::uint64_t decompressed = 0;
  // Files whose decompressed size cannot be read, and what they store: left out of
  // the decompressed bytes and the ratio, never guessed.
  std::uint64_t unreadable = 0;
  std::uint64_t unreadable_stored = 0;
  // Files over blocks that an earlier file (or they themselves) already passed: their
  // bytes are counted once, under that file, and not again under them.
  std::uint64_t shared = 0;

  // How many times larger the content is than what the archive stores for it.
  [[nodiscard]] std::optional<double> ratio() const {
    const std::uint64_t known = stored - unreadable_stored;
    if (known == 0) {
      return std::nullopt;
    }
    return static_cast<double>(decompressed) / static_cast<double>(known);
  }
  [[nodiscard]] Json json() const {
    const auto r = ratio();
    return Json{{"files", files},
                {"compressed_files", compressed},
                {"stored_bytes", stored},
                {"decompressed_bytes", decompressed},
                {"ratio", r ? Json(*r) : Json(nullptr)},
                {"unreadable", unreadable},
                {"shared_blocks", shared}};
  }
  [[nodiscard]] std::vector<std::string> cells(std::string name) const {
    const auto r = ratio();
    return {std::move(name),       decimal(files),       decimal(compressed), decimal(stored),
            decimal(decompressed), r ? fixed2(*r) : "-", decimal(unreadable)};
  }
};

int run_stats(const StatsOptions& options, Verbosity verbosity) {
  const auto archive = open_archive(options.archive);
  if (!archive) {
    return EXIT_FAILED;
  }
  std::map<std::string_view, TypeStats> by_type;
  TypeStats total;
  const auto shared = find_shared_blocks(archive->db);
  for_each_entry(*archive, std::nullopt, [&](const DatFileEntry& e) {
    if (shared.contains(e.id)) {
      for (TypeStats* stats : {&by_type[archive->type_name_of(e.id)], &total}) {
        ++stats->files;
        ++stats->shared;
      }
      return;
    }
    const auto size = archive->db.decompressed_size(e.id);
    for (TypeStats* stats : {&by_type[archive->type_name_of(e.id)], &total}) {
      ++stats->files;
      stats->compressed += e.is_compressed() ? 1U : 0U;
      stats->stored += e.size;
      stats->decompressed += size.value_or(0);
      stats->unreadable += size ? 0U : 1U;
      stats->unreadable_stored += size ? 0U : e.size;
    }
  });
  if (total.unreadable > 0 && verbosity != Verbosity::Quiet) {
    report_error(archive->name + ": " + decimal(total.unreadable) +
                 (total.unreadable == 1 ? " file has" : " files have") +
                 " an unknown decompressed size, its data unreadable (verify names the damage)");
  }

  if (options.json) {
    Json types = Json::array();
    for (const auto& [type, stats] : by_type) {
      Json row{{"type", type}};
      row.update(stats.json());
      types.push_back(std::move(row));
    }
    const Json report{
        {"archive", archive->name}, {"types", std::move(types)}, {"total", total.json()}};
    return write_stdout(report.dump(2) + "\n") ? EXIT_OK : EXIT_FAILED;
  }
  Table table({"TYPE", "FILES", "COMPRESSED", "STORED", "DECOMPRESSED", "RATIO", "UNKNOWN"},
              {false, true, true, true, true, true, true});
  for (const auto& [type, stats] : by_type) {
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
