// The Font record: a bitmap font's metrics and its glyph descriptors.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <utility>
#include <vector>

#include "marrowvane_dat/binary_reader.hpp"
#include "marrowvane_dat/error.hpp"

namespace marrowvane_dat {

// One glyph: which character it draws and where it sits in the font's surface.
struct FontCharDesc {
  // Three u16, two u8, three i8.
  static constexpr std::size_t SIZE = 3 * 2 + 2 * 1 + 3 * 1;

  std::uint16_t unicode = 0;
  std::uint16_t offset_x = 0;
  std::uint16_t offset_y = 0;
  std::uint8_t width = 0;
  std::uint8_t height = 0;
  std::int8_t horizontal_offset_before = 0;
  std::int8_t horizontal_offset_after = 0;
  std::int8_t vertical_offset_before = 0;

  // Reads the eight fields in order. On failure the source is rewound to the
  // descriptor's start and the error names the field that ran out.
  template <ByteSource Source>
  static std::expected<FontCharDesc, BinReadError> read(Source& in);

  friend bool operator==(const FontCharDesc&, const FontCharDesc&) = default;
};
static_assert(FontCharDesc::SIZE == 11);

// A bitmap font record. Its stored length is FIXED_SIZE + FontCharDesc::SIZE * glyphs.
struct Font {
  // Nine 4-byte fields around the glyph list (the glyph count is one of them).
  static constexpr std::size_t FIXED_SIZE = 9 * 4;

  std::uint32_t id = 0;
  std::uint32_t max_char_height = 0;
  std::uint32_t max_char_width = 0;
  std::vector<FontCharDesc> char_descs;
  std::uint32_t num_horizontal_border_pixels = 0;
  std::uint32_t num_vertical_border_pixels = 0;
  std::int32_t baseline_offset = 0;
  std::uint32_t foreground_surface_data_id = 0;
  std::uint32_t background_surface_data_id = 0;

  // Reads one record from the source's position, leaving the position just past it;
  // trailing bytes are not looked at. On failure the source is rewound to the record
  // start and the error names the field (and glyph field) that ran out. The stored
  // glyph count never drives an allocation beyond what the data can hold.
  template <ByteSource Source>
  static std::expected<Font, BinReadError> read(Source& in);

  friend bool operator==(const Font&, const Font&) = default;
};
static_assert(Font::FIXED_SIZE == 36);

namespace detail {

// Glyphs reserved up front when the source cannot tell how many bytes it has left;
// beyond that the vector grows only as descriptors are actually read.
inline constexpr std::uint32_t FONT_GLYPH_RESERVE_CAP = 256;

// How many glyphs to reserve for a stored count: never more than the source can hold.
template <ByteSource Source>
std::size_t font_glyph_reserve(const Source& in, std::uint32_t stored_count) noexcept {
  std::uint64_t cap = FONT_GLYPH_RESERVE_CAP;
  if constexpr (requires {
                  { in.remaining() } -> std::convertible_to<std::uint64_t>;
                }) {
    cap = in.remaining() / FontCharDesc::SIZE;
  }
  return static_cast<std::size_t>(std::min<std::uint64_t>(stored_count, cap));
}

}  // namespace detail

template <ByteSource Source>
std::expected<FontCharDesc, BinReadError> FontCharDesc::read(Source& in) {
  RecordReader<Source> r(in, "FontCharDesc");
  auto unicode = r.template field<std::uint16_t>("unicode");
  if (!unicode) return std::unexpected(std::move(unicode.error()));
  auto offset_x = r.template field<std::uint16_t>("offset_x");
  if (!offset_x) return std::unexpected(std::move(offset_x.error()));
  auto offset_y = r.template field<std::uint16_t>("offset_y");
  if (!offset_y) return std::unexpected(std::move(offset_y.error()));
  auto width = r.template field<std::uint8_t>("width");
  if (!width) return std::unexpected(std::move(width.error()));
  auto height = r.template field<std::uint8_t>("height");
  if (!height) return std::unexpected(std::move(height.error()));
  auto horizontal_offset_before = r.template field<std::int8_t>("horizontal_offset_before");
  if (!horizontal_offset_before) {
    return std::unexpected(std::move(horizontal_offset_before.error()));
  }
  auto horizontal_offset_after = r.template field<std::int8_t>("horizontal_offset_after");
  if (!horizontal_offset_after) return std::unexpected(std::move(horizontal_offset_after.error()));
  auto vertical_offset_before = r.template field<std::int8_t>("vertical_offset_before");
  if (!vertical_offset_before) return std::unexpected(std::move(vertical_offset_before.error()));
  static_assert(SIZE == sizeof(*unicode) + sizeof(*offset_x) + sizeof(*offset_y) + sizeof(*width) +
                            sizeof(*height) + sizeof(*horizontal_offset_before) +
                            sizeof(*horizontal_offset_after) + sizeof(*vertical_offset_before));
  return FontCharDesc{*unicode,
                      *offset_x,
                      *offset_y,
                      *width,
                      *height,
                      *horizontal_offset_before,
                      *horizontal_offset_after,
                      *vertical_offset_before};
}

template <ByteSource Source>
std::expected<Font, BinReadError> Font::read(Source& in) {
  RecordReader<Source> r(in, "Font");
  auto id = r.template field<std::uint32_t>("id");
  if (!id) return std::unexpected(std::move(id.error()));
  auto max_char_height = r.template field<std::uint32_t>("max_char_height");
  if (!max_char_height) return std::unexpected(std::move(max_char_height.error()));
  auto max_char_width = r.template field<std::uint32_t>("max_char_width");
  if (!max_char_width) return std::unexpected(std::move(max_char_width.error()));
  auto num_char_descs = r.template field<std::uint32_t>("num_char_descs");
  if (!num_char_descs) return std::unexpected(std::move(num_char_descs.error()));

  // The stored count is hostile: it bounds the loop, never an allocation by itself.
  auto char_descs =
      r.nested("char_descs", [&]() -> std::expected<std::vector<FontCharDesc>, BinReadError> {
        std::vector<FontCharDesc> descs;
        descs.reserve(detail::font_glyph_reserve(in, *num_char_descs));
        for (std::uint32_t i = 0; i < *num_char_descs; ++i) {
          auto desc = FontCharDesc::read(in);
          if (!desc) return std::unexpected(std::move(desc.error()));
          descs.push_back(*desc);
        }
        return descs;
      });
  if (!char_descs) return std::unexpected(std::move(char_descs.error()));

  auto num_horizontal_border_pixels =
      r.template field<std::uint32_t>("num_horizontal_border_pixels");
  if (!num_horizontal_border_pixels) {
    return std::unexpected(std::move(num_horizontal_border_pixels.error()));
  }
  auto num_vertical_border_pixels = r.template field<std::uint32_t>("num_vertical_border_pixels");
  if (!num_vertical_border_pixels) {
    return std::unexpected(std::move(num_vertical_border_pixels.error()));
  }
  auto baseline_offset = r.template field<std::int32_t>("baseline_offset");
  if (!baseline_offset) return std::unexpected(std::move(baseline_offset.error()));
  auto foreground_surface_data_id = r.template field<std::uint32_t>("foreground_surface_data_id");
  if (!foreground_surface_data_id) {
    return std::unexpected(std::move(foreground_surface_data_id.error()));
  }
  auto background_surface_data_id = r.template field<std::uint32_t>("background_surface_data_id");
  if (!background_surface_data_id) {
    return std::unexpected(std::move(background_surface_data_id.error()));
  }
  static_assert(FIXED_SIZE == sizeof(*id) + sizeof(*max_char_height) + sizeof(*max_char_width) +
                                  sizeof(*num_char_descs) + sizeof(*num_horizontal_border_pixels) +
                                  sizeof(*num_vertical_border_pixels) + sizeof(*baseline_offset) +
                                  sizeof(*foreground_surface_data_id) +
                                  sizeof(*background_surface_data_id));
  return Font{*id,
              *max_char_height,
              *max_char_width,
              std::move(*char_descs),
              *num_horizontal_border_pixels,
              *num_vertical_border_pixels,
              *baseline_offset,
              *foreground_surface_data_id,
              *background_surface_data_id};
}

// Compiled once, in the library, for the in-memory cursor.
extern template std::expected<FontCharDesc, BinReadError> FontCharDesc::read<Cursor>(Cursor&);
extern template std::expected<Font, BinReadError> Font::read<Cursor>(Cursor&);

}  // namespace marrowvane_dat
