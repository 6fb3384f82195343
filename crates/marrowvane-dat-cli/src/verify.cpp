// SPDX-License-Identifier: MIT
// The verify command: every file read on several threads, sizes and fonts checked,
// and a report by type.
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "archive.hpp"
#include "batch.hpp"
#include "command_line.hpp"
#include "marrowvane_dat/binary_reader.hpp"
#include "marrowvane_dat/file_type/font.hpp"
#include "shared_blocks.hpp"
#include "standard_output.hpp"
#include "table.hpp"

namespace marrowvane_dat::cli {
namespace {

using Json = nlohmann::ordered_json;

struct VerifyOptions {
  std::string archive;
  unsigned jobs = 1;
  bool json = false;
};

struct Outcome {
  std::optional<std::string> failure;
  // The entry whose blocks this one passes through again (itself for its own).
  std::optional<std::uint32_t> shares_blocks_with;
  bool is_font = false;
  std::uint64_t glyphs = 0;
};

// The checks every font must pass, in this order; the first that fails is the
// result. `bytes` is the file's content as get_file returns it.
void check_font(std::uint32_t id, std::span<const std::uint8_t> bytes, Outcome& out) {
  const std::string name = "Font " + id_text(id);
  Cursor cursor(bytes);
  auto parsed = Font::read(cursor);
  if (!parsed) {
    out.failure = "parse " + name + " (" + decimal(std::uint64_t{bytes.size()}) +
                  " bytes): " + parsed.error().to_string();
    return;
  }
  const Font& font = *parsed;
  const std::uint64_t glyphs = font.char_descs.size();
  const std::uint64_t predicted = Font::FIXED_SIZE + FontCharDesc::SIZE * glyphs;
  if (font.id != id) {
    out.failure = name + " self-id mismatch: the record names " + id_text(font.id);
  } else if (font.char_descs.empty()) {
    out.failure = name + " has zero char descs";
  } else if (font.max_char_height == 0 || font.max_char_width == 0) {
    out.failure = name + " has zero max cell size (" +
                  decimal(std::uint64_t{font.max_char_height}) + "x" +
                  decimal(std::uint64_t{font.max_char_width}) + ")";
  } else if (predicted != bytes.size()) {
    out.failure = name + " size mismatch: predicted " + decimal(predicted) + " != actual " +
                  decimal(std::uint64_t{bytes.size()});
  } else {
    out.glyphs = glyphs;
  }
}

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
    check_font(entry.id, bytes, out);
  }
  return out;
}

// What is wrong with the header itself: a signature that is not the archive's, or a
// file_size other than the real length. Each finding is its field's name and why.
std::vector<std::pair<std::string, std::string>> header_findings(const Archive& archive) {
  std::vector<std::pair<std::string, std::string>> findings;
  const DatHeader& h = archive.db.header();
  if (h.magic != DatHeader::MAGIC) {
    findings.emplace_back("magic", "signature 0x" + hex8(h.magic) +
                                       " is not the archive signature 0x" + hex8(DatHeader::MAGIC));
  }
  if (archive.probe.length && *archive.probe.length != h.file_size) {
    findings.emplace_back("file_size",
                          "the header says " + decimal(std::uint64_t{h.file_size}) +
                              " bytes, the archive is " + decimal(*archive.probe.length) +
                              (*archive.probe.length < h.file_size ? " (truncated?)" : ""));
  }
  return findings;
}

// The counts of a finished run, by type and in total.
struct Tally {
  struct TypeCount {
    std::uint64_t files = 0;
    std::uint64_t failed = 0;
  };
  std::map<std::string_view, TypeCount> by_type;
  std::uint64_t failed = 0;
  std::uint64_t fonts = 0;
  std::uint64_t fonts_ok = 0;
  std::uint64_t glyphs = 0;
  // "  <id> <type>: <failure>" lines, for the text report.
  std::string failure_lines;
  Json failure_list = Json::array();
  // The header's findings, as text lines and JSON objects like the failures'.
  std::uint64_t header_failed = 0;
  std::string header_lines;
  Json header_list = Json::array();
};

Tally tally(const Archive& archive, const std::vector<DatFileEntry>& entries,
            const std::vector<Outcome>& outcomes, Verbosity verbosity) {
  Tally t;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::uint32_t id = entries[i].id;
    const std::string_view type = archive.type_name_of(id);
    Tally::TypeCount& count = t.by_type[type];
    ++count.files;
    const Outcome& out = outcomes[i];
    t.fonts += out.is_font ? 1U : 0U;
    t.glyphs += out.glyphs;
    if (!out.failure) {
      t.fonts_ok += out.is_font ? 1U : 0U;
      continue;
    }
    ++count.failed;
    ++t.failed;
    const std::string line = id_text(id) + " " + std::string(type) + ": " + *out.failure;
    Json finding{{"id", id}, {"id_hex", id_hex_json(id)}, {"type", type}, {"error", *out.failure}};
    if (out.shares_blocks_with) {
      finding["shares_blocks_with"] = id_hex_json(*out.shares_blocks_with);
    }
    t.failure_list.push_back(std::move(finding));
    if (verbosity == Verbosity::Quiet) {
      report_error(archive.name + ": " + line);
    }
    t.failure_lines += "  " + line + "\n";
  }
  for (const auto& [field, finding] : header_findings(archive)) {
    ++t.header_failed;
    t.header_list.push_back(Json{{"field", field}, {"error", finding}});
    if (verbosity == Verbosity::Quiet) {
      report_error(archive.name + ": header " + field + ": " + finding);
    }
    t.header_lines += "  header " + field + ": " + finding + "\n";
  }
  return t;
}

// The report as standard output carries it: JSON, or text for people.
std::string report(const Archive& archive, bool json, std::size_t files, Tally& t,
                   const BatchTotals& totals) {
  Json types = Json::array();
  Table table({"TYPE", "FILES", "FAILED"}, {false, true, true});
  for (const auto& [type, count] : t.by_type) {
    types.push_back(Json{{"type", type}, {"files", count.files}, {"failed", count.failed}});
    table.add_row({std::string(type), decimal(count.files), decimal(count.failed)});
  }
  if (json) {
    return Json{
               {"archive", archive.name},
               {"files", files},
               {"bytes", totals.bytes},
               {"seconds", totals.seconds},
               {"failed", t.failed},
               {"header_failures", std::move(t.header_list)},
               {"fonts", Json{{"checked", t.fonts}, {"passed", t.fonts_ok}, {"glyphs", t.glyphs}}},
               {"types", std::move(types)},
               {"failures", std::move(t.failure_list)},
           }
               .dump(2) +
           "\n";
  }
  std::string text = "Verified " + decimal(std::uint64_t{files}) + " files (" +
                     human_bytes(totals.bytes) + ") in " + fixed2(totals.seconds) + " s\n";
  if (!t.by_type.empty()) {
    text += "\n" + table.render() + "\n";
  }
  if (t.fonts > 0) {
    text += "Fonts: " + decimal(t.fonts_ok) + " of " + decimal(t.fonts) + " passed, " +
            decimal(t.glyphs) + " glyphs\n";
  }
  if (t.failed + t.header_failed == 0) {
    return text + "No failures\n";
  }
  return text + "Failures (" + decimal(t.failed + t.header_failed) + "):\n" + t.header_lines +
         t.failure_lines;
}

int run_verify(const VerifyOptions& options, Verbosity verbosity) {
  const auto archive = open_archive(options.archive);
  if (!archive) {
    return EXIT_FAILED;
  }
  std::vector<DatFileEntry> entries;
  for_each_entry(*archive, std::nullopt, [&](const DatFileEntry& e) { entries.push_back(e); });
  std::vector<Outcome> outcomes(entries.size());
  // An entry over blocks already read fails unread: reading it again is how a small
  // archive makes a reader work without end.
  const auto shared = find_shared_blocks(archive->db);
  const auto one = [&](std::size_t i, std::vector<std::uint8_t>& bytes) -> BatchItem {
    const std::uint32_t id = entries[i].id;
    const Outcome& out = outcomes[i] = [&] {
      if (const auto owner = shared.find(id); owner != shared.end()) {
        return Outcome{.failure = shared_blocks_text(id, owner->second),
                       .shares_blocks_with = owner->second,
                       .is_font = archive->type_of(id) == DatFileType::Font};
      }
      return check_file(*archive, entries[i], bytes);
    }();
    return {out.failure ? 0 : bytes.size(),
            id_text(id) + " " + std::string(archive->type_name_of(id)) + ": " +
                (out.failure ? "FAILED: " + *out.failure : "ok"),
            {}};
  };
  const BatchTotals totals = run_batch(entries.size(), options.jobs, verbosity, options.json, one);
  if (!batch_complete(totals, archive->name)) {
    return EXIT_FAILED;
  }
  Tally t = tally(*archive, entries, outcomes, options.json ? Verbosity::Normal : verbosity);
  if ((options.json || verbosity != Verbosity::Quiet) &&
      !write_stdout(report(*archive, options.json, entries.size(), t, totals))) {
    return EXIT_FAILED;
  }
  if (t.failed > 0 || t.header_failed > 0) {
    std::string what;
    if (t.header_failed > 0) {
      what = "the header failed verification (" + decimal(t.header_failed) +
             (t.header_failed == 1 ? " finding)" : " findings)");
    }
    if (t.failed > 0) {
      what += (what.empty() ? "" : "; ") + decimal(t.failed) + " of " +
              decimal(std::uint64_t{entries.size()}) + " files failed verification";
    }
    report_error(archive->name + ": " + what);
    return EXIT_FAILED;
  }
  return EXIT_OK;
}

}  // namespace

void register_verify(CommandLine& cli) {
  const auto [verify, options] =
      cli.add("verify", "Read every file, check sizes and fonts, report failures", run_verify);
  add_archive(verify, options->archive, "ARCHIVE");
  add_jobs(verify, options->jobs);
  verify->add_flag("--json", options->json, "Print a JSON report with every failure");
}

}  // namespace marrowvane_dat::cli
