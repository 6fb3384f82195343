// SPDX-License-Identifier: MIT
// Encodes Font records into their stored bytes, and makes plausible fonts for fixtures.
#pragma once

#include <cstdint>
#include <vector>

#include "marrowvane_dat/file_type/font.hpp"

namespace marrowvane_dat::testkit {

// The 11 stored bytes of one glyph descriptor, little-endian, fields in order.
std::vector<std::uint8_t> encode_char_desc(const marrowvane_dat::FontCharDesc& desc);

// The stored bytes of a font record: 36 + 11 * glyphs bytes, the glyph count taken
// from font.char_descs.size().
std::vector<std::uint8_t> encode_font(const marrowvane_dat::Font& font);

// A plausible font with `glyphs` descriptors for the characters 0x20, 0x21, ...
// laid out in a grid on its surface, a non-zero cell size (also when `glyphs` is 0)
// and metrics that depend deterministically on `id`.
marrowvane_dat::Font make_font(std::uint32_t id, std::uint32_t glyphs);

}  // namespace marrowvane_dat::testkit
