// SPDX-License-Identifier: MIT
// Every way of opening an archive reads every chain exactly as the plain block-by-block
// walk does, on intact and on damaged chains alike: same bytes, same errors.
#include <algorithm>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "marrowvane_dat/dat_database.hpp"
#include "marrowvane_dat_testkit/archive_builder.hpp"
#include "marrowvane_dat_testkit/rng.hpp"
#include "test_support.hpp"

namespace marrowvane_dat {
namespace {

using testkit::ArchiveBuilder;
using testkit::ChainLayout;
using testkit::Rng;
using Bytes = std::vector<std::uint8_t>;

// What reading a chain should give, worked out from the image alone.
struct Expected {
  bool ok = false;
  Bytes bytes;
  DatErrorKind kind = DatErrorKind::Other;
  // The offsets of the blocks the walk passed through.
  std::vector<std::uint32_t> blocks;
};

Expected success(Bytes bytes) {
  return {true, std::move(bytes), DatErrorKind::Other, {}};
}
Expected failure(DatErrorKind kind) {
  return {false, {}, kind, {}};
}

// The plain walk: per block read the link, then the payload (block_size - 4 bytes, or
// everything still missing when the link is 0); a chain of more blocks than the
// archive holds (length / block_size + 1) has looped. `bounded` false models a source
// that cannot tell its length.
Expected reference_read(const Bytes& image, std::uint32_t block_size, std::uint32_t offset,
                        std::uint32_t size, bool bounded = true) {
  if (size == 0) return success({});
  if (block_size <= 4) return failure(DatErrorKind::Corruption);
  const std::uint64_t max_blocks =
      bounded ? image.size() / block_size + 1 : std::numeric_limits<std::uint64_t>::max();
  Bytes out;
  std::vector<std::uint32_t> blocks;
  std::uint64_t remaining = size;
  std::uint64_t current = offset;
  for (std::uint64_t visited = 0; remaining > 0; ++visited) {
    blocks.push_back(static_cast<std::uint32_t>(current));
    if (visited == max_blocks) return failure(DatErrorKind::Corruption);
    if (current + 4 > image.size()) return failure(DatErrorKind::Io);
    std::uint32_t next = 0;
    for (int i = 3; i >= 0; --i) next = (next << 8) | image[current + static_cast<unsigned>(i)];
    const std::uint64_t take =
        next != 0 ? std::min<std::uint64_t>(remaining, block_size - 4) : remaining;
    if (current + 4 + take > image.size()) return failure(DatErrorKind::Io);
    out.insert(out.end(), image.begin() + static_cast<std::ptrdiff_t>(current + 4),
               image.begin() + static_cast<std::ptrdiff_t>(current + 4 + take));
    remaining -= take;
    current = next;
  }
  Expected read = success(std::move(out));
  read.blocks = std::move(blocks);
  return read;
}

// A source that can only read exactly, so the library's default vectored read (one
// read per piece) is what serves it.
class PiecewiseSource final : public ArchiveSource {
 public:
  PiecewiseSource(Bytes bytes, bool tells_size) : inner_(std::move(bytes)), tells_(tells_size) {}
  [[nodiscard]] std::expected<void, IoError> read_exact_at(std::span<std::uint8_t> buf,
                                                           std::uint64_t offset) const override {
    return inner_.read_exact_at(buf, offset);
  }
  [[nodiscard]] std::optional<std::uint64_t> size_hint() const noexcept override {
    return tells_ ? inner_.size_hint() : std::nullopt;
  }

 private:
  MemorySource inner_;
  bool tells_;
};

// One image opened through every kind of source.
class EverySource {
 public:
  explicit EverySource(const Bytes& image) : image_(image), file_(image_) {
    for (const std::string_view source : test::EVERY_SOURCE) {
      add(std::string(source), test::open_as(source, image_, file_));
    }
    add("vectored double", DatDatabase::open(std::make_unique<test::RecordingSource>(
                               image_, nullptr, test::RecordingSource::Fault{})));
    add("piecewise", DatDatabase::open(std::make_unique<PiecewiseSource>(image_, true)));
    add("sizeless", DatDatabase::open(std::make_unique<PiecewiseSource>(image_, false)));
  }

  // Checks read_file_data(offset, size) from every source against the plain walk.
  void check(std::uint32_t offset, std::uint32_t size) const {
    const std::uint32_t block_size = databases_.front().second.header().block_size;
    const Expected bounded = reference_read(image_, block_size, offset, size, true);
    for (const auto& [name, database] : databases_) {
      // Without a length there is no loop bound: a looping chain with a size it will
      // never gather is not worth following to the end here.
      if (name == "sizeless" && size > (std::uint32_t{1} << 20)) continue;
      const Expected want =
          name == "sizeless" ? reference_read(image_, block_size, offset, size, false) : bounded;
      SCOPED_TRACE(name + " block size " + std::to_string(block_size) + " offset " +
                   std::to_string(offset) + " size " + std::to_string(size));
      auto got = database.read_file_data(offset, size);
      ASSERT_EQ(got.has_value(), want.ok) << (got ? "" : got.error().debug());
      if (want.ok) {
        EXPECT_TRUE(*got == want.bytes);
        continue;
      }
      EXPECT_EQ(got.error().kind(), want.kind) << got.error().debug();
      if (want.kind == DatErrorKind::Io) {
        EXPECT_EQ(got.error().to_string(), "IO error: failed to fill whole buffer");
      } else {
        char start[16];
        std::snprintf(start, sizeof start, "0x%08X", offset);
        EXPECT_NE(got.error().to_string().find(start), std::string::npos)
            << got.error().to_string();
      }
    }
  }

  // Checks block_offsets(id) from every source that knows its length against the plain
  // walk of the entry's chain: the same blocks, or the same kind of error.
  void check_blocks(std::uint32_t id, std::uint32_t offset, std::uint32_t size) const {
    const std::uint32_t block_size = databases_.front().second.header().block_size;
    const Expected want = reference_read(image_, block_size, offset, size, true);
    for (const auto& [name, database] : databases_) {
      // Without a length the walk cannot tell whether payloads lie within the archive.
      if (name == "sizeless") continue;
      SCOPED_TRACE(name + " block offsets of " + std::to_string(id));
      auto got = database.block_offsets(id);
      ASSERT_EQ(got.has_value(), want.ok) << (got ? "" : got.error().debug());
      if (want.ok) {
        EXPECT_EQ(*got, want.blocks);
      } else {
        EXPECT_EQ(got.error().kind(), want.kind) << got.error().debug();
      }
    }
  }

  [[nodiscard]] std::size_t opened() const noexcept { return databases_.size(); }

 private:
  void add(std::string name, Result<DatDatabase> database) {
    ASSERT_TRUE(database) << name << ": " << database.error().debug();
    databases_.emplace_back(std::move(name), std::move(*database));
  }

  Bytes image_;
  test::TempFile file_;
  std::vector<std::pair<std::string, DatDatabase>> databases_;
};

Bytes random_bytes(Rng& rng, std::size_t size) {
  Bytes out(size);
  for (auto& byte : out) byte = rng.byte();
  return out;
}

struct Chain {
  std::uint32_t offset;
  std::uint32_t size;
};

// A test-kit archive of random chains, a fifth of them then damaged: a link cut to 0,
// pointed back at an earlier block or at itself, sent past the end of the file or to
// an offset that is not a block start.
void check_random_archive(std::uint32_t block_size, std::uint64_t seed) {
  Rng rng(seed);
  ArchiveBuilder builder(block_size);
  std::vector<Chain> chains;
  const std::uint32_t payload = block_size > 4 ? block_size - 4 : 1;
  const std::uint32_t max_size = std::min<std::uint32_t>(payload * 24, 40000);
  for (int i = 0; i < 12; ++i) {
    const std::uint32_t size = rng.below(max_size) + 1;
    const auto layout = rng.below(2) == 0 ? ChainLayout::Contiguous : ChainLayout::Scattered;
    chains.push_back({builder.write_chain(random_bytes(rng, size), layout), size});
  }
  const std::uint32_t end = static_cast<std::uint32_t>(builder.size());
  for (Chain& chain : chains) {
    if (rng.below(5) != 0) continue;
    const std::uint32_t target = chain.offset;
    switch (rng.below(5)) {
      case 0:
        builder.patch_u32(target, 0);
        break;
      case 1:
        builder.patch_u32(target, target);
        break;
      case 2:
        builder.patch_u32(target,
                          chains[rng.below(static_cast<std::uint32_t>(chains.size()))].offset);
        break;
      case 3:
        builder.patch_u32(target, end + rng.below(4 * block_size));
        break;
      default:
        builder.patch_u32(target, 0x400 + rng.below(end - 0x400));
        break;
    }
    // Damaged chains are also asked for more than they hold.
    chain.size += rng.below(3 * block_size);
  }
  // Every chain an entry too, for the walks that only follow links.
  std::vector<DatFileEntry> entries;
  for (std::size_t i = 0; i < chains.size(); ++i) {
    entries.push_back({.id = 0x06000001 + static_cast<std::uint32_t>(i),
                       .offset = chains[i].offset,
                       .size = chains[i].size});
  }
  builder.build_directory(entries);
  const Bytes image = builder.bytes();
  const EverySource sources(image);
  ASSERT_EQ(sources.opened(), 7U);
  for (const Chain& chain : chains) {
    sources.check(chain.offset, chain.size);
    sources.check(chain.offset, rng.below(chain.size) + 1);
  }
  for (const DatFileEntry& e : entries) {
    sources.check_blocks(e.id, e.offset, e.size);
  }
  // Anywhere at all, including inside blocks and past the end.
  for (int i = 0; i < 20; ++i) {
    sources.check(rng.below(end + 2 * block_size), rng.below(3 * payload) + 1);
  }
  // Sizes no chain in the archive can reach, and the largest size there is.
  sources.check(chains.front().offset, end * 3);
  sources.check(chains.front().offset, 0xFFFFFFFF);
}

TEST(ChainReading, EverySourceAgreesWithTheBlockByBlockWalk) {
  for (const std::uint32_t block_size : {5U, 16U, 63U, 64U, 256U, 1024U}) {
    for (std::uint64_t seed = 1; seed <= 6; ++seed) {
      SCOPED_TRACE("block size " + std::to_string(block_size) + " seed " + std::to_string(seed));
      check_random_archive(block_size, seed * 7919 + block_size);
    }
  }
}

// Chains longer than one read serves: a fresh result is gathered over several runs,
// one of which ends where a link jumps into the middle of another chain; blocks larger
// than a whole run; a last block that runs on past its own end.
TEST(ChainReading, LongChainsReadOverSeveralRunsAgreeWithTheWalk) {
  Rng rng(11);
  for (const std::uint32_t block_size : {1024U, 300000U}) {
    SCOPED_TRACE("block size " + std::to_string(block_size));
    ArchiveBuilder builder(block_size);
    const std::uint32_t first =
        builder.write_chain(random_bytes(rng, 1500000), ChainLayout::Contiguous);
    const std::uint32_t second =
        builder.write_chain(random_bytes(rng, 900000), ChainLayout::Contiguous);
    const std::uint32_t first_blocks = 1500000 / (block_size - 4);
    const std::uint32_t second_blocks = 900000 / (block_size - 4);
    builder.patch_u32(std::uint64_t{first} + first_blocks / 2 * block_size,
                      second + second_blocks / 3 * block_size);
    const EverySource sources(builder.bytes());
    sources.check(second, 900000);
    sources.check(second, 900000 + 5000);
    sources.check(first, 1500000);
    sources.check(first + block_size, 1100000);
  }
}

// The shapes behind the looping-chain fault: a small archive whose entry declares far
// more than it holds over a block that links to itself used to be followed until the
// size was gathered, demanding gigabytes. It now ends at the archive's worth of blocks.
TEST(ChainReading, SelfLinkedBlockWithAHugeSizeIsCorruptionNamingTheChain) {
  for (const std::uint32_t block_size : {5U, 256U, 1024U}) {
    ArchiveBuilder builder(block_size);
    const std::uint32_t offset = builder.write_chain(Bytes(block_size - 4, 0xAB));
    builder.patch_u32(offset, offset);
    builder.build_directory({DatFileEntry{.id = 0x06000001, .offset = offset, .size = 0xFFFFFFFF}});
    const EverySource sources(builder.bytes());
    sources.check(offset, 0xFFFFFFFF);
    auto database = test::open_bytes(builder.bytes());
    ASSERT_TRUE(database);
    auto file = database->get_file(0x06000001);
    ASSERT_FALSE(file);
    char start[16];
    std::snprintf(start, sizeof start, "0x%08X", offset);
    EXPECT_EQ(file.error().kind(), DatErrorKind::Corruption);
    EXPECT_NE(file.error().to_string().find(std::string("starting at offset ") + start),
              std::string::npos)
        << file.error().to_string();
  }
}

// Blocks need not start on the block grid: eight 1 KiB blocks 8 bytes apart, each
// linking to the next, make a chain of distinct blocks that overlap, which would let a
// small archive hold a file as large as the square of its length. It is refused like a
// loop, and the message claims neither cause.
TEST(ChainReading, ChainOfOverlappingBlocksIsRefusedNamingBothCauses) {
  Bytes image = ArchiveBuilder(1024).bytes();
  image.resize(4096);
  for (std::uint32_t k = 0; k < 8; ++k) {
    const std::uint32_t next = 0x208 + 8 * k;
    for (std::uint32_t i = 0; i < 4; ++i) {
      image[0x200 + 8 * k + i] = static_cast<std::uint8_t>(next >> (8 * i));
    }
  }
  const EverySource sources(image);
  sources.check(0x200, 6120);
  auto database = test::open_bytes(image);
  ASSERT_TRUE(database);
  auto read = database->read_file_data(0x200, 6120);
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().to_string(),
            "Corruption detected: block chain starting at offset 0x00000200 passes through "
            "more than 5 blocks, more than the archive holds on its block grid; its links "
            "loop or its blocks overlap");
}

TEST(ChainReading, LoopThatGathersItsSizeWithinTheBoundReadsAsBefore) {
  ArchiveBuilder builder(256);
  const Bytes data = Bytes(252, 0x11);
  const std::uint32_t offset = builder.write_chain(data);
  builder.patch_u32(offset, offset);
  builder.align_to_block();
  const Bytes image = builder.bytes();
  const std::uint64_t bound = image.size() / 256 + 1;
  const EverySource sources(image);
  // Exactly the archive's worth of blocks is still read; one block more is refused.
  sources.check(offset, static_cast<std::uint32_t>(bound * 252));
  sources.check(offset, static_cast<std::uint32_t>(bound * 252 + 1));
  auto database = test::open_bytes(image);
  ASSERT_TRUE(database);
  auto within = database->read_file_data(offset, static_cast<std::uint32_t>(bound * 252));
  ASSERT_TRUE(within) << within.error().debug();
  EXPECT_EQ(*within, Bytes(bound * 252, 0x11));
}

TEST(ChainReading, NoReadReturnsMoreThanTwiceTheArchive) {
  Rng rng(42);
  for (const std::uint32_t block_size : {5U, 64U, 1024U}) {
    ArchiveBuilder builder(block_size);
    std::vector<std::uint32_t> offsets;
    for (int i = 0; i < 8; ++i) {
      offsets.push_back(builder.write_chain(random_bytes(rng, block_size * 3)));
    }
    // Every first block links to a random other first block: chains that never end.
    for (const std::uint32_t offset : offsets) {
      builder.patch_u32(offset, offsets[rng.below(static_cast<std::uint32_t>(offsets.size()))]);
    }
    const Bytes image = builder.bytes();
    auto database = test::open_bytes(image);
    ASSERT_TRUE(database);
    for (const std::uint32_t offset : offsets) {
      for (std::uint64_t size = 1; size < 0x100000000ULL; size = size * 3 + 1) {
        auto read = database->read_file_data(offset, static_cast<std::uint32_t>(size));
        if (read) {
          EXPECT_LE(read->size(), 2 * image.size());
        } else {
          EXPECT_EQ(read.error().kind(), DatErrorKind::Corruption) << read.error().debug();
        }
      }
    }
  }
}

TEST(ChainReading, ReusedBufferTakesEachFileWhole) {
  ArchiveBuilder builder;
  Rng rng(3);
  std::vector<testkit::FileSpec> files;
  for (std::uint32_t i = 0; i < 40; ++i) {
    files.push_back({.id = 0x06000000 + i,
                     .content = random_bytes(rng, rng.below(9000)),
                     .compressed = i % 3 == 0});
  }
  // Largest first, so later files land in a buffer longer than they are.
  std::sort(files.begin(), files.end(),
            [](const auto& a, const auto& b) { return a.content.size() > b.content.size(); });
  files.push_back({.id = 0x0F000000, .content = {}, .extra_flags = DatFileEntry::COMPRESSED_FLAG});
  builder.add_files(files, ChainLayout::Scattered);
  files.pop_back();
  auto database = test::open_bytes(builder.bytes());
  ASSERT_TRUE(database);
  Bytes buffer;
  for (const auto& file : files) {
    ASSERT_TRUE(database->get_file_into(file.id, buffer)) << file.id;
    EXPECT_EQ(buffer, file.content) << file.id;
  }
  const std::size_t capacity = buffer.capacity();
  EXPECT_FALSE(database->get_file_into(0x01000000, buffer));
  // Nothing stored under the compressed flag decompresses to nothing.
  ASSERT_TRUE(database->get_file_into(0x0F000000, buffer));
  EXPECT_TRUE(buffer.empty());
  EXPECT_EQ(database->get_file(0x0F000000), Bytes{});
  ASSERT_TRUE(database->get_file_into(files.back().id, buffer));
  EXPECT_EQ(buffer, files.back().content);
  EXPECT_EQ(buffer.capacity(), capacity);
}

TEST(ChainReading, CallersMemoryOfTheDecompressedSizeTakesEachFile) {
  ArchiveBuilder builder;
  Rng rng(8);
  std::vector<testkit::FileSpec> files;
  for (std::uint32_t i = 0; i < 30; ++i) {
    Bytes content(rng.below(6000));
    for (auto& byte : content) byte = static_cast<std::uint8_t>(rng.below(3));
    files.push_back(
        {.id = 0x06000000 + i, .content = std::move(content), .compressed = i % 2 == 0});
  }
  builder.add_files(files, ChainLayout::Scattered);
  const Bytes image = builder.bytes();
  test::TempFile file(image);
  std::vector<Result<DatDatabase>> databases;
  databases.push_back(DatDatabase::open(file.path()));
  databases.push_back(DatDatabase::open_borrowed(image));
  for (const auto& database : databases) {
    ASSERT_TRUE(database);
    for (const auto& wanted : files) {
      auto size = database->decompressed_size(wanted.id);
      ASSERT_TRUE(size);
      // Exactly the size, with guard bytes after it that must stay untouched.
      Bytes room(*size + 16, 0xEE);
      auto written = database->get_file_to(wanted.id, std::span(room).first(*size));
      ASSERT_TRUE(written) << written.error().debug();
      EXPECT_EQ(Bytes(room.begin(), room.begin() + static_cast<std::ptrdiff_t>(*written)),
                wanted.content);
      EXPECT_EQ(Bytes(room.end() - 16, room.end()), Bytes(16, 0xEE));
      if (*size > 0) {
        auto short_room = database->get_file_to(wanted.id, std::span(room).first(*size - 1));
        ASSERT_FALSE(short_room);
        EXPECT_EQ(short_room.error().kind(), DatErrorKind::Other);
      }
    }
    Bytes room(10);
    EXPECT_EQ(database->get_file_to(0x01000000, room).error().kind(), DatErrorKind::NotFound);
  }
}

}  // namespace
}  // namespace marrowvane_dat
