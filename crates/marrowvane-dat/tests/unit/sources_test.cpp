// SPDX-License-Identifier: MIT
// Where archive bytes come from: files by pread or mapping, memory borrowed or owned,
// the vectored read underneath, and paths that cannot hold an archive.
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#ifndef _WIN32
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include "marrowvane_dat/dat_database.hpp"
#include "marrowvane_dat_testkit/archive_builder.hpp"
#include "marrowvane_dat_testkit/rng.hpp"
#include "posix_io.hpp"
#include "test_support.hpp"

namespace marrowvane_dat {
namespace {

using testkit::ArchiveBuilder;
using testkit::ChainLayout;
using testkit::FileSpec;
using Bytes = std::vector<std::uint8_t>;

std::vector<FileSpec> some_files() {
  testkit::Rng rng(11);
  std::vector<FileSpec> files;
  for (std::uint32_t i = 0; i < 30; ++i) {
    Bytes content(rng.below(5000));
    for (auto& byte : content) byte = static_cast<std::uint8_t>(rng.below(7));
    files.push_back(
        {.id = 0x0A000000 + i * 5, .content = std::move(content), .compressed = i % 2 == 1});
  }
  return files;
}

TEST(Sources, EveryOpenGivesTheSameDirectoryAndFiles) {
  ArchiveBuilder builder;
  const auto files = some_files();
  builder.add_files(files, ChainLayout::Scattered);
  const Bytes image = builder.bytes();
  test::TempFile file(image);

  std::vector<Result<DatDatabase>> opened;
  for (const std::string_view source : test::EVERY_SOURCE) {
    opened.push_back(test::open_as(source, image, file));
  }
  for (auto& database : opened) {
    ASSERT_TRUE(database) << database.error().debug();
    EXPECT_EQ(database->header(), opened.front()->header());
    ASSERT_EQ(database->files().size(), files.size());
    for (const FileSpec& wanted : files) {
      auto bytes = database->get_file(wanted.id);
      ASSERT_TRUE(bytes) << bytes.error().debug();
      EXPECT_EQ(*bytes, wanted.content);
    }
  }
}

TEST(Sources, HeaderAndDirectoryErrorsAreTheSameFromEverySource) {
  ArchiveBuilder builder;
  builder.add_files(some_files());
  const Bytes full = builder.bytes();
  // Cut inside the header, at the directory, and inside a node.
  for (const std::size_t cut : {std::size_t{0}, std::size_t{0x150}, std::size_t{0x18E},
                                full.size() - 2000, full.size() - 10}) {
    const Bytes image(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cut));
    test::TempFile file(image);
    std::vector<std::string> outcomes;
    for (const std::string_view source : test::EVERY_SOURCE) {
      const auto database = test::open_as(source, image, file);
      outcomes.push_back(database ? std::string("opened") : database.error().to_string());
      EXPECT_EQ(outcomes.back(), outcomes.front()) << source << " cut at " << cut;
    }
  }
}

// Both ways of opening a file, on the same path.
std::vector<Result<DatDatabase>> open_file_both_ways(const std::filesystem::path& path) {
  std::vector<Result<DatDatabase>> opened;
  opened.push_back(DatDatabase::open(path));
  opened.push_back(DatDatabase::open_mapped(path));
  return opened;
}

TEST(Sources, MissingFileIsAPathErrorFromBothFileOpens) {
  for (const auto& database : open_file_both_ways("/nonexistent/portal.dat")) {
    ASSERT_FALSE(database);
    const auto* path_error = database.error().get_if<DatError::PathError>();
    ASSERT_NE(path_error, nullptr);
    EXPECT_EQ(path_error->source.raw_os_error(), test::MISSING_DIRECTORY_ERROR);
  }
}

TEST(Sources, BorrowedBytesAreReadInPlace) {
  ArchiveBuilder builder;
  builder.add_files({{.id = 0x06000001, .content = Bytes(3000, 0x42)}});
  Bytes image = builder.bytes();
  auto database = DatDatabase::open_borrowed(image);
  ASSERT_TRUE(database);
  const DatFileEntry* entry = database->find(0x06000001);
  ASSERT_NE(entry, nullptr);
  // A change to the caller's bytes shows through: nothing was copied.
  image[entry->offset + 4] = 0x43;
  auto bytes = database->get_file(0x06000001);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(bytes->front(), 0x43);
}

// A FIFO with no writer would block a plain open for ever; a terminal or another
// character device could block or stream for ever too. (Windows has neither FIFOs in
// the file system nor device files under /dev.)
#ifndef _WIN32
TEST(Sources, SpecialFilesAreRefusedAtOnce) {
  const std::filesystem::path fifo = test::TempFile::unique_path();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0) << std::strerror(errno);
  const std::filesystem::path socket_path = test::TempFile::unique_path();
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);

  const auto started = std::chrono::steady_clock::now();
  for (const std::filesystem::path& path : {fifo, socket_path, std::filesystem::path("/dev/null"),
                                            std::filesystem::path("/dev/zero")}) {
    for (const auto& database : open_file_both_ways(path)) {
      ASSERT_FALSE(database) << path;
      EXPECT_EQ(database.error().kind(), DatErrorKind::PathError) << path;
    }
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  auto fifo_error = DatDatabase::open(fifo);
  ASSERT_FALSE(fifo_error);
  EXPECT_EQ(fifo_error.error().to_string(),
            "Failed to open file at " + fifo.string() + ": not a regular file or block device");
  ::close(sock);
  std::filesystem::remove(fifo);
  std::filesystem::remove(socket_path);
}
#endif

// POSIX opens a directory and fails reading its header; Windows refuses to open one
// for reading at all (access denied).
TEST(Sources, DirectoryIsRefusedWithTheSystemsReason) {
  for (const auto& database : open_file_both_ways(::testing::TempDir())) {
    ASSERT_FALSE(database);
#ifdef _WIN32
    EXPECT_EQ(database.error().kind(), DatErrorKind::PathError);
    EXPECT_NE(database.error().to_string().find(test::os_text(5)), std::string::npos)
        << database.error().to_string();
#else
    EXPECT_EQ(database.error().kind(), DatErrorKind::BinRead);
    EXPECT_NE(database.error().to_string().find("Is a directory"), std::string::npos)
        << database.error().to_string();
#endif
  }
}

// Feeds the vectored read loop a scripted series of results.
struct ScriptedPreadv {
  struct Step {
    std::int64_t result;
    int error;
  };
  std::vector<Step> steps;
  std::vector<std::pair<std::uint64_t, std::size_t>> calls;  // offset, skip
  std::size_t next = 0;

  std::int64_t operator()(std::span<const std::span<std::uint8_t>> pieces, std::size_t skip,
                          std::uint64_t offset) {
    calls.emplace_back(offset, skip);
    const Step step = next < steps.size() ? steps[next++] : Step{0, 0};
    if (step.result < 0) {
      errno = step.error;
      return -1;
    }
    // Fills byte by byte with the low bits of its file offset, as a real read would
    // fill each piece from where the previous one stopped.
    std::int64_t done = 0;
    for (const auto piece : pieces) {
      for (std::size_t i = skip; i < piece.size() && done < step.result; ++i, ++done) {
        piece[i] = static_cast<std::uint8_t>(offset + static_cast<std::uint64_t>(done));
      }
      skip = 0;
    }
    return done;
  }
};

TEST(VectoredRead, ShortAndInterruptedReadsContinueAcrossPieces) {
  Bytes a(3), b(0), c(5);
  const std::span<std::uint8_t> pieces[] = {a, b, c};
  ScriptedPreadv read{{{2, 0}, {-1, EINTR}, {4, 0}, {2, 0}}, {}, 0};
  auto got = detail::read_vectored_at_with(read, pieces, 100);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, 8U);
  EXPECT_EQ(a, (Bytes{100, 101, 102}));
  EXPECT_EQ(c, (Bytes{103, 104, 105, 106, 107}));
  // Resumed at the byte after the last one read, inside the piece it stopped in.
  EXPECT_EQ(read.calls, (std::vector<std::pair<std::uint64_t, std::size_t>>{
                            {100, 0}, {102, 2}, {102, 2}, {106, 3}}));
}

TEST(VectoredRead, EndOfDataAndFailuresReportWhatWasRead) {
  Bytes a(4), b(4);
  const std::span<std::uint8_t> pieces[] = {a, b};
  ScriptedPreadv ends{{{6, 0}, {0, 0}}, {}, 0};
  auto partial = detail::read_vectored_at_with(ends, pieces, 0);
  ASSERT_TRUE(partial);
  EXPECT_EQ(*partial, 6U);

  ScriptedPreadv fails_late{{{5, 0}, {-1, EIO}}, {}, 0};
  auto late = detail::read_vectored_at_with(fails_late, pieces, 0);
  ASSERT_TRUE(late);
  EXPECT_EQ(*late, 5U);

  ScriptedPreadv fails_first{{{-1, EIO}}, {}, 0};
  auto first = detail::read_vectored_at_with(fails_first, pieces, 0);
  ASSERT_FALSE(first);
  EXPECT_EQ(first.error(), IoError::from_errno(EIO));
}

TEST(VectoredRead, RealFileFillsPiecesInOrderUpToItsEnd) {
  Bytes data(5000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
  test::TempFile file(data);
  UniqueFd fd(test::open_read_only(file.path()));
  ASSERT_TRUE(fd);
  FileSource source(std::move(fd));
  EXPECT_EQ(source.size_hint(), 5000U);
  Bytes a(1000), b(2000), c(3000);
  const std::span<std::uint8_t> pieces[] = {a, b, c};
  auto got = source.read_vectored_at(pieces, 100);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, 4900U);
  EXPECT_TRUE(std::equal(a.begin(), a.end(), data.begin() + 100));
  EXPECT_TRUE(std::equal(b.begin(), b.end(), data.begin() + 1100));
  EXPECT_TRUE(std::equal(c.begin(), c.begin() + 1900, data.begin() + 3100));
}

// Bytes just written are in the page cache, so a read that must not wait gets them all
// where the system can say so; memory never waits.
TEST(VectoredRead, CachedReadsGiveWhatMemoryHolds) {
  Bytes data(5000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
  test::TempFile file(data);
  UniqueFd fd(test::open_read_only(file.path()));
  ASSERT_TRUE(fd);
  const FileSource from_file(std::move(fd));
  const MemorySource from_memory(data);
  for (const ArchiveSource* source : {static_cast<const ArchiveSource*>(&from_file),
                                      static_cast<const ArchiveSource*>(&from_memory)}) {
    Bytes a(1000), b(6000);
    const std::span<std::uint8_t> pieces[] = {a, b};
    const std::size_t got = source->read_cached_at(pieces, 100);
#ifdef _WIN32
    if (source == &from_file) {
      EXPECT_EQ(got, 0U);
      continue;
    }
#endif
    EXPECT_EQ(got, 4900U);
    EXPECT_TRUE(std::equal(a.begin(), a.end(), data.begin() + 100));
    EXPECT_TRUE(std::equal(b.begin(), b.begin() + 3900, data.begin() + 1100));
  }
}

}  // namespace
}  // namespace marrowvane_dat
