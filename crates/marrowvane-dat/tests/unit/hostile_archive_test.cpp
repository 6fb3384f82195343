// SPDX-License-Identifier: MIT
// Damaged and hostile archives must end in a DatError, never a crash, a hang or a
// huge allocation.
#include <algorithm>

#include <gtest/gtest.h>

#include "marrowvane_dat/dat_database.hpp"
#include "marrowvane_dat_testkit/archive_builder.hpp"
#include "marrowvane_dat_testkit/hostile.hpp"
#include "test_support.hpp"

namespace marrowvane_dat {
namespace {

using testkit::ArchiveBuilder;
using testkit::ChainLayout;
using testkit::FileSpec;

std::vector<FileSpec> mixed_files(std::size_t count) {
  std::vector<FileSpec> files;
  std::uint32_t state = 99;
  for (std::size_t i = 0; i < count; ++i) {
    state = state * 1664525U + 1013904223U;
    FileSpec file;
    file.id = (static_cast<std::uint32_t>(i % 7 + 1) << 24) | static_cast<std::uint32_t>(i);
    file.content.resize(state % 5000);
    for (std::size_t j = 0; j < file.content.size(); ++j) {
      file.content[j] = static_cast<std::uint8_t>((j / (1 + state % 9)) ^ (state >> 24));
    }
    file.compressed = i % 3 == 0;
    files.push_back(std::move(file));
  }
  return files;
}

// A directory whose nodes overlap: over one run of 8-byte blocks, each linking to the
// next, every 63rd block starts a node whose 1,716 bytes span 429 blocks and whose one
// child is the node 63 blocks on. Each block is read by about seven nodes, so opening
// would cost several times what reading the archive once does; a sound directory's
// nodes never share a block, and this one is refused once its nodes have passed
// through more blocks than the archive holds.
TEST(HostileArchive, DirectoryOfOverlappingNodesIsRefusedWithinOneArchiveOfBlocks) {
  constexpr std::uint32_t BLOCK = 8;
  constexpr std::uint32_t PERIOD = 63;
  constexpr std::uint32_t RAIL = PERIOD * 40;
  std::vector<std::uint8_t> image = ArchiveBuilder(BLOCK).bytes();
  const auto base = static_cast<std::uint32_t>((image.size() + BLOCK - 1) / BLOCK * BLOCK);
  image.resize(base + std::size_t{RAIL} * BLOCK);
  const auto put = [&](std::size_t at, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) {
      image[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
  };
  for (std::uint32_t i = 0; i < RAIL; ++i) {
    const std::uint32_t at = base + i * BLOCK;
    put(at, at + BLOCK);
    // Word 0 of a node (its first branch) names the next node; the rest are 0, so the
    // entry count (word 62) is 0 too.
    put(at + 4, i % PERIOD == 0 ? base + (i + PERIOD) * BLOCK : 0);
  }
  put(DatHeader::OFFSET + 8 * 4, base);  // root_offset
  // From memory, and from a source that reads (and so walks through windows).
  for (const bool reads : {false, true}) {
    auto opened = reads ? DatDatabase::open(std::make_unique<test::RecordingSource>(image, nullptr))
                        : test::open_bytes(image);
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error().kind(), DatErrorKind::Corruption);
    EXPECT_NE(opened.error().to_string().find("directory nodes pass through more than"),
              std::string::npos)
        << opened.error().to_string();
  }
}

TEST(HostileArchive, HugeDeclaredSizeFailsAtTheEndOfTheFile) {
  for (const std::uint32_t size : {0xFFFFFFFFU, 0x80000000U, 0x10000000U}) {
    ArchiveBuilder builder;
    const std::uint32_t offset = builder.write_chain(std::vector<std::uint8_t>(100, 1));
    builder.build_directory({DatFileEntry{.id = 0x06000001, .offset = offset, .size = size}});
    auto database = test::open_bytes(builder.bytes());
    ASSERT_TRUE(database);
    auto file = database->get_file(0x06000001);
    ASSERT_FALSE(file);
    EXPECT_EQ(file.error().to_string(), "IO error: failed to fill whole buffer");
  }
}

TEST(HostileArchive, RootOutsideTheFileIsIo) {
  for (const std::uint32_t root : {0xFFFFFFFFU, 0x7FFFFFF0U, 0xFFFFFFFCU}) {
    ArchiveBuilder builder;
    builder.header().root_offset = root;
    auto database = test::open_bytes(builder.bytes());
    ASSERT_FALSE(database);
    EXPECT_EQ(database.error().kind(), DatErrorKind::Io) << root;
  }
}

TEST(HostileArchive, NodeChainThatLoopsOnItselfStillEnds) {
  ArchiveBuilder builder;
  testkit::NodeSpec node;
  node.entry_count = 1;
  node.entries = {DatFileEntry{.id = 9}};
  const std::uint32_t root = builder.write_node(node);
  builder.patch_u32(root, root);  // the node's first block links to itself
  builder.header().root_offset = root;
  auto database = test::open_bytes(builder.bytes());
  // The node's second half repeats its first block, which still ends the walk.
  ASSERT_TRUE(database) << database.error().debug();
  EXPECT_EQ(database->files().size(), 1U);
}

TEST(HostileArchive, TruncatedAtAnyBlockGivesAnErrorOrAnOpenArchive) {
  ArchiveBuilder builder;
  builder.add_files(mixed_files(300), ChainLayout::Scattered);
  const std::vector<std::uint8_t> full = builder.bytes();
  for (std::size_t cut = 0; cut < full.size(); cut += 997) {
    std::vector<std::uint8_t> image(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cut));
    auto database = test::open_bytes(std::move(image));
    if (!database) {
      const DatErrorKind kind = database.error().kind();
      EXPECT_TRUE(kind == DatErrorKind::Io || kind == DatErrorKind::BinRead)
          << database.error().debug();
      continue;
    }
    for (const auto& [id, entry] : database->files()) {
      auto file = database->get_file(id);
      if (!file) {
        EXPECT_EQ(file.error().kind(), DatErrorKind::Io);
      }
    }
  }
}

TEST(HostileArchive, RandomByteDamageNeverEscapesAsAnything) {
  ArchiveBuilder builder;
  builder.add_files(mixed_files(200));
  const std::vector<std::uint8_t> good = builder.bytes();
  std::uint32_t state = 7;
  const auto next = [&state] { return state = state * 1664525U + 1013904223U; };
  for (int round = 0; round < 300; ++round) {
    std::vector<std::uint8_t> image = good;
    const int flips = 1 + static_cast<int>(next() % 6);
    for (int i = 0; i < flips; ++i) {
      // Half the damage lands in the header and first nodes, where it matters most.
      const std::size_t at = next() % 2 == 0 ? 0x140 + next() % 0x2000 : next() % image.size();
      image[at % image.size()] = static_cast<std::uint8_t>(next() >> 24);
    }
    auto database = test::open_bytes(std::move(image));
    if (!database) continue;
    for (const auto& [id, entry] : database->files()) {
      auto file = database->get_file(id);
      if (!file) {
        const DatErrorKind kind = file.error().kind();
        EXPECT_TRUE(kind == DatErrorKind::Io || kind == DatErrorKind::Corruption)
            << file.error().debug();
      }
    }
  }
}

// Block size 5 leaves one byte of data per block, so a 1716-byte directory node spans
// 1716 blocks. Read block by block that cost two reads per block; the whole open must
// now take a handful of reads per node, whatever the source.
TEST(HostileArchive, TinyBlocksDoNotCostAReadPerBlock) {
  ArchiveBuilder builder(5);
  std::vector<DatFileEntry> entries;
  for (std::uint32_t i = 0; i < 400; ++i) {
    entries.push_back(DatFileEntry{.id = 0x06000000 + i, .offset = 0x190, .size = 1});
  }
  builder.build_directory(entries);
  const std::vector<std::uint8_t> image = builder.bytes();
  ASSERT_LT(image.size(), 128U * 1024);
  std::vector<test::RecordingSource::Read> reads;
  auto database = DatDatabase::open(std::make_unique<test::RecordingSource>(image, &reads));
  ASSERT_TRUE(database) << database.error().debug();
  ASSERT_EQ(database->files().size(), 400U);
  const std::size_t nodes = (400 + 60) / 61 + 1;
  EXPECT_LE(reads.size(), 1 + 2 * nodes);  // the header, then the nodes
  for (const auto& e : database->entries()) {
    reads.clear();
    ASSERT_TRUE(database->get_file(e.id));
    EXPECT_LE(reads.size(), 2U);
  }
}

// A directory over tiny blocks in scattered chains once cost a read per block or two
// when opened through a descriptor; such an archive is now read once and walked in
// memory, which must give what walking the file gives: the same entries, and for every
// kind of damage the same error, from every source.
TEST(HostileArchive, TinyBlockDirectoriesOpenFromOneReadWithTheSameOutcome) {
  const std::vector<std::uint8_t> image = testkit::tiny_block_directory(64 << 10).bytes();
  std::vector<test::RecordingSource::Read> reads;
  auto recorded = DatDatabase::open(std::make_unique<test::RecordingSource>(image, &reads));
  ASSERT_TRUE(recorded) << recorded.error().debug();
  EXPECT_LE(reads.size(), 2U);  // the header, then the whole archive

  std::vector<std::vector<std::uint8_t>> damaged{image};
  damaged.emplace_back(image.begin(),
                       image.begin() + static_cast<std::ptrdiff_t>(image.size() / 2));
  auto root_loops = image;
  // The root node's first block links to itself: the node is one byte repeated.
  const std::uint32_t root = recorded->header().root_offset;
  for (unsigned i = 0; i < 4; ++i)
    root_loops[root + i] = static_cast<std::uint8_t>(root >> (8 * i));
  damaged.push_back(std::move(root_loops));
  for (const auto& bytes : damaged) {
    const test::TempFile file(bytes);
    std::string first;
    for (const std::string_view source : test::EVERY_SOURCE) {
      auto database = test::open_as(source, bytes, file);
      const std::string outcome = database ? std::to_string(database->files().size()) + " entries"
                                           : database.error().to_string();
      if (source == test::EVERY_SOURCE[0]) {
        first = outcome;
      }
      EXPECT_EQ(outcome, first) << source << ", " << bytes.size() << " bytes";
    }
  }
}

// A scattered chain of tiny blocks spread wider than one window leaves the window at
// almost every block. Each such jump once refilled a whole 64 KiB window, so reading a
// fragmented chain of a few megabytes through a descriptor moved gigabytes; now a jump
// costs one small read, and a run of adjacent blocks still shares one read.
TEST(HostileArchive, ScatteredTinyBlocksCostASmallReadPerBlock) {
  ArchiveBuilder builder(5);
  std::vector<std::uint8_t> content(20000);
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i * 7);
  const DatFileEntry scattered =
      builder.add_file(FileSpec{.id = 0x06000001, .content = content}, ChainLayout::Scattered);
  const DatFileEntry contiguous = builder.add_file(FileSpec{.id = 0x06000002, .content = content});
  builder.build_directory({scattered, contiguous});
  std::vector<test::RecordingSource::Read> reads;
  auto database =
      DatDatabase::open(std::make_unique<test::RecordingSource>(builder.bytes(), &reads));
  ASSERT_TRUE(database) << database.error().debug();

  const std::size_t blocks = content.size();
  reads.clear();
  auto file = database->get_file(0x06000001);
  ASSERT_TRUE(file) << file.error().debug();
  EXPECT_EQ(*file, content);
  std::uint64_t moved = 0;
  for (const auto& read : reads) moved += read.size;
  EXPECT_LE(reads.size(), blocks);
  EXPECT_LE(moved, 64 * 1024 + blocks * 1024);

  reads.clear();
  file = database->get_file(0x06000002);
  ASSERT_TRUE(file) << file.error().debug();
  EXPECT_EQ(*file, content);
  EXPECT_LE(reads.size(), 1 + 5 * blocks / (64 * 1024));
}

// Many entries sharing one chain whose first block links to itself, each declaring the
// largest size there is: once each read demanded gigabytes; now each stops after the
// archive's worth of blocks.
TEST(HostileArchive, EntriesSharingALoopingChainEachFailQuickly) {
  ArchiveBuilder builder;
  const std::uint32_t loop = builder.write_chain(std::vector<std::uint8_t>(1020, 7));
  builder.patch_u32(loop, loop);
  std::vector<DatFileEntry> entries;
  for (std::uint32_t i = 0; i < 61; ++i) {
    entries.push_back(DatFileEntry{.id = 0x06000000 + i, .offset = loop, .size = 0xFFFFFFFF});
  }
  builder.build_directory(entries);
  const std::vector<std::uint8_t> image = builder.bytes();
  std::vector<test::RecordingSource::Read> reads;
  auto database = DatDatabase::open(std::make_unique<test::RecordingSource>(image, &reads));
  ASSERT_TRUE(database);
  reads.clear();
  for (const auto& e : database->entries()) {
    auto file = database->get_file(e.id);
    ASSERT_FALSE(file);
    EXPECT_EQ(file.error().kind(), DatErrorKind::Corruption) << file.error().debug();
  }
  const std::size_t blocks = image.size() / 1024 + 1;
  EXPECT_LE(reads.size(), 61 * blocks);
  for (const auto& read : reads) EXPECT_LE(read.size, image.size());
}

}  // namespace
}  // namespace marrowvane_dat
