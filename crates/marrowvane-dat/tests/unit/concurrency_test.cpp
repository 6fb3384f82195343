// SPDX-License-Identifier: MIT
// One database read by many threads at once gives every thread exactly what a single
// thread gets, errors included, from every kind of source and on every read path.
// Under ThreadSanitizer these tests also prove the reads share no unguarded state.
#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "marrowvane_dat/dat_database.hpp"
#include "marrowvane_dat_testkit/archive_builder.hpp"
#include "marrowvane_dat_testkit/rng.hpp"
#include "test_support.hpp"

namespace marrowvane_dat {
namespace {

using testkit::ArchiveBuilder;
using testkit::ChainLayout;
using testkit::FileSpec;
using testkit::Rng;
using Bytes = std::vector<std::uint8_t>;

// Holds nothing in memory and reads only exactly, so chains go through the windowed
// walk (tiny blocks) or the default piece-by-piece vectored read.
class ExactOnlySource final : public ArchiveSource {
 public:
  explicit ExactOnlySource(Bytes bytes) : inner_(std::move(bytes)) {}
  [[nodiscard]] std::expected<void, IoError> read_exact_at(std::span<std::uint8_t> buf,
                                                           std::uint64_t offset) const override {
    return inner_.read_exact_at(buf, offset);
  }
  [[nodiscard]] std::optional<std::uint64_t> size_hint() const noexcept override {
    return inner_.size_hint();
  }

 private:
  MemorySource inner_;
};

// The files of an archive, and ids whose entries are damaged: their reads fail.
struct Fixture {
  Bytes image;
  std::vector<std::uint32_t> ids;
};

Fixture make_fixture(std::uint32_t block_size) {
  Rng rng(block_size);
  ArchiveBuilder builder(block_size);
  std::vector<DatFileEntry> entries;
  for (std::uint32_t i = 0; i < 120; ++i) {
    FileSpec file{.id = 0x06000000 + i, .content = {}, .compressed = i % 3 == 0};
    file.content.resize(rng.below(3000));
    // Runs of repeated bytes, so compressed files shrink.
    for (std::size_t j = 0; j < file.content.size(); ++j) {
      file.content[j] = j % 16 == 0 ? rng.byte() : file.content[j - 1];
    }
    entries.push_back(
        builder.add_file(file, i % 2 == 0 ? ChainLayout::Scattered : ChainLayout::Contiguous));
  }
  // A chain that links to itself, asked for every byte there is, and a chain that runs
  // off the end of the archive.
  const std::uint32_t loop = builder.write_chain(Bytes(3 * block_size, 0x5A));
  builder.patch_u32(loop, loop);
  entries.push_back(DatFileEntry{.id = 0x07000001, .offset = loop, .size = 0xFFFFFFFF});
  const std::uint32_t cut = builder.write_chain(Bytes(4 * block_size, 0xA5));
  builder.patch_u32(cut, 0xFFFFFF00U);
  entries.push_back(DatFileEntry{.id = 0x07000002, .offset = cut, .size = 4 * block_size});
  builder.build_directory(entries, ChainLayout::Scattered);

  Fixture fixture{builder.bytes(), {}};
  for (const DatFileEntry& entry : entries) fixture.ids.push_back(entry.id);
  return fixture;
}

// What one get_file call gave, comparable across threads.
std::string outcome(const Result<Bytes>& result) {
  if (!result) return "error: " + result.error().to_string();
  return std::string(result->begin(), result->end());
}

using Param = std::tuple<std::string, std::uint32_t>;

class EverySource : public ::testing::TestWithParam<Param> {};

TEST_P(EverySource, ThreadsReadWhatOneThreadReads) {
  const auto& [source, block_size] = GetParam();
  const Fixture fixture = make_fixture(block_size);
  const test::TempFile file(fixture.image);
  Result<DatDatabase> database =
      source == "exact_only" ? DatDatabase::open(std::make_unique<ExactOnlySource>(fixture.image))
                             : test::open_as(source, fixture.image, file);
  ASSERT_TRUE(database) << database.error().debug();

  std::vector<std::string> expected;
  for (const std::uint32_t id : fixture.ids) expected.push_back(outcome(database->get_file(id)));
  ASSERT_EQ(expected[expected.size() - 2].rfind("error: Corruption detected", 0), 0U)
      << expected[expected.size() - 2];
  ASSERT_EQ(expected.back(), "error: IO error: failed to fill whole buffer");

  constexpr std::size_t THREADS = 4;
  std::vector<int> mismatches(THREADS, 0);
  {
    std::vector<std::jthread> threads;
    for (std::size_t t = 0; t < THREADS; ++t) {
      threads.emplace_back([&, t] {
        // Each thread starts at another file, so the same chains are read at once.
        const std::size_t count = fixture.ids.size();
        Bytes reused;
        for (std::size_t n = 0; n < 2 * count; ++n) {
          const std::size_t i = (n + t * count / THREADS) % count;
          if (outcome(database->get_file(fixture.ids[i])) != expected[i]) ++mismatches[t];
          // The reusing call and the size query go the same read paths.
          if (database->get_file_into(fixture.ids[i], reused) &&
              std::string(reused.begin(), reused.end()) != expected[i]) {
            ++mismatches[t];
          }
          (void)database->decompressed_size(fixture.ids[i]);
        }
      });
    }
  }
  EXPECT_EQ(mismatches, std::vector<int>(THREADS, 0));
}

INSTANTIATE_TEST_SUITE_P(Concurrency, EverySource,
                         ::testing::Combine(::testing::Values("pread", "mapped", "borrowed",
                                                              "owned", "exact_only"),
                                            ::testing::Values(5U, 1024U)),
                         [](const ::testing::TestParamInfo<Param>& param) {
                           return std::get<0>(param.param) + "_block_size_" +
                                  std::to_string(std::get<1>(param.param));
                         });

}  // namespace
}  // namespace marrowvane_dat
