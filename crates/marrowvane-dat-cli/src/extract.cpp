// SPDX-License-Identifier: MIT
// The extract command: selected files written as OUTDIR/<Type>/<ID>.bin on several
// threads, each file written as soon as it is read.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "archive.hpp"
#include "commands.hpp"
#include "interrupt.hpp"
#include "output.hpp"
#include "output_tree.hpp"
#include "parallel.hpp"

namespace marrowvane_dat::cli {
namespace {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The file name of an entry: only the tool's own formatting, never archive bytes,
// so no entry can name a path outside its type directory.
std::string file_name(std::uint32_t id) {
  return id_text(id) + ".bin";
}

// The selected entries in id order, or nothing after reporting every unknown id.
std::optional<std::vector<DatFileEntry>> select(const Archive& archive,
                                                const ExtractOptions& options) {
  std::vector<DatFileEntry> entries;
  if (options.ids.empty()) {
    for_each_entry(archive, options.type, [&](const DatFileEntry& e) { entries.push_back(e); });
    return entries;
  }
  bool missing = false;
  for (std::size_t i = 0; i < options.ids.size(); ++i) {
    const std::uint32_t id = options.ids[i];
    if (const DatFileEntry* entry = archive.db.find(id)) {
      entries.push_back(*entry);
    } else {
      report_file_error(
          archive, id, DatError(DatError::NotFound{id}),
          i < options.typed.size() ? std::string_view(options.typed[i]) : std::string_view());
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

// Without --force or --skip-existing nothing is written when any target name is
// taken. Returns false after reporting the conflicts (or a type directory that is a
// link).
bool nothing_in_the_way(const Archive& archive, const std::vector<DatFileEntry>& entries,
                        const OutputTree& tree) {
  std::map<std::string_view, UniqueFd> dirs;
  std::size_t taken = 0;
  std::string first;
  for (const DatFileEntry& e : entries) {
    const std::string_view type = archive.type_name_of(e.id);
    auto found = dirs.find(type);
    if (found == dirs.end()) {
      auto dir = tree.subdir(type, false);
      if (!dir) {
        report_error(dir.error());
        return false;
      }
      found = dirs.emplace(type, std::move(*dir)).first;
    }
    const std::string name = file_name(e.id);
    if (found->second && name_taken(found->second.get(), name)) {
      if (taken++ == 0) {
        first = (tree.shown(type) / name).string();
      }
    }
  }
  if (taken == 0) {
    return true;
  }
  std::string message = "refusing to overwrite " + first;
  if (taken > 1) {
    message += " and " + decimal(std::uint64_t{taken - 1}) + " other existing files";
  }
  report_error(message + " (use --force to replace them, or --skip-existing to keep them)");
  return false;
}

enum class Outcome : std::uint8_t { Written, Skipped, Failed };

}  // namespace

int run_extract(const ExtractOptions& options) {
  const auto archive = open_archive(options.archive);
  if (!archive) {
    return EXIT_FAILED;
  }
  const Clock::time_point start = Clock::now();
  const auto selected = select(*archive, options);
  if (!selected) {
    return EXIT_FAILED;
  }
  const std::vector<DatFileEntry>& entries = *selected;

  auto tree = OutputTree::open(options.out_dir);
  if (!tree) {
    report_error(tree.error());
    return EXIT_FAILED;
  }
  if (!options.force && !options.skip_existing && !nothing_in_the_way(*archive, entries, *tree)) {
    return EXIT_FAILED;
  }
  std::map<std::string_view, UniqueFd> dirs;
  std::vector<int> dir_of(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::string_view type = archive->type_name_of(entries[i].id);
    auto found = dirs.find(type);
    if (found == dirs.end()) {
      auto dir = tree->subdir(type, true);
      if (!dir) {
        report_error(dir.error());
        return EXIT_FAILED;
      }
      found = dirs.emplace(type, std::move(*dir)).first;
    }
    dir_of[i] = found->second.get();
  }

  const Existing existing = options.force ? Existing::Replace : Existing::Keep;
  // Per-file lines stay off standard output when it carries the JSON document.
  const auto say = [&](const std::string& line) {
    if (options.json) {
      write_stderr(line);
    } else {
      write_stdout(line);
    }
  };
  const bool verbose = options.verbosity == Verbosity::Verbose;

  const InterruptGuard interrupt_guard;
  std::vector<Outcome> outcomes(entries.size(), Outcome::Failed);
  std::vector<std::string> failures(entries.size());
  // One buffer per worker, reused for every file it reads: at most one file per
  // worker is ever held.
  std::vector<std::vector<std::uint8_t>> buffers(worker_count(entries.size(), options.jobs));
  Progress progress(entries.size(), options.verbosity == Verbosity::Normal && stderr_is_terminal());
  run_parallel(
      entries.size(), options.jobs,
      [&](std::size_t i, unsigned w) -> std::uint64_t {
        const DatFileEntry& e = entries[i];
        const std::string name = file_name(e.id);
        const std::string shown =
            (std::filesystem::path(archive->type_name_of(e.id)) / name).string();
        const auto skipped = [&] {
          outcomes[i] = Outcome::Skipped;
          if (verbose) {
            say(shown + " skipped: already exists\n");
          }
          return std::uint64_t{0};
        };
        if (options.skip_existing && name_taken(dir_of[i], name)) {
          return skipped();
        }
        std::vector<std::uint8_t>& bytes = buffers[w];
        if (auto read = archive->db.get_file_into(e.id, bytes); !read) {
          failures[i] = file_error_text(*archive, e.id, read.error());
          return 0;
        }
        const auto written = write_file_atomically(dir_of[i], name, bytes, existing,
                                                   tree->shown(archive->type_name_of(e.id)) / name,
                                                   &InterruptGuard::flag());
        if (!written) {
          failures[i] = written.error();
          return 0;
        }
        if (*written == WriteOutcome::Exists) {
          if (options.skip_existing) {
            return skipped();
          }
          // Someone created it after the check before writing began.
          failures[i] =
              "refusing to overwrite " + (tree->shown(archive->type_name_of(e.id)) / name).string();
          return 0;
        }
        outcomes[i] = Outcome::Written;
        if (verbose) {
          say(shown + "\n");
        }
        return bytes.size();
      },
      progress, &InterruptGuard::flag());

  if (InterruptGuard::interrupted()) {
    report_error("interrupted; no partly written file was left behind");
    return EXIT_FAILED;
  }

  std::uint64_t written = 0;
  std::uint64_t skipped = 0;
  std::uint64_t failed = 0;
  Json failure_list = Json::array();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    switch (outcomes[i]) {
      case Outcome::Written:
        ++written;
        break;
      case Outcome::Skipped:
        ++skipped;
        break;
      case Outcome::Failed:
        ++failed;
        report_error(failures[i]);
        if (options.json) {
          failure_list.push_back(Json{{"id", entries[i].id},
                                      {"id_hex", id_hex_json(entries[i].id)},
                                      {"type", archive->type_name_of(entries[i].id)},
                                      {"error", failures[i]}});
        }
        break;
    }
  }

  if (options.json) {
    const Json summary{
        {"archive", archive->name},
        {"out_dir", options.out_dir.string()},
        {"selected", entries.size()},
        {"extracted", written},
        {"skipped", skipped},
        {"failed", failed},
        {"bytes", progress.bytes()},
        {"seconds", seconds_since(start)},
        {"failures", std::move(failure_list)},
    };
    write_stdout(summary.dump(2) + "\n");
  } else if (options.verbosity != Verbosity::Quiet) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f", seconds_since(start));
    std::string summary = "Extracted " + decimal(written) +
                          (written == 1 ? " file, " : " files, ") + decimal(progress.bytes()) +
                          " bytes in " + seconds + " s";
    if (skipped > 0) {
      summary += "; " + decimal(skipped) + " skipped (already present)";
    }
    if (failed > 0) {
      summary += "; " + decimal(failed) + " failed";
    }
    write_stdout(summary + "\n");
  }
  return failed > 0 ? EXIT_FAILED : EXIT_OK;
}

}  // namespace marrowvane_dat::cli
