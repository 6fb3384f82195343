// SPDX-License-Identifier: MIT
// The font command: one file parsed as a Font, as text or JSON, streamed.
#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "archive.hpp"
#include "args.hpp"
#include "command_line.hpp"
#include "documents.hpp"
#include "marrowvane_dat/file_type/font.hpp"
#include "standard_output.hpp"
#include "table.hpp"

namespace marrowvane_dat::cli {
namespace {

struct FontOptions {
  std::string archive;
  // The one id, as typed.
  std::vector<std::string> typed;
  bool json = false;
};

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

// "  "name": value,\n" for each member of `members`, part of the streamed font document.
std::string json_members(const Json& members) {
  std::string out;
  for (const auto& [name, value] : members.items()) {
    out.append("  ").append(Json(name).dump()).append(": ").append(value.dump()).append(",\n");
  }
  return out;
}

// The glyph list is written as it is formatted, one line per glyph, so a font with
// millions of glyphs never becomes one giant document in memory.
void stream_font_json(const Font& font) {
  StdoutStream out;
  out.append("{\n" + json_members(font_json_head(font)));
  out.append("  \"char_descs\": [");
  for (std::size_t i = 0; i < font.char_descs.size() && !stdout_failed(); ++i) {
    out.append(i == 0 ? "\n    " : ",\n    ");
    out.append(glyph_json(font.char_descs[i]).dump());
  }
  out.append(font.char_descs.empty() ? "],\n" : "\n  ],\n");
  std::string tail = json_members(font_json_tail(font));
  tail.resize(tail.size() - 2);  // no comma after the last member
  out.append(tail + "\n}\n");
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
    if (!out.append(table_line(glyph_cells(g), widths, right))) {
      return;
    }
  }
}

int run_font(const FontOptions& options, Verbosity) {
  const auto archive = open_archive(options.archive);
  if (!archive) {
    return EXIT_FAILED;
  }
  // The parser has checked the id, so this cannot fail.
  const std::uint32_t id = parse_file_id(options.typed.front()).value_or(0);
  const Result<Font> font = read_font(archive->db, id);
  if (!font) {
    report_file_error(*archive, id, font.error(), options.typed.front());
    return EXIT_FAILED;
  }
  if (options.json) {
    stream_font_json(*font);
  } else {
    stream_font_text(*font);
  }
  return stdout_failed() ? EXIT_FAILED : EXIT_OK;
}

}  // namespace

void register_font(CommandLine& cli) {
  const auto [font, options] = cli.add("font", "Show one file parsed as a Font", run_font);
  add_archive(font, options->archive, "ARCHIVE");
  add_ids(font, options->typed, "File id")->required()->expected(1);
  font->add_flag("--json", options->json, "Print JSON instead of text");
  font->footer(std::string(ID_FOOTER));
}

}  // namespace marrowvane_dat::cli
