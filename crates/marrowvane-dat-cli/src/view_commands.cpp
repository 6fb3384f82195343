// SPDX-License-Identifier: MIT
// The commands that look at one archive or a few files: info, ls, cat and font.
#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "archive.hpp"
#include "commands.hpp"
#include "marrowvane_dat/file_type/font.hpp"
#include "output.hpp"

namespace marrowvane_dat::cli {
namespace {

using Json = nlohmann::ordered_json;

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

void write_json(const Json& value) {
  write_stdout(value.dump(2) + "\n");
}

// "name:" padded so that the values of one block line up.
std::string field_lines(const std::vector<std::pair<std::string_view, std::string>>& fields) {
  std::size_t width = 0;
  for (const auto& [name, value] : fields) {
    width = std::max(width, name.size() + 1);
  }
  std::string out;
  for (const auto& [name, value] : fields) {
    out.append(name).push_back(':');
    out.append(width - name.size() - 1 + 2, ' ').append(value).push_back('\n');
  }
  return out;
}

std::string yes_no(bool value) {
  return value ? "yes" : "no";
}

// Control bytes other than tab and line breaks would be taken by a terminal as
// commands (cursor moves, colours, title changes), or are not text at all.
bool looks_binary(std::span<const std::uint8_t> bytes) noexcept {
  return std::ranges::any_of(bytes, [](std::uint8_t b) {
    return (b < 0x20 && b != '\t' && b != '\n' && b != '\r') || b == 0x7F;
  });
}

}  // namespace

int run_info(const InfoOptions& options) {
  const auto archive = open_archive(options.archive);
  if (!archive) {
    return EXIT_FAILED;
  }
  const DatHeader& h = archive->db.header();
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
  const std::string version_string = hex_bytes(h.version_string);
  const std::string_view kind = kind_name(archive->db.dat_kind());
  const std::uint64_t file_count = archive->db.files().size();

  if (options.json) {
    Json out = Json::object();
    for (const auto& [name, value] : numbers) {
      out[std::string(name)] = value;
      if (name == "master_map_id") {
        out["master_map_id_hex"] = id_hex_json(value);
      }
    }
    out["version_string"] = version_string;
    out["version_minor"] = h.version_minor;
    out["kind"] = kind;
    out["file_count"] = file_count;
    write_json(out);
    return EXIT_OK;
  }

  std::vector<std::pair<std::string_view, std::string>> fields;
  for (const auto& [name, value] : numbers) {
    std::string shown = decimal(std::uint64_t{value});
    if (name == "magic") {
      // The signature reads best in hex, as it is usually quoted.
      shown = "0x" + hex8(value);
    } else if (name == "master_map_id") {
      shown = id_text(value);
    }
    fields.emplace_back(name, std::move(shown));
  }
  fields.emplace_back("version_string", version_string);
  fields.emplace_back("version_minor", decimal(std::uint64_t{h.version_minor}));
  fields.emplace_back("kind", std::string(kind));
  fields.emplace_back("file_count", decimal(file_count));
  write_stdout(field_lines(fields));
  return EXIT_OK;
}

int run_ls(const LsOptions& options) {
  const auto archive = open_archive(options.archive);
  if (!archive) {
    return EXIT_FAILED;
  }
  ListFormat format = options.format;
  if (format == ListFormat::Auto) {
    format = stdout_is_terminal() ? ListFormat::Table : ListFormat::Tsv;
  }

  int status = EXIT_OK;
  // A compressed entry's size prefix can be unreadable; the listing goes on without it.
  const auto decompressed = [&](const DatFileEntry& e) -> std::optional<std::uint32_t> {
    auto size = archive->db.decompressed_size(e.id);
    if (!size) {
      report_error(file_error_text(*archive, e.id, size.error()));
      status = EXIT_FAILED;
      return std::nullopt;
    }
    return *size;
  };
  const auto cells = [&](const DatFileEntry& e) {
    const auto full = decompressed(e);
    return std::vector<std::string>{
        id_text(e.id),
        std::string(archive->type_name_of(e.id)),
        decimal(std::uint64_t{e.size}),
        full ? decimal(std::uint64_t{*full}) : "?",
        yes_no(e.is_compressed()),
        decimal(std::uint64_t{e.offset}),
        decimal(std::uint64_t{e.timestamp}),
        decimal(std::uint64_t{e.version}),
    };
  };

  switch (format) {
    case ListFormat::Json: {
      StdoutStream out;
      bool first = true;
      out.append("[");
      for_each_entry(*archive, options.type, [&](const DatFileEntry& e) {
        const auto full = decompressed(e);
        const Json row{
            {"id", e.id},
            {"id_hex", id_hex_json(e.id)},
            {"type", archive->type_name_of(e.id)},
            {"bit_flags", e.bit_flags},
            {"compressed", e.is_compressed()},
            {"offset", e.offset},
            {"size", e.size},
            {"decompressed_size", full ? Json(*full) : Json(nullptr)},
            {"timestamp", e.timestamp},
            {"version", e.version},
        };
        out.append(first ? "\n  " : ",\n  ");
        out.append(row.dump());
        first = false;
      });
      out.append(first ? "]\n" : "\n]\n");
      break;
    }
    case ListFormat::Table: {
      Table table(
          {"ID", "TYPE", "SIZE", "DECOMPRESSED", "COMPRESSED", "OFFSET", "TIMESTAMP", "VERSION"},
          {false, false, true, true, false, true, true, true});
      for_each_entry(*archive, options.type,
                     [&](const DatFileEntry& e) { table.add_row(cells(e)); });
      write_stdout(table.render());
      break;
    }
    case ListFormat::Tsv:
    case ListFormat::Auto: {
      // For scripts: no header, one tab-separated line per entry.
      StdoutStream out;
      for_each_entry(*archive, options.type, [&](const DatFileEntry& e) {
        const std::vector<std::string> row = cells(e);
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
          line.append(row[i]).push_back(i + 1 < row.size() ? '\t' : '\n');
        }
        out.append(line);
      });
      break;
    }
  }
  return status;
}

int run_cat(const CatOptions& options) {
  const auto archive = open_archive(options.archive);
  if (!archive) {
    return EXIT_FAILED;
  }
  const bool terminal = stdout_is_terminal();
  int status = EXIT_OK;
  // One buffer for every file: memory is bounded by the largest of them.
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < options.ids.size(); ++i) {
    const std::uint32_t id = options.ids[i];
    // A view of the caller's string, not of a temporary made by a conditional.
    const std::string_view typed =
        i < options.typed.size() ? std::string_view(options.typed[i]) : std::string_view();
    const DatFileEntry* entry = archive->db.find(id);
    Result<void> read = entry == nullptr ? std::unexpected(DatError(DatError::NotFound{id}))
                        : options.stored
                            ? archive->db.read_file_data_into(entry->offset, entry->size, bytes)
                            : archive->db.get_file_into(id, bytes);
    if (!read) {
      report_file_error(*archive, id, read.error(), typed);
      status = EXIT_FAILED;
      continue;
    }
    if (terminal && !options.force && looks_binary(bytes)) {
      report_error(archive->name + ": file " + id_text(id) +
                   " is binary; not writing it to a terminal (redirect the output, or use "
                   "--force)");
      status = EXIT_FAILED;
      continue;
    }
    write_stdout(bytes);
  }
  return status;
}

namespace {

constexpr std::size_t GLYPH_COLUMNS = 9;

std::array<std::string, GLYPH_COLUMNS> glyph_cells(const FontCharDesc& g) {
  // Only printable ASCII is shown, so every cell stays one column per byte.
  std::string shown;
  if (g.unicode >= 0x20 && g.unicode <= 0x7E) {
    shown = {'\'', static_cast<char>(g.unicode), '\''};
  }
  return {std::move(shown),
          "U+" + hex8(g.unicode).substr(4),
          decimal(std::uint64_t{g.offset_x}),
          decimal(std::uint64_t{g.offset_y}),
          decimal(std::uint64_t{g.width}),
          decimal(std::uint64_t{g.height}),
          decimal(std::int64_t{g.horizontal_offset_before}),
          decimal(std::int64_t{g.horizontal_offset_after}),
          decimal(std::int64_t{g.vertical_offset_before})};
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

// "  "name": value" for the streamed font document.
std::string json_member(std::string_view name, const Json& value) {
  return "  " + Json(name).dump() + ": " + value.dump();
}

// The glyph list is written as it is formatted, one line per glyph, so a font with
// millions of glyphs never becomes one giant document in memory.
void stream_font_json(const Font& font) {
  StdoutStream out;
  out.append("{\n");
  out.append(json_member("id", font.id) + ",\n");
  out.append(json_member("id_hex", id_hex_json(font.id)) + ",\n");
  out.append(json_member("max_char_height", font.max_char_height) + ",\n");
  out.append(json_member("max_char_width", font.max_char_width) + ",\n");
  out.append("  \"char_descs\": [");
  for (std::size_t i = 0; i < font.char_descs.size(); ++i) {
    out.append(i == 0 ? "\n    " : ",\n    ");
    out.append(glyph_json(font.char_descs[i]).dump());
  }
  out.append(font.char_descs.empty() ? "],\n" : "\n  ],\n");
  out.append(json_member("num_horizontal_border_pixels", font.num_horizontal_border_pixels) +
             ",\n");
  out.append(json_member("num_vertical_border_pixels", font.num_vertical_border_pixels) + ",\n");
  out.append(json_member("baseline_offset", font.baseline_offset) + ",\n");
  out.append(json_member("foreground_surface_data_id", font.foreground_surface_data_id) + ",\n");
  out.append(
      json_member("foreground_surface_data_id_hex", id_hex_json(font.foreground_surface_data_id)) +
      ",\n");
  out.append(json_member("background_surface_data_id", font.background_surface_data_id) + ",\n");
  out.append(
      json_member("background_surface_data_id_hex", id_hex_json(font.background_surface_data_id)) +
      "\n}\n");
}

// The metrics, then the glyph table. Column widths come from a first pass over the
// glyphs, so the rows can be written as they are formatted.
void stream_font_text(const Font& font) {
  StdoutStream out;
  out.append(field_lines({
      {"id", id_text(font.id)},
      {"max_char_height", decimal(std::uint64_t{font.max_char_height})},
      {"max_char_width", decimal(std::uint64_t{font.max_char_width})},
      {"num_horizontal_border_pixels", decimal(std::uint64_t{font.num_horizontal_border_pixels})},
      {"num_vertical_border_pixels", decimal(std::uint64_t{font.num_vertical_border_pixels})},
      {"baseline_offset", decimal(std::int64_t{font.baseline_offset})},
      {"foreground_surface_data_id", id_text(font.foreground_surface_data_id)},
      {"background_surface_data_id", id_text(font.background_surface_data_id)},
      {"glyphs", decimal(static_cast<std::uint64_t>(font.char_descs.size()))},
  }));
  if (font.char_descs.empty()) {
    return;
  }
  const std::array<std::string, GLYPH_COLUMNS> headers = {
      "CHAR", "UNICODE", "OFFSET_X", "OFFSET_Y", "WIDTH", "HEIGHT", "BEFORE", "AFTER", "VERTICAL"};
  const std::vector<bool> right = {false, false, true, true, true, true, true, true, true};
  std::array<std::size_t, GLYPH_COLUMNS> widths{};
  for (std::size_t c = 0; c < GLYPH_COLUMNS; ++c) {
    widths[c] = headers[c].size();
  }
  for (const FontCharDesc& g : font.char_descs) {
    const auto cells = glyph_cells(g);
    for (std::size_t c = 0; c < GLYPH_COLUMNS; ++c) {
      widths[c] = std::max(widths[c], cells[c].size());
    }
  }
  out.append("\n");
  out.append(table_line(headers, widths, right));
  for (const FontCharDesc& g : font.char_descs) {
    out.append(table_line(glyph_cells(g), widths, right));
  }
}

}  // namespace

int run_font(const FontOptions& options) {
  const auto archive = open_archive(options.archive);
  if (!archive) {
    return EXIT_FAILED;
  }
  const Result<Font> font = read_font(archive->db, options.id);
  if (!font) {
    report_file_error(*archive, options.id, font.error(), options.typed);
    return EXIT_FAILED;
  }
  if (options.json) {
    stream_font_json(*font);
  } else {
    stream_font_text(*font);
  }
  return EXIT_OK;
}

}  // namespace marrowvane_dat::cli
