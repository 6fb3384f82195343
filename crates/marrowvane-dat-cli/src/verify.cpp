// SPDX-License-Identifier: MIT
// The verify command: every file read on several threads, sizes and fonts checked,
// and a report by type.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "archive.hpp"
#include "commands.hpp"
#include "marrowvane_dat/binary_reader.hpp"
#include "marrowvane_dat/file_type/font.hpp"
#include "output.hpp"
#include "parallel.hpp"

namespace marrowvane_dat::cli {
namespace {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

struct FontCheck {
  std::optional<std::string> failure;
  std::uint64_t glyphs = 0;
};

// The checks every font must pass, in this order; the first that fails is the
// result. `bytes` is the file's content as get_file returns it.
FontCheck check_font(std::uint32_t id, std::span<const std::uint8_t> bytes) {
  const std::string name = "Font " + id_text(id);
  Cursor cursor(bytes);
  auto parsed = Font::read(cursor);
  if (!parsed) {
    return {"parse " + name + " (" + decimal(std::uint64_t{bytes.size()}) +
                " bytes): " + parsed.error().to_string(),
            0};
  }
  const Font& font = *parsed;
  if (font.id != id) {
    return {name + " self-id mismatch: the record names " + id_text(font.id), 0};
  }
  if (font.char_descs.empty()) {
    return {name + " has zero char descs", 0};
  }
  if (font.max_char_height == 0 || font.max_char_width == 0) {
    return {name + " has zero max cell size (" + decimal(std::uint64_t{font.max_char_height}) +
                "x" + decimal(std::uint64_t{font.max_char_width}) + ")",
            0};
  }
  const std::uint64_t glyphs = font.char_descs.size();
  const std::uint64_t predicted = Font::FIXED_SIZE + FontCharDesc::SIZE * glyphs;
  if (predicted != bytes.size()) {
    return {name + " size mismatch: predicted " + decimal(predicted) + " != actual " +
                decimal(std::uint64_t{bytes.size()}),
            0};
  }
  return {std::nullopt, glyphs};
}

struct Outcome {
  std::optional<std::string> failure;
  bool is_font = false;
  std::uint64_t glyphs = 0;
};

// Reads one file into `bytes` and checks it.
Outcome check_file(const Archive& archive, const DatFileEntry& entry,
                   std::vector<std::uint8_t>& bytes) {
  Outcome out;
  out.is_font = archive.type_of(entry.id) == DatFileType::Font;
  if (auto read = archive.db.get_file_into(entry.id, bytes); !read) {
    out.failure = read.error().to_string();
    return out;
  }
  if (entry.is_compressed()) {
    // What the payload promised against what decompressing it gave.
    auto declared = archive.db.decompressed_size(entry.id);
    if (!declared) {
      out.failure = declared.error().to_string();
      return out;
    }
    if (*declared != bytes.size()) {
      out.failure = "decompressed to " + decimal(std::uint64_t{bytes.size()}) +
                    " bytes, declared " + decimal(std::uint64_t{*declared});
      return out;
    }
  }
  if (out.is_font) {
    FontCheck font = check_font(entry.id, bytes);
    out.failure = std::move(font.failure);
    out.glyphs = font.glyphs;
  }
  return out;
}

}  // namespace

int run_verify(const VerifyOptions& options) {
  const auto archive = open_archive(options.archive);
  if (!archive) {
    return EXIT_FAILED;
  }
  const Clock::time_point start = Clock::now();
  std::vector<DatFileEntry> entries;
  for_each_entry(*archive, std::nullopt, [&](const DatFileEntry& e) { entries.push_back(e); });

  const bool verbose = options.verbosity == Verbosity::Verbose;
  std::vector<Outcome> outcomes(entries.size());
  // One buffer per worker, reused for every file it reads.
  std::vector<std::vector<std::uint8_t>> buffers(worker_count(entries.size(), options.jobs));
  Progress progress(entries.size(), options.verbosity == Verbosity::Normal && stderr_is_terminal());
  run_parallel(
      entries.size(), options.jobs,
      [&](std::size_t i, unsigned w) -> std::uint64_t {
        outcomes[i] = check_file(*archive, entries[i], buffers[w]);
        if (verbose) {
          const Outcome& out = outcomes[i];
          const std::string line = id_text(entries[i].id) + " " +
                                   std::string(archive->type_name_of(entries[i].id)) + ": " +
                                   (out.failure ? "FAILED: " + *out.failure : "ok") + "\n";
          if (options.json) {
            write_stderr(line);
          } else {
            write_stdout(line);
          }
        }
        return outcomes[i].failure ? 0 : buffers[w].size();
      },
      progress);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

  struct TypeCount {
    std::uint64_t files = 0;
    std::uint64_t failed = 0;
  };
  std::map<std::string_view, TypeCount> by_type;
  std::uint64_t failed = 0;
  std::uint64_t fonts = 0;
  std::uint64_t fonts_ok = 0;
  std::uint64_t glyphs = 0;
  std::string failure_lines;
  Json failure_list = Json::array();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::uint32_t id = entries[i].id;
    const std::string_view type = archive->type_name_of(id);
    TypeCount& count = by_type[type];
    ++count.files;
    const Outcome& out = outcomes[i];
    if (out.is_font) {
      ++fonts;
      glyphs += out.glyphs;
    }
    if (!out.failure) {
      fonts_ok += out.is_font ? 1U : 0U;
      continue;
    }
    ++count.failed;
    ++failed;
    if (options.json) {
      failure_list.push_back(
          Json{{"id", id}, {"id_hex", id_hex_json(id)}, {"type", type}, {"error", *out.failure}});
    } else if (options.verbosity == Verbosity::Quiet) {
      report_error(archive->name + ": " + id_text(id) + " " + std::string(type) + ": " +
                   *out.failure);
    } else {
      failure_lines += "  " + id_text(id) + " " + std::string(type) + ": " + *out.failure + "\n";
    }
  }

  if (options.json) {
    Json types = Json::array();
    for (const auto& [type, count] : by_type) {
      types.push_back(Json{{"type", type}, {"files", count.files}, {"failed", count.failed}});
    }
    const Json report{
        {"archive", archive->name},
        {"files", entries.size()},
        {"bytes", progress.bytes()},
        {"seconds", seconds},
        {"failed", failed},
        {"fonts", Json{{"checked", fonts}, {"passed", fonts_ok}, {"glyphs", glyphs}}},
        {"types", std::move(types)},
        {"failures", std::move(failure_list)},
    };
    write_stdout(report.dump(2) + "\n");
  } else if (options.verbosity != Verbosity::Quiet) {
    char elapsed[32];
    std::snprintf(elapsed, sizeof elapsed, "%.2f", seconds);
    std::string report = "Verified " + decimal(std::uint64_t{entries.size()}) + " files (" +
                         human_bytes(progress.bytes()) + ") in " + elapsed + " s\n";
    if (!by_type.empty()) {
      Table table({"TYPE", "FILES", "FAILED"}, {false, true, true});
      for (const auto& [type, count] : by_type) {
        table.add_row({std::string(type), decimal(count.files), decimal(count.failed)});
      }
      report += "\n" + table.render() + "\n";
    }
    if (fonts > 0) {
      report += "Fonts: " + decimal(fonts_ok) + " of " + decimal(fonts) + " passed, " +
                decimal(glyphs) + " glyphs\n";
    }
    if (failed == 0) {
      report += "No failures\n";
    } else {
      report += "Failures (" + decimal(failed) + "):\n" + failure_lines;
    }
    write_stdout(report);
  }
  if (failed > 0) {
    report_error(archive->name + ": " + decimal(failed) + " of " +
                 decimal(std::uint64_t{entries.size()}) + " files failed verification");
    return EXIT_FAILED;
  }
  return EXIT_OK;
}

}  // namespace marrowvane_dat::cli
