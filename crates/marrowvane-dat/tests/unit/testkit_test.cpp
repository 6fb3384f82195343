// SPDX-License-Identifier: MIT
// The test kit itself: the compressor round-trips within the format's limits, fonts
// encode as the reader expects, and built archives open exactly as they were built.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <numeric>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "marrowvane_dat/archive_source.hpp"
#include "marrowvane_dat/binary_reader.hpp"
#include "marrowvane_dat/dat_database.hpp"
#include "marrowvane_dat/file_type/font.hpp"
#include "marrowvane_dat/utils.hpp"
#include "marrowvane_dat_testkit/archive_builder.hpp"
#include "marrowvane_dat_testkit/font_writer.hpp"
#include "marrowvane_dat_testkit/lrs_compressor.hpp"

namespace marrowvane_dat {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testkit::ArchiveBuilder;
using testkit::ChainLayout;
using testkit::compress_lrs;

Result<DatDatabase> open_bytes(Bytes bytes) {
  return DatDatabase::open(std::make_unique<MemorySource>(std::move(bytes)));
}

// Deterministic filler, independent of anything in the kit.
Bytes noise(std::size_t size, std::uint32_t seed) {
  Bytes out(size);
  std::uint32_t x = seed | 1U;
  for (std::uint8_t& b : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<std::uint8_t>(x >> 24);
  }
  return out;
}

Bytes text(std::size_t size) {
  static constexpr std::string_view WORDS =
      "It was a bright cold day in the valley, and the gate of the old keep stood open. ";
  Bytes out;
  out.reserve(size);
  for (std::size_t i = 0; out.size() < size; ++i) {
    out.push_back(static_cast<std::uint8_t>(WORDS[(i * 7 + i / WORDS.size()) % WORDS.size()]));
  }
  return out;
}

std::uint32_t u32_at(std::span<const std::uint8_t> bytes, std::size_t at) {
  return load_le<std::uint32_t>(bytes.subspan(at).first<4>());
}

// Decodes the stream token by token on its own, refusing anything the compressor
// must never emit: end markers, distances reaching before the output or past
// 4095, copies past the declared size, bytes after the last token.
::testing::AssertionResult well_formed_stream(std::span<const std::uint8_t> stream,
                                              const Bytes& expected) {
  if (stream.size() < 4) {
    return ::testing::AssertionFailure() << "no size field";
  }
  const std::size_t declared = u32_at(stream, 0);
  if (declared != expected.size()) {
    return ::testing::AssertionFailure() << "declared size " << declared;
  }
  Bytes out;
  std::size_t pos = 4;
  while (out.size() < declared) {
    if (pos >= stream.size()) {
      return ::testing::AssertionFailure() << "stream ends at output " << out.size();
    }
    const unsigned control = stream[pos++];
    unsigned bit = 0;
    for (; bit < 8 && out.size() < declared; ++bit) {
      if ((control & (0x80U >> bit)) == 0) {
        if (pos >= stream.size()) {
          return ::testing::AssertionFailure() << "literal missing at output " << out.size();
        }
        out.push_back(stream[pos++]);
        continue;
      }
      if (pos + 2 > stream.size()) {
        return ::testing::AssertionFailure() << "back-reference cut at output " << out.size();
      }
      const std::size_t b1 = stream[pos];
      const std::size_t b2 = stream[pos + 1];
      pos += 2;
      const std::size_t distance = b1 | ((b2 & 0xF0U) << 4);
      const std::size_t length = (b2 & 0x0FU) + 2;
      if (distance == 0 || distance > 4095 || distance > out.size()) {
        return ::testing::AssertionFailure()
               << "distance " << distance << " at output " << out.size();
      }
      if (out.size() + length > declared) {
        return ::testing::AssertionFailure() << "copy of " << length << " passes the end";
      }
      for (std::size_t i = 0; i < length; ++i) {
        out.push_back(out[out.size() - distance]);
      }
    }
    // Flags for tokens that do not exist stay clear.
    if ((control & ((0x100U >> bit) - 1)) != 0) {
      return ::testing::AssertionFailure() << "flags set past the last token";
    }
  }
  if (pos != stream.size()) {
    return ::testing::AssertionFailure() << (stream.size() - pos) << " bytes after the last token";
  }
  if (out != expected) {
    return ::testing::AssertionFailure() << "decodes to different bytes";
  }
  return ::testing::AssertionSuccess();
}

TEST(LrsCompressor, RoundTripsAndStaysWithinTheFormat) {
  Bytes period_4095 = noise(4095, 7);
  Bytes period_4096 = noise(4096, 8);
  for (int i = 0; i < 3; ++i) {
    period_4095.insert(period_4095.end(), period_4095.begin(), period_4095.begin() + 4095);
    period_4096.insert(period_4096.end(), period_4096.begin(), period_4096.begin() + 4096);
  }
  Bytes mixed = noise(1000, 3);
  for (int i = 0; i < 40; ++i) {
    mixed.insert(mixed.end(), static_cast<std::size_t>(i) * 5, static_cast<std::uint8_t>(i));
    const Bytes chunk = text(static_cast<std::size_t>(i) * 37);
    mixed.insert(mixed.end(), chunk.begin(), chunk.end());
  }
  Bytes alternating;
  for (int i = 0; i < 999; ++i) alternating.push_back(i % 2 == 0 ? 'x' : 'y');
  Bytes all_bytes(256 * 40);
  std::iota(all_bytes.begin(), all_bytes.end(), std::uint8_t{0});

  const std::vector<std::pair<std::string, Bytes>> cases = {
      {"empty", {}},
      {"one byte", {0x5A}},
      {"two equal bytes", {0x11, 0x11}},
      {"three equal bytes", {0x11, 0x11, 0x11}},
      {"run of 20", Bytes(20, 0)},
      {"run of 100000", Bytes(100000, 0xAB)},
      {"two-byte pattern", alternating},
      {"random", noise(50000, 1)},
      {"text", text(60000)},
      {"period 4095", period_4095},
      {"period 4096", period_4096},
      {"counting bytes", all_bytes},
      {"mixed", mixed},
  };
  for (const auto& [name, content] : cases) {
    SCOPED_TRACE(name);
    const Bytes stream = compress_lrs(content);
    EXPECT_TRUE(well_formed_stream(stream, content));
    EXPECT_EQ(decompress_lrs(stream), content);
  }
}

TEST(LrsCompressor, ThreeMebibytesRoundTrip) {
  Bytes content;
  content.reserve(3U << 20);
  for (std::uint32_t part = 0; content.size() < (3U << 20); ++part) {
    const Bytes chunk = part % 3 == 0 ? noise(30000, part) : text(40000 + part);
    content.insert(content.end(), chunk.begin(), chunk.end());
  }
  content.resize(3U << 20);
  const Bytes stream = compress_lrs(content);
  EXPECT_LT(stream.size(), content.size());
  EXPECT_TRUE(well_formed_stream(stream, content));
  EXPECT_EQ(decompress_lrs(stream), content);
}

TEST(LrsCompressor, RepetitiveDataShrinks) {
  // A run costs two bytes per 17 plus a control byte per eight tokens.
  EXPECT_LT(compress_lrs(Bytes(65536, 0)).size(), 65536U / 7);
  EXPECT_LT(compress_lrs(text(100000)).size(), 100000U / 2);
  // Incompressible data costs a control byte per eight literals, no more.
  EXPECT_LE(compress_lrs(noise(8000, 5)).size(), 4U + 8000 + 1000);
}

TEST(LrsCompressor, GreedyLongestMatchStreams) {
  // a b c as literals, then distance 3 length 6 (the copy overlaps what it makes).
  EXPECT_EQ(compress_lrs(Bytes{'a', 'b', 'c', 'a', 'b', 'c', 'a', 'b', 'c'}),
            (Bytes{0x09, 0, 0, 0, 0x10, 'a', 'b', 'c', 0x03, 0x04}));
  // One literal, the longest copy (17), then the last two bytes.
  EXPECT_EQ(compress_lrs(Bytes(20, 0)), (Bytes{0x14, 0, 0, 0, 0x60, 0x00, 0x01, 0x0F, 0x01, 0x00}));
  // Eight tokens fill a control byte; the ninth gets a fresh one.
  EXPECT_EQ(compress_lrs(Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9}),
            (Bytes{0x09, 0, 0, 0, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 0x00, 9}));
  // A match 4095 back is taken; 4096 back is out of reach.
  Bytes far = noise(4095, 11);
  far.push_back(far[0]);
  far.push_back(far[1]);
  const Bytes far_stream = compress_lrs(far);
  EXPECT_EQ(Bytes(far_stream.end() - 2, far_stream.end()), (Bytes{0xFF, 0xF0}));
  Bytes too_far = noise(4096, 11);
  too_far.push_back(too_far[0]);
  too_far.push_back(too_far[1]);
  EXPECT_TRUE(well_formed_stream(compress_lrs(too_far), too_far));
}

TEST(FontWriter, DescriptorAndRecordHaveTheStoredLayout) {
  const FontCharDesc a{.unicode = 0x41,
                       .offset_x = 16,
                       .offset_y = 32,
                       .width = 8,
                       .height = 12,
                       .horizontal_offset_before = -1,
                       .horizontal_offset_after = 1,
                       .vertical_offset_before = -2};
  EXPECT_EQ(testkit::encode_char_desc(a),
            (Bytes{0x41, 0x00, 0x10, 0x00, 0x20, 0x00, 0x08, 0x0C, 0xFF, 0x01, 0xFE}));

  Font font;
  font.id = 0x40000012;
  font.max_char_height = 16;
  font.max_char_width = 9;
  font.char_descs = {a};
  font.num_horizontal_border_pixels = 1;
  font.num_vertical_border_pixels = 2;
  font.baseline_offset = -2;
  font.foreground_surface_data_id = 0x06001234;
  font.background_surface_data_id = 0x06005678;
  EXPECT_EQ(testkit::encode_font(font),
            (Bytes{0x12, 0x00, 0x00, 0x40, 0x10, 0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00,
                   0x01, 0x00, 0x00, 0x00, 0x41, 0x00, 0x10, 0x00, 0x20, 0x00, 0x08, 0x0C,
                   0xFF, 0x01, 0xFE, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0xFE,
                   0xFF, 0xFF, 0xFF, 0x34, 0x12, 0x00, 0x06, 0x78, 0x56, 0x00, 0x06}));
}

TEST(FontWriter, MadeFontsArePlausibleAndReadBackUnchanged) {
  for (const std::uint32_t glyphs : {0U, 1U, 95U, 256U}) {
    SCOPED_TRACE(glyphs);
    const Font font = testkit::make_font(0x40000007, glyphs);
    EXPECT_EQ(font.id, 0x40000007U);
    EXPECT_NE(font.max_char_height, 0U);
    EXPECT_NE(font.max_char_width, 0U);
    ASSERT_EQ(font.char_descs.size(), glyphs);
    for (std::uint32_t i = 0; i < glyphs; ++i) {
      const FontCharDesc& g = font.char_descs[i];
      EXPECT_EQ(g.unicode, 0x20 + i);
      EXPECT_GT(g.width, 0);
      EXPECT_LE(g.width, font.max_char_width);
      EXPECT_LE(g.height, font.max_char_height);
    }

    const Bytes record = testkit::encode_font(font);
    ASSERT_EQ(record.size(), 36U + 11U * glyphs);
    Cursor cursor(record);
    const auto read = Font::read(cursor);
    ASSERT_TRUE(read) << read.error().to_string();
    EXPECT_EQ(*read, font);
    EXPECT_EQ(cursor.position(), record.size());
  }
}

TEST(ArchiveBuilder, HeaderDefaultsAndPlacement) {
  ArchiveBuilder builder;
  const std::uint32_t first = builder.write_chain(Bytes{1, 2, 3});
  EXPECT_EQ(first, 0x400U);
  const Bytes image = builder.bytes();
  ASSERT_EQ(image.size(), 0x800U);
  EXPECT_TRUE(std::all_of(image.begin(), image.begin() + 0x140, [](auto b) { return b == 0; }));

  Cursor cursor(image);
  cursor.seek(DatHeader::OFFSET);
  const auto header = DatHeader::read(cursor);
  ASSERT_TRUE(header) << header.error().to_string();
  DatHeader expected;
  expected.magic = 0x5442;
  expected.block_size = 1024;
  expected.dataset = 1;
  expected.file_size = 0x800;
  EXPECT_EQ(*header, expected);
  EXPECT_EQ(header->dat_kind(), DatKind::Portal);

  // The first block starts at the first multiple of the block size past 0x190.
  for (const auto& [block_size, start, kind] :
       {std::tuple{256U, 0x200U, DatKind::Cell}, std::tuple{4096U, 0x1000U, DatKind::Local},
        std::tuple{100U, 0x190U, DatKind::Local}}) {
    ArchiveBuilder other(block_size);
    EXPECT_EQ(other.write_chain(Bytes{}), start) << block_size;
    EXPECT_EQ(other.header().dat_kind(), kind) << block_size;
  }
}

TEST(ArchiveBuilder, KnobsAndPatchesReachTheImage) {
  ArchiveBuilder builder;
  builder.header().file_size = 0xDEADBEEF;
  builder.header().version_string = {'v', '1', 0, 'x'};
  builder.header().game_version = 0x0102;
  // A patch over the header is the last word, even over the signature knob.
  builder.patch_bytes(0x140, Bytes{0x42, 0x54, 0x01, 0x00});
  builder.patch_u32(0x1000, 0xA1B2C3D4);
  ASSERT_EQ(builder.size(), 0x1004U);
  const Bytes image = builder.bytes();
  ASSERT_EQ(image.size(), 0x1004U);
  EXPECT_EQ(u32_at(image, 0x140), 0x15442U);
  EXPECT_EQ(u32_at(image, 0x148), 0xDEADBEEFU);
  EXPECT_EQ(u32_at(image, 0x178), 0x0102U);
  EXPECT_EQ(Bytes(image.begin() + 0x17C, image.begin() + 0x18C),
            (Bytes{'v', '1', 0, 'x', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(u32_at(image, 0x1000), 0xA1B2C3D4U);

  const std::uint32_t raw = builder.append_raw(Bytes{9, 8, 7});
  EXPECT_EQ(raw, 0x1004U);
  // A chain after unaligned raw bytes still starts on a block boundary.
  EXPECT_EQ(builder.write_chain(Bytes{1}), 0x1400U);
}

// The blocks of a chain, first to last, as the image links them.
std::vector<std::uint32_t> chain_blocks(const Bytes& image, std::uint32_t first) {
  std::vector<std::uint32_t> blocks;
  for (std::uint32_t at = first; at != 0 && blocks.size() < 10000; at = u32_at(image, at)) {
    blocks.push_back(at);
  }
  return blocks;
}

TEST(ArchiveBuilder, ChainsReadBackInEitherLayout) {
  for (const std::uint32_t block_size : {1024U, 256U}) {
    const std::size_t payload = block_size - 4;
    for (const std::size_t size :
         {std::size_t{0}, std::size_t{1}, payload, payload + 1, 7 * payload + 3}) {
      for (const ChainLayout layout : {ChainLayout::Contiguous, ChainLayout::Scattered}) {
        SCOPED_TRACE(::testing::Message()
                     << block_size << " " << size << " " << (layout == ChainLayout::Scattered));
        ArchiveBuilder builder(block_size);
        const Bytes data = noise(size, static_cast<std::uint32_t>(size + block_size));
        const std::uint64_t before = builder.size();
        const std::uint32_t first = builder.write_chain(data, layout);
        const Bytes image = builder.bytes();

        const std::vector<std::uint32_t> blocks = chain_blocks(image, first);
        EXPECT_EQ(blocks.size(), std::max<std::size_t>(1, (size + payload - 1) / payload));
        for (const std::uint32_t at : blocks) {
          EXPECT_EQ(at % block_size, 0U);
          EXPECT_GE(at, before);
          EXPECT_LE(at + block_size, image.size());
        }
        // Payload beyond the data is zero.
        const std::uint32_t last = blocks.back();
        const std::size_t used_in_last = size - (blocks.size() - 1) * payload;
        EXPECT_TRUE(
            std::all_of(image.begin() + last + 4 + static_cast<std::ptrdiff_t>(used_in_last),
                        image.begin() + last + block_size, [](auto b) { return b == 0; }));
        if (layout == ChainLayout::Scattered && blocks.size() > 1) {
          EXPECT_FALSE(std::is_sorted(blocks.begin(), blocks.end()));
          for (std::size_t i = 1; i < blocks.size(); ++i) {
            const std::uint32_t gap =
                blocks[i] > blocks[i - 1] ? blocks[i] - blocks[i - 1] : blocks[i - 1] - blocks[i];
            EXPECT_GT(gap, block_size);
          }
        }

        auto database = open_bytes(image);
        ASSERT_TRUE(database) << database.error().to_string();
        const auto read = database->read_file_data(first, static_cast<std::uint32_t>(size));
        ASSERT_TRUE(read) << read.error().to_string();
        EXPECT_EQ(*read, data);
      }
    }
  }
}

TEST(ArchiveBuilder, AddFileStoresFlagsAndCompressedBytes) {
  ArchiveBuilder builder;
  const Bytes content = text(5000);
  const DatFileEntry packed = builder.add_file({.id = 0x06000001,
                                                .content = content,
                                                .compressed = true,
                                                .extra_flags = 0x20000,
                                                .timestamp = 77,
                                                .version = 3},
                                               ChainLayout::Scattered);
  const DatFileEntry plain = builder.add_file({.id = 0x06000002, .content = content});
  // Bit 0 is the caller's to set, to flag plain bytes as compressed.
  const DatFileEntry lying = builder.add_file(
      {.id = 0x06000003, .content = content, .compressed = false, .extra_flags = 0x1});
  EXPECT_EQ(packed.bit_flags, 0x20001U);
  EXPECT_EQ(packed.timestamp, 77U);
  EXPECT_EQ(packed.version, 3U);
  EXPECT_LT(packed.size, content.size());
  EXPECT_EQ(plain.bit_flags, 0U);
  EXPECT_EQ(plain.size, content.size());
  EXPECT_EQ(lying.bit_flags, 1U);
  EXPECT_EQ(lying.size, content.size());

  builder.build_directory({packed, plain, lying});
  auto database = open_bytes(builder.bytes());
  ASSERT_TRUE(database) << database.error().to_string();
  const auto stored = database->read_file_data(packed.offset, packed.size);
  ASSERT_TRUE(stored);
  EXPECT_EQ(*stored, compress_lrs(content));
  for (const std::uint32_t id : {0x06000001U, 0x06000002U}) {
    const auto got = database->get_file(id);
    ASSERT_TRUE(got) << got.error().to_string();
    EXPECT_EQ(*got, content);
  }
}

std::vector<testkit::FileSpec> many_files(std::size_t count) {
  std::vector<testkit::FileSpec> files;
  for (std::size_t i = 0; i < count; ++i) {
    testkit::FileSpec file;
    // Ids out of order, so the builder has to sort them.
    file.id = 0x01000000U + static_cast<std::uint32_t>((i * 7919) % 100003);
    file.content = noise(i % 300, static_cast<std::uint32_t>(i));
    file.compressed = i % 3 == 0;
    file.timestamp = static_cast<std::uint32_t>(i);
    files.push_back(std::move(file));
  }
  return files;
}

TEST(ArchiveBuilder, DirectoriesOfAnySizeOpenAsBuilt) {
  for (const std::size_t count : {0U, 1U, 61U, 62U, 3000U}) {
    SCOPED_TRACE(count);
    ArchiveBuilder builder;
    const auto files = many_files(count);
    const std::uint32_t root =
        builder.add_files(files, count == 62 ? ChainLayout::Scattered : ChainLayout::Contiguous);
    EXPECT_EQ(builder.header().root_offset, root);
    EXPECT_EQ(root == 0, count == 0);

    auto database = open_bytes(builder.bytes());
    ASSERT_TRUE(database) << database.error().to_string();
    ASSERT_EQ(database->files().size(), count);
    for (std::size_t i = 0; i < count; ++i) {
      const auto found = database->files().find(files[i].id);
      ASSERT_NE(found, database->files().end()) << files[i].id;
      EXPECT_EQ(found->second.timestamp, files[i].timestamp);
      EXPECT_EQ(found->second.is_compressed(), files[i].compressed);
      if (i % 97 == 0) {
        const auto content = database->get_file(files[i].id);
        ASSERT_TRUE(content) << content.error().to_string();
        EXPECT_EQ(*content, files[i].content);
      }
    }
  }
}

struct TreeShape {
  std::vector<std::uint32_t> ids_in_order;
  std::vector<std::size_t> leaf_depths;
  std::size_t nodes = 0;
};

// Walks the tree in key order, checking every node's own invariants on the way.
void walk(const DatDatabase& database, std::uint32_t offset, std::size_t depth, TreeShape& shape) {
  ++shape.nodes;
  const auto node = database.read_file_data(offset, DatDirectoryNode::SIZE);
  ASSERT_TRUE(node) << node.error().to_string();
  Cursor cursor(*node);
  std::uint32_t branches[DatDirectoryNode::BRANCH_COUNT];
  for (std::uint32_t& branch : branches) branch = *cursor.read_u32();
  const std::uint32_t count = *cursor.read_u32();
  ASSERT_GE(count, 1U) << "empty node at " << offset;
  ASSERT_LE(count, 61U);
  std::vector<std::uint32_t> ids;
  for (std::uint32_t i = 0; i < count; ++i) ids.push_back(DatFileEntry::read(cursor)->id);

  if (branches[0] == 0) {
    EXPECT_TRUE(
        std::all_of(std::begin(branches), std::end(branches), [](auto b) { return b == 0; }));
    shape.leaf_depths.push_back(depth);
    shape.ids_in_order.insert(shape.ids_in_order.end(), ids.begin(), ids.end());
    return;
  }
  for (std::size_t slot = 0; slot < DatDirectoryNode::BRANCH_COUNT; ++slot) {
    EXPECT_EQ(branches[slot] != 0, slot <= count) << "slot " << slot << " of node " << offset;
  }
  for (std::uint32_t slot = 0; slot <= count; ++slot) {
    walk(database, branches[slot], depth + 1, shape);
    if (slot < count) shape.ids_in_order.push_back(ids[slot]);
  }
}

TEST(ArchiveBuilder, LargeDirectoriesAreBalancedMultiLevelTrees) {
  // One leaf holds 61 entries; two levels hold 61 + 62 * 61 = 3843.
  for (const auto& [count, depth] : {std::pair{62U, 1U}, std::pair{3000U, 1U}, std::pair{3843U, 1U},
                                     std::pair{3844U, 2U}, std::pair{20000U, 2U}}) {
    SCOPED_TRACE(count);
    std::vector<DatFileEntry> entries;
    for (std::uint32_t i = 0; i < count; ++i) {
      entries.push_back({.bit_flags = 0,
                         .id = (i * 2654435761U) ^ 0x5A5A5A5AU,
                         .offset = 0x400,
                         .size = 0,
                         .timestamp = 0,
                         .version = 0});
    }
    ArchiveBuilder builder;
    const std::uint32_t root = builder.build_directory(entries, ChainLayout::Scattered);
    auto database = open_bytes(builder.bytes());
    ASSERT_TRUE(database) << database.error().to_string();
    EXPECT_EQ(database->files().size(), count);

    TreeShape shape;
    walk(*database, root, 0, shape);
    ASSERT_FALSE(shape.leaf_depths.empty());
    EXPECT_GT(shape.nodes, 1U);
    EXPECT_TRUE(std::all_of(shape.leaf_depths.begin(), shape.leaf_depths.end(),
                            [depth = depth](std::size_t d) { return d == depth; }));
    std::vector<std::uint32_t> sorted_ids;
    for (const DatFileEntry& e : entries) sorted_ids.push_back(e.id);
    std::sort(sorted_ids.begin(), sorted_ids.end());
    EXPECT_EQ(shape.ids_in_order, sorted_ids);
  }
}

TEST(ArchiveBuilder, NodeSpecIsWrittenAsGiven) {
  ArchiveBuilder builder;
  testkit::NodeSpec given;
  given.branches[0] = 0x12345678;
  given.branches[61] = 0x9ABCDEF0;
  given.entry_count = 0xFFFFFFFF;
  for (std::uint32_t i = 0; i < 70; ++i) given.entries.push_back({.id = i + 1});
  const std::uint32_t offset = builder.write_node(given);
  const Bytes image = builder.bytes();
  auto database = open_bytes(image);
  ASSERT_TRUE(database);
  const auto node = database->read_file_data(offset, DatDirectoryNode::SIZE);
  ASSERT_TRUE(node);
  EXPECT_EQ(u32_at(*node, 0), 0x12345678U);
  EXPECT_EQ(u32_at(*node, 61 * 4), 0x9ABCDEF0U);
  EXPECT_EQ(u32_at(*node, 248), 0xFFFFFFFFU);
  // Only 61 entries fit; the 61st (id 61) ends the node.
  EXPECT_EQ(u32_at(*node, 252 + 4), 1U);
  EXPECT_EQ(u32_at(*node, 252 + 60 * 24 + 4), 61U);
}

}  // namespace
}  // namespace marrowvane_dat
