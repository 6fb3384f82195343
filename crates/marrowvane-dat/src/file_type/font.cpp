// SPDX-License-Identifier: MIT
// The Font record readers, compiled once for the in-memory cursor, and the typed read.
#include "marrowvane_dat/file_type/font.hpp"

#include <new>

#include "../error_texts.hpp"
#include "marrowvane_dat/file_type/file_type.hpp"

namespace marrowvane_dat {

template MARROWVANE_DAT_EXPORT std::expected<FontCharDesc, BinReadError> FontCharDesc::read<Cursor>(
    Cursor&);
template MARROWVANE_DAT_EXPORT std::expected<Font, BinReadError> Font::read<Cursor>(Cursor&);

Result<Font> read_font(const DatDatabase& db, std::uint32_t id) {
  if (db.find(id) == nullptr) {
    return std::unexpected(DatError::NotFound{id});
  }
  try {
    if (const DatFileType type = from_id_in_dat(id, db.dat_kind()); type != DatFileType::Font) {
      return std::unexpected(detail::wrong_file_type(id, to_string(type), "Font"));
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
  } catch (const std::bad_alloc&) {
    // The glyph vector and the error texts are the allocations a hostile file drives.
    return std::unexpected(IoError::out_of_memory());
  }
}

}  // namespace marrowvane_dat
