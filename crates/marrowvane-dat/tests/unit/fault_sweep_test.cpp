// SPDX-License-Identifier: MIT
// Fails the Nth read of an archive, for every N across opening it and reading every
// file: each run must end in a DatError or in exactly the clean bytes, never anything
// else, however the reads are batched.
#include <algorithm>
#include <cerrno>
#include <limits>
#include <map>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "marrowvane_dat/dat_database.hpp"
#include "marrowvane_dat_testkit/archive_builder.hpp"
#include "marrowvane_dat_testkit/rng.hpp"

namespace marrowvane_dat {
namespace {

using testkit::ArchiveBuilder;
using testkit::ChainLayout;
using testkit::FileSpec;
using Bytes = std::vector<std::uint8_t>;

enum class Fault {
  Error,     // the read fails with an I/O error
  Short,     // the read delivers half its bytes (an exact read then reports the end)
  EarlyEnd,  // from this read on, the archive ends where the read starts
};

// Serves an image and breaks its Nth read (counting every call, exact or vectored).
class FaultySource final : public ArchiveSource {
 public:
  FaultySource(const Bytes& image, std::uint64_t fail_at, Fault fault)
      : image_(image), fail_at_(fail_at), fault_(fault), end_(image.size()) {}

  [[nodiscard]] std::expected<void, IoError> read_exact_at(std::span<std::uint8_t> buf,
                                                           std::uint64_t offset) const override {
    const Plan plan = begin_read(offset);
    if (plan.fail) return std::unexpected(IoError::from_errno(EIO));
    if ((plan.half && !buf.empty()) || offset > end_ || buf.size() > end_ - offset) {
      return std::unexpected(IoError::unexpected_eof());
    }
    std::copy_n(image_.begin() + static_cast<std::ptrdiff_t>(offset), buf.size(), buf.begin());
    return {};
  }

  [[nodiscard]] std::expected<std::size_t, IoError> read_vectored_at(
      std::span<const std::span<std::uint8_t>> pieces, std::uint64_t offset) const override {
    const Plan plan = begin_read(offset);
    if (plan.fail) return std::unexpected(IoError::from_errno(EIO));
    std::uint64_t total = 0;
    for (const auto piece : pieces) total += piece.size();
    std::uint64_t limit = offset >= end_ ? 0 : std::min<std::uint64_t>(total, end_ - offset);
    if (plan.half) limit /= 2;
    std::uint64_t done = 0;
    for (const auto piece : pieces) {
      const auto count =
          static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), limit - done));
      std::copy_n(image_.begin() + static_cast<std::ptrdiff_t>(offset + done), count,
                  piece.begin());
      done += count;
      if (count < piece.size()) break;
    }
    return static_cast<std::size_t>(done);
  }

  [[nodiscard]] std::optional<std::uint64_t> size_hint() const noexcept override {
    return image_.size();
  }

  [[nodiscard]] std::uint64_t reads() const noexcept { return reads_; }

 private:
  struct Plan {
    bool fail;
    bool half;
  };
  // Counts a read at `offset` and says what becomes of it.
  Plan begin_read(std::uint64_t offset) const {
    const bool hit = ++reads_ == fail_at_;
    if (hit && fault_ == Fault::EarlyEnd) end_ = std::min<std::uint64_t>(end_, offset);
    return {hit && fault_ == Fault::Error, hit && fault_ == Fault::Short};
  }

  const Bytes& image_;
  std::uint64_t fail_at_;
  Fault fault_;
  mutable std::uint64_t reads_ = 0;
  mutable std::uint64_t end_;
};

struct Archive {
  Bytes image;
  std::map<std::uint32_t, Bytes> contents;
};

Archive make_archive(std::uint32_t block_size) {
  testkit::Rng rng(block_size);
  ArchiveBuilder builder(block_size);
  Archive archive;
  std::vector<FileSpec> files;
  for (std::uint32_t i = 0; i < 70; ++i) {
    Bytes content(rng.below(block_size * 6));
    for (auto& byte : content) byte = static_cast<std::uint8_t>(rng.below(5) + 'a');
    archive.contents[0x0E000000 + i] = content;
    files.push_back(
        {.id = 0x0E000000 + i, .content = std::move(content), .compressed = i % 4 == 0});
  }
  // Mixed layouts, so runs of adjacent blocks and jumps both occur.
  std::vector<DatFileEntry> entries;
  for (std::size_t i = 0; i < files.size(); ++i) {
    entries.push_back(
        builder.add_file(files[i], i % 2 == 0 ? ChainLayout::Contiguous : ChainLayout::Scattered));
  }
  builder.build_directory(entries, ChainLayout::Scattered);
  archive.image = builder.bytes();
  return archive;
}

// Opens and reads every file; returns the number of reads it took. Every outcome must
// be a clean file or an error of the file layer or of damage it causes.
std::uint64_t run_once(const Archive& archive, std::uint64_t fail_at, Fault fault) {
  auto owned = std::make_unique<FaultySource>(archive.image, fail_at, fault);
  const FaultySource& source = *owned;
  auto database = DatDatabase::open(std::move(owned));
  if (!database) {
    const DatErrorKind kind = database.error().kind();
    EXPECT_TRUE(kind == DatErrorKind::Io || kind == DatErrorKind::BinRead ||
                kind == DatErrorKind::Corruption)
        << fail_at << ": " << database.error().debug();
    return fail_at;
  }
  EXPECT_EQ(database->files().size(), archive.contents.size()) << fail_at;
  Bytes buffer;
  for (const auto& [id, content] : archive.contents) {
    if (auto read = database->get_file_into(id, buffer); !read) {
      const DatErrorKind kind = read.error().kind();
      EXPECT_TRUE(kind == DatErrorKind::Io || kind == DatErrorKind::Corruption)
          << fail_at << " " << id << ": " << read.error().debug();
      continue;
    }
    EXPECT_EQ(buffer, content) << "read " << fail_at << " broken, file " << id;
  }
  return source.reads();
}

TEST(FaultSweep, EveryBrokenReadEndsInAnErrorOrTheCleanBytes) {
  for (const std::uint32_t block_size : {16U, 256U, 1024U}) {
    const Archive archive = make_archive(block_size);
    // A run that breaks nothing counts the reads to sweep.
    const std::uint64_t reads = run_once(archive, 0, Fault::Error);
    ASSERT_GT(reads, 40U) << block_size;
    for (const Fault fault : {Fault::Error, Fault::Short, Fault::EarlyEnd}) {
      for (std::uint64_t n = 1; n <= reads + 1; ++n) {
        SCOPED_TRACE("block size " + std::to_string(block_size) + ", fault " +
                     std::to_string(static_cast<int>(fault)) + ", read " + std::to_string(n));
        run_once(archive, n, fault);
        if (HasFailure()) return;
      }
    }
  }
}

}  // namespace
}  // namespace marrowvane_dat
