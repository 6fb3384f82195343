// SPDX-License-Identifier: MIT
// Font record encoding and plausible synthetic fonts.
#include "marrowvane_dat_testkit/font_writer.hpp"

#include <algorithm>
#include <cstddef>

namespace marrowvane_dat::testkit {
namespace {

void put_u16(std::vector<std::uint8_t>& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value & 0xFFU));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (unsigned shift = 0; shift < 32; shift += 8) {
    out.push_back(static_cast<std::uint8_t>(value >> shift));
  }
}

void put_i8(std::vector<std::uint8_t>& out, std::int8_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
}

void append_char_desc(std::vector<std::uint8_t>& out, const FontCharDesc& desc) {
  put_u16(out, desc.unicode);
  put_u16(out, desc.offset_x);
  put_u16(out, desc.offset_y);
  out.push_back(desc.width);
  out.push_back(desc.height);
  put_i8(out, desc.horizontal_offset_before);
  put_i8(out, desc.horizontal_offset_after);
  put_i8(out, desc.vertical_offset_before);
}

// Fonts of one archive should differ in their metrics, but reproducibly.
std::uint32_t mix(std::uint32_t x) noexcept {
  x ^= x >> 16;
  x *= 0x7FEB352DU;
  x ^= x >> 15;
  x *= 0x846CA68BU;
  x ^= x >> 16;
  return x;
}

// The width of the surface the glyphs are packed into.
constexpr std::uint32_t SURFACE_WIDTH = 256;

}  // namespace

std::vector<std::uint8_t> encode_char_desc(const FontCharDesc& desc) {
  std::vector<std::uint8_t> out;
  out.reserve(FontCharDesc::SIZE);
  append_char_desc(out, desc);
  return out;
}

std::vector<std::uint8_t> encode_font(const Font& font) {
  std::vector<std::uint8_t> out;
  out.reserve(Font::FIXED_SIZE + FontCharDesc::SIZE * font.char_descs.size());
  put_u32(out, font.id);
  put_u32(out, font.max_char_height);
  put_u32(out, font.max_char_width);
  put_u32(out, static_cast<std::uint32_t>(font.char_descs.size()));
  for (const FontCharDesc& desc : font.char_descs) {
    append_char_desc(out, desc);
  }
  put_u32(out, font.num_horizontal_border_pixels);
  put_u32(out, font.num_vertical_border_pixels);
  put_u32(out, static_cast<std::uint32_t>(font.baseline_offset));
  put_u32(out, font.foreground_surface_data_id);
  put_u32(out, font.background_surface_data_id);
  return out;
}

Font make_font(std::uint32_t id, std::uint32_t glyphs) {
  const std::uint32_t seed = mix(id);
  const std::uint32_t cell_height = 10 + 2 * (seed % 6);   // 10..20
  const std::uint32_t cell_width = 6 + ((seed >> 8) % 9);  // 6..14
  const std::uint32_t columns = SURFACE_WIDTH / cell_width;

  Font font;
  font.id = id;
  font.max_char_height = cell_height;
  font.max_char_width = cell_width;
  font.num_horizontal_border_pixels = 1;
  font.num_vertical_border_pixels = 1;
  font.baseline_offset = static_cast<std::int32_t>(cell_height) - 3;
  font.foreground_surface_data_id = 0x06005000U + 2 * (id & 0x0FFFU);
  font.background_surface_data_id = font.foreground_surface_data_id + 1;
  font.char_descs.reserve(glyphs);
  for (std::uint32_t i = 0; i < glyphs; ++i) {
    const std::uint32_t glyph_seed = mix(seed ^ i);
    FontCharDesc desc;
    desc.unicode = static_cast<std::uint16_t>(0x20 + i);
    desc.offset_x = static_cast<std::uint16_t>((i % columns) * cell_width);
    desc.offset_y = static_cast<std::uint16_t>((i / columns) * cell_height);
    // Proportional glyphs: narrower than the cell, never wider; a space is narrowest.
    const std::uint32_t narrowing = i == 0 ? cell_width / 2 : glyph_seed % 4;
    desc.width = static_cast<std::uint8_t>(std::max<std::uint32_t>(1, cell_width - narrowing));
    desc.height = static_cast<std::uint8_t>(cell_height - (glyph_seed >> 4) % 3);
    desc.horizontal_offset_before =
        static_cast<std::int8_t>(static_cast<int>((glyph_seed >> 8) % 3) - 1);
    desc.horizontal_offset_after = static_cast<std::int8_t>((glyph_seed >> 12) % 2);
    desc.vertical_offset_before =
        static_cast<std::int8_t>(-static_cast<int>((glyph_seed >> 16) % 3));
    font.char_descs.push_back(desc);
  }
  return font;
}

}  // namespace marrowvane_dat::testkit
