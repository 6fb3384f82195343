// SPDX-License-Identifier: MIT
// The Font record readers, compiled once for the in-memory cursor, and the typed read.
#include "marrowvane_dat/file_type/font.hpp"

#include <cstdio>
#include <string>

#include "marrowvane_dat/file_type/file_type.hpp"

namespace marrowvane_dat {

template std::expected<FontCharDesc, BinReadError> FontCharDesc::read<Cursor>(Cursor&);
template std::expected<Font, BinReadError> Font::read<Cursor>(Cursor&);

Result<Font> read_font(const DatDatabase& db, std::uint32_t id) {
  if (const DatFileType type = from_id_in_dat(id, db.dat_kind()); type != DatFileType::Font) {
    char id_text[16];
    std::snprintf(id_text, sizeof id_text, "0x%08X", id);
    const std::string_view name = to_string(type);
    const bool vowel =
        !name.empty() && std::string_view("AEIOU").find(name[0]) != std::string_view::npos;
    return std::unexpected(DatError::Other{"file " + std::string(id_text) +
                                           (vowel ? " is an " : " is a ") + std::string(name) +
                                           ", not a Font"});
  }
  auto bytes = db.get_file(id);
  if (!bytes) {
    return std::unexpected(std::move(bytes.error()));
  }
  Cursor cursor(*bytes);
  auto font = Font::read(cursor);
  if (!font) {
    return std::unexpected(std::move(font.error()));
  }
  return std::move(*font);
}

}  // namespace marrowvane_dat
