// SPDX-License-Identifier: MIT
// LRS decompression: the token rules, every way a stream can be malformed, round
// trips through the test kit's compressor and through get_file, and the decoder
// against the byte-at-a-time reference on generated and hostile streams.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <string_view>

#include "lrs.hpp"
#include "lrs_reference.hpp"
#include "marrowvane_dat/dat_database.hpp"
#include "marrowvane_dat/utils.hpp"
#include "marrowvane_dat_testkit/archive_builder.hpp"
#include "marrowvane_dat_testkit/lrs_compressor.hpp"
#include "marrowvane_dat_testkit/rng.hpp"
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

// --- The decoder against the reference ---------------------------------------------

using testkit::Rng;

constexpr std::size_t CANARY_SIZE = 32;
constexpr std::uint8_t CANARY = 0xA5;

Bytes with_declared_size(std::uint32_t declared, std::span<const std::uint8_t> body) {
  Bytes stream = {static_cast<std::uint8_t>(declared), static_cast<std::uint8_t>(declared >> 8),
                  static_cast<std::uint8_t>(declared >> 16),
                  static_cast<std::uint8_t>(declared >> 24)};
  stream.insert(stream.end(), body.begin(), body.end());
  return stream;
}

// Decodes `input` into an output of exactly lrs_output_bound bytes with canaries on
// both sides, and through decompress_lrs, and compares both with the reference.
testing::AssertionResult matches_reference(std::span<const std::uint8_t> whole_input) {
  // A copy of exactly the input's size, so that reading past it is caught under ASan.
  const Bytes input(whole_input.begin(), whole_input.end());
  const Bytes expected = test::reference_decompress_lrs(input);
  const std::size_t bound = detail::lrs_output_bound(input);
  if (expected.size() > bound) {
    return testing::AssertionFailure()
           << "bound " << bound << " is below the reference's " << expected.size() << " bytes";
  }
  Bytes buffer(CANARY_SIZE + bound + CANARY_SIZE, CANARY);
  const std::span<std::uint8_t> output(buffer.data() + CANARY_SIZE, bound);
  const std::size_t produced = detail::decompress_lrs_to(input, output);
  if (produced != expected.size()) {
    return testing::AssertionFailure()
           << "produced " << produced << " bytes, the reference " << expected.size();
  }
  const auto [want, got] = std::mismatch(expected.begin(), expected.end(), output.begin());
  if (want != expected.end()) {
    return testing::AssertionFailure()
           << "first difference at byte " << (want - expected.begin()) << " of " << expected.size();
  }
  const auto canary_hit = [](std::uint8_t byte) { return byte != CANARY; };
  const auto after = buffer.begin() + static_cast<std::ptrdiff_t>(CANARY_SIZE + bound);
  if (std::any_of(buffer.begin(), buffer.begin() + CANARY_SIZE, canary_hit) ||
      std::any_of(after, buffer.end(), canary_hit)) {
    return testing::AssertionFailure() << "wrote outside its " << bound << "-byte output";
  }
  if (decompress_lrs(input) != expected) {
    return testing::AssertionFailure() << "decompress_lrs differs from decompress_lrs_to";
  }
  return testing::AssertionSuccess();
}

// Writes token streams the kit's compressor never would: any distance including the
// end marker, any length, anywhere in a group.
class TokenWriter {
 public:
  void literal(std::uint8_t byte) {
    start_token(false);
    body_.push_back(byte);
  }
  // `distance` 0..4095, `length` 2..17.
  void reference(std::size_t distance, std::size_t length) {
    start_token(true);
    body_.push_back(static_cast<std::uint8_t>(distance & 0xFFU));
    body_.push_back(static_cast<std::uint8_t>(((distance >> 8U) << 4U) | (length - 2U)));
  }
  [[nodiscard]] Bytes stream(std::uint32_t declared) const {
    return with_declared_size(declared, body_);
  }

 private:
  void start_token(bool reference) {
    if (tokens_in_group_ == 8) {
      control_at_ = body_.size();
      body_.push_back(0);
      tokens_in_group_ = 0;
    }
    if (reference) {
      body_[control_at_] =
          static_cast<std::uint8_t>(body_[control_at_] | (0x80U >> tokens_in_group_));
    }
    ++tokens_in_group_;
  }

  Bytes body_;
  std::size_t control_at_ = 0;
  unsigned tokens_in_group_ = 8;
};

// Words from a small vocabulary with spaces and line breaks.
Bytes text_like(Rng& rng, std::size_t size) {
  static constexpr std::string_view WORDS[] = {
      "the", "portal", "archive", "block", "of",    "and",    "file",  "node",
      "a",   "header", "glyph",   "font",  "entry", "offset", "table", "surface",
  };
  Bytes out;
  while (out.size() < size) {
    const std::string_view word = WORDS[rng.below(std::size(WORDS))];
    out.insert(out.end(), word.begin(), word.end());
    out.push_back(rng.below(10) == 0 ? '\n' : ' ');
  }
  out.resize(size);
  return out;
}

// Structured binary the way models and textures store it: little-endian records
// built from few distinct values, zero padding, counting indices and runs of pixels.
Bytes asset_like(Rng& rng, std::size_t size) {
  static constexpr std::array<float, 6> NORMALS = {1.0F, -1.0F, 0.0F, 0.5F, -0.5F, 0.25F};
  Bytes out;
  const auto put = [&out](std::uint32_t value, unsigned bytes) {
    for (unsigned i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  };
  std::uint32_t index = 0;
  while (out.size() < size) {
    switch (rng.below(4)) {
      case 0:
        for (std::uint32_t v = rng.below(40); v-- > 0;) {
          for (int axis = 0; axis < 3; ++axis) {
            put(std::bit_cast<std::uint32_t>(static_cast<float>(rng.below(16)) * 0.25F), 4);
          }
          for (int axis = 0; axis < 3; ++axis) {
            put(std::bit_cast<std::uint32_t>(NORMALS[rng.below(NORMALS.size())]), 4);
          }
        }
        break;
      case 1:
        out.insert(out.end(), rng.below(300), 0);
        break;
      case 2:
        for (std::uint32_t t = rng.below(60); t-- > 0; ++index) {
          put(index, 2);
          put(index + 1, 2);
          put(index + 2, 2);
        }
        break;
      default: {
        const std::uint32_t colour = rng.below(4) * 0x3F3F3F3FU | 0xFF000000U;
        for (std::uint32_t p = rng.below(100); p-- > 0;) put(colour, 4);
        break;
      }
    }
  }
  out.resize(size);
  return out;
}

Bytes random_content(Rng& rng, std::size_t size) {
  Bytes out(size);
  for (std::uint8_t& byte : out) byte = rng.byte();
  return out;
}

// A pattern of `period` random bytes repeated, with an occasional stray byte so the
// compressor emits every length and not only its longest.
Bytes periodic(Rng& rng, std::size_t size, std::size_t period) {
  const Bytes pattern = random_content(rng, period);
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) {
    out[i] = rng.below(40) == 0 ? rng.byte() : pattern[i % period];
  }
  return out;
}

TEST(Lrs, DecoderMatchesTheReferenceOnEveryContentKind) {
  Rng rng(1);
  for (const std::size_t size : {0U, 1U, 2U, 17U, 18U, 150U, 1000U, 4095U, 4097U, 9000U}) {
    std::vector<std::pair<std::string, Bytes>> contents = {
        {"text", text_like(rng, size)},
        {"asset", asset_like(rng, size)},
        {"random", random_content(rng, size)},
        {"run", Bytes(size, 0x7E)},
    };
    for (std::size_t period = 1; period <= 17; ++period) {
      contents.emplace_back("period " + std::to_string(period), periodic(rng, size, period));
    }
    for (const auto& [kind, content] : contents) {
      const Bytes packed = testkit::compress_lrs(content);
      ASSERT_EQ(test::reference_decompress_lrs(packed), content) << kind << " " << size;
      EXPECT_TRUE(matches_reference(packed)) << kind << " " << size;
    }
  }
}

TEST(Lrs, EveryShortDistanceAndLengthMatchesTheReference) {
  Rng rng(2);
  TokenWriter writer;
  for (int i = 0; i < 40; ++i) writer.literal(rng.byte());
  // Each pair lands at a random place in its group, after a few fresh literals.
  for (std::size_t distance = 1; distance <= 17; ++distance) {
    for (std::size_t length = 2; length <= 17; ++length) {
      for (std::uint32_t n = rng.below(10); n-- > 0;) writer.literal(rng.byte());
      writer.reference(distance, length);
    }
  }
  // Far distances too, while the window allows them.
  for (int i = 0; i < 400; ++i) {
    writer.reference(1 + rng.below(1500), 2 + rng.below(16));
    if (rng.below(2) == 0) writer.literal(rng.byte());
  }
  const Bytes stream = writer.stream(0xFFFFFFFFU);
  EXPECT_GT(test::reference_decompress_lrs(stream).size(), 5000U);
  EXPECT_TRUE(matches_reference(stream));
}

// Deep in a long stream the decoder runs its fast loop; a reference it cannot judge
// there must come out the same at every place in its group.
TEST(Lrs, OddReferencesDeepInALongStreamMatchTheReference) {
  Rng rng(6);
  for (unsigned place = 0; place < 16; ++place) {
    TokenWriter writer;
    for (int i = 0; i < 200; ++i) writer.literal(rng.byte());
    for (unsigned i = 0; i < place; ++i) writer.literal(rng.byte());
    // Further back than the 200-odd bytes produced: reads the first byte.
    writer.reference(4000, 17);
    for (int i = 0; i < 300; ++i) {
      if (i % 3 == 0) writer.reference(1 + rng.below(150), 2 + rng.below(16));
      writer.literal(rng.byte());
    }
    for (unsigned i = 0; i < place; ++i) writer.literal(rng.byte());
    writer.reference(0, 5);
    for (int i = 0; i < 300; ++i) writer.literal(rng.byte());
    const Bytes stream = writer.stream(0xFFFFFFFFU);
    EXPECT_TRUE(matches_reference(stream)) << "place " << place;
  }
}

// The tokens that take the fast loop closest to its margins: seven references and
// then a literal (the group reading furthest into the input), or eight references
// of 17 bytes, most of them repeating (the group writing furthest into the output).
Bytes edge_heavy_stream(Rng& rng) {
  TokenWriter writer;
  for (int i = 0; i < 16; ++i) writer.literal(rng.byte());
  for (int group = 0; group < 12; ++group) {
    for (int i = 0; i < 7; ++i) writer.reference(1 + rng.below(20), 17);
    if (group % 2 == 0) {
      writer.literal(rng.byte());
    } else {
      writer.reference(1 + rng.below(20), 17);
    }
  }
  return writer.stream(0xFFFFFFFFU);
}

TEST(Lrs, EveryTruncationAndDeclaredSizeMatchesTheReference) {
  Rng rng(3);
  Bytes content = text_like(rng, 1000);
  const Bytes assets = asset_like(rng, 1000);
  content.insert(content.end(), assets.begin(), assets.end());
  for (const Bytes& stream : {testkit::compress_lrs(content), edge_heavy_stream(rng)}) {
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
      ASSERT_TRUE(matches_reference(std::span(stream).first(cut))) << "cut at " << cut;
    }
    const std::size_t produced = test::reference_decompress_lrs(stream).size();
    const std::span<const std::uint8_t> body = std::span(stream).subspan(4);
    for (std::uint32_t declared = 0; declared <= produced + 40; ++declared) {
      ASSERT_TRUE(matches_reference(with_declared_size(declared, body))) << "declared " << declared;
    }
    for (const std::uint32_t declared : {0x7FFFFFFFU, 0x80000000U, 0xFFFFFFFFU}) {
      EXPECT_TRUE(matches_reference(with_declared_size(declared, body))) << "declared " << declared;
    }
  }
}

// Mostly plausible streams with the hostile cases mixed in at random: end markers,
// references before any output or past its start, cut-off tokens, and declared
// sizes below, at, above and far above what the tokens produce.
TEST(Lrs, RandomTokenStreamsMatchTheReference) {
  Rng rng(4);
  for (int round = 0; round < 20000; ++round) {
    Bytes stream;
    if (rng.below(10) == 0) {
      stream = random_content(rng, rng.below(400));
    } else {
      TokenWriter writer;
      std::size_t produced = 0;
      for (std::uint32_t tokens = rng.below(200); tokens-- > 0;) {
        if (rng.below(3) != 0) {
          writer.literal(rng.below(2) == 0 ? rng.byte()
                                           : static_cast<std::uint8_t>('a' + rng.below(4)));
          ++produced;
          continue;
        }
        const std::size_t length = 2 + rng.below(16);
        const std::uint32_t pick = rng.below(400);
        std::size_t distance = 0;
        if (pick == 0) {
          distance = 0;
        } else if (pick < 8 || produced == 0) {
          distance = produced + 1 + rng.below(4095);
        } else if (pick < 200) {
          distance = 1 + rng.below(static_cast<std::uint32_t>(std::min<std::size_t>(produced, 20)));
        } else {
          distance =
              1 + rng.below(static_cast<std::uint32_t>(std::min<std::size_t>(produced, 4095)));
        }
        writer.reference(std::min<std::size_t>(distance, 4095), length);
        produced += length;
      }
      std::uint32_t declared = 0;
      switch (rng.below(4)) {
        case 0:
          declared = static_cast<std::uint32_t>(produced);
          break;
        case 1:
          declared = rng.below(static_cast<std::uint32_t>(produced) + 1);
          break;
        case 2:
          declared = static_cast<std::uint32_t>(produced) + rng.below(100);
          break;
        default:
          declared = 0xFFFFFFFFU - rng.below(2);
          break;
      }
      stream = writer.stream(declared);
      if (rng.below(4) == 0)
        stream.resize(rng.below(static_cast<std::uint32_t>(stream.size()) + 1));
    }
    ASSERT_TRUE(matches_reference(stream)) << "round " << round;
  }
}

TEST(Lrs, OutputBoundIsTheDeclaredSizeCappedByWhatTheTokensCanProduce) {
  EXPECT_EQ(detail::lrs_output_bound(Bytes{}), 0U);
  EXPECT_EQ(detail::lrs_output_bound(Bytes{9, 9, 9}), 3U);
  EXPECT_EQ(detail::lrs_output_bound(Bytes{0, 0, 0, 0, 0x40, 0x61, 0x01, 0x0F}), 0U);
  EXPECT_EQ(detail::lrs_output_bound(Bytes{5, 0, 0, 0, 0x40, 0x61, 0x01, 0x0F}), 5U);
  // Four token bytes: at most a control byte, a literal and one 17-byte copy.
  EXPECT_EQ(detail::lrs_output_bound(Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x40, 0x61, 0x01, 0x0F}), 35U);
  EXPECT_EQ(detail::lrs_output_bound(Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x40}), 1U);
}

TEST(Lrs, DecodingIntoASmallerOutputStopsWhenItIsFull) {
  Rng rng(5);
  const Bytes content = asset_like(rng, 600);
  const Bytes packed = testkit::compress_lrs(content);
  for (std::size_t size = 0; size <= content.size(); ++size) {
    Bytes buffer(size + CANARY_SIZE, CANARY);
    ASSERT_EQ(detail::decompress_lrs_to(packed, std::span(buffer).first(size)), size);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(size),
                           content.begin()))
        << size;
    EXPECT_EQ(Bytes(buffer.begin() + static_cast<std::ptrdiff_t>(size), buffer.end()),
              Bytes(CANARY_SIZE, CANARY))
        << size;
  }
  // Inputs shorter than the size field are copied, as far as the output goes.
  std::array<std::uint8_t, 2> two{};
  EXPECT_EQ(detail::decompress_lrs_to(Bytes{1, 2, 3}, two), 2U);
  EXPECT_EQ(two, (std::array<std::uint8_t, 2>{1, 2}));
}

}  // namespace
}  // namespace marrowvane_dat
