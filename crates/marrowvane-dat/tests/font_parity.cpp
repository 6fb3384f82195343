// SPDX-License-Identifier: MIT
// The font_parity executable: parses every font of the portal archive and runs the
// motion command table checks, through the console case runner.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "case_runner.hpp"
#include "common/common.hpp"
#include "common/motion_command_names.hpp"
#include "marrowvane_dat/binary_reader.hpp"
#include "marrowvane_dat/dat_database.hpp"
#include "marrowvane_dat/file_type/file_type.hpp"
#include "marrowvane_dat/file_type/font.hpp"

namespace {

// A font record's stored length is its nine fixed 4-byte fields plus 11 bytes per
// glyph. Kept apart from the reader's own constants so the check stays independent.
constexpr std::uint64_t FONT_FIXED_BYTES = 36;
constexpr std::uint64_t FONT_GLYPH_BYTES = 11;

// "Font 0x" and the id as eight upper-case hexadecimal digits.
std::string font_label(std::uint32_t id) {
  char text[16];
  std::snprintf(text, sizeof text, "Font 0x%08X", static_cast<unsigned>(id));
  return text;
}

// Writes one whole line, so it stays together next to other cases' output.
void print_line(const std::string& line) {
  const std::string text = line + "\n";
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

// Opens the portal archive and parses every font in it, requiring each to name its own
// id, have glyphs and a cell size, and fill its bytes exactly. Passes with a notice when
// no portal archive is found.
MARROWVANE_DAT_CASE(all_retail_fonts_parse) {
  using case_runner::assert_eq;
  using case_runner::fail;
  using marrowvane_dat::DatFileType;

  const std::optional<std::filesystem::path> path = common::get_portal_dat_path();
  if (!path) {
    print_line("Skipping font parity test: portal.dat not found");
    return;
  }

  marrowvane_dat::Result<marrowvane_dat::DatDatabase> opened =
      marrowvane_dat::DatDatabase::open(*path);
  if (!opened) {
    fail("open portal.dat: " + opened.error().debug());
  }
  const marrowvane_dat::DatDatabase& database = *opened;
  const marrowvane_dat::DatKind kind = database.dat_kind();

  std::vector<std::uint32_t> font_ids;
  for (const auto& [id, entry] : database.files()) {
    if (marrowvane_dat::from_id_in_dat(id, kind) == DatFileType::Font) {
      font_ids.push_back(id);
    }
  }
  // The directory map has no order; ascending ids make the first bad font reported
  // the same on every run.
  std::ranges::sort(font_ids);
  if (font_ids.empty()) {
    fail("expected at least one Font record in portal.dat");
  }

  std::uint64_t total_glyphs = 0;
  for (const std::uint32_t id : font_ids) {
    const std::string font = font_label(id);
    marrowvane_dat::Result<std::vector<std::uint8_t>> bytes = database.get_file(id);
    if (!bytes) {
      fail("read " + font + ": " + bytes.error().to_string());
    }
    marrowvane_dat::Cursor cursor(*bytes);
    auto parsed = marrowvane_dat::Font::read(cursor);
    if (!parsed) {
      fail("parse " + font + " (" + std::to_string(bytes->size()) +
           " bytes): " + parsed.error().to_string());
    }
    const marrowvane_dat::Font& record = *parsed;

    assert_eq(record.id, id, font + " self-id mismatch");
    if (record.char_descs.empty()) {
      fail(font + " has zero char descs");
    }
    if (record.max_char_height == 0 || record.max_char_width == 0) {
      fail(font + " has zero max cell size (" + std::to_string(record.max_char_height) + "x" +
           std::to_string(record.max_char_width) + ")");
    }
    const std::uint64_t glyphs = record.char_descs.size();
    const std::uint64_t predicted = FONT_FIXED_BYTES + FONT_GLYPH_BYTES * glyphs;
    const std::uint64_t actual = bytes->size();
    assert_eq(predicted, actual,
              font + " size mismatch: predicted " + std::to_string(predicted) + " != actual " +
                  std::to_string(actual));
    total_glyphs += glyphs;
  }

  print_line("Parsed " + std::to_string(font_ids.size()) + " Font records, " +
             std::to_string(total_glyphs) + " total glyphs");
}

using case_runner::CaseDescriptor;
using case_runner::CaseKind;

// Every case, ascending by full name. Each entry is the one MARROWVANE_DAT_CASE made
// beside the case's function, so its position is where that function is defined.
constexpr std::array<CaseDescriptor, 4> REGISTRY{{
    {.name = "all_retail_fonts_parse",
     .entry = &all_retail_fonts_parse_entry,
     .ignore = false,
     .expects_abort = false,
     .kind = CaseKind::Integration},
    {.name = "common::motion_command_names::tests::classify_known_commands",
     .entry = &common::motion_command_names::tests::classify_known_commands_entry,
     .ignore = false,
     .expects_abort = false,
     .kind = CaseKind::Integration},
    {.name = "common::motion_command_names::tests::lookup_known_commands",
     .entry = &common::motion_command_names::tests::lookup_known_commands_entry,
     .ignore = false,
     .expects_abort = false,
     .kind = CaseKind::Integration},
    {.name = "common::motion_command_names::tests::table_is_strictly_sorted_for_binary_search",
     .entry =
         &common::motion_command_names::tests::table_is_strictly_sorted_for_binary_search_entry,
     .ignore = false,
     .expects_abort = false,
     .kind = CaseKind::Integration},
}};

static_assert(std::ranges::is_sorted(REGISTRY, {}, &CaseDescriptor::name));
static_assert(std::ranges::adjacent_find(REGISTRY, {}, &CaseDescriptor::name) == REGISTRY.end());

}  // namespace

int main(int argc, char** argv) {
  return case_runner::run_cases(REGISTRY, argc, argv);
}
