// SPDX-License-Identifier: MIT
// Font::read beside a hand-written parse of the same record that checks the length
// once up front and then loads every field without further checks: the least work
// that still yields the same Font.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "bench_support.hpp"
#include "marrowvane_dat/binary_reader.hpp"
#include "marrowvane_dat/file_type/font.hpp"
#include "marrowvane_dat_testkit/font_writer.hpp"

namespace marrowvane_dat::bench {
namespace {

std::uint16_t u16_at(const std::uint8_t* bytes) noexcept {
  return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8U));
}

std::uint32_t u32_at(const std::uint8_t* bytes) noexcept {
  return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8U) |
         (static_cast<std::uint32_t>(bytes[2]) << 16U) |
         (static_cast<std::uint32_t>(bytes[3]) << 24U);
}

std::optional<Font> parse_by_hand(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < Font::FIXED_SIZE) return std::nullopt;
  const std::uint8_t* p = bytes.data();
  Font font;
  font.id = u32_at(p);
  font.max_char_height = u32_at(p + 4);
  font.max_char_width = u32_at(p + 8);
  const std::uint32_t glyphs = u32_at(p + 12);
  if ((bytes.size() - Font::FIXED_SIZE) / FontCharDesc::SIZE < glyphs) return std::nullopt;
  p += 16;
  font.char_descs.resize(glyphs);
  for (FontCharDesc& desc : font.char_descs) {
    desc.unicode = u16_at(p);
    desc.offset_x = u16_at(p + 2);
    desc.offset_y = u16_at(p + 4);
    desc.width = p[6];
    desc.height = p[7];
    desc.horizontal_offset_before = static_cast<std::int8_t>(p[8]);
    desc.horizontal_offset_after = static_cast<std::int8_t>(p[9]);
    desc.vertical_offset_before = static_cast<std::int8_t>(p[10]);
    p += FontCharDesc::SIZE;
  }
  font.num_horizontal_border_pixels = u32_at(p);
  font.num_vertical_border_pixels = u32_at(p + 4);
  font.baseline_offset = static_cast<std::int32_t>(u32_at(p + 8));
  font.foreground_surface_data_id = u32_at(p + 12);
  font.background_surface_data_id = u32_at(p + 16);
  return font;
}

struct FontRecord {
  Bytes bytes;
  Font font;
};

const FontRecord& font_record(std::uint32_t glyphs) {
  static std::map<std::uint32_t, std::unique_ptr<FontRecord>> cache;
  return cached(cache, glyphs, [glyphs] {
    FontRecord record;
    record.font = testkit::make_font(0x40000001, glyphs);
    record.bytes = testkit::encode_font(record.font);
    return record;
  });
}

template <class Parse>
void run_parse(benchmark::State& state, std::uint32_t glyphs, Parse parse) {
  const FontRecord& record = font_record(glyphs);
  for (auto _ : state) {
    auto font = parse(record.bytes);
    benchmark::DoNotOptimize(font);
    if (!font || font->char_descs.size() != glyphs) {
      state.SkipWithError("the record did not parse");
      break;
    }
  }
  if (parse(record.bytes) != record.font) {
    state.SkipWithError("the parse gave another font");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(record.bytes.size()));
}

const bool registered = [] {
  for (const std::uint32_t glyphs : {95U, 256U}) {
    const std::string row = "font/" + std::to_string(glyphs) + "_glyphs/";
    benchmark::RegisterBenchmark((row + "Font::read").c_str(), [row, glyphs](benchmark::State& s) {
      compare_with(s, {row + "hand_parse"});
      run_parse(s, glyphs, [](std::span<const std::uint8_t> bytes) {
        Cursor cursor(bytes);
        return Font::read(cursor);
      });
    });
    benchmark::RegisterBenchmark((row + "hand_parse").c_str(), [glyphs](benchmark::State& s) {
      run_parse(s, glyphs, parse_by_hand);
    });
  }
  return true;
}();

}  // namespace
}  // namespace marrowvane_dat::bench
