// SPDX-License-Identifier: MIT
// The mount's reader of plain files against the library's own reading of the same
// entries: every range of every chain shape, read in any order and from many threads,
// gives the bytes get_file gives, and a damaged chain gives the library's error.
#include "plain_chain.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <marrowvane_dat_testkit/archive_builder.hpp>
#include <marrowvane_dat_testkit/rng.hpp>

#include <unistd.h>

namespace marrowvane_dat::cli {
namespace {

using testkit::ArchiveBuilder;
using testkit::ChainLayout;
using testkit::FileSpec;

std::vector<std::uint8_t> pattern(std::size_t size, std::uint32_t seed) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<std::uint8_t>((i * 131 + seed * 7 + i / 251) & 0xFF);
  }
  return bytes;
}

std::string describe(const DatError& error) {
  return error.to_string();
}

std::size_t below(testkit::Rng& rng, std::size_t bound) {
  return static_cast<std::size_t>(rng.next() % bound);
}

// Whether `got` is the bytes of `whole` at `from`.
bool matches(const std::vector<std::uint8_t>& got, const std::vector<std::uint8_t>& whole,
             std::size_t from) {
  return from + got.size() <= whole.size() &&
         std::equal(got.begin(), got.end(), whole.begin() + static_cast<std::ptrdiff_t>(from));
}

// Where a chain reads payloads from: the image in memory, or a file of it read through
// a descriptor with vectored reads, as the mount reads its archive.
enum class Payloads { memory, file };

constexpr Payloads PAYLOAD_KINDS[] = {Payloads::memory, Payloads::file};

std::unique_ptr<ArchiveSource> payload_source(std::span<const std::uint8_t> image, Payloads kind) {
  if (kind == Payloads::file) {
    // An unnamed temporary file, gone once its last descriptor closes.
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::tmpfile(), std::fclose);
    if (file && std::fwrite(image.data(), 1, image.size(), file.get()) == image.size() &&
        std::fflush(file.get()) == 0) {
      return std::make_unique<FileSource>(UniqueFd(::dup(::fileno(file.get()))));
    }
    ADD_FAILURE() << "could not write the archive to a temporary file";
  }
  return std::make_unique<MemorySource>(image);
}

// One archive image, opened twice over the same bytes: once as the library's database
// and once as the source the chain reads payloads from.
struct Opened {
  std::vector<std::uint8_t> image;
  DatDatabase db;
  std::unique_ptr<ArchiveSource> payloads;

  explicit Opened(std::vector<std::uint8_t> bytes, Payloads kind = Payloads::memory)
      : image(std::move(bytes)),
        db(DatDatabase::open_borrowed(image).value()),
        payloads(payload_source(image, kind)) {}

  PlainChain chain(std::uint32_t id) const { return PlainChain(db, payloads.get(), id, describe); }

  // The bytes [from, from + count) of `id` through a chain, joined; empty when the
  // chain would have had to wait.
  static ChainResult<std::vector<std::uint8_t>> read(PlainChain& chain, std::uint64_t from,
                                                     std::size_t count,
                                                     Waiting waiting = Waiting::allowed) {
    ReadPieces pieces;
    const auto read = chain.read(from, count, pieces, waiting);
    if (!read) {
      return std::unexpected(read.error());
    }
    if (*read == Served::would_wait) {
      EXPECT_TRUE(pieces.empty());
      return std::vector<std::uint8_t>{};
    }
    std::vector<std::uint8_t> joined;
    for (const auto piece : pieces) {
      joined.insert(joined.end(), piece.begin(), piece.end());
    }
    return joined;
  }
};

// Files of every size around the block payload, plain, in both layouts.
std::vector<FileSpec> sized_files(std::uint32_t block_size) {
  const std::size_t payload = block_size - 4;
  std::vector<FileSpec> files;
  std::uint32_t id = 0x01000001;
  for (const std::size_t size : {std::size_t{1}, payload - 1, payload, payload + 1, 3 * payload,
                                 std::size_t{70000}, std::size_t{300000}}) {
    files.push_back({.id = id, .content = pattern(size, id)});
    ++id;
  }
  return files;
}

TEST(PlainChain, EveryRangeOfEveryShapeMatchesTheLibrary) {
  for (const Payloads kind : PAYLOAD_KINDS) {
    for (const std::uint32_t block_size : {256U, 1024U}) {
      for (const ChainLayout layout : {ChainLayout::Contiguous, ChainLayout::Scattered}) {
        ArchiveBuilder builder(block_size);
        builder.add_files(sized_files(block_size), layout);
        const Opened archive(builder.bytes(), kind);
        testkit::Rng rng(block_size + static_cast<std::uint32_t>(layout));
        for (const DatFileEntry& e : archive.db.entries()) {
          SCOPED_TRACE(testing::Message() << "block size " << block_size << ", file " << e.id
                                          << (kind == Payloads::file ? ", from a file" : ""));
          const auto whole = archive.db.get_file(e.id).value();
          // Far ranges first, so the walk to them is tested before any read teaches it.
          PlainChain chain = archive.chain(e.id);
          for (int i = 0; i < 40; ++i) {
            const std::size_t from = i == 0 ? whole.size() - 1 : below(rng, whole.size());
            const std::size_t count =
                1 + below(rng, std::min<std::size_t>(whole.size() - from, 9000));
            const auto got = Opened::read(chain, from, count);
            ASSERT_TRUE(got) << got.error();
            ASSERT_TRUE(matches(*got, whole, from)) << "range " << from << "+" << count;
            ASSERT_EQ(got->size(), count);
          }
          // Start to end in the kernel's read size, on a fresh chain.
          PlainChain fresh = archive.chain(e.id);
          std::vector<std::uint8_t> streamed;
          for (std::uint64_t at = 0; at < whole.size(); at += 131072) {
            const auto got =
                Opened::read(fresh, at, std::min<std::uint64_t>(131072, whole.size() - at));
            ASSERT_TRUE(got) << got.error();
            streamed.insert(streamed.end(), got->begin(), got->end());
          }
          EXPECT_EQ(streamed, whole);
        }
      }
    }
  }
}

TEST(PlainChain, ShortenedAndDamagedChainsFollowTheLibrary) {
  ArchiveBuilder builder(256);
  const std::uint32_t payload = 252;
  // A link of 0 part way: that block is the last and its data runs on past it.
  const DatFileEntry early_end = builder.add_file({.id = 0x01000001, .content = pattern(2000, 1)});
  builder.patch_u32(early_end.offset + 256, 0);
  // A link past the archive's end.
  const DatFileEntry past_end = builder.add_file({.id = 0x01000002, .content = pattern(2000, 2)});
  builder.patch_u32(past_end.offset + 3 * 256, 0x7FFFFF00);
  // A link back to the chain's own first block, in an entry claiming more bytes than
  // the archive's blocks hold, so the loop cannot end.
  DatFileEntry looping = builder.add_file({.id = 0x01000003, .content = pattern(9000, 3)});
  builder.patch_u32(looping.offset + 2 * 256, looping.offset);
  looping.size = 200000;
  builder.build_directory({early_end, past_end, looping});
  for (const Payloads kind : PAYLOAD_KINDS) {
    SCOPED_TRACE(kind == Payloads::file ? "from a file" : "from memory");
    const Opened archive(builder.bytes(), kind);

    {
      const auto whole = archive.db.get_file(early_end.id).value();
      PlainChain chain = archive.chain(early_end.id);
      const auto got = Opened::read(chain, payload + 10, whole.size() - payload - 10);
      ASSERT_TRUE(got) << got.error();
      EXPECT_TRUE(matches(*got, whole, payload + 10));
    }
    for (const DatFileEntry& e : {past_end, looping}) {
      SCOPED_TRACE(testing::Message() << "file " << e.id);
      const auto walked = archive.db.block_offsets(e.id);
      ASSERT_FALSE(walked);
      const std::string expected = describe(walked.error());
      PlainChain chain = archive.chain(e.id);
      // The bytes before the damage are served as the chain gives them; reading on to the
      // damage fails with the library's words, and every read after that too.
      const auto head = Opened::read(chain, 0, 100);
      ASSERT_TRUE(head) << head.error();
      EXPECT_TRUE(matches(*head, pattern(e.id == past_end.id ? 2000 : 9000, e.id & 0xFF), 0));
      const auto whole = Opened::read(chain, 0, e.size);
      ASSERT_FALSE(whole);
      EXPECT_EQ(whole.error(), expected);
      const auto again = Opened::read(chain, 0, 100);
      ASSERT_FALSE(again);
      EXPECT_EQ(again.error(), expected);
    }
  }
}

// The mount's loop reads without waiting whatever the source holds in memory (a freshly
// written file is all in the page cache) and passes the rest to threads that may wait.
TEST(PlainChain, ReadsThatMayNotWaitServeWhatIsInMemoryAndLeaveTheRest) {
  ArchiveBuilder builder(256);
  const DatFileEntry sound = builder.add_file({.id = 0x01000001, .content = pattern(300000, 1)});
  const DatFileEntry damaged = builder.add_file({.id = 0x01000002, .content = pattern(2000, 2)});
  builder.patch_u32(damaged.offset + 3 * 256, 0x7FFFFF00);
  builder.build_directory({sound, damaged});
  for (const Payloads kind : PAYLOAD_KINDS) {
    SCOPED_TRACE(kind == Payloads::file ? "from a file" : "from memory");
    const Opened archive(builder.bytes(), kind);
    const auto whole = archive.db.get_file(sound.id).value();
    PlainChain chain = archive.chain(sound.id);
    std::vector<std::uint8_t> streamed;
    for (std::uint64_t at = 0; at < whole.size(); at += 131072) {
      const auto got = Opened::read(chain, at, std::min<std::uint64_t>(131072, whole.size() - at),
                                    Waiting::refused);
      ASSERT_TRUE(got) << got.error();
      streamed.insert(streamed.end(), got->begin(), got->end());
    }
    EXPECT_EQ(streamed, whole);

    // A damaged chain needs the library's walk, which waits: the read is left to a
    // thread that may wait, which gets the library's error; from then on every read
    // has it.
    const std::string expected = describe(archive.db.block_offsets(damaged.id).error());
    PlainChain broken = archive.chain(damaged.id);
    const auto left = Opened::read(broken, 0, damaged.size, Waiting::refused);
    ASSERT_TRUE(left) << left.error();
    EXPECT_TRUE(left->empty());
    const auto waited = Opened::read(broken, 0, damaged.size);
    ASSERT_FALSE(waited);
    EXPECT_EQ(waited.error(), expected);
    const auto after = Opened::read(broken, 0, 10, Waiting::refused);
    ASSERT_FALSE(after);
    EXPECT_EQ(after.error(), expected);
  }
}

TEST(PlainChain, ManyThreadsLearnOneChainTogether) {
  ArchiveBuilder builder(1024);
  builder.add_files({{.id = 0x01000001, .content = pattern(3000000, 9)}}, ChainLayout::Contiguous);
  const Opened archive(builder.bytes(), Payloads::file);
  const auto whole = archive.db.get_file(0x01000001).value();
  PlainChain chain = archive.chain(0x01000001);
  std::vector<std::thread> readers;
  std::vector<int> mismatches(8, 0);
  for (int t = 0; t < 8; ++t) {
    readers.emplace_back([&, t] {
      testkit::Rng rng(static_cast<std::uint32_t>(t) + 1);
      for (int i = 0; i < 200; ++i) {
        const std::size_t from = below(rng, whole.size());
        const std::size_t count =
            1 + below(rng, std::min<std::size_t>(whole.size() - from, 200000));
        const auto got = Opened::read(chain, from, count);
        if (!got || !matches(*got, whole, from)) {
          ++mismatches[static_cast<std::size_t>(t)];
        }
      }
    });
  }
  for (std::thread& reader : readers) {
    reader.join();
  }
  EXPECT_EQ(mismatches, std::vector<int>(8, 0));
}

}  // namespace
}  // namespace marrowvane_dat::cli
