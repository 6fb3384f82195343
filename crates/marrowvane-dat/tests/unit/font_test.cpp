// SPDX-License-Identifier: MIT
// Tests of the Font and FontCharDesc record readers at the byte level.
#include "marrowvane_dat/file_type/font.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "marrowvane_dat/binary_reader.hpp"
#include "marrowvane_dat/error.hpp"
#include "marrowvane_dat_testkit/archive_builder.hpp"

namespace marrowvane_dat {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A two-glyph font, 36 + 2 * 11 = 58 bytes.
const Bytes TWO_GLYPH_FONT = {
    0x12, 0x00, 0x00, 0x40,                                            // id 0x40000012
    0x10, 0x00, 0x00, 0x00,                                            // max_char_height 16
    0x09, 0x00, 0x00, 0x00,                                            // max_char_width 9
    0x02, 0x00, 0x00, 0x00,                                            // num_char_descs 2
    0x41, 0x00, 0x10, 0x00, 0x20, 0x00, 0x08, 0x0C, 0xFF, 0x01, 0xFE,  // glyph 'A'
    0x42, 0x01, 0x18, 0x00, 0x20, 0x02, 0x07, 0x0C, 0x80, 0x7F, 0x00,  // glyph U+0142
    0x01, 0x00, 0x00, 0x00,  // num_horizontal_border_pixels 1
    0x02, 0x00, 0x00, 0x00,  // num_vertical_border_pixels 2
    0xFE, 0xFF, 0xFF, 0xFF,  // baseline_offset -2
    0x34, 0x12, 0x00, 0x06,  // foreground_surface_data_id
    0x78, 0x56, 0x00, 0x06,  // background_surface_data_id
};

const char* const GLYPH_FIELDS[] = {"unicode",
                                    "offset_x",
                                    "offset_y",
                                    "width",
                                    "height",
                                    "horizontal_offset_before",
                                    "horizontal_offset_after",
                                    "vertical_offset_before"};
const std::size_t GLYPH_FIELD_WIDTHS[] = {2, 2, 2, 1, 1, 1, 1, 1};

std::span<const std::uint8_t> first_bytes(const Bytes& bytes, std::size_t count) {
  return std::span(bytes).first(count);
}

std::string frame(const std::string& field, const std::string& record) {
  return "While parsing field '" + field + "' in " + record;
}

std::vector<std::string> frame_messages(const BinReadError& error) {
  std::vector<std::string> messages;
  for (const BinReadFrame& f : error.frames()) {
    messages.push_back(f.message);
  }
  return messages;
}

// A source that, unlike Cursor, cannot tell how many bytes it has left.
class SizelessSource {
 public:
  explicit SizelessSource(std::span<const std::uint8_t> data) : data_(data) {}
  std::expected<void, IoError> read_exact(std::span<std::uint8_t> out) {
    if (position_ > data_.size() || out.size() > data_.size() - position_) {
      return std::unexpected(IoError::unexpected_eof());
    }
    std::memcpy(out.data(), data_.data() + position_, out.size());
    position_ += out.size();
    return {};
  }
  [[nodiscard]] std::uint64_t position() const { return position_; }
  void seek(std::uint64_t position) { position_ = static_cast<std::size_t>(position); }

 private:
  std::span<const std::uint8_t> data_;
  std::size_t position_ = 0;
};
static_assert(ByteSource<SizelessSource>);

TEST(Font, ReadsEveryFieldAndStopsBeforeTrailingBytes) {
  Bytes data = TWO_GLYPH_FONT;
  data.insert(data.end(), {0xAA, 0xBB, 0xCC});
  Cursor cursor(data);
  auto font = Font::read(cursor);
  ASSERT_TRUE(font.has_value()) << font.error().to_string();
  EXPECT_EQ(cursor.position(), 58U);
  EXPECT_EQ(font->id, 0x40000012U);
  EXPECT_EQ(font->max_char_height, 16U);
  EXPECT_EQ(font->max_char_width, 9U);
  ASSERT_EQ(font->char_descs.size(), 2U);
  EXPECT_EQ(font->char_descs[0], (FontCharDesc{0x41, 16, 32, 8, 12, -1, 1, -2}));
  EXPECT_EQ(font->char_descs[1], (FontCharDesc{0x0142, 24, 0x0220, 7, 12, -128, 127, 0}));
  EXPECT_EQ(font->num_horizontal_border_pixels, 1U);
  EXPECT_EQ(font->num_vertical_border_pixels, 2U);
  EXPECT_EQ(font->baseline_offset, -2);
  EXPECT_EQ(font->foreground_surface_data_id, 0x06001234U);
  EXPECT_EQ(font->background_surface_data_id, 0x06005678U);
}

TEST(Font, ZeroGlyphsAndExtremeValuesAreAccepted) {
  Bytes data(36, 0x00);
  {
    Cursor cursor(data);
    auto font = Font::read(cursor);
    ASSERT_TRUE(font.has_value()) << font.error().to_string();
    EXPECT_TRUE(font->char_descs.empty());
    EXPECT_EQ(font->baseline_offset, 0);
    EXPECT_EQ(cursor.position(), 36U);
  }
  // Everything 0xFF except the glyph count: unsigned maxima, baseline -1.
  std::fill(data.begin(), data.end(), 0xFF);
  std::fill(data.begin() + 12, data.begin() + 16, 0x00);
  Cursor cursor(data);
  auto font = Font::read(cursor);
  ASSERT_TRUE(font.has_value()) << font.error().to_string();
  EXPECT_EQ(font->id, 0xFFFFFFFFU);
  EXPECT_EQ(font->baseline_offset, -1);
  EXPECT_EQ(font->background_surface_data_id, 0xFFFFFFFFU);

  data[24] = 0x00;
  data[25] = 0x00;
  data[26] = 0x00;
  data[27] = 0x80;
  cursor.seek(0);
  font = Font::read(cursor);
  ASSERT_TRUE(font.has_value());
  EXPECT_EQ(font->baseline_offset, std::numeric_limits<std::int32_t>::min());
}

TEST(Font, EveryTruncationNamesTheFieldThatRanOutAndRewinds) {
  // Each field's end offset and the frames its truncation must produce, innermost first.
  struct Boundary {
    std::size_t end;
    std::vector<std::string> frames;
  };
  std::vector<Boundary> layout = {
      {4, {frame("id", "Font")}},
      {8, {frame("max_char_height", "Font")}},
      {12, {frame("max_char_width", "Font")}},
      {16, {frame("num_char_descs", "Font")}},
  };
  std::size_t end = 16;
  for (int glyph = 0; glyph < 2; ++glyph) {
    for (std::size_t f = 0; f < std::size(GLYPH_FIELDS); ++f) {
      end += GLYPH_FIELD_WIDTHS[f];
      layout.push_back(
          {end, {frame(GLYPH_FIELDS[f], "FontCharDesc"), frame("char_descs", "Font")}});
    }
  }
  for (const char* field :
       {"num_horizontal_border_pixels", "num_vertical_border_pixels", "baseline_offset",
        "foreground_surface_data_id", "background_surface_data_id"}) {
    end += 4;
    layout.push_back({end, {frame(field, "Font")}});
  }
  ASSERT_EQ(end, TWO_GLYPH_FONT.size());

  std::size_t boundary = 0;
  for (std::size_t length = 0; length < TWO_GLYPH_FONT.size(); ++length) {
    SCOPED_TRACE(testing::Message() << "length " << length);
    while (layout[boundary].end <= length) {
      ++boundary;
    }
    Cursor cursor(first_bytes(TWO_GLYPH_FONT, length));
    auto font = Font::read(cursor);
    ASSERT_FALSE(font.has_value());
    EXPECT_EQ(font.error().cause().kind(), IoErrorKind::UnexpectedEof);
    EXPECT_EQ(frame_messages(font.error()), layout[boundary].frames);
    EXPECT_EQ(cursor.position(), 0U);
  }
}

TEST(Font, FailureRewindsToARecordStartThatIsNotZero) {
  Bytes data(5 + TWO_GLYPH_FONT.size(), 0xEE);
  std::copy(TWO_GLYPH_FONT.begin(), TWO_GLYPH_FONT.end(), data.begin() + 5);
  {
    Cursor cursor(data);
    cursor.seek(5);
    auto font = Font::read(cursor);
    ASSERT_TRUE(font.has_value()) << font.error().to_string();
    EXPECT_EQ(font->id, 0x40000012U);
    EXPECT_EQ(cursor.position(), 5U + 58U);
  }
  // Cut inside the second glyph and again inside the trailing fields.
  for (std::size_t cut : {5U + 30U, 5U + 50U}) {
    Cursor cursor(first_bytes(data, cut));
    cursor.seek(5);
    auto font = Font::read(cursor);
    ASSERT_FALSE(font.has_value());
    EXPECT_EQ(cursor.position(), 5U);
  }
}

TEST(Font, HugeGlyphCountInShortRecordFailsAtEndOfData) {
  Bytes data = TWO_GLYPH_FONT;
  data[12] = data[13] = data[14] = data[15] = 0xFF;
  data.resize(16 + 11 + 9);  // one whole glyph, then nine bytes of the next
  const std::vector<std::string> expected = {frame("horizontal_offset_after", "FontCharDesc"),
                                             frame("char_descs", "Font")};
  {
    Cursor cursor(data);
    std::expected<Font, BinReadError> font =
        std::unexpected(BinReadError(IoError::out_of_memory()));
    ASSERT_NO_THROW(font = Font::read(cursor));
    ASSERT_FALSE(font.has_value());
    EXPECT_EQ(font.error().cause().kind(), IoErrorKind::UnexpectedEof);
    EXPECT_EQ(frame_messages(font.error()), expected);
    EXPECT_EQ(cursor.position(), 0U);
  }
  SizelessSource source(data);
  std::expected<Font, BinReadError> font = std::unexpected(BinReadError(IoError::out_of_memory()));
  ASSERT_NO_THROW(font = Font::read(source));
  ASSERT_FALSE(font.has_value());
  EXPECT_EQ(font.error().cause().kind(), IoErrorKind::UnexpectedEof);
  EXPECT_EQ(frame_messages(font.error()), expected);
  EXPECT_EQ(source.position(), 0U);
}

TEST(Font, AnyByteSourceReadsTheSameRecord) {
  Cursor cursor(TWO_GLYPH_FONT);
  SizelessSource source(TWO_GLYPH_FONT);
  auto from_cursor = Font::read(cursor);
  auto from_source = Font::read(source);
  ASSERT_TRUE(from_cursor.has_value());
  ASSERT_TRUE(from_source.has_value());
  EXPECT_EQ(*from_source, *from_cursor);
  EXPECT_EQ(source.position(), 58U);
}

TEST(Font, ErrorTextShowsCauseThenFramesInnermostFirst) {
  Cursor cursor(first_bytes(TWO_GLYPH_FONT, 16 + 11 + 3));
  auto font = Font::read(cursor);
  ASSERT_FALSE(font.has_value());
  const std::string text = font.error().to_string();
  const auto cause = text.find("failed to fill whole buffer");
  const auto inner = text.find(frame("offset_x", "FontCharDesc"));
  const auto outer = text.find(frame("char_descs", "Font"));
  ASSERT_NE(cause, std::string::npos) << text;
  ASSERT_NE(inner, std::string::npos) << text;
  ASSERT_NE(outer, std::string::npos) << text;
  EXPECT_LT(cause, inner) << text;
  EXPECT_LT(inner, outer) << text;
  // Each frame points at the reader line for its own field, not at the generic helper.
  ASSERT_EQ(font.error().frames().size(), 2U);
  for (const BinReadFrame& f : font.error().frames()) {
    EXPECT_NE(std::string(f.location.file_name()).find("font.hpp"), std::string::npos)
        << f.location.file_name();
  }
  EXPECT_NE(font.error().frames()[0].location.line(), font.error().frames()[1].location.line());
}

TEST(Font, DescriptorReadsSignedFieldsAsTwosComplement) {
  const Bytes data = {0x41, 0x00, 0x10, 0x00, 0x20, 0x00, 0x08, 0x0C, 0xFF, 0x01, 0xFE, 0x99};
  Cursor cursor(data);
  auto desc = FontCharDesc::read(cursor);
  ASSERT_TRUE(desc.has_value()) << desc.error().to_string();
  EXPECT_EQ(desc->unicode, 0x41);
  EXPECT_EQ(desc->offset_x, 16);
  EXPECT_EQ(desc->offset_y, 32);
  EXPECT_EQ(desc->width, 8);
  EXPECT_EQ(desc->height, 12);
  EXPECT_EQ(desc->horizontal_offset_before, -1);
  EXPECT_EQ(desc->horizontal_offset_after, 1);
  EXPECT_EQ(desc->vertical_offset_before, -2);
  EXPECT_EQ(cursor.position(), 11U);
}

TEST(Font, DescriptorTruncationNamesOnlyItsOwnFieldAndRewinds) {
  const Bytes data(11, 0x5A);
  std::size_t length = 0;
  for (std::size_t f = 0; f < std::size(GLYPH_FIELDS); ++f) {
    for (std::size_t in_field = 0; in_field < GLYPH_FIELD_WIDTHS[f]; ++in_field, ++length) {
      SCOPED_TRACE(testing::Message() << "length " << length);
      Cursor cursor(first_bytes(data, length));
      auto desc = FontCharDesc::read(cursor);
      ASSERT_FALSE(desc.has_value());
      EXPECT_EQ(frame_messages(desc.error()),
                std::vector<std::string>{frame(GLYPH_FIELDS[f], "FontCharDesc")});
      EXPECT_EQ(cursor.position(), 0U);
    }
  }
  EXPECT_EQ(length, FontCharDesc::SIZE);
}

// An archive holding TWO_GLYPH_FONT as a Font, the same bytes cut inside its second glyph as a
// Font, and the bytes as a Model.
Result<DatDatabase> archive_of_fonts() {
  testkit::ArchiveBuilder builder;
  builder.add_files(
      {{.id = 0x40000012, .content = TWO_GLYPH_FONT, .compressed = true},
       {.id = 0x40000013, .content = Bytes(TWO_GLYPH_FONT.begin(), TWO_GLYPH_FONT.begin() + 30)},
       {.id = 0x01000004, .content = TWO_GLYPH_FONT},
       {.id = 0x03000001, .content = TWO_GLYPH_FONT}});
  return DatDatabase::open_owned(builder.bytes());
}

TEST(ReadFont, ChecksPresenceThenTypeThenReadsAndDecodes) {
  auto database = archive_of_fonts();
  ASSERT_TRUE(database) << database.error().debug();
  auto font = read_font(*database, 0x40000012);
  ASSERT_TRUE(font) << font.error().debug();
  Cursor cursor(TWO_GLYPH_FONT);
  EXPECT_EQ(*font, *Font::read(cursor));

  auto model = read_font(*database, 0x01000004);
  ASSERT_FALSE(model);
  EXPECT_EQ(model.error().kind(), DatErrorKind::Other);
  EXPECT_EQ(model.error().to_string(), "Other error: file 0x01000004 is a Model, not a Font");
  auto animation = read_font(*database, 0x03000001);
  ASSERT_FALSE(animation);
  EXPECT_EQ(animation.error().to_string(),
            "Other error: file 0x03000001 is an Animation, not a Font");
  // An id the directory lacks is missing before it is of the wrong type.
  auto absent_model = read_font(*database, 0x01000099);
  ASSERT_FALSE(absent_model);
  EXPECT_EQ(absent_model.error().to_string(), "File ID 01000099 not found in provider");

  auto missing = read_font(*database, 0x40000099);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().to_string(), "File ID 40000099 not found in provider");
  auto cut = read_font(*database, 0x40000013);
  ASSERT_FALSE(cut);
  EXPECT_EQ(cut.error().kind(), DatErrorKind::BinRead);
  EXPECT_NE(cut.error().to_string().find(frame("char_descs", "Font")), std::string::npos);
}

TEST(DecompressedSize, ComesFromTheSizePrefixWithoutDecompressing) {
  testkit::ArchiveBuilder builder;
  const Bytes big(50000, 0x61);
  builder.add_files({{.id = 1, .content = big, .compressed = true},
                     {.id = 2, .content = big},
                     {.id = 3, .content = Bytes{9, 9, 9}, .extra_flags = 1},
                     {.id = 4, .content = Bytes{}, .compressed = true}});
  auto database = DatDatabase::open_owned(builder.bytes());
  ASSERT_TRUE(database);
  EXPECT_LT(database->find(1)->size, 10000U);
  EXPECT_EQ(database->decompressed_size(1), 50000U);
  EXPECT_EQ(database->decompressed_size(2), 50000U);
  // Three stored bytes flagged compressed come back unchanged.
  EXPECT_EQ(database->decompressed_size(3), 3U);
  EXPECT_EQ(database->get_file(3)->size(), 3U);
  EXPECT_EQ(database->decompressed_size(4), 0U);
  auto missing = database->decompressed_size(5);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind(), DatErrorKind::NotFound);
}

}  // namespace
}  // namespace marrowvane_dat
