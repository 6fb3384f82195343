// SPDX-License-Identifier: MIT
// The ls command: one row (or JSON object) per directory entry, in id order.
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

#include "archive.hpp"
#include "command_line.hpp"
#include "documents.hpp"
#include "standard_output.hpp"
#include "table.hpp"

namespace marrowvane_dat::cli {
namespace {

struct LsOptions {
  std::string archive;
  std::optional<DatFileType> type;
  // table, tsv or json; when empty, a table on a terminal and tsv elsewhere.
  std::string format;
  bool json = false;
};

// One JSON object per entry, written as each is formatted.
void list_json(const Archive& archive, const LsOptions& options, const auto& decompressed) {
  StdoutStream out;
  bool first = true;
  out.append("[");
  for_each_entry(archive, options.type, [&](const DatFileEntry& e) {
    if (stdout_failed()) {
      return;
    }
    const Json row = ls_entry_json(archive, e, decompressed(e));
    out.append(first ? "\n  " : ",\n  ");
    out.append(row.dump());
    first = false;
  });
  out.append(first ? "]\n" : "\n]\n");
}

int run_ls(const LsOptions& options, Verbosity verbosity) {
  const auto archive = open_archive(options.archive);
  if (!archive) {
    return EXIT_FAILED;
  }
  // A compressed entry's size prefix can be unreadable. The listing shows what the
  // directory holds whatever the data's state; verify is what fails on damage.
  std::uint64_t unknown = 0;
  const auto decompressed =
      [&](const DatFileEntry& e) -> std::expected<std::uint32_t, std::string> {
    auto size = decompressed_size_or_error(*archive, e);
    unknown += size ? 0U : 1U;
    return size;
  };
  const auto cells = [&](const DatFileEntry& e) {
    const auto full = decompressed(e);
    return std::vector<std::string>{
        id_text(e.id),
        std::string(archive->type_name_of(e.id)),
        decimal(std::uint64_t{e.size}),
        full ? decimal(std::uint64_t{*full}) : "?",
        e.is_compressed() ? "yes" : "no",
        decimal(std::uint64_t{e.offset}),
        utc_text(e.timestamp),
        decimal(std::uint64_t{e.version}),
    };
  };
  const std::string format = options.json                 ? "json"
                             : !options.format.empty()    ? options.format
                             : is_terminal(STDOUT_FILENO) ? "table"
                                                          : "tsv";
  if (format == "json") {
    list_json(*archive, options, decompressed);
  } else if (format == "table") {
    Table table(
        {"ID", "TYPE", "SIZE", "DECOMPRESSED", "COMPRESSED", "OFFSET", "TIMESTAMP", "VERSION"},
        {false, false, true, true, false, true, true, true});
    for_each_entry(*archive, options.type, [&](const DatFileEntry& e) { table.add_row(cells(e)); });
    (void)write_stdout(table.render());
  } else {
    // For scripts: no header, one tab-separated line per entry.
    StdoutStream out;
    for_each_entry(*archive, options.type, [&](const DatFileEntry& e) {
      if (stdout_failed()) {
        return;
      }
      std::string line;
      for (const std::string& cell : cells(e)) {
        line.append(cell).push_back('\t');
      }
      line.back() = '\n';
      out.append(line);
    });
  }
  if (unknown > 0 && verbosity != Verbosity::Quiet) {
    report_error(archive->name + ": " + decimal(unknown) +
                 (unknown == 1 ? " entry has" : " entries have") +
                 " an unknown decompressed size, its data unreadable (verify names the damage)");
  }
  return stdout_failed() ? EXIT_FAILED : EXIT_OK;
}

}  // namespace

void register_ls(CommandLine& cli) {
  const auto [ls, options] = cli.add("ls", "List the directory entries in id order", run_ls);
  add_archive(ls, options->archive, "ARCHIVE");
  add_type(ls, options->type);
  const auto format_validator = [](std::string& text) -> std::string {
    if (text == "table" || text == "tsv" || text == "json") {
      return {};
    }
    return "unknown format '" + text + "'; choose table, tsv or json";
  };
  CLI::Option* format =
      ls->add_option("--format", options->format,
                     "table, tsv (no header; columns as the table's) or json; default: a table "
                     "on a terminal, tsv otherwise")
          ->type_name("FORMAT")
          ->check(CLI::Validator(format_validator, "", "format"));
  ls->add_flag("--json", options->json, "The same as --format json")->excludes(format);
}

}  // namespace marrowvane_dat::cli
