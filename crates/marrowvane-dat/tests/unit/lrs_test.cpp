// LRS decompression: the token rules, every way a stream can be malformed, and
// round trips through the test kit's compressor and through get_file.
#include <gtest/gtest.h>

#include "marrowvane_dat/dat_database.hpp"
#include "marrowvane_dat/utils.hpp"
#include "marrowvane_dat_testkit/archive_builder.hpp"
#include "marrowvane_dat_testkit/lrs_compressor.hpp"
#include "test_support.hpp"

namespace marrowvane_dat {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes decode(const Bytes& input) {
  return decompress_lrs(input);
}

TEST(Lrs, InputsShorterThanTheSizeFieldComeBackUnchanged) {
  EXPECT_EQ(decode({}), Bytes{});
  EXPECT_EQ(decode({0x01}), Bytes{0x01});
  EXPECT_EQ(decode({0xFF, 0x00}), (Bytes{0xFF, 0x00}));
  EXPECT_EQ(decode({0x03, 0x00, 0x00}), (Bytes{0x03, 0x00, 0x00}));
}

TEST(Lrs, SizeFieldAloneOrSizeZeroGivesNothing) {
  EXPECT_EQ(decode({0x10, 0, 0, 0}), Bytes{});
  EXPECT_EQ(decode({0xFF, 0xFF, 0xFF, 0xFF}), Bytes{});
  EXPECT_EQ(decode({0, 0, 0, 0, 0x00, 0x61, 0x62}), Bytes{});
}

TEST(Lrs, LiteralsAndBackReferencesFollowTheControlBits) {
  EXPECT_EQ(decode({3, 0, 0, 0, 0x00, 0x61, 0x62, 0x63}), (Bytes{0x61, 0x62, 0x63}));
  // A distance shorter than the length repeats: distance 1 repeats the last byte.
  EXPECT_EQ(decode({6, 0, 0, 0, 0x40, 0x61, 0x01, 0x03}), Bytes(6, 0x61));
  // The ninth token needs a fresh control byte.
  EXPECT_EQ(decode({9, 0, 0, 0, 0x00, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x00, 0x69}),
            (Bytes{0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69}));
  // Pattern copy: distance 2, length 4 over "ab".
  EXPECT_EQ(decode({6, 0, 0, 0, 0x20, 0x61, 0x62, 0x02, 0x02}),
            (Bytes{0x61, 0x62, 0x61, 0x62, 0x61, 0x62}));
}

TEST(Lrs, DistanceAndLengthUseTheNibblesOfTheSecondByte) {
  // b1 = 0x34, b2 = 0x12: distance 0x134 (308), length 4.
  Bytes input = {0, 0, 0, 0};
  Bytes expected;
  // 312 literals fill 39 whole groups, so the reference gets a control byte of its own.
  for (int i = 0; i < 312; ++i) {
    if (i % 8 == 0) input.push_back(0x00);
    input.push_back(static_cast<std::uint8_t>(i * 7));
    expected.push_back(static_cast<std::uint8_t>(i * 7));
  }
  input.push_back(0x80);
  input.push_back(0x34);
  input.push_back(0x12);
  for (std::size_t i = 0; i < 4; ++i) expected.push_back(expected[312 - 308 + i]);
  input[0] = static_cast<std::uint8_t>(expected.size());
  input[1] = static_cast<std::uint8_t>(expected.size() >> 8);
  EXPECT_EQ(decode(input), expected);
}

TEST(Lrs, DistanceBeyondTheOutputReadsItsFirstByte) {
  EXPECT_EQ(decode({5, 0, 0, 0, 0x20, 0x61, 0x62, 0x05, 0x01}),
            (Bytes{0x61, 0x62, 0x61, 0x61, 0x61}));
  // Once the output has grown past the distance the copy reads the true byte again.
  EXPECT_EQ(decode({6, 0, 0, 0, 0x20, 0x61, 0x62, 0x03, 0x02}),
            (Bytes{0x61, 0x62, 0x61, 0x61, 0x62, 0x61}));
}

TEST(Lrs, OutputStopsAtTheDeclaredSize) {
  EXPECT_EQ(decode({4, 0, 0, 0, 0x40, 0x61, 0x01, 0x0F}), Bytes(4, 0x61));
  EXPECT_EQ(decode({2, 0, 0, 0, 0x00, 0x61, 0x62, 0x63, 0x64}), (Bytes{0x61, 0x62}));
}

TEST(Lrs, MalformedStreamsEndWithWhatWasDecoded) {
  // Input runs out before the declared size.
  EXPECT_EQ(decode({10, 0, 0, 0, 0x00, 0x61, 0x62}), (Bytes{0x61, 0x62}));
  // A back-reference missing its second byte, or both.
  EXPECT_EQ(decode({5, 0, 0, 0, 0x40, 0x61, 0x01}), Bytes{0x61});
  EXPECT_EQ(decode({5, 0, 0, 0, 0x40, 0x61}), Bytes{0x61});
  // A control byte with no literal after it.
  EXPECT_EQ(decode({5, 0, 0, 0, 0x00}), Bytes{});
  EXPECT_EQ(decode({5, 0, 0, 0, 0x00, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x00}),
            (Bytes{0x61, 0x62, 0x63, 0x64, 0x65}));
  // Distance 0 ends the stream, whatever follows.
  EXPECT_EQ(decode({8, 0, 0, 0, 0x20, 0x61, 0x62, 0x00, 0x05, 0x63}), (Bytes{0x61, 0x62}));
  EXPECT_EQ(decode({8, 0, 0, 0, 0x80, 0x00, 0x0F, 0x63}), Bytes{});
  // A back-reference before any output has nothing to copy: decoding ends.
  EXPECT_EQ(decode({8, 0, 0, 0, 0x80, 0x01, 0x00, 0x61}), Bytes{});
}

TEST(Lrs, HugeDeclaredSizeIsNotReservedUpFront) {
  const Bytes input = {0xFF, 0xFF, 0xFF, 0xFF, 0x40, 0x61, 0x01, 0x0F};
  const Bytes output = decompress_lrs(input);
  EXPECT_EQ(output, Bytes(18, 0x61));
  EXPECT_LT(output.capacity(), 64U);
}

Bytes sample(std::string_view kind, std::size_t size) {
  Bytes out(size);
  std::uint32_t state = 12345;
  for (std::size_t i = 0; i < size; ++i) {
    state = state * 1103515245U + 12345U;
    if (kind == "random") out[i] = static_cast<std::uint8_t>(state >> 16);
    if (kind == "zeros") out[i] = 0;
    if (kind == "periodic") out[i] = static_cast<std::uint8_t>("abcabd"[i % 6]);
    if (kind == "text")
      out[i] =
          static_cast<std::uint8_t>("the quick brown fox jumps "[(i * 7 + (state >> 28)) % 26]);
    if (kind == "mixed")
      out[i] = (i / 5000) % 2 == 0 ? static_cast<std::uint8_t>(state >> 16)
                                   : static_cast<std::uint8_t>(i / 300);
  }
  return out;
}

TEST(Lrs, RoundTripsThroughTheKitCompressor) {
  for (const std::string_view kind : {"random", "zeros", "periodic", "text", "mixed"}) {
    for (const std::size_t size : {0U, 1U, 2U, 17U, 18U, 4095U, 4097U, 100000U}) {
      const Bytes content = sample(kind, size);
      const Bytes packed = testkit::compress_lrs(content);
      EXPECT_EQ(decompress_lrs(packed), content) << kind << " " << size;
    }
  }
}

TEST(Lrs, CompressedEntriesReadBackThroughGetFile) {
  testkit::ArchiveBuilder builder(256);
  std::vector<testkit::FileSpec> files;
  std::uint32_t id = 0x0E000001;
  for (const std::string_view kind : {"random", "zeros", "periodic", "text", "mixed"}) {
    files.push_back({.id = id++, .content = sample(kind, 30000), .compressed = true});
  }
  files.push_back({.id = id++, .content = {}, .compressed = true});
  builder.add_files(files, testkit::ChainLayout::Scattered);
  auto database = test::open_bytes(builder.bytes());
  ASSERT_TRUE(database) << database.error().debug();
  for (const auto& file : files) {
    ASSERT_TRUE(database->files().at(file.id).is_compressed());
    auto content = database->get_file(file.id);
    ASSERT_TRUE(content) << content.error().debug();
    EXPECT_EQ(*content, file.content) << std::hex << file.id;
  }
  // Zeros compress far below their size.
  EXPECT_LT(database->files().at(0x0E000002).size, 30000U / 4);
}

TEST(Lrs, DamagedCompressedPayloadIsReturnedAsDecodedNotAsAnError) {
  testkit::ArchiveBuilder builder;
  // Flagged compressed, but the stored bytes are a stream that stops after two literals.
  builder.add_files(
      {{.id = 7, .content = {50, 0, 0, 0, 0x3F, 0x61, 0x62, 0x00, 0x00}, .extra_flags = 0x1}});
  auto database = test::open_bytes(builder.bytes());
  ASSERT_TRUE(database);
  auto content = database->get_file(7);
  ASSERT_TRUE(content) << content.error().debug();
  EXPECT_EQ(*content, (Bytes{0x61, 0x62}));
}

}  // namespace
}  // namespace marrowvane_dat
