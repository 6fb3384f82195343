// Throughput of the hot paths: opening an archive, retrieving plain and compressed
// files, LRS decompression and Font parsing, all over synthetic archives.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "marrowvane_dat/archive_source.hpp"
#include "marrowvane_dat/binary_reader.hpp"
#include "marrowvane_dat/dat_database.hpp"
#include "marrowvane_dat/file_type/font.hpp"
#include "marrowvane_dat/utils.hpp"
#include "marrowvane_dat_testkit/archive_builder.hpp"
#include "marrowvane_dat_testkit/font_writer.hpp"
#include "marrowvane_dat_testkit/lrs_compressor.hpp"
#include "marrowvane_dat_testkit/rng.hpp"

namespace {

using marrowvane_dat::Cursor;
using marrowvane_dat::DatDatabase;
using marrowvane_dat::DatFileEntry;
using marrowvane_dat::Font;
using marrowvane_dat::MemorySource;
using marrowvane_dat::testkit::ArchiveBuilder;
using marrowvane_dat::testkit::ChainLayout;
using marrowvane_dat::testkit::FileSpec;
using marrowvane_dat::testkit::Rng;
using Bytes = std::vector<std::uint8_t>;

constexpr std::int64_t KIB = 1024;
constexpr std::int64_t MIB = 1024 * KIB;
constexpr std::uint32_t FILE_ID = 0x06000001;

// Words from a small vocabulary with spaces and line breaks: compresses about as
// well as the text and tables stored in real archives.
Bytes text_like(std::size_t size) {
  static constexpr std::string_view WORDS[] = {
      "the",   "portal", "archive", "block", "of",    "and",     "file",   "node",
      "chain", "header", "glyph",   "font",  "id",    "surface", "0x0600", "size",
      "to",    "is",     "a",       "with",  "entry", "offset",  "motion", "table",
  };
  Rng rng(size);
  Bytes out;
  out.reserve(size + 16);
  while (out.size() < size) {
    const std::uint64_t r = rng.next();
    out.insert(out.end(), WORDS[r % std::size(WORDS)].begin(), WORDS[r % std::size(WORDS)].end());
    out.push_back((r >> 32) % 12 == 0 ? '\n' : ' ');
  }
  out.resize(size);
  return out;
}

// Bytes with no structure at all, so retrieval is not helped by anything.
Bytes random_bytes(std::size_t size) {
  Rng rng(size ^ 0xA5A5A5A5ULL);
  Bytes out(size);
  for (std::uint8_t& byte : out) {
    byte = rng.byte();
  }
  return out;
}

// An archive image written to a temporary file, removed when the benchmark binary ends.
class TempArchive {
 public:
  TempArchive(const ArchiveBuilder& builder, std::string_view name)
      : path_(std::filesystem::temp_directory_path() /
              ("marrowvane_dat_bench_" + std::to_string(::getpid()) + "_" + std::string(name) +
               ".dat")) {
    builder.write_to(path_);
  }
  TempArchive(const TempArchive&) = delete;
  TempArchive& operator=(const TempArchive&) = delete;
  ~TempArchive() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }

  [[nodiscard]] const std::filesystem::path& path() const noexcept { return path_; }

 private:
  std::filesystem::path path_;
};

// The runner calls a benchmark function several times while it settles on an
// iteration count; fixtures are built once per argument and kept for the whole run.
template <class Fixture, class Make>
const Fixture& cached(std::map<std::int64_t, std::unique_ptr<Fixture>>& cache, std::int64_t key,
                      Make make) {
  auto& slot = cache[key];
  if (!slot) slot = std::make_unique<Fixture>(make());
  return *slot;
}

// --- Opening: the header and the whole directory -------------------------------------

struct DirectoryArchive {
  Bytes image;
  std::unique_ptr<TempArchive> file;
  std::int64_t entries = 0;
};

// `entries` directory entries that all share one small chain, so the image is
// essentially the directory tree and opening measures the tree walk, not a copy of
// file payloads.
DirectoryArchive make_directory_archive(std::int64_t entries) {
  ArchiveBuilder builder;
  const DatFileEntry shared = builder.add_file(FileSpec{.id = 0, .content = Bytes(64, 0x5A)});
  std::vector<DatFileEntry> list;
  list.reserve(static_cast<std::size_t>(entries));
  for (std::int64_t i = 0; i < entries; ++i) {
    DatFileEntry entry = shared;
    entry.id = 0x06000000U + static_cast<std::uint32_t>(i) * 3U;
    list.push_back(entry);
  }
  builder.build_directory(std::move(list));
  DirectoryArchive archive{builder.bytes(), nullptr, entries};
  archive.file = std::make_unique<TempArchive>(builder, "dir" + std::to_string(entries));
  return archive;
}

const DirectoryArchive& directory_archive(std::int64_t entries) {
  static std::map<std::int64_t, std::unique_ptr<DirectoryArchive>> cache;
  return cached(cache, entries, [&] { return make_directory_archive(entries); });
}

void check_open(benchmark::State& state, const marrowvane_dat::Result<DatDatabase>& database,
                std::int64_t entries) {
  if (!database) {
    state.SkipWithError(database.error().to_string().c_str());
  } else if (static_cast<std::int64_t>(database->files().size()) != entries) {
    state.SkipWithError("the directory did not load every entry");
  }
}

void BM_OpenFromMemory(benchmark::State& state) {
  const DirectoryArchive& archive = directory_archive(state.range(0));
  for (auto _ : state) {
    // The copy into the source is part of what a caller pays to open from memory; it is
    // small next to the walk because the image holds little besides the tree.
    auto database = DatDatabase::open(std::make_unique<MemorySource>(archive.image));
    benchmark::DoNotOptimize(database);
    if (!database) {
      check_open(state, database, archive.entries);
      break;
    }
  }
  check_open(state, DatDatabase::open(std::make_unique<MemorySource>(archive.image)),
             archive.entries);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(archive.image.size()));
  state.SetItemsProcessed(state.iterations() * archive.entries);
}
BENCHMARK(BM_OpenFromMemory)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

void BM_OpenFromFile(benchmark::State& state) {
  const DirectoryArchive& archive = directory_archive(state.range(0));
  for (auto _ : state) {
    auto database = DatDatabase::open(archive.file->path());
    benchmark::DoNotOptimize(database);
    if (!database) {
      check_open(state, database, archive.entries);
      break;
    }
  }
  check_open(state, DatDatabase::open(archive.file->path()), archive.entries);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(archive.image.size()));
  state.SetItemsProcessed(state.iterations() * archive.entries);
}
BENCHMARK(BM_OpenFromFile)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

// --- Retrieval: one file through its block chain ----------------------------------------

struct OneFileArchive {
  std::unique_ptr<TempArchive> file;
  Bytes content;
};

OneFileArchive make_one_file_archive(const Bytes& content, bool compressed, ChainLayout layout,
                                     std::string_view name) {
  ArchiveBuilder builder;
  builder.add_files({FileSpec{.id = FILE_ID, .content = content, .compressed = compressed}},
                    layout);
  return OneFileArchive{std::make_unique<TempArchive>(builder, name), content};
}

void run_get_file(benchmark::State& state, const OneFileArchive& archive) {
  const auto database = DatDatabase::open(archive.file->path());
  if (!database) {
    state.SkipWithError(database.error().to_string().c_str());
    return;
  }
  for (auto _ : state) {
    auto file = database->get_file(FILE_ID);
    benchmark::DoNotOptimize(file);
    if (!file || file->size() != archive.content.size()) {
      state.SkipWithError("get_file did not return the stored file");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(archive.content.size()));
}

// Arguments: file size, and 1 for a scattered chain (0 contiguous).
void BM_GetFilePlain(benchmark::State& state) {
  static std::map<std::int64_t, std::unique_ptr<OneFileArchive>> cache;
  const std::int64_t size = state.range(0);
  const bool scattered = state.range(1) != 0;
  const OneFileArchive& archive = cached(cache, size * 2 + (scattered ? 1 : 0), [&] {
    return make_one_file_archive(random_bytes(static_cast<std::size_t>(size)), false,
                                 scattered ? ChainLayout::Scattered : ChainLayout::Contiguous,
                                 "plain" + std::to_string(size) + (scattered ? "s" : "c"));
  });
  run_get_file(state, archive);
}
BENCHMARK(BM_GetFilePlain)
    ->ArgNames({"bytes", "scattered"})
    ->ArgsProduct({benchmark::CreateRange(KIB, MIB, 4), {0, 1}})
    ->Unit(benchmark::kMicrosecond);

// Argument: the decompressed size. Bytes processed count decompressed bytes.
void BM_GetFileCompressed(benchmark::State& state) {
  static std::map<std::int64_t, std::unique_ptr<OneFileArchive>> cache;
  const std::int64_t size = state.range(0);
  const OneFileArchive& archive = cached(cache, size, [&] {
    return make_one_file_archive(text_like(static_cast<std::size_t>(size)), true,
                                 ChainLayout::Contiguous, "lrs" + std::to_string(size));
  });
  run_get_file(state, archive);
}
BENCHMARK(BM_GetFileCompressed)->RangeMultiplier(8)->Range(KIB, MIB)->Unit(benchmark::kMicrosecond);

// --- Decompression alone --------------------------------------------------------------

struct LrsStream {
  Bytes compressed;
  std::size_t content_size = 0;
};

void BM_DecompressLrs(benchmark::State& state) {
  static std::map<std::int64_t, std::unique_ptr<LrsStream>> cache;
  const std::int64_t size = state.range(0);
  const LrsStream& stream = cached(cache, size, [&] {
    const Bytes content = text_like(static_cast<std::size_t>(size));
    return LrsStream{marrowvane_dat::testkit::compress_lrs(content), content.size()};
  });
  for (auto _ : state) {
    auto output = marrowvane_dat::decompress_lrs(stream.compressed);
    benchmark::DoNotOptimize(output);
    if (output.size() != stream.content_size) {
      state.SkipWithError("decompress_lrs did not restore the content");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(stream.content_size));
  state.counters["ratio"] =
      static_cast<double>(stream.content_size) / static_cast<double>(stream.compressed.size());
}
BENCHMARK(BM_DecompressLrs)
    ->RangeMultiplier(4)
    ->Range(4 * KIB, 4 * MIB)
    ->Unit(benchmark::kMicrosecond);

// --- Font records ----------------------------------------------------------------------

void BM_FontRead(benchmark::State& state) {
  const auto glyphs = static_cast<std::uint32_t>(state.range(0));
  const Bytes record =
      marrowvane_dat::testkit::encode_font(marrowvane_dat::testkit::make_font(0x40000001, glyphs));
  for (auto _ : state) {
    Cursor cursor(record);
    auto font = Font::read(cursor);
    benchmark::DoNotOptimize(font);
    if (!font) {
      state.SkipWithError(font.error().to_string().c_str());
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(record.size()));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_FontRead)->Arg(95)->Arg(128)->Arg(256);

}  // namespace

BENCHMARK_MAIN();
