// SPDX-License-Identifier: MIT
// The --json documents of info, ls, stats and font.
#include "documents.hpp"

#include <initializer_list>

#include "shared_blocks.hpp"
#include "table.hpp"

namespace marrowvane_dat::cli {

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

InfoDocument info_document(const DatHeader& h, std::optional<std::uint64_t> file_count) {
  InfoDocument doc{Json::object(), {}};
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
    doc.json[std::string(name)] = value;
    // The signature reads best in hex, as it is usually quoted.
    doc.text.emplace_back(name, name == "magic"           ? "0x" + hex8(value)
                                : name == "master_map_id" ? id_text(value)
                                                          : decimal(std::uint64_t{value}));
    if (name == "master_map_id") {
      doc.json["master_map_id_hex"] = id_hex_json(value);
    }
  }
  doc.json["version_string"] = hex_bytes(h.version_string);
  doc.json["version_minor"] = h.version_minor;
  doc.text.emplace_back("version_string", hex_bytes(h.version_string));
  doc.text.emplace_back("version_minor", decimal(std::uint64_t{h.version_minor}));
  const std::string_view kind = kind_name(h.dat_kind());
  doc.json["kind"] = kind;
  doc.text.emplace_back("kind", std::string(kind));
  doc.json["file_count"] = file_count ? Json(*file_count) : Json(nullptr);
  doc.text.emplace_back("file_count",
                        file_count ? decimal(*file_count) : "? (the directory cannot be read)");
  return doc;
}

std::expected<std::uint32_t, std::string> decompressed_size_or_error(const Archive& archive,
                                                                     const DatFileEntry& entry) {
  auto size = archive.db.decompressed_size(entry.id);
  if (!size) {
    return std::unexpected(size.error().to_string() + truncation_hint(size.error(), archive.probe));
  }
  return *size;
}

Json ls_entry_json(const Archive& archive, const DatFileEntry& e,
                   const std::expected<std::uint32_t, std::string>& decompressed) {
  Json row{
      {"id", e.id},
      {"id_hex", id_hex_json(e.id)},
      {"type", archive.type_name_of(e.id)},
      {"bit_flags", e.bit_flags},
      {"compressed", e.is_compressed()},
      {"offset", e.offset},
      {"size", e.size},
      {"decompressed_size", decompressed ? Json(*decompressed) : Json(nullptr)},
      {"timestamp", e.timestamp},
      {"timestamp_utc", utc_text(e.timestamp)},
      {"version", e.version},
  };
  if (!decompressed) {
    row["error"] = decompressed.error();
  }
  return row;
}

std::optional<double> TypeStats::ratio() const {
  const std::uint64_t known = stored - unreadable_stored;
  if (known == 0) {
    return std::nullopt;
  }
  return static_cast<double>(decompressed) / static_cast<double>(known);
}

Json TypeStats::json() const {
  const auto r = ratio();
  return Json{{"files", files},
              {"compressed_files", compressed},
              {"stored_bytes", stored},
              {"decompressed_bytes", decompressed},
              {"ratio", r ? Json(*r) : Json(nullptr)},
              {"unreadable", unreadable},
              {"shared_blocks", shared}};
}

std::vector<std::string> TypeStats::cells(std::string name) const {
  const auto r = ratio();
  return {std::move(name),       decimal(files),       decimal(compressed), decimal(stored),
          decimal(decompressed), r ? fixed2(*r) : "-", decimal(unreadable)};
}

StatsReport stats_report(const Archive& archive) {
  StatsReport report;
  const auto shared = find_shared_blocks(archive.db);
  for (const DatFileEntry& e : archive.db.entries()) {
    if (shared.contains(e.id)) {
      for (TypeStats* stats : {&report.by_type[archive.type_name_of(e.id)], &report.total}) {
        ++stats->files;
        ++stats->shared;
      }
      continue;
    }
    const auto size = archive.db.decompressed_size(e.id);
    for (TypeStats* stats : {&report.by_type[archive.type_name_of(e.id)], &report.total}) {
      ++stats->files;
      stats->compressed += e.is_compressed() ? 1U : 0U;
      stats->stored += e.size;
      stats->decompressed += size.value_or(0);
      stats->unreadable += size ? 0U : 1U;
      stats->unreadable_stored += size ? 0U : e.size;
    }
  }
  return report;
}

Json stats_json(const Archive& archive, const StatsReport& report) {
  Json types = Json::array();
  for (const auto& [type, stats] : report.by_type) {
    Json row{{"type", type}};
    row.update(stats.json());
    types.push_back(std::move(row));
  }
  return Json{
      {"archive", archive.name}, {"types", std::move(types)}, {"total", report.total.json()}};
}

Json font_json_head(const Font& font) {
  return Json{{"id", font.id},
              {"id_hex", id_hex_json(font.id)},
              {"max_char_height", font.max_char_height},
              {"max_char_width", font.max_char_width}};
}

Json glyph_json(const FontCharDesc& g) {
  return Json{
      {"unicode", g.unicode},
      {"offset_x", g.offset_x},
      {"offset_y", g.offset_y},
      {"width", g.width},
      {"height", g.height},
      {"horizontal_offset_before", g.horizontal_offset_before},
      {"horizontal_offset_after", g.horizontal_offset_after},
      {"vertical_offset_before", g.vertical_offset_before},
  };
}

Json font_json_tail(const Font& font) {
  return Json{{"num_horizontal_border_pixels", font.num_horizontal_border_pixels},
              {"num_vertical_border_pixels", font.num_vertical_border_pixels},
              {"baseline_offset", font.baseline_offset},
              {"foreground_surface_data_id", font.foreground_surface_data_id},
              {"foreground_surface_data_id_hex", id_hex_json(font.foreground_surface_data_id)},
              {"background_surface_data_id", font.background_surface_data_id},
              {"background_surface_data_id_hex", id_hex_json(font.background_surface_data_id)}};
}

Json font_json(const Font& font) {
  Json doc = font_json_head(font);
  Json glyphs = Json::array();
  for (const FontCharDesc& g : font.char_descs) {
    glyphs.push_back(glyph_json(g));
  }
  doc["char_descs"] = std::move(glyphs);
  doc.update(font_json_tail(font));
  return doc;
}

}  // namespace marrowvane_dat::cli
