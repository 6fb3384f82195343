// The Font record readers, compiled once for the in-memory cursor.
#include "marrowvane_dat/file_type/font.hpp"

namespace marrowvane_dat {

template std::expected<FontCharDesc, BinReadError> FontCharDesc::read<Cursor>(Cursor&);
template std::expected<Font, BinReadError> Font::read<Cursor>(Cursor&);

}  // namespace marrowvane_dat
