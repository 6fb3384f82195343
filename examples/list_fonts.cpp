// Lists the fonts of a DAT archive in id order, with each font's glyph count.
// Build against an installed marrowvane_dat, either with CMake (CMakeLists.txt here)
// or with: c++ -std=c++23 list_fonts.cpp $(pkg-config --cflags --libs marrowvane_dat)
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#include <marrowvane_dat/binary_reader.hpp>
#include <marrowvane_dat/dat_database.hpp>
#include <marrowvane_dat/file_type/file_type.hpp>
#include <marrowvane_dat/file_type/font.hpp>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: list_fonts ARCHIVE\n");
    return 2;
  }
  auto db = marrowvane_dat::DatDatabase::open(argv[1]);
  if (!db) {
    std::fprintf(stderr, "list_fonts: %s\n", db.error().to_string().c_str());
    return 1;
  }

  // The directory is not kept in id order, so collect the font ids and sort them.
  std::vector<std::uint32_t> font_ids;
  for (const auto& [id, entry] : db->files()) {
    if (marrowvane_dat::from_id_in_dat(id, db->dat_kind()) == marrowvane_dat::DatFileType::Font) {
      font_ids.push_back(id);
    }
  }
  std::ranges::sort(font_ids);

  int status = 0;
  for (const std::uint32_t id : font_ids) {
    auto bytes = db->get_file(id);
    if (!bytes) {
      std::fprintf(stderr, "list_fonts: 0x%08X: %s\n", id, bytes.error().to_string().c_str());
      status = 1;
      continue;
    }
    marrowvane_dat::Cursor cursor(*bytes);
    auto font = marrowvane_dat::Font::read(cursor);
    if (!font) {
      std::fprintf(stderr, "list_fonts: 0x%08X: %s\n", id, font.error().to_string().c_str());
      status = 1;
      continue;
    }
    std::printf("0x%08X %zu glyphs\n", id, font->char_descs.size());
  }
  return status;
}
