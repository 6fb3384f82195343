// SPDX-License-Identifier: MIT
// The info command: every header field, the archive kind and the entry count.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "archive.hpp"
#include "command_line.hpp"
#include "standard_output.hpp"
#include "table.hpp"

namespace marrowvane_dat::cli {
namespace {

using Json = nlohmann::ordered_json;

struct InfoOptions {
  std::string archive;
  bool json = false;
};

std::string_view kind_name(DatKind kind) noexcept {
  switch (kind) {
    case DatKind::Portal:
      return "Portal";
    case DatKind::Cell:
      return "Cell";
    case DatKind::Local:
      return "Local";
    case DatKind::Unknown:
      break;
  }
  return "Unknown";
}

// Every stored header field, as JSON and as text lines.
void add_header_fields(const DatHeader& h, Json& json,
                       std::vector<std::pair<std::string_view, std::string>>& text) {
  const std::pair<std::string_view, std::uint32_t> numbers[] = {
      {"magic", h.magic},
      {"block_size", h.block_size},
      {"file_size", h.file_size},
      {"dataset", h.dataset},
      {"subset", h.subset},
      {"free_head", h.free_head},
      {"free_tail", h.free_tail},
      {"free_count", h.free_count},
      {"root_offset", h.root_offset},
      {"new_lru", h.new_lru},
      {"old_lru", h.old_lru},
      {"use_lru", h.use_lru},
      {"master_map_id", h.master_map_id},
      {"engine_version", h.engine_version},
      {"game_version", h.game_version},
  };
  // The same fields both ways; JSON keeps the numbers and adds the id's hex form.
  for (const auto& [name, value] : numbers) {
    json[std::string(name)] = value;
    // The signature reads best in hex, as it is usually quoted.
    text.emplace_back(name, name == "magic"           ? "0x" + hex8(value)
                            : name == "master_map_id" ? id_text(value)
                                                      : decimal(std::uint64_t{value}));
    if (name == "master_map_id") {
      json["master_map_id_hex"] = id_hex_json(value);
    }
  }
  json["version_string"] = hex_bytes(h.version_string);
  json["version_minor"] = h.version_minor;
  text.emplace_back("version_string", hex_bytes(h.version_string));
  text.emplace_back("version_minor", decimal(std::uint64_t{h.version_minor}));
}

// What can still be shown of an archive that did not open: its header when it has
// the archive signature, then the error. Always a failure.
int show_unopened(const InfoOptions& options, const OpenFailure& failure) {
  // Fields read from what is not an archive at all would only be noise.
  if (!failure.probe.header || failure.probe.header->magic != DatHeader::MAGIC) {
    report_error(failure.message);
    return EXIT_FAILED;
  }
  Json json = Json::object();
  std::vector<std::pair<std::string_view, std::string>> text;
  add_header_fields(*failure.probe.header, json, text);
  json["kind"] = kind_name(failure.probe.header->dat_kind());
  json["file_count"] = nullptr;
  json["error"] = failure.message;
  text.emplace_back("kind", std::string(kind_name(failure.probe.header->dat_kind())));
  text.emplace_back("file_count", "? (the directory cannot be read)");
  (void)write_stdout(options.json ? json.dump(2) + "\n" : field_lines(text));
  report_error(failure.message);
  return EXIT_FAILED;
}

int run_info(const InfoOptions& options, Verbosity) {
  const auto archive = try_open_archive(options.archive);
  if (!archive) {
    return show_unopened(options, archive.error());
  }
  Json json = Json::object();
  std::vector<std::pair<std::string_view, std::string>> text;
  add_header_fields(archive->db.header(), json, text);
  const std::string_view kind = kind_name(archive->db.dat_kind());
  const std::uint64_t file_count = archive->db.files().size();
  json["kind"] = kind;
  json["file_count"] = file_count;
  text.emplace_back("kind", std::string(kind));
  text.emplace_back("file_count", decimal(file_count));
  return write_stdout(options.json ? json.dump(2) + "\n" : field_lines(text)) ? EXIT_OK
                                                                              : EXIT_FAILED;
}

}  // namespace

void register_info(CommandLine& cli) {
  const auto [info, options] =
      cli.add("info", "Show every header field, the kind and the entry count", run_info);
  add_archive(info, options->archive, "ARCHIVE");
  info->add_flag("--json", options->json, "Print JSON instead of text");
}

}  // namespace marrowvane_dat::cli
