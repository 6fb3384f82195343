// SPDX-License-Identifier: MIT
// The extract command: selected files written as OUTDIR/<Type>/<ID>.bin on several
// threads, each file written as soon as it is read.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "archive.hpp"
#include "args.hpp"
#include "batch.hpp"
#include "command_line.hpp"
#include "interrupt.hpp"
#include "output_tree.hpp"
#include "shared_blocks.hpp"
#include "stale_temporaries.hpp"
#include "standard_output.hpp"
#include "table.hpp"
#include "utf8_path.hpp"

namespace marrowvane_dat::cli {
namespace {

using Json = nlohmann::ordered_json;

struct ExtractOptions {
  std::string archive;
  std::string out_dir;
  // Only these ids, as typed (each must exist); every entry when empty.
  std::vector<std::string> typed;
  std::optional<DatFileType> type;
  unsigned jobs = 1;
  bool force = false;
  bool skip_existing = false;
  bool json = false;
  bool allow_shared_blocks = false;
  // The most bytes all files together may take; by default OUTPUT_BOUND_FACTOR times
  // the archive's length.
  std::optional<std::uint64_t> max_output;
};

// An archive's files hold at most its length in stored bytes, and a compressed one
// decodes to at most 17 bytes per 2 stored: honest archives stay well below this
// multiple, while an archive that repeats its bytes in ways the shared-block check
// cannot see is stopped before it fills the disk.
constexpr std::uint64_t OUTPUT_BOUND_FACTOR = 16;

// Where the bound on output comes from, for its message.
std::string output_bound_text(const ExtractOptions& options) {
  return options.max_output ? "--max-output"
                            : decimal(OUTPUT_BOUND_FACTOR) + " times the archive's length";
}

// Each type directory's descriptor by type name; empty for one not made yet.
using TypeDirs = std::map<std::string_view, UniqueFd>;

enum class Outcome : std::uint8_t { Written, Skipped, Failed };

// The selected entries in id order, or nothing after reporting every unknown id.
std::optional<std::vector<DatFileEntry>> select(const Archive& archive,
                                                const ExtractOptions& options) {
  std::vector<DatFileEntry> entries;
  if (options.typed.empty()) {
    for_each_entry(archive, options.type, [&](const DatFileEntry& e) { entries.push_back(e); });
    return entries;
  }
  bool missing = false;
  for (const std::string& typed : options.typed) {
    // The parser has checked every id, so this cannot fail.
    const std::uint32_t id = parse_file_id(typed).value_or(0);
    if (const DatFileEntry* entry = archive.db.find(id)) {
      entries.push_back(*entry);
    } else {
      report_file_error(archive, id, DatError(DatError::NotFound{id}), typed);
      missing = true;
    }
  }
  if (missing) {
    return std::nullopt;
  }
  std::ranges::sort(entries, {}, &DatFileEntry::id);
  const auto [first, last] = std::ranges::unique(entries, {}, &DatFileEntry::id);
  entries.erase(first, last);
  return entries;
}

// Opens each type directory the entries need that is not open yet, once it exists:
// without `create` a missing one stays empty, with it a missing one is made first.
// False after reporting one that is a link or not a directory.
bool open_type_dirs(const Archive& archive, const std::vector<DatFileEntry>& entries,
                    const OutputTree& tree, bool create, TypeDirs& dirs) {
  for (const DatFileEntry& e : entries) {
    const auto [slot, added] = dirs.try_emplace(archive.type_name_of(e.id));
    if (!added && (slot->second || !create)) {
      continue;
    }
    auto dir = tree.subdir(slot->first, create);
    if (!dir) {
      report_error(dir.error());
      return false;
    }
    slot->second = std::move(*dir);
  }
  return true;
}

// Without --force or --skip-existing nothing is written when any target name is
// taken. Returns false after reporting the conflicts.
bool nothing_in_the_way(const Archive& archive, const std::vector<DatFileEntry>& entries,
                        const OutputTree& tree, const TypeDirs& dirs) {
  std::size_t taken = 0;
  std::string first;
  for (const DatFileEntry& e : entries) {
    const std::string_view type = archive.type_name_of(e.id);
    const UniqueFd& dir = dirs.at(type);
    if (dir && name_taken(dir.get(), entry_file_name(e.id)) && taken++ == 0) {
      first = path_text(tree.shown(type) / utf8_path(entry_file_name(e.id)));
    }
  }
  if (taken == 0) {
    return true;
  }
  std::string message = first + ": refusing to overwrite an existing file";
  if (taken > 1) {
    message += " (and " + decimal(std::uint64_t{taken - 1}) + " others)";
  }
  report_error(message + "; use --force to replace, or --skip-existing to keep");
  return false;
}

// Reports every failure and prints the summary; the exit status.
int summarize(const Archive& archive, const ExtractOptions& options, Verbosity verbosity,
              const std::vector<DatFileEntry>& entries, const std::vector<Outcome>& outcomes,
              const std::vector<std::string>& failures, const BatchTotals& totals) {
  std::uint64_t count[3] = {0, 0, 0};
  Json failure_list = Json::array();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    ++count[static_cast<std::size_t>(outcomes[i])];
    if (outcomes[i] == Outcome::Failed) {
      report_error(failures[i]);
      failure_list.push_back(Json{{"id", entries[i].id},
                                  {"id_hex", id_hex_json(entries[i].id)},
                                  {"type", archive.type_name_of(entries[i].id)},
                                  {"error", failures[i]}});
    }
  }
  const auto [written, skipped, failed] = count;
  const int status = failed > 0 ? EXIT_FAILED : EXIT_OK;
  if (options.json) {
    const Json summary{
        {"archive", archive.name},
        {"out_dir", options.out_dir},
        {"selected", entries.size()},
        {"extracted", written},
        {"skipped", skipped},
        {"failed", failed},
        {"bytes", totals.bytes},
        {"seconds", totals.seconds},
        {"failures", std::move(failure_list)},
    };
    return write_stdout(summary.dump(2) + "\n") ? status : EXIT_FAILED;
  }
  if (verbosity == Verbosity::Quiet) {
    return status;
  }
  std::string summary = "Extracted " + decimal(written) + (written == 1 ? " file, " : " files, ") +
                        decimal(totals.bytes) + " bytes in " + fixed2(totals.seconds) + " s";
  if (skipped > 0) {
    summary += "; " + decimal(skipped) + " skipped (already present)";
  }
  if (failed > 0) {
    summary += "; " + decimal(failed) + " failed";
  }
  return write_stdout(summary + "\n") ? status : EXIT_FAILED;
}

// Reads and writes every entry on the batch's threads.
int extract(const Archive& archive, const ExtractOptions& options, Verbosity verbosity,
            const std::vector<DatFileEntry>& entries, const OutputTree& tree,
            const TypeDirs& dirs) {
  const Existing existing = options.force ? Existing::Replace : Existing::Keep;
  const InterruptGuard interrupt_guard;
  for (const auto& [type, dir] : dirs) {
    remove_stale_temporaries(dir.get());
  }
  std::vector<Outcome> outcomes(entries.size(), Outcome::Failed);
  std::vector<std::string> failures(entries.size());
  // Entries over another's blocks can make a small archive write without end.
  const auto shared = options.allow_shared_blocks ? std::map<std::uint32_t, std::uint32_t>{}
                                                  : find_shared_blocks(archive.db);
  const std::uint64_t length = archive.probe.length.value_or(archive.db.header().file_size);
  const std::uint64_t max_output = options.max_output.value_or(OUTPUT_BOUND_FACTOR * length);
  std::atomic<std::uint64_t> output{0};
  const auto one = [&](std::size_t i, std::vector<std::uint8_t>& bytes) -> BatchItem {
    const DatFileEntry& e = entries[i];
    if (const auto owner = shared.find(e.id); owner != shared.end()) {
      failures[i] = archive.name + ": file " + id_text(e.id) + " " +
                    shared_blocks_text(e.id, owner->second) +
                    " (--allow-shared-blocks extracts it anyway)";
      return {};
    }
    const std::string_view type = archive.type_name_of(e.id);
    const std::string name = entry_file_name(e.id);
    const std::string shown = path_text(utf8_path(type) / utf8_path(name));
    const int dir = dirs.at(type).get();
    const std::filesystem::path target = tree.shown(type) / utf8_path(name);
    std::expected<WriteOutcome, std::string> written = WriteOutcome::Exists;
    if (!options.skip_existing || !name_taken(dir, name)) {
      if (auto read = archive.db.get_file_into(e.id, bytes); !read) {
        failures[i] = file_error_text(archive, e.id, read.error());
        return {};
      }
      if (output.fetch_add(bytes.size()) + bytes.size() > max_output) {
        return {0,
                {},
                "stopped before writing " + path_text(target) + ": the files would pass " +
                    decimal(max_output) + " bytes (" + output_bound_text(options) +
                    "); raise the bound with --max-output BYTES"};
      }
      written = write_file_atomically(dir, name, bytes, existing, target, &InterruptGuard::flag());
    }
    if (written && *written == WriteOutcome::Written) {
      outcomes[i] = Outcome::Written;
      return {bytes.size(), shown, {}};
    }
    if (written && options.skip_existing) {
      outcomes[i] = Outcome::Skipped;
      return {0, shown + " skipped: already exists", {}};
    }
    // Exists without --skip-existing: someone created it after the check.
    failures[i] =
        written ? path_text(target) + ": refusing to overwrite an existing file" : written.error();
    return {};
  };
  const BatchTotals totals = run_batch(entries.size(), options.jobs, verbosity, options.json, one);
  if (InterruptGuard::flag()) {
    report_error(options.out_dir + ": interrupted; no partly written file was left behind");
    return EXIT_FAILED;
  }
  if (!batch_complete(totals, archive.name)) {
    return EXIT_FAILED;
  }
  return summarize(archive, options, verbosity, entries, outcomes, failures, totals);
}

int run_extract(const ExtractOptions& options, Verbosity verbosity) {
  const auto archive = open_archive(options.archive);
  if (!archive) {
    return EXIT_FAILED;
  }
  const auto entries = select(*archive, options);
  if (!entries) {
    return EXIT_FAILED;
  }
  auto tree = OutputTree::open(utf8_path(options.out_dir));
  if (!tree) {
    report_error(tree.error());
    return EXIT_FAILED;
  }
  TypeDirs dirs;
  if (!open_type_dirs(*archive, *entries, *tree, false, dirs) ||
      (!options.force && !options.skip_existing &&
       !nothing_in_the_way(*archive, *entries, *tree, dirs)) ||
      !open_type_dirs(*archive, *entries, *tree, true, dirs)) {
    return EXIT_FAILED;
  }
  return extract(*archive, options, verbosity, *entries, *tree, dirs);
}

}  // namespace

void register_extract(CommandLine& cli) {
  const auto [extract, options] = cli.add(
      "extract", "Write files as OUTDIR/<Type>/<ID>.bin (all, of one --type, or the given ids)",
      run_extract);
  add_archive(extract, options->archive, "ARCHIVE");
  extract->add_option("OUTDIR", options->out_dir, "Directory to write into (created if missing)")
      ->required()
      ->type_name("PATH")
      ->check(non_empty("output directory"));
  CLI::Option* ids = add_ids(extract, options->typed, "Only these files");
  add_type(extract, options->type)->excludes(ids);
  add_jobs(extract, options->jobs);
  CLI::Option* force =
      extract->add_flag("--force", options->force, "Replace files (or links) that already exist");
  extract->add_flag("--skip-existing", options->skip_existing, "Keep files that already exist")
      ->excludes(force);
  extract->add_flag("--json", options->json, "Print a JSON summary with every failure");
  extract->add_flag("--allow-shared-blocks", options->allow_shared_blocks,
                    "Also extract files whose blocks belong to a file of lower id");
  extract
      ->add_option("--max-output", options->max_output,
                   "Stop before the files written would pass BYTES in all (default: " +
                       decimal(OUTPUT_BOUND_FACTOR) + " times the archive's length)")
      ->type_name("BYTES");
  extract->footer(std::string(ID_FOOTER) +
                  "\nFiles are written under temporary names and renamed into place; nothing "
                  "below OUTDIR is reached through a symbolic link.");
}

}  // namespace marrowvane_dat::cli
