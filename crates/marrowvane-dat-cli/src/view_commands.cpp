// The commands that look at one archive or one file: info, ls, cat and font.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "archive.hpp"
#include "commands.hpp"
#include "marrowvane_dat/binary_reader.hpp"
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

}  // namespace

int run_info(const InfoOptions& options) {
  const auto db = open_archive(options.archive);
  if (!db) {
    return 1;
  }
  const DatHeader& h = db->header();
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
  const std::string_view kind = kind_name(db->dat_kind());
  const std::uint64_t file_count = db->files().size();

  if (options.json) {
    Json out = Json::object();
    for (const auto& [name, value] : numbers) {
      out[std::string(name)] = value;
    }
    out["version_string"] = version_string;
    out["version_minor"] = h.version_minor;
    out["kind"] = kind;
    out["file_count"] = file_count;
    write_json(out);
    return 0;
  }

  std::vector<std::pair<std::string_view, std::string>> fields;
  for (const auto& [name, value] : numbers) {
    // The signature reads best in hex, as it is usually quoted.
    fields.emplace_back(name, name == "magic" ? hex_id(value) : decimal(std::uint64_t{value}));
  }
  fields.emplace_back("version_string", version_string);
  fields.emplace_back("version_minor", decimal(std::uint64_t{h.version_minor}));
  fields.emplace_back("kind", std::string(kind));
  fields.emplace_back("file_count", decimal(file_count));
  write_stdout(field_lines(fields));
  return 0;
}

int run_ls(const LsOptions& options) {
  const auto db = open_archive(options.archive);
  if (!db) {
    return 1;
  }
  const std::vector<DatFileEntry> entries = sorted_entries(*db, options.type);

  if (options.json) {
    Json out = Json::array();
    for (const DatFileEntry& e : entries) {
      out.push_back(Json{
          {"id", e.id},
          {"type", type_name_of(*db, e.id)},
          {"bit_flags", e.bit_flags},
          {"compressed", e.is_compressed()},
          {"offset", e.offset},
          {"size", e.size},
          {"timestamp", e.timestamp},
          {"version", e.version},
      });
    }
    write_json(out);
    return 0;
  }

  const auto cells = [&](const DatFileEntry& e) {
    return std::vector<std::string>{
        hex_id(e.id),
        std::string(type_name_of(*db, e.id)),
        decimal(std::uint64_t{e.size}),
        yes_no(e.is_compressed()),
        hex_id(e.offset),
        decimal(std::uint64_t{e.timestamp}),
        decimal(std::uint64_t{e.version}),
    };
  };
  if (stdout_is_terminal()) {
    Table table({"ID", "TYPE", "SIZE", "COMPRESSED", "OFFSET", "TIMESTAMP", "VERSION"},
                {false, false, true, false, false, true, true});
    for (const DatFileEntry& e : entries) {
      table.add_row(cells(e));
    }
    write_stdout(table.render());
    return 0;
  }
  // Away from a terminal: no header, one tab-separated line per entry, for scripts.
  std::string out;
  for (const DatFileEntry& e : entries) {
    const std::vector<std::string> row = cells(e);
    for (std::size_t i = 0; i < row.size(); ++i) {
      out.append(row[i]).push_back(i + 1 < row.size() ? '\t' : '\n');
    }
  }
  write_stdout(out);
  return 0;
}

int run_cat(const CatOptions& options) {
  const auto db = open_archive(options.archive);
  if (!db) {
    return 1;
  }
  Result<std::vector<std::uint8_t>> bytes = [&]() -> Result<std::vector<std::uint8_t>> {
    if (!options.stored) {
      return db->get_file(options.id);
    }
    auto entry = find_entry(*db, options.id);
    if (!entry) {
      return std::unexpected(std::move(entry.error()));
    }
    return db->read_file_data(entry->offset, entry->size);
  }();
  if (!bytes) {
    report(bytes.error());
    return 1;
  }
  write_stdout(*bytes);
  return 0;
}

int run_font(const FontOptions& options) {
  const auto db = open_archive(options.archive);
  if (!db) {
    return 1;
  }
  const auto bytes = db->get_file(options.id);
  if (!bytes) {
    report(bytes.error());
    return 1;
  }
  Cursor cursor(*bytes);
  auto parsed = Font::read(cursor);
  if (!parsed) {
    report(DatError(std::move(parsed.error())));
    return 1;
  }
  const Font& font = *parsed;

  if (options.json) {
    Json glyphs = Json::array();
    for (const FontCharDesc& g : font.char_descs) {
      glyphs.push_back(Json{
          {"unicode", g.unicode},
          {"offset_x", g.offset_x},
          {"offset_y", g.offset_y},
          {"width", g.width},
          {"height", g.height},
          {"horizontal_offset_before", g.horizontal_offset_before},
          {"horizontal_offset_after", g.horizontal_offset_after},
          {"vertical_offset_before", g.vertical_offset_before},
      });
    }
    write_json(Json{
        {"id", font.id},
        {"max_char_height", font.max_char_height},
        {"max_char_width", font.max_char_width},
        {"char_descs", std::move(glyphs)},
        {"num_horizontal_border_pixels", font.num_horizontal_border_pixels},
        {"num_vertical_border_pixels", font.num_vertical_border_pixels},
        {"baseline_offset", font.baseline_offset},
        {"foreground_surface_data_id", font.foreground_surface_data_id},
        {"background_surface_data_id", font.background_surface_data_id},
    });
    return 0;
  }

  std::string out = field_lines({
      {"id", hex_id(font.id)},
      {"max_char_height", decimal(std::uint64_t{font.max_char_height})},
      {"max_char_width", decimal(std::uint64_t{font.max_char_width})},
      {"num_horizontal_border_pixels", decimal(std::uint64_t{font.num_horizontal_border_pixels})},
      {"num_vertical_border_pixels", decimal(std::uint64_t{font.num_vertical_border_pixels})},
      {"baseline_offset", decimal(std::int64_t{font.baseline_offset})},
      {"foreground_surface_data_id", hex_id(font.foreground_surface_data_id)},
      {"background_surface_data_id", hex_id(font.background_surface_data_id)},
      {"glyphs", decimal(static_cast<std::uint64_t>(font.char_descs.size()))},
  });
  if (!font.char_descs.empty()) {
    Table table({"CHAR", "UNICODE", "OFFSET_X", "OFFSET_Y", "WIDTH", "HEIGHT", "BEFORE", "AFTER",
                 "VERTICAL"},
                {false, false, true, true, true, true, true, true, true});
    for (const FontCharDesc& g : font.char_descs) {
      // Only printable ASCII is shown, so every cell stays one column per byte.
      std::string shown;
      if (g.unicode >= 0x20 && g.unicode <= 0x7E) {
        shown = {'\'', static_cast<char>(g.unicode), '\''};
      }
      std::string code = "U+" + hex8(g.unicode).substr(4);
      table.add_row({std::move(shown), std::move(code), decimal(std::uint64_t{g.offset_x}),
                     decimal(std::uint64_t{g.offset_y}), decimal(std::uint64_t{g.width}),
                     decimal(std::uint64_t{g.height}),
                     decimal(std::int64_t{g.horizontal_offset_before}),
                     decimal(std::int64_t{g.horizontal_offset_after}),
                     decimal(std::int64_t{g.vertical_offset_before})});
    }
    out.push_back('\n');
    out.append(table.render());
  }
  write_stdout(out);
  return 0;
}

}  // namespace marrowvane_dat::cli
