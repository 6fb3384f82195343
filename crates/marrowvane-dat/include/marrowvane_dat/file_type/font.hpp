// SPDX-License-Identifier: MIT
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
#include "marrowvane_dat/dat_database.hpp"
#include "marrowvane_dat/error.hpp"
#include "marrowvane_dat/export.hpp"

namespace marrowvane_dat {

/// One glyph: which character it draws and where it sits in the font's surface.
struct MARROWVANE_DAT_EXPORT FontCharDesc {
  /// Three u16, two u8, three i8.
  static constexpr std::size_t SIZE = 3 * 2 + 2 * 1 + 3 * 1;

  std::uint16_t unicode = 0;                 ///< The character the glyph draws.
  std::uint16_t offset_x = 0;                ///< Left edge of the glyph in the surface.
  std::uint16_t offset_y = 0;                ///< Top edge of the glyph in the surface.
  std::uint8_t width = 0;                    ///< Glyph width in pixels.
  std::uint8_t height = 0;                   ///< Glyph height in pixels.
  std::int8_t horizontal_offset_before = 0;  ///< Horizontal adjustment before the glyph.
  std::int8_t horizontal_offset_after = 0;   ///< Horizontal adjustment after the glyph.
  std::int8_t vertical_offset_before = 0;    ///< Vertical adjustment before the glyph.

  /// Reads the eight fields in order. On failure the source is rewound to the
  /// descriptor's start and the error names the field that ran out.
  template <ByteSource Source>
  static std::expected<FontCharDesc, BinReadError> read(Source& in);
  /// Sets every field from the descriptor stored in exactly these 11 bytes. (Written
  /// field by field in place: a whole descriptor built aside and copied over costs a
  /// stalled load per glyph.)
  static constexpr void decode(std::span<const std::uint8_t, SIZE> bytes,
                               FontCharDesc& out) noexcept {
    out.unicode = load_le<std::uint16_t>(bytes.first<2>());
    out.offset_x = load_le<std::uint16_t>(bytes.subspan<2, 2>());
    out.offset_y = load_le<std::uint16_t>(bytes.subspan<4, 2>());
    out.width = bytes[6];
    out.height = bytes[7];
    out.horizontal_offset_before = static_cast<std::int8_t>(bytes[8]);
    out.horizontal_offset_after = static_cast<std::int8_t>(bytes[9]);
    out.vertical_offset_before = static_cast<std::int8_t>(bytes[10]);
  }

  /// Field by field.
  friend bool operator==(const FontCharDesc&, const FontCharDesc&) = default;
};
static_assert(FontCharDesc::SIZE == 11);

/// A bitmap font record. Its stored length is FIXED_SIZE + FontCharDesc::SIZE * glyphs.
struct MARROWVANE_DAT_EXPORT Font {
  /// Nine 4-byte fields around the glyph list (the glyph count is one of them).
  static constexpr std::size_t FIXED_SIZE = 9 * 4;

  std::uint32_t id = 0;                  ///< The file id as the record states it; not checked.
  std::uint32_t max_char_height = 0;     ///< Largest glyph height.
  std::uint32_t max_char_width = 0;      ///< Largest glyph width.
  std::vector<FontCharDesc> char_descs;  ///< The glyphs, in stored order.
  std::uint32_t num_horizontal_border_pixels = 0;  ///< Kept as read.
  std::uint32_t num_vertical_border_pixels = 0;    ///< Kept as read.
  std::int32_t baseline_offset = 0;                ///< Kept as read.
  std::uint32_t foreground_surface_data_id = 0;    ///< File id of the foreground surface.
  std::uint32_t background_surface_data_id = 0;    ///< File id of the background surface.

  /// Reads one record from the source's position, leaving the position just past it;
  /// trailing bytes are not looked at. On failure the source is rewound to the record
  /// start and the error names the field (and glyph field) that ran out. The stored
  /// glyph count never drives an allocation beyond what the data can hold.
  template <ByteSource Source>
  static std::expected<Font, BinReadError> read(Source& in);

  /// Field by field, glyphs included.
  friend bool operator==(const Font&, const Font&) = default;
};
static_assert(Font::FIXED_SIZE == 36);

namespace detail {

/// Glyphs reserved up front when the source cannot tell how many bytes it has left;
/// beyond that the vector grows only as descriptors are actually read.
inline constexpr std::uint32_t FONT_GLYPH_RESERVE_CAP = 256;

/// How many glyphs to reserve for a stored count: never more than the source can hold.
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
  FontCharDesc d;
  r.read(d.unicode, "unicode");
  r.read(d.offset_x, "offset_x");
  r.read(d.offset_y, "offset_y");
  r.read(d.width, "width");
  r.read(d.height, "height");
  r.read(d.horizontal_offset_before, "horizontal_offset_before");
  r.read(d.horizontal_offset_after, "horizontal_offset_after");
  r.read(d.vertical_offset_before, "vertical_offset_before");
  static_assert(SIZE == sizeof d.unicode + sizeof d.offset_x + sizeof d.offset_y + sizeof d.width +
                            sizeof d.height + sizeof d.horizontal_offset_before +
                            sizeof d.horizontal_offset_after + sizeof d.vertical_offset_before);
  return r.finish(d);
}

template <ByteSource Source>
std::expected<Font, BinReadError> Font::read(Source& in) {
  RecordReader<Source> r(in, "Font");
  Font font;
  std::uint32_t num_char_descs = 0;
  r.read(font.id, "id");
  r.read(font.max_char_height, "max_char_height");
  r.read(font.max_char_width, "max_char_width");
  r.read(num_char_descs, "num_char_descs");
  // The stored count is hostile: it bounds the loop, never an allocation by itself.
  r.read_nested("char_descs", [&]() -> std::expected<void, BinReadError> {
    if constexpr (PeekableSource<Source>) {
      // Every descriptor is there: decoded straight from the bytes, none can fail.
      const std::uint64_t length = std::uint64_t{num_char_descs} * FontCharDesc::SIZE;
      if (length <= in.remaining()) {
        const std::span<const std::uint8_t> all = in.peek(static_cast<std::size_t>(length));
        font.char_descs.resize(num_char_descs);
        for (std::size_t i = 0; i < num_char_descs; ++i) {
          FontCharDesc::decode(all.subspan(i * FontCharDesc::SIZE).first<FontCharDesc::SIZE>(),
                               font.char_descs[i]);
        }
        in.seek(in.position() + length);
        return {};
      }
    }
    font.char_descs.reserve(detail::font_glyph_reserve(in, num_char_descs));
    for (std::uint32_t i = 0; i < num_char_descs; ++i) {
      auto desc = FontCharDesc::read(in);
      if (!desc) return std::unexpected(std::move(desc.error()));
      font.char_descs.push_back(*desc);
    }
    return {};
  });
  r.read(font.num_horizontal_border_pixels, "num_horizontal_border_pixels");
  r.read(font.num_vertical_border_pixels, "num_vertical_border_pixels");
  r.read(font.baseline_offset, "baseline_offset");
  r.read(font.foreground_surface_data_id, "foreground_surface_data_id");
  r.read(font.background_surface_data_id, "background_surface_data_id");
  static_assert(FIXED_SIZE ==
                sizeof font.id + sizeof font.max_char_height + sizeof font.max_char_width +
                    sizeof num_char_descs + sizeof font.num_horizontal_border_pixels +
                    sizeof font.num_vertical_border_pixels + sizeof font.baseline_offset +
                    sizeof font.foreground_surface_data_id +
                    sizeof font.background_surface_data_id);
  return r.finish(std::move(font));
}

/// Reads file `id` of `db` as a Font. An id not in the directory is NotFound; then the
/// id's type (in the archive's kind) is checked: any other type is Other ("file
/// 0x01000004 is a Model, not a Font"). Then get_file's errors (Io, Corruption), and
/// BinRead when the bytes do not hold a whole Font record (bytes after it are not
/// looked at).
[[nodiscard]] MARROWVANE_DAT_EXPORT Result<Font> read_font(const DatDatabase& db, std::uint32_t id);

// Compiled once, in the library, for the in-memory cursor, and part of the shared
// library's interface: a DLL exports a member template's instantiation only when the
// instantiation itself is marked, whatever its class says.
extern template MARROWVANE_DAT_EXPORT std::expected<FontCharDesc, BinReadError>
FontCharDesc::read<Cursor>(Cursor&);
extern template MARROWVANE_DAT_EXPORT std::expected<Font, BinReadError> Font::read<Cursor>(Cursor&);

}  // namespace marrowvane_dat
