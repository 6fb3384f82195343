// SPDX-License-Identifier: MIT
// Tests of file-id classification per archive kind and of the file type names.
#include "marrowvane_dat/file_type/file_type.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <ostream>
#include <vector>

#include "marrowvane_dat_testkit/archive_builder.hpp"

namespace marrowvane_dat {

// Failure messages show the member's name rather than its number.
void PrintTo(DatFileType type, std::ostream* out) {
  *out << to_string(type);
}

namespace {

using T = DatFileType;

TEST(FileType, KnownIdsClassifyPerKindAndWithoutKind) {
  struct Case {
    std::uint32_t id;
    T portal, cell, local, unknown_kind, kindless;
  };
  const Case cases[] = {
      {0x40000000, T::Font, T::Unknown, T::Font, T::Font, T::Font},
      {0x4000FFFF, T::Font, T::Landblock, T::Font, T::Landblock, T::Landblock},
      {0x07000001, T::Texture, T::IndoorCell, T::Texture, T::Texture, T::Texture},
      {0x12345678, T::Scene, T::IndoorCell, T::Scene, T::Scene, T::Scene},
      {0x78000000, T::DatabaseProperties, T::Unknown, T::DatabaseProperties, T::DatabaseProperties,
       T::DatabaseProperties},
      {0x0000FFFE, T::Unknown, T::LandblockInfo, T::Unknown, T::LandblockInfo, T::LandblockInfo},
      {0x0B000001, T::Unknown, T::IndoorCell, T::Unknown, T::IndoorCell, T::IndoorCell},
      {0xFFFF0001, T::Iteration, T::Iteration, T::Iteration, T::Iteration, T::Iteration},
      {0xFFFF0002, T::Unknown, T::IndoorCell, T::Unknown, T::IndoorCell, T::IndoorCell},
      {0x00000000, T::Unknown, T::Unknown, T::Unknown, T::Unknown, T::Unknown},
      // The landblock suffixes outrank the top byte only when no kind says otherwise.
      {0x0400FFFE, T::Palette, T::LandblockInfo, T::Palette, T::LandblockInfo, T::LandblockInfo},
      {0x4000FFFD, T::Font, T::IndoorCell, T::Font, T::Font, T::Font},
      {0xFE000000, T::Unknown, T::Unknown, T::Unknown, T::Unknown, T::Unknown},
      {0xFD00FFFD, T::Unknown, T::IndoorCell, T::Unknown, T::IndoorCell, T::IndoorCell},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << "id 0x" << c.id);
    EXPECT_EQ(from_id_in_dat(c.id, DatKind::Portal), c.portal);
    EXPECT_EQ(from_id_in_dat(c.id, DatKind::Cell), c.cell);
    EXPECT_EQ(from_id_in_dat(c.id, DatKind::Local), c.local);
    EXPECT_EQ(from_id_in_dat(c.id, DatKind::Unknown), c.unknown_kind);
    EXPECT_EQ(from_id(c.id), c.kindless);
  }
}

TEST(FileType, TopByteTableBoundaries) {
  struct Case {
    std::uint8_t prefix;
    T type;
  };
  const Case cases[] = {
      {0, T::Unknown},
      {1, T::Model},
      {6, T::Texture},
      {7, T::Texture},
      {8, T::Surface},
      {10, T::Audio},
      {11, T::Unknown},
      {12, T::Unknown},
      {13, T::EnvCell},
      {25, T::RenderMesh},
      {26, T::Unknown},
      {31, T::Unknown},
      {32, T::SoundTable},
      {39, T::DualDataIDMapper},
      {40, T::Unknown},
      {47, T::Unknown},
      {48, T::CombatManeuverTable},
      {52, T::PhysicsScriptTable},
      {53, T::Unknown},
      {55, T::Unknown},
      {56, T::MutateFilter},
      {57, T::MasterProperty},
      {58, T::Unknown},
      {63, T::Unknown},
      {64, T::Font},
      {65, T::StringState},
      {66, T::BSPNodeType},
      {67, T::Unknown},
      {119, T::Unknown},
      {120, T::DatabaseProperties},
      {121, T::Unknown},
      {253, T::Unknown},
      {254, T::Unknown},
      {255, T::Unknown},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "prefix " << unsigned{c.prefix});
    const std::uint32_t top = std::uint32_t{c.prefix} << 24U;
    // Portal-like archives ignore the low bits entirely.
    for (std::uint32_t low : {0x000000U, 0x000001U, 0x00FFFDU, 0x00FFFFU, 0xFFFFFFU}) {
      EXPECT_EQ(from_id_in_dat(top | low, DatKind::Portal), c.type);
      EXPECT_EQ(from_id_in_dat(top | low, DatKind::Local), c.type);
    }
    // Without a kind a zero suffix falls back to Unknown, a cell suffix to IndoorCell.
    EXPECT_EQ(from_id(top), c.type);
    EXPECT_EQ(from_id(top | 0x1234U), c.type == T::Unknown ? T::IndoorCell : c.type);
  }
}

TEST(FileType, CellArchivesClassifyByLowBitsOnly) {
  struct Case {
    std::uint16_t suffix;
    T type;
  };
  const Case cases[] = {
      {0x0000, T::Unknown},    {0x0001, T::IndoorCell},    {0x0100, T::IndoorCell},
      {0xFFFD, T::IndoorCell}, {0xFFFE, T::LandblockInfo}, {0xFFFF, T::Landblock},
  };
  for (const Case& c : cases) {
    for (std::uint32_t high : {0x0000U, 0x0001U, 0x4000U, 0xA9B4U, 0xFFFEU}) {
      const std::uint32_t id = (high << 16U) | c.suffix;
      SCOPED_TRACE(testing::Message() << std::hex << "id 0x" << id);
      EXPECT_EQ(from_id_in_dat(id, DatKind::Cell), c.type);
    }
  }
  EXPECT_EQ(from_id_in_dat(0xFFFF0001, DatKind::Cell), T::Iteration);
  EXPECT_EQ(from_id_in_dat(0xFFFF0000, DatKind::Cell), T::Unknown);
  EXPECT_EQ(from_id_in_dat(0xFFFFFFFF, DatKind::Cell), T::Landblock);
  EXPECT_EQ(from_id_in_dat(0xFFFFFFFE, DatKind::Cell), T::LandblockInfo);
  EXPECT_EQ(from_id_in_dat(0xFFFE0001, DatKind::Cell), T::IndoorCell);
  EXPECT_EQ(from_id_in_dat(0xFFFF0001, DatKind::Unknown), T::Iteration);
}

TEST(FileType, KindsAgreeWhereTheyMustAndNeverYieldUnproducedMembers) {
  for (std::uint32_t prefix = 0; prefix <= 0xFF; ++prefix) {
    for (std::uint32_t suffix : {0x0000U, 0x0001U, 0x7FFFU, 0xFFFDU, 0xFFFEU, 0xFFFFU}) {
      for (std::uint32_t middle : {0x00U, 0xFFU}) {
        const std::uint32_t id = (prefix << 24U) | (middle << 16U) | suffix;
        SCOPED_TRACE(testing::Message() << std::hex << "id 0x" << id);
        const T portal = from_id_in_dat(id, DatKind::Portal);
        EXPECT_EQ(from_id_in_dat(id, DatKind::Local), portal);
        EXPECT_EQ(from_id_in_dat(id, DatKind::Unknown), from_id(id));
        for (DatKind kind : {DatKind::Portal, DatKind::Cell, DatKind::Local, DatKind::Unknown}) {
          const T type = from_id_in_dat(id, kind);
          EXPECT_NE(type, T::Custom);
          EXPECT_NE(type, T::MotionKinematics);
        }
      }
    }
  }
}

TEST(FileType, NamesAreSpelledAsDeclared) {
  EXPECT_EQ(to_string(T::DataIDMapper), "DataIDMapper");
  EXPECT_EQ(to_string(T::DualDataIDMapper), "DualDataIDMapper");
  EXPECT_EQ(to_string(T::BSPNodeType), "BSPNodeType");
  EXPECT_EQ(to_string(T::MotionKinematics), "MotionKinematics");
  EXPECT_EQ(to_string(T::Iteration), "Iteration");
  EXPECT_EQ(to_string(T::Unknown), "Unknown");
  EXPECT_EQ(to_string(static_cast<T>(7)), "");
}

TEST(FileType, NamesParseBackIgnoringCase) {
  for (const DatFileType type : ALL_DAT_FILE_TYPES) {
    EXPECT_EQ(from_string(to_string(type)), type) << to_string(type);
  }
  EXPECT_EQ(from_string("font"), T::Font);
  EXPECT_EQ(from_string("BSPNODETYPE"), T::BSPNodeType);
  EXPECT_EQ(from_string("dataidmapper"), T::DataIDMapper);
  for (const char* text : {"", "Fon", "Fonts", " Font", "Font ", "0x40", "64"}) {
    EXPECT_EQ(from_string(text), std::nullopt) << text;
  }
}

std::vector<std::uint32_t> ids_of(const DatDatabase& db, DatFileType type) {
  std::vector<std::uint32_t> out;
  for (const DatFileEntry& e : entries_of_type(db, type)) out.push_back(e.id);
  return out;
}

DatDatabase archive_with(std::uint32_t block_size, const std::vector<std::uint32_t>& ids) {
  testkit::ArchiveBuilder builder(block_size);
  std::vector<DatFileEntry> entries;
  for (const std::uint32_t id : ids) entries.push_back(DatFileEntry{.id = id});
  builder.build_directory(entries);
  auto database = DatDatabase::open_owned(builder.bytes());
  EXPECT_TRUE(database);
  return std::move(*database);
}

TEST(FileType, EntriesOfATypeFollowTheArchivesKind) {
  const std::vector<std::uint32_t> ids = {0x01000001, 0x06000002, 0x07000003, 0x08000004,
                                          0x0B000005, 0x40000001, 0x40FFFFFF, 0x41000000,
                                          0xFFFF0001, 0xFFFF0002, 0x0000FFFF, 0x1234FFFE};
  const DatDatabase portal = archive_with(1024, ids);
  ASSERT_EQ(portal.dat_kind(), DatKind::Portal);
  EXPECT_EQ(ids_of(portal, T::Font), (std::vector<std::uint32_t>{0x40000001, 0x40FFFFFF}));
  EXPECT_EQ(ids_of(portal, T::Texture), (std::vector<std::uint32_t>{0x06000002, 0x07000003}));
  EXPECT_EQ(ids_of(portal, T::Iteration), (std::vector<std::uint32_t>{0xFFFF0001}));
  EXPECT_EQ(ids_of(portal, T::Unknown),
            (std::vector<std::uint32_t>{0x0000FFFF, 0x0B000005, 0xFFFF0002}));
  EXPECT_EQ(ids_of(portal, T::Scene), (std::vector<std::uint32_t>{0x1234FFFE}));
  EXPECT_TRUE(ids_of(portal, T::Landblock).empty());

  const DatDatabase cell = archive_with(256, ids);
  ASSERT_EQ(cell.dat_kind(), DatKind::Cell);
  EXPECT_EQ(ids_of(cell, T::Landblock), (std::vector<std::uint32_t>{0x0000FFFF, 0x40FFFFFF}));
  EXPECT_EQ(ids_of(cell, T::LandblockInfo), (std::vector<std::uint32_t>{0x1234FFFE}));
  EXPECT_EQ(ids_of(cell, T::Unknown), (std::vector<std::uint32_t>{0x41000000}));
  EXPECT_TRUE(entries_of_type(cell, T::Font).empty());
  // Every entry lands in exactly one type.
  for (const DatDatabase* db : {&portal, &cell}) {
    std::size_t total = 0;
    for (const DatFileType type : ALL_DAT_FILE_TYPES) total += ids_of(*db, type).size();
    EXPECT_EQ(total, ids.size());
  }
}

}  // namespace
}  // namespace marrowvane_dat
