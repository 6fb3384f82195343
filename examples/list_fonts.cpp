// SPDX-License-Identifier: MIT
// Lists the fonts of a DAT archive in id order, with each font's glyph count.
// Build against an installed marrowvane_dat, either with CMake (CMakeLists.txt here)
// or with: c++ -std=c++23 list_fonts.cpp $(pkg-config --cflags --libs marrowvane_dat)
#include <cstdio>

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
  int status = 0;
  for (const marrowvane_dat::DatFileEntry& entry :
       marrowvane_dat::entries_of_type(*db, marrowvane_dat::DatFileType::Font)) {
    auto font = marrowvane_dat::read_font(*db, entry.id);
    if (!font) {
      std::fprintf(stderr, "list_fonts: %s\n", font.error().to_string().c_str());
      status = 1;
      continue;
    }
    std::printf("0x%08X %zu glyphs\n", entry.id, font->char_descs.size());
  }
  return status;
}
