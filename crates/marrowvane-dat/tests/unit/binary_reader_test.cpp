// SPDX-License-Identifier: MIT
// The byte sources under the record readers: bounds, positions and rewinding.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "marrowvane_dat/binary_reader.hpp"
#include "marrowvane_dat/dat_database.hpp"
#include "test_support.hpp"

namespace marrowvane_dat {
namespace {

const std::vector<std::uint8_t> BYTES = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};

TEST(Cursor, ValuesAreLittleEndianAndShortReadsDoNotMove) {
  Cursor cursor(BYTES);
  EXPECT_EQ(cursor.read_u16(), 0x0201);
  EXPECT_EQ(cursor.read_u32(), 0x06050403U);
  EXPECT_EQ(cursor.position(), 6U);
  auto short_read = cursor.read_u16();
  ASSERT_FALSE(short_read);
  EXPECT_EQ(short_read.error(), IoError::unexpected_eof());
  EXPECT_EQ(cursor.position(), 6U);
  EXPECT_EQ(cursor.read_u8(), 0x07);
  EXPECT_EQ(cursor.remaining(), 0U);
  EXPECT_FALSE(cursor.read_u8());
  EXPECT_TRUE(cursor.read_exact({}));
}

TEST(Cursor, SkipAndSeekStayInsideTheData) {
  Cursor cursor(BYTES);
  EXPECT_TRUE(cursor.skip(7));
  EXPECT_FALSE(cursor.skip(1));
  EXPECT_EQ(cursor.position(), 7U);
  cursor.seek(100);
  EXPECT_EQ(cursor.remaining(), 0U);
  EXPECT_FALSE(cursor.read_u8());
  EXPECT_FALSE(cursor.skip(0xFFFFFFFFFFFFFFFFULL));
  cursor.seek(2);
  EXPECT_EQ(cursor.read_u8(), 0x03);
}

TEST(LoadLe, SignedValuesAreTwosComplement) {
  const std::uint8_t minus_one[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  const std::uint8_t lowest[4] = {0x00, 0x00, 0x00, 0x80};
  EXPECT_EQ(load_le<std::int32_t>(minus_one), -1);
  EXPECT_EQ(load_le<std::int32_t>(lowest), INT32_MIN);
  EXPECT_EQ(load_le<std::uint32_t>(lowest), 0x80000000U);
  const std::uint8_t fe[1] = {0xFE};
  EXPECT_EQ(load_le<std::int8_t>(fe), -2);
}

TEST(FdReader, ReadsInOrderAndRewindsTheDescriptor) {
  test::TempFile file(BYTES);
  const UniqueFd fd(test::open_read_only(file.path()));
  ASSERT_TRUE(fd);
  ASSERT_EQ(::lseek(fd.get(), 1, SEEK_SET), 1);
  FdReader reader(fd.get(), 1);
  std::uint8_t two[2];
  ASSERT_TRUE(reader.read_exact(two));
  EXPECT_EQ(two[0], 0x02);
  EXPECT_EQ(reader.position(), 3U);
  std::uint8_t ten[10];
  auto past = reader.read_exact(ten);
  ASSERT_FALSE(past);
  EXPECT_EQ(past.error(), IoError::unexpected_eof());
  reader.seek(1);
  EXPECT_EQ(::lseek(fd.get(), 0, SEEK_CUR), 1);
  ASSERT_TRUE(reader.read_exact(two));
  EXPECT_EQ(two[1], 0x03);
}

TEST(RecordReader, FailedFieldRewindsAndLaterFieldsAreSkipped) {
  // A header record read from the middle of a buffer that ends inside 'dataset'.
  std::vector<std::uint8_t> bytes(5 + 13, 0x11);
  Cursor cursor(bytes);
  cursor.seek(5);
  auto header = DatHeader::read(cursor);
  ASSERT_FALSE(header);
  ASSERT_EQ(header.error().frames().size(), 1U);
  EXPECT_EQ(header.error().frames()[0].message, "While parsing field 'dataset' in DatHeader");
  EXPECT_EQ(cursor.position(), 5U);
}

}  // namespace
}  // namespace marrowvane_dat
