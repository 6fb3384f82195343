// SPDX-License-Identifier: MIT
// Loading the directory tree: node shapes, slot rules, duplicates, damaged trees.
#include <algorithm>
#include <map>

#include <gtest/gtest.h>

#include "marrowvane_dat/dat_database.hpp"
#include "marrowvane_dat_testkit/archive_builder.hpp"
#include "test_support.hpp"

namespace marrowvane_dat {
namespace {

using test::open_bytes;
using testkit::ArchiveBuilder;
using testkit::NodeSpec;

DatFileEntry entry(std::uint32_t id, std::uint32_t marker = 0) {
  return DatFileEntry{
      .bit_flags = 0, .id = id, .offset = 0x1000, .size = 10, .timestamp = marker, .version = 1};
}

NodeSpec node(std::vector<DatFileEntry> entries, std::vector<std::uint32_t> children = {}) {
  NodeSpec result;
  result.entry_count = static_cast<std::uint32_t>(entries.size());
  result.entries = std::move(entries);
  std::copy(children.begin(), children.end(), result.branches.begin());
  return result;
}

std::map<std::uint32_t, std::uint32_t> markers(const DatDatabase& database) {
  std::map<std::uint32_t, std::uint32_t> out;
  for (const auto& [id, e] : database.files()) out[id] = e.timestamp;
  return out;
}

// An offset no archive here reaches: reading a node there fails.
constexpr std::uint32_t NOWHERE = 0x7FFF0000;

TEST(Directory, RootNodeWithoutEntriesOrChildrenIsEmpty) {
  ArchiveBuilder builder;
  builder.header().root_offset = builder.write_node(node({}));
  auto database = open_bytes(builder.bytes());
  ASSERT_TRUE(database) << database.error().debug();
  EXPECT_TRUE(database->files().empty());
}

TEST(Directory, LeafIsDecidedBySlotZeroAlone) {
  ArchiveBuilder builder;
  NodeSpec root = node({entry(1), entry(2)});
  root.branches[1] = NOWHERE;
  root.branches[2] = NOWHERE;
  builder.header().root_offset = builder.write_node(root);
  auto database = open_bytes(builder.bytes());
  ASSERT_TRUE(database) << database.error().debug();
  EXPECT_EQ(database->files().size(), 2U);
}

TEST(Directory, OnlyTheFirstEntryCountPlusOneSlotsAreVisited) {
  ArchiveBuilder builder;
  const std::uint32_t a = builder.write_node(node({entry(10)}));
  const std::uint32_t c = builder.write_node(node({entry(30)}));
  NodeSpec root = node({entry(20), entry(40)}, {a, 0, c, NOWHERE});
  root.branches[61] = NOWHERE;
  builder.header().root_offset = builder.write_node(root);
  auto database = open_bytes(builder.bytes());
  ASSERT_TRUE(database) << database.error().debug();
  EXPECT_EQ(markers(*database).size(), 4U);
  EXPECT_TRUE(database->files().contains(10));
  EXPECT_TRUE(database->files().contains(30));
}

TEST(Directory, InnerNodeWithoutEntriesReadsOnlySlotZero) {
  ArchiveBuilder builder;
  const std::uint32_t child = builder.write_node(node({entry(5)}));
  builder.header().root_offset = builder.write_node(node({}, {child, NOWHERE}));
  auto database = open_bytes(builder.bytes());
  ASSERT_TRUE(database) << database.error().debug();
  EXPECT_EQ(database->files().size(), 1U);
}

TEST(Directory, SixtyOneEntriesFillANodeExactly) {
  std::vector<DatFileEntry> entries;
  for (std::uint32_t id = 1; id <= 61; ++id) entries.push_back(entry(id * 3, id));
  ArchiveBuilder builder;
  builder.header().root_offset = builder.write_node(node(entries));
  auto database = open_bytes(builder.bytes());
  ASSERT_TRUE(database) << database.error().debug();
  ASSERT_EQ(database->files().size(), 61U);
  EXPECT_EQ(database->files().at(183), entries.back());
}

TEST(Directory, EntryCountBeyondTheNodeFailsOnTheSixtySecondEntry) {
  for (const std::uint32_t count : {62U, 63U, 1000U, 0xFFFFFFFFU}) {
    ArchiveBuilder builder;
    NodeSpec root = node({entry(1)});
    root.entry_count = count;
    builder.header().root_offset = builder.write_node(root);
    auto database = open_bytes(builder.bytes());
    ASSERT_FALSE(database) << count;
    EXPECT_EQ(database.error().to_string(),
              "Binary read error: failed to fill whole buffer; While parsing field 'bit_flags' in "
              "DatFileEntry")
        << count;
  }
}

TEST(Directory, SlotsBeyondTheEntriesAreNeverRead) {
  ArchiveBuilder builder;
  NodeSpec root = node({entry(1), entry(2), entry(3)});
  // Slot garbage after the counted entries must not turn into entries.
  for (std::uint32_t i = 0; i < 10; ++i) root.entries.push_back(entry(100 + i));
  root.entry_count = 3;
  builder.header().root_offset = builder.write_node(root);
  auto database = open_bytes(builder.bytes());
  ASSERT_TRUE(database) << database.error().debug();
  EXPECT_EQ(database->files().size(), 3U);
}

TEST(Directory, LaterEntriesInWalkOrderReplaceEarlierOnes) {
  ArchiveBuilder builder;
  // Walk order: root, first child, its child, second child.
  const std::uint32_t grandchild = builder.write_node(node({entry(7, 3), entry(8, 3)}));
  const std::uint32_t first = builder.write_node(node({entry(7, 2), entry(9, 2)}, {grandchild}));
  const std::uint32_t second = builder.write_node(node({entry(8, 4)}));
  builder.header().root_offset =
      builder.write_node(node({entry(7, 1), entry(9, 1), entry(6, 1)}, {first, second}));
  auto database = open_bytes(builder.bytes());
  ASSERT_TRUE(database) << database.error().debug();
  const std::map<std::uint32_t, std::uint32_t> expected{{6, 1}, {7, 3}, {8, 4}, {9, 2}};
  EXPECT_EQ(markers(*database), expected);
}

TEST(Directory, DuplicateInsideOneNodeKeepsTheLastEntry) {
  ArchiveBuilder builder;
  builder.header().root_offset = builder.write_node(node({entry(5, 1), entry(5, 2)}));
  auto database = open_bytes(builder.bytes());
  ASSERT_TRUE(database);
  EXPECT_EQ(database->files().at(5).timestamp, 2U);
}

TEST(Directory, BuiltTreesOfEveryShapeLoadEveryEntry) {
  for (const std::uint32_t block_size : {1024U, 256U}) {
    for (const std::size_t count : {1U, 60U, 61U, 62U, 123U, 3000U}) {
      std::vector<DatFileEntry> entries;
      for (std::size_t i = 0; i < count; ++i) {
        entries.push_back(entry(static_cast<std::uint32_t>(0x06000000 + i * 7919 % 100000),
                                static_cast<std::uint32_t>(i)));
      }
      std::map<std::uint32_t, DatFileEntry> expected;
      for (const auto& e : entries) expected.insert_or_assign(e.id, e);
      ArchiveBuilder builder(block_size);
      builder.build_directory(entries);
      auto database = open_bytes(builder.bytes());
      ASSERT_TRUE(database) << database.error().debug();
      ASSERT_EQ(database->files().size(), expected.size()) << count;
      for (const auto& [id, e] : expected) EXPECT_EQ(database->files().at(id), e);
    }
  }
}

TEST(Directory, UnreadableChildFailsTheWholeOpen) {
  ArchiveBuilder builder;
  builder.header().root_offset = builder.write_node(node({entry(1)}, {NOWHERE}));
  auto database = open_bytes(builder.bytes());
  ASSERT_FALSE(database);
  EXPECT_EQ(database.error().to_string(), "IO error: failed to fill whole buffer");
}

TEST(Directory, NodeThatLeadsBackToItselfIsCorruption) {
  ArchiveBuilder builder;
  const std::uint32_t root = builder.write_node(node({entry(1)}));
  builder.patch_u32(root + 4, root);  // slot 0 of the node's first block payload
  builder.header().root_offset = root;
  auto database = open_bytes(builder.bytes());
  ASSERT_FALSE(database);
  EXPECT_EQ(database.error().kind(), DatErrorKind::Corruption) << database.error().debug();
}

TEST(Directory, ChildThatLeadsBackToAnAncestorIsCorruption) {
  ArchiveBuilder builder;
  const std::uint32_t leaf = builder.write_node(node({entry(3)}));
  const std::uint32_t child = builder.write_node(node({entry(2)}, {leaf}));
  const std::uint32_t root = builder.write_node(node({entry(1)}, {child}));
  builder.patch_u32(leaf + 4, root);
  builder.header().root_offset = root;
  auto database = open_bytes(builder.bytes());
  ASSERT_FALSE(database);
  EXPECT_EQ(
      database.error().to_string(), "Corruption detected: directory node at offset 0x" + [&] {
        char text[9];
        std::snprintf(text, sizeof text, "%08X", root);
        return std::string(text);
      }() + " is reached more than once; the directory is not a tree");
}

TEST(Directory, ChildSharedByTwoSlotsIsCorruption) {
  ArchiveBuilder builder;
  const std::uint32_t shared = builder.write_node(node({entry(2)}));
  builder.header().root_offset = builder.write_node(node({entry(1)}, {shared, shared}));
  auto database = open_bytes(builder.bytes());
  ASSERT_FALSE(database);
  EXPECT_EQ(database.error().kind(), DatErrorKind::Corruption) << database.error().debug();
}

TEST(Directory, DeepTreeLoadsEveryLevel) {
  ArchiveBuilder builder(256);
  std::uint32_t below = 0;
  constexpr std::uint32_t DEPTH = 5000;
  for (std::uint32_t level = 0; level < DEPTH; ++level) {
    below = builder.write_node(node({entry(level)}, {below}));
  }
  builder.header().root_offset = below;
  auto database = open_bytes(builder.bytes());
  ASSERT_TRUE(database) << database.error().debug();
  EXPECT_EQ(database->files().size(), DEPTH);
}

// Enough entries that the map is sorted by radix, shuffled and with repeats, walked in
// an order the test knows: the map must equal an ordered map filled in that order.
TEST(DatFileMap, LargeWalkKeepsTheLastEntryOfEachIdInIdOrder) {
  std::vector<DatFileEntry> walk;
  std::map<std::uint32_t, DatFileEntry> expected;
  std::uint32_t state = 5;
  for (std::uint32_t i = 0; i < 20000; ++i) {
    state = state * 1664525U + 1013904223U;
    // Ids drawn from a small set repeat; the top byte varies so every radix pass runs.
    const std::uint32_t id = (state >> 20) * 0x01010101U;
    const DatFileEntry e = entry(id, i);
    walk.push_back(e);
    expected.insert_or_assign(id, e);
  }
  const DatFileMap map(walk);
  ASSERT_EQ(map.size(), expected.size());
  auto want = expected.begin();
  for (const auto& [id, e] : map) {
    EXPECT_EQ(id, want->first);
    EXPECT_EQ(e, want->second);
    ++want;
  }
  EXPECT_EQ(map.at(expected.begin()->first), expected.begin()->second);
  std::uint32_t absent = 1;
  while (expected.contains(absent)) ++absent;
  EXPECT_THROW((void)map.at(absent), std::out_of_range);
  EXPECT_EQ(map.find(absent), map.end());
  EXPECT_FALSE(map.contains(absent));
}

TEST(DatFileMap, RangesIncludeBothEndsAndStayInIdOrder) {
  const DatFileMap map(std::vector<DatFileEntry>{entry(30), entry(10), entry(20), entry(40),
                                                 entry(0), entry(0xFFFFFFFF)});
  const auto ids = [](DatEntryRange range) {
    std::vector<std::uint32_t> out;
    for (const DatFileEntry& e : range) out.push_back(e.id);
    return out;
  };
  EXPECT_EQ(ids(map.entries()), (std::vector<std::uint32_t>{0, 10, 20, 30, 40, 0xFFFFFFFF}));
  EXPECT_EQ(ids(map.entries_in_range(10, 30)), (std::vector<std::uint32_t>{10, 20, 30}));
  EXPECT_EQ(ids(map.entries_in_range(11, 29)), (std::vector<std::uint32_t>{20}));
  EXPECT_EQ(ids(map.entries_in_range(0, 0xFFFFFFFF)).size(), 6U);
  EXPECT_TRUE(map.entries_in_range(31, 39).empty());
  EXPECT_TRUE(map.entries_in_range(40, 10).empty());
  EXPECT_EQ(map.entries()[2].id, 20U);
  EXPECT_EQ(map.entries().end() - map.entries().begin(), 6);
}

TEST(Directory, FindReturnsTheStoredEntryWithoutCopying) {
  ArchiveBuilder builder;
  builder.header().root_offset = builder.write_node(node({entry(5, 1), entry(9, 2)}));
  auto database = open_bytes(builder.bytes());
  ASSERT_TRUE(database);
  const DatFileEntry* found = database->find(9);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->timestamp, 2U);
  EXPECT_EQ(found, &database->files().at(9));
  EXPECT_EQ(database->find(7), nullptr);
}

TEST(DatFileEntry, CompressedIsBitZeroOnly) {
  EXPECT_TRUE(DatFileEntry{.bit_flags = 0x1}.is_compressed());
  EXPECT_TRUE(DatFileEntry{.bit_flags = 0x3}.is_compressed());
  EXPECT_TRUE(DatFileEntry{.bit_flags = 0xFFFFFFFF}.is_compressed());
  EXPECT_FALSE(DatFileEntry{.bit_flags = 0x0}.is_compressed());
  EXPECT_FALSE(DatFileEntry{.bit_flags = 0x2}.is_compressed());
  EXPECT_FALSE(DatFileEntry{.bit_flags = 0xFFFFFFFE}.is_compressed());
}

TEST(DatFileEntry, CutRecordNamesTheFieldThatRanOut) {
  const char* names[] = {"bit_flags", "id", "offset", "size", "timestamp", "version"};
  const std::vector<std::uint8_t> full(DatFileEntry::SIZE + 3, 0x5A);
  for (std::size_t available = 0; available < DatFileEntry::SIZE; ++available) {
    std::vector<std::uint8_t> bytes(3 + available, 0x5A);
    std::fill_n(bytes.begin(), 3, 0);
    Cursor cursor(bytes);
    cursor.seek(3);
    auto read = DatFileEntry::read(cursor);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().frames().back().message,
              std::string("While parsing field '") + names[available / 4] + "' in DatFileEntry");
    EXPECT_EQ(cursor.position(), 3U);
  }
  Cursor cursor(full);
  auto read = DatFileEntry::read(cursor);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->id, 0x5A5A5A5AU);
  EXPECT_EQ(cursor.position(), DatFileEntry::SIZE);
}

}  // namespace
}  // namespace marrowvane_dat
