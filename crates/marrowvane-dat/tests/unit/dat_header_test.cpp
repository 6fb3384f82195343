// SPDX-License-Identifier: MIT
// Reading the archive header, deriving the archive kind, and the ways opening fails.
#include <array>
#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "marrowvane_dat/dat_database.hpp"
#include "marrowvane_dat_testkit/archive_builder.hpp"
#include "test_support.hpp"

namespace marrowvane_dat {
namespace {

using test::open_bytes;
using test::TempFile;
using testkit::ArchiveBuilder;

// The field that a header cut `available` bytes after 0x140 fails on.
std::string field_cut_at(std::size_t available) {
  static constexpr std::array<const char*, 15> U32_FIELDS = {
      "magic",     "block_size", "file_size",     "dataset",        "subset",
      "free_head", "free_tail",  "free_count",    "root_offset",    "new_lru",
      "old_lru",   "use_lru",    "master_map_id", "engine_version", "game_version"};
  if (available < 60) return U32_FIELDS[available / 4];
  if (available < 76) return "version_string";
  return "version_minor";
}

std::string innermost_frame(const DatError& error) {
  const auto* bin = error.get_if<DatError::BinRead>();
  if (bin == nullptr || bin->error.frames().empty())
    return "<not a record error: " + error.debug() + ">";
  return bin->error.frames().front().message;
}

std::vector<std::uint8_t> header_only_image() {
  return ArchiveBuilder().bytes();
}

TEST(DatHeader, EveryFieldIsReadInOrderAndKeptAsStored) {
  ArchiveBuilder builder;
  DatHeader& h = builder.header();
  h.file_size = 0x11111111;
  h.subset = 5;
  h.free_head = 0x22222222;
  h.free_tail = 0x33333333;
  h.free_count = 0x44444444;
  h.new_lru = 0x55555555;
  h.old_lru = 0x66666666;
  h.use_lru = 0x77777777;
  h.master_map_id = 0x88888888;
  h.engine_version = 0x99999999;
  h.game_version = 0xAAAAAAAA;
  h.version_string = {'v', '1', 0, 'x', 0xFF, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8};
  h.version_minor = 0xBBBBBBBB;
  const DatHeader expected = h;
  TempFile file(builder.bytes());

  auto database = DatDatabase::open(file.path());
  ASSERT_TRUE(database) << database.error().debug();
  EXPECT_EQ(database->header(), expected);
  EXPECT_EQ(database->header().version_string.size(), 16U);
  EXPECT_TRUE(database->files().empty());
}

TEST(DatHeader, FileCutInsideTheHeaderNamesTheFieldThatRanOut) {
  const std::vector<std::uint8_t> full = header_only_image();
  for (std::size_t available = 0; available < DatHeader::SIZE; ++available) {
    const std::vector<std::uint8_t> cut(
        full.begin(), full.begin() + static_cast<std::ptrdiff_t>(0x140 + available));
    const std::string expected =
        "While parsing field '" + field_cut_at(available) + "' in DatHeader";

    TempFile file(cut);
    auto from_file = DatDatabase::open(file.path());
    ASSERT_FALSE(from_file) << available;
    EXPECT_EQ(from_file.error().kind(), DatErrorKind::BinRead) << available;
    EXPECT_EQ(innermost_frame(from_file.error()), expected) << available;

    auto from_memory = open_bytes(cut);
    ASSERT_FALSE(from_memory) << available;
    EXPECT_EQ(innermost_frame(from_memory.error()), expected) << available;
  }
}

TEST(DatHeader, FilesEndingBeforeTheHeaderFailOnMagic) {
  for (const std::size_t length : {std::size_t{0}, std::size_t{1}, std::size_t{0x13F}}) {
    TempFile file(std::vector<std::uint8_t>(length, 0xAB));
    auto database = DatDatabase::open(file.path());
    ASSERT_FALSE(database);
    EXPECT_EQ(database.error().to_string(),
              "Binary read error: failed to fill whole buffer; While parsing field 'magic' in "
              "DatHeader")
        << length;
  }
}

TEST(DatHeader, MissingFileIsPathErrorWithTheGivenPath) {
  const std::filesystem::path path = "no/such/dir/portal.dat";
  auto database = DatDatabase::open(path);
  ASSERT_FALSE(database);
  const auto* error = database.error().get_if<DatError::PathError>();
  ASSERT_NE(error, nullptr) << database.error().debug();
  EXPECT_EQ(error->path, path);
  EXPECT_EQ(error->source.raw_os_error(), test::MISSING_DIRECTORY_ERROR);
  EXPECT_EQ(database.error().to_string(),
            "Failed to open file at no/such/dir/portal.dat: " + test::missing_directory_text());
}

TEST(DatHeader, PathWithANulByteIsRefusedNotCut) {
  TempFile real(header_only_image());
  auto name = real.path().native();
  name.push_back('\0');
  name += std::filesystem::path(".other").native();
  auto database = DatDatabase::open(std::filesystem::path(name));
  ASSERT_FALSE(database);
  const auto* error = database.error().get_if<DatError::PathError>();
  ASSERT_NE(error, nullptr) << database.error().debug();
  EXPECT_EQ(error->source.raw_os_error(), test::INVALID_NAME_ERROR);
  EXPECT_EQ(error->path.native(), name);
}

TEST(DatHeader, EmptyRootReadsNothingPastTheHeader) {
  std::vector<test::RecordingSource::Read> reads;
  auto database =
      DatDatabase::open(std::make_unique<test::RecordingSource>(header_only_image(), &reads));
  ASSERT_TRUE(database) << database.error().debug();
  EXPECT_TRUE(database->files().empty());
  for (const auto& read : reads) {
    EXPECT_GE(read.offset, DatHeader::OFFSET);
    EXPECT_LE(read.offset + read.size, DatHeader::OFFSET + DatHeader::SIZE);
  }
}

TEST(DatHeader, NothingInTheHeaderIsValidated) {
  ArchiveBuilder builder;
  builder.header().magic = 0xDEADBEEF;
  builder.header().block_size = 0;
  builder.header().file_size = 1;
  builder.header().game_version = 0xFFFFFFFF;
  auto database = open_bytes(builder.bytes());
  ASSERT_TRUE(database) << database.error().debug();
  EXPECT_EQ(database->dat_kind(), DatKind::Unknown);
}

TEST(DatKind, SignatureBlockSizeAndDatasetDecide) {
  struct Row {
    std::uint32_t magic, block_size, dataset;
    DatKind kind;
  };
  const Row rows[] = {
      {0x5442, 1024, 1, DatKind::Portal},      {0x5442, 1024, 2, DatKind::Local},
      {0x5442, 1024, 0, DatKind::Local},       {0x5442, 256, 2, DatKind::Cell},
      {0x5442, 256, 1, DatKind::Local},        {0x5442, 4096, 1, DatKind::Local},
      {0x5442, 4096, 2, DatKind::Local},       {0x5442, 0, 1, DatKind::Local},
      {0, 1024, 1, DatKind::Unknown},          {0, 256, 2, DatKind::Unknown},
      {0x00015442, 1024, 1, DatKind::Unknown}, {0x4254, 1024, 1, DatKind::Unknown},
      {0x5443, 256, 2, DatKind::Unknown},
  };
  for (const Row& row : rows) {
    DatHeader header;
    header.magic = row.magic;
    header.block_size = row.block_size;
    header.dataset = row.dataset;
    EXPECT_EQ(header.dat_kind(), row.kind)
        << std::hex << row.magic << " " << std::dec << row.block_size << " " << row.dataset;
  }
}

TEST(DatKind, SignatureMustBeTheWholeWordAsStored) {
  ArchiveBuilder builder;
  builder.patch_bytes(0x140, std::vector<std::uint8_t>{0x42, 0x54, 0x01, 0x00});
  auto database = open_bytes(builder.bytes());
  ASSERT_TRUE(database) << database.error().debug();
  EXPECT_EQ(database->header().magic, 0x00015442U);
  EXPECT_EQ(database->dat_kind(), DatKind::Unknown);

  ArchiveBuilder portal;
  auto opened = open_bytes(portal.bytes());
  ASSERT_TRUE(opened);
  EXPECT_EQ(opened->dat_kind(), DatKind::Portal);
}

}  // namespace
}  // namespace marrowvane_dat
