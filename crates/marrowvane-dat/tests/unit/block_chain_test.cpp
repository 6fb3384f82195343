// SPDX-License-Identifier: MIT
// Reading block chains: how many bytes each block gives, where the walk stops, and
// the positional read underneath.
#include <cerrno>
#include <cstring>
#include <map>
#include <numeric>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "marrowvane_dat/dat_database.hpp"
#include "marrowvane_dat/utils.hpp"
#include "marrowvane_dat_testkit/archive_builder.hpp"
#include "posix_io.hpp"
#include "test_support.hpp"

namespace marrowvane_dat {
namespace {

using test::RecordingSource;
using testkit::ArchiveBuilder;
using testkit::ChainLayout;

std::vector<std::uint8_t> pattern(std::size_t size, std::uint32_t seed = 1) {
  std::vector<std::uint8_t> out(size);
  std::uint32_t state = seed * 2654435761U + 1;
  for (auto& byte : out) {
    state = state * 1664525U + 1013904223U;
    byte = static_cast<std::uint8_t>(state >> 24);
  }
  return out;
}

struct Opened {
  std::vector<RecordingSource::Read> reads;
  std::optional<DatDatabase> database;
};

// Opens the image with every read recorded; the log starts empty after opening.
void open_recorded(Opened& opened, std::vector<std::uint8_t> image,
                   RecordingSource::Fault fault = {}) {
  auto database = DatDatabase::open(
      std::make_unique<RecordingSource>(std::move(image), &opened.reads, std::move(fault)));
  ASSERT_TRUE(database) << database.error().debug();
  opened.database.emplace(std::move(*database));
  opened.reads.clear();
}

TEST(BlockChain, NodeSizedReadTakesWholeBlocksThenTheRest) {
  const std::vector<std::uint8_t> data = pattern(DatDirectoryNode::SIZE);
  for (const auto& [block_size, blocks] :
       std::map<std::uint32_t, std::size_t>{{1024, 2}, {256, 7}, {64, 29}}) {
    for (const ChainLayout layout : {ChainLayout::Contiguous, ChainLayout::Scattered}) {
      ArchiveBuilder builder(block_size);
      const std::uint32_t offset = builder.write_chain(data, layout);
      Opened opened;
      open_recorded(opened, builder.bytes());
      auto read = opened.database->read_file_data(offset, DatDirectoryNode::SIZE);
      ASSERT_TRUE(read) << read.error().debug();
      EXPECT_EQ(*read, data) << block_size;
      // A ceiling on cost: adjacent blocks come from one read, and a scattered chain
      // costs no more than one read per block.
      EXPECT_LE(opened.reads.size(), layout == ChainLayout::Contiguous ? 1U : blocks) << block_size;
    }
  }
}

TEST(BlockChain, WalkStopsAtTheBlockThatSuppliedTheLastByte) {
  ArchiveBuilder builder;
  const std::vector<std::uint8_t> data = pattern(3000);
  const std::uint32_t offset = builder.write_chain(data);
  Opened opened;
  open_recorded(opened, builder.bytes());
  for (const std::uint32_t size : {100U, 1020U}) {
    opened.reads.clear();
    auto read = opened.database->read_file_data(offset, size);
    ASSERT_TRUE(read);
    EXPECT_EQ(*read, std::vector<std::uint8_t>(data.begin(), data.begin() + size));
    // Nothing of the second block is read when the first supplies every byte.
    for (const auto& r : opened.reads) {
      EXPECT_LE(r.offset + r.size, offset + 4 + size) << size;
    }
  }
}

TEST(BlockChain, ChainEndingEarlyIsCompletedFromTheBytesAfterIt) {
  ArchiveBuilder builder;
  std::vector<std::uint8_t> raw(4, 0);  // link 0
  const std::vector<std::uint8_t> data = pattern(2000);
  raw.insert(raw.end(), data.begin(), data.end());
  const std::uint32_t offset = builder.append_raw(raw);
  Opened opened;
  open_recorded(opened, builder.bytes());
  auto read = opened.database->read_file_data(offset, 2000);
  ASSERT_TRUE(read) << read.error().debug();
  EXPECT_EQ(*read, data);
}

TEST(BlockChain, SizeZeroReadsNothingAnywhere) {
  ArchiveBuilder builder;
  Opened opened;
  open_recorded(opened, builder.bytes());
  for (const std::uint32_t offset : {0U, 0x400U, 0xFFFFFFFFU}) {
    auto read = opened.database->read_file_data(offset, 0);
    ASSERT_TRUE(read);
    EXPECT_TRUE(read->empty());
  }
  EXPECT_TRUE(opened.reads.empty());
}

TEST(BlockChain, LoopingChainIsFollowedUntilTheSizeIsGathered) {
  ArchiveBuilder builder;
  const std::vector<std::uint8_t> data = pattern(1020);
  const std::uint32_t offset = builder.write_chain(data);
  builder.patch_u32(offset, offset);
  Opened opened;
  open_recorded(opened, builder.bytes());
  auto read = opened.database->read_file_data(offset, 2500);
  ASSERT_TRUE(read) << read.error().debug();
  std::vector<std::uint8_t> expected = data;
  expected.insert(expected.end(), data.begin(), data.end());
  expected.insert(expected.end(), data.begin(), data.begin() + 460);
  EXPECT_EQ(*read, expected);
}

TEST(BlockChain, DataRunningPastTheEndOfTheFileIsIo) {
  ArchiveBuilder builder;
  const std::uint32_t offset = builder.write_chain(pattern(10));
  const std::uint64_t end = builder.size();
  Opened opened;
  open_recorded(opened, builder.bytes());
  auto past = opened.database->read_file_data(offset, 5000);
  ASSERT_FALSE(past);
  EXPECT_EQ(past.error().to_string(), "IO error: failed to fill whole buffer");
  auto beyond = opened.database->read_file_data(static_cast<std::uint32_t>(end + 8), 1);
  ASSERT_FALSE(beyond);
  EXPECT_EQ(beyond.error().kind(), DatErrorKind::Io);
  auto link_cut = opened.database->read_file_data(static_cast<std::uint32_t>(end - 2), 1);
  ASSERT_FALSE(link_cut);
  EXPECT_EQ(link_cut.error().kind(), DatErrorKind::Io);
}

TEST(BlockChain, OperatingSystemErrorsArePassedOnAsIo) {
  ArchiveBuilder builder;
  const std::uint32_t offset = builder.write_chain(pattern(5000));
  Opened opened;
  // Any read that touches the third block's link fails, however many blocks it spans.
  const std::uint64_t bad = offset + 2048;
  open_recorded(opened, builder.bytes(), [bad](std::uint64_t at, std::size_t size) {
    return at <= bad && bad < at + size ? std::optional(IoError::from_errno(EIO)) : std::nullopt;
  });
  auto read = opened.database->read_file_data(offset, 5000);
  ASSERT_FALSE(read);
  const auto* io = read.error().get_if<DatError::Io>();
  ASSERT_NE(io, nullptr);
  EXPECT_EQ(io->error.raw_os_error(), EIO);
}

// Serves a small low region and one block far above it, without the gigabytes between.
class SparseSource final : public ArchiveSource {
 public:
  SparseSource(std::vector<std::uint8_t> low, std::uint64_t high_base,
               std::vector<std::uint8_t> high)
      : low_(std::move(low)), high_base_(high_base), high_(std::move(high)) {}
  [[nodiscard]] std::expected<void, IoError> read_exact_at(std::span<std::uint8_t> buf,
                                                           std::uint64_t offset) const override {
    const auto& region = offset >= high_base_ ? high_ : low_;
    const std::uint64_t at = offset >= high_base_ ? offset - high_base_ : offset;
    if (at > region.size() || buf.size() > region.size() - at) {
      return std::unexpected(IoError::unexpected_eof());
    }
    std::memcpy(buf.data(), region.data() + at, buf.size());
    return {};
  }
  [[nodiscard]] std::optional<std::uint64_t> size_hint() const noexcept override {
    return high_base_ + high_.size();
  }

 private:
  std::vector<std::uint8_t> low_;
  std::uint64_t high_base_;
  std::vector<std::uint8_t> high_;
};

TEST(BlockChain, LinkWithTheTopBitSetIsAnOrdinaryOffset) {
  ArchiveBuilder builder;
  const std::uint32_t first = builder.write_chain(pattern(1020, 1));
  builder.patch_u32(first, 0x80000000);
  std::vector<std::uint8_t> high(4, 0);
  const std::vector<std::uint8_t> tail = pattern(500, 2);
  high.insert(high.end(), tail.begin(), tail.end());
  auto database =
      DatDatabase::open(std::make_unique<SparseSource>(builder.bytes(), 0x80000000, high));
  ASSERT_TRUE(database) << database.error().debug();
  auto read = database->read_file_data(first, 1520);
  ASSERT_TRUE(read) << read.error().debug();
  std::vector<std::uint8_t> expected = pattern(1020, 1);
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(*read, expected);
}

TEST(BlockChain, PayloadOfTheLastAddressableBlockIsPastFourGigabytes) {
  ArchiveBuilder builder;
  std::vector<std::uint8_t> high(4, 0);  // the link word at 0xFFFFFFFC: last block
  const std::vector<std::uint8_t> tail = pattern(64, 3);
  high.insert(high.end(), tail.begin(), tail.end());
  auto database =
      DatDatabase::open(std::make_unique<SparseSource>(builder.bytes(), 0xFFFFFFFC, high));
  ASSERT_TRUE(database);
  auto read = database->read_file_data(0xFFFFFFFC, 64);
  ASSERT_TRUE(read) << read.error().debug();
  EXPECT_EQ(*read, tail);
}

TEST(BlockChain, BlockTooSmallForDataIsCorruptionOnlyWhenBytesAreNeeded) {
  for (const std::uint32_t block_size : {0U, 1U, 3U, 4U}) {
    ArchiveBuilder builder;
    builder.header().block_size = block_size;
    const std::uint32_t offset = builder.write_chain(pattern(10));
    builder.patch_u32(offset, offset);  // a loop that would never end with no data per block
    auto database = test::open_bytes(builder.bytes());
    ASSERT_TRUE(database) << block_size;
    EXPECT_TRUE(database->read_file_data(offset, 0));
    auto read = database->read_file_data(offset, 10);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().kind(), DatErrorKind::Corruption) << block_size;
  }
  ArchiveBuilder five;
  five.header().block_size = 5;
  const std::uint32_t offset = five.write_chain(pattern(3));
  five.patch_u32(offset, offset);
  auto database = test::open_bytes(five.bytes());
  ASSERT_TRUE(database);
  auto read = database->read_file_data(offset, 50);
  ASSERT_TRUE(read) << read.error().debug();
  EXPECT_EQ(*read, std::vector<std::uint8_t>(50, read->front()));
}

// The block walk the tool uses to find entries that share blocks: the offsets the
// chain passes through, adjacent blocks in one read, and the read's own errors unless
// the caller stops the walk first.
TEST(BlockOffsets, FollowTheLinksAdjacentBlocksInOneRead) {
  for (const ChainLayout layout : {ChainLayout::Contiguous, ChainLayout::Scattered}) {
    ArchiveBuilder builder(256);
    const std::vector<std::uint8_t> data = pattern(252 * 3 + 100);
    const std::uint32_t first = builder.write_chain(data, layout);
    builder.build_directory({DatFileEntry{.id = 0x06000001, .offset = first, .size = 856},
                             DatFileEntry{.id = 0x06000002, .offset = first, .size = 100000}});
    Opened opened;
    open_recorded(opened, builder.bytes());
    auto offsets = opened.database->block_offsets(0x06000001);
    ASSERT_TRUE(offsets) << offsets.error().debug();
    ASSERT_EQ(offsets->size(), 4U);
    EXPECT_EQ(offsets->front(), first);
    if (layout == ChainLayout::Contiguous) {
      EXPECT_EQ(offsets->back(), first + 3 * 256);
    }
    if (layout == ChainLayout::Contiguous) {
      EXPECT_EQ(opened.reads.size(), 1U) << "four adjacent blocks, not one read";
    }
    // A size the chain cannot give ends as reading it would.
    auto too_long = opened.database->block_offsets(0x06000002);
    ASSERT_FALSE(too_long);
    EXPECT_EQ(too_long.error().to_string(),
              opened.database->get_file(0x06000002).error().to_string());
    // A visit that stops early walks no further, so it never meets that error.
    std::vector<std::uint32_t> visited;
    auto stopped = opened.database->visit_block_offsets(0x06000002, [&](std::uint32_t offset) {
      visited.push_back(offset);
      return visited.size() < 2;
    });
    ASSERT_TRUE(stopped) << stopped.error().debug();
    EXPECT_EQ(visited, std::vector<std::uint32_t>(offsets->begin(), offsets->begin() + 2));
  }
}

TEST(GetFile, UnknownIdIsNotFoundWithoutReading) {
  ArchiveBuilder builder;
  builder.add_files({{.id = 0x06000001, .content = pattern(50)}});
  Opened opened;
  open_recorded(opened, builder.bytes());
  auto file = opened.database->get_file(0x06000002);
  ASSERT_FALSE(file);
  const auto* missing = file.error().get_if<DatError::NotFound>();
  ASSERT_NE(missing, nullptr);
  EXPECT_EQ(missing->id, 0x06000002U);
  EXPECT_TRUE(opened.reads.empty());
}

TEST(GetFile, OnlyBitZeroMeansCompressed) {
  ArchiveBuilder builder;
  const std::vector<std::uint8_t> content = pattern(3000);
  builder.add_files({{.id = 1, .content = content, .extra_flags = 0x2},
                     {.id = 2, .content = content, .compressed = true, .extra_flags = 0xFFFE},
                     {.id = 3, .content = content, .extra_flags = 0x80000000}});
  auto database = test::open_bytes(builder.bytes());
  ASSERT_TRUE(database);
  for (const std::uint32_t id : {1U, 2U, 3U}) {
    auto file = database->get_file(id);
    ASSERT_TRUE(file) << id;
    EXPECT_EQ(*file, content) << id;
  }
  EXPECT_EQ(database->files().at(2).bit_flags, 0xFFFFU);
}

// Feeds the read loop a scripted series of pread results.
struct ScriptedPread {
  struct Step {
    ssize_t result;
    int error;
  };
  explicit ScriptedPread(std::vector<Step> script = {}) : steps(std::move(script)) {}
  std::vector<Step> steps;
  std::vector<std::uint64_t> offsets;
  std::size_t next = 0;
  ssize_t operator()(void* out, std::size_t count, std::uint64_t offset) {
    offsets.push_back(offset);
    const Step step = next < steps.size() ? steps[next++] : Step{0, 0};
    if (step.result < 0) {
      errno = step.error;
      return -1;
    }
    const auto n = std::min(static_cast<std::size_t>(step.result), count);
    std::memset(out, static_cast<int>(offset & 0xFF), n);
    return static_cast<ssize_t>(n);
  }
};

TEST(ReadExactAt, InterruptedAndShortReadsAreRetriedUntilFull) {
  ScriptedPread pread({{-1, EINTR}, {3, 0}, {-1, EINTR}, {2, 0}, {5, 0}});
  std::vector<std::uint8_t> buf(10, 0xEE);
  ASSERT_TRUE(detail::read_exact_at_with(pread, buf, 100));
  EXPECT_EQ(pread.offsets, (std::vector<std::uint64_t>{100, 100, 103, 103, 105}));
  EXPECT_EQ(buf, (std::vector<std::uint8_t>{100, 100, 100, 103, 103, 105, 105, 105, 105, 105}));
}

TEST(ReadExactAt, EndOfFileAndOtherErrorsFail) {
  ScriptedPread eof({{4, 0}, {0, 0}});
  std::vector<std::uint8_t> buf(8);
  auto short_read = detail::read_exact_at_with(eof, buf, 0);
  ASSERT_FALSE(short_read);
  EXPECT_EQ(short_read.error(), IoError::unexpected_eof());

  ScriptedPread failing({{-1, EIO}, {8, 0}});
  auto failed = detail::read_exact_at_with(failing, buf, 0);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error(), IoError::from_errno(EIO));
  EXPECT_EQ(failing.offsets.size(), 1U);

  ScriptedPread untouched;
  EXPECT_TRUE(detail::read_exact_at_with(untouched, std::span<std::uint8_t>(), 0));
  EXPECT_TRUE(untouched.offsets.empty());
}

TEST(ReadExactAt, RealFileReadsLeaveTheFilePositionAlone) {
  const std::vector<std::uint8_t> data = pattern(100);
  test::TempFile file(data);
  const UniqueFd fd(test::open_read_only(file.path()));
  ASSERT_TRUE(fd);
  ASSERT_EQ(::lseek(fd.get(), 7, SEEK_SET), 7);
  std::vector<std::uint8_t> buf(20);
  ASSERT_TRUE(read_exact_at_compat(fd.get(), buf, 50));
  EXPECT_EQ(buf, std::vector<std::uint8_t>(data.begin() + 50, data.begin() + 70));
  if (test::READS_KEEP_POSITION) {
    EXPECT_EQ(::lseek(fd.get(), 0, SEEK_CUR), 7);
  }
  auto past = read_exact_at_compat(fd.get(), buf, 90);
  ASSERT_FALSE(past);
  EXPECT_EQ(past.error(), IoError::unexpected_eof());
  auto bad = read_exact_at_compat(-1, buf, 0);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().raw_os_error(), test::BAD_DESCRIPTOR_ERROR);
}

}  // namespace
}  // namespace marrowvane_dat
