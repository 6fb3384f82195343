// SPDX-License-Identifier: MIT
// Opening archives whose directory is laid out to be slow to open (5-byte blocks in
// scattered chains) beside reading the same file once from start to end, and the CPU
// time each spends per archive byte.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "marrowvane_dat/dat_database.hpp"
#include "marrowvane_dat_testkit/hostile.hpp"

namespace marrowvane_dat::bench {
namespace {

constexpr std::size_t SIZES[] = {64 << 10, 256 << 10, 1 << 20};

struct SlowArchive {
  std::filesystem::path path;
  std::size_t bytes = 0;
  std::size_t entries = 0;
};

const SlowArchive& slow_archive(std::size_t size) {
  static std::map<std::size_t, std::unique_ptr<SlowArchive>> cache;
  return cached(cache, size, [&] {
    const Bytes image = testkit::tiny_block_directory(size).bytes();
    SlowArchive archive{scratch_dir() / ("slow-open-" + std::to_string(size) + ".dat"),
                        image.size(), 0};
    write_file(archive.path, image);
    auto database = DatDatabase::open(archive.path);
    archive.entries = database ? database->files().size() : 0;
    return archive;
  });
}

// CPU time per byte of the archive, the figure the open is held to.
void per_byte(benchmark::State& state, std::size_t bytes) {
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
  state.counters["cpu_per_byte"] =
      benchmark::Counter(static_cast<double>(bytes), benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}

void bench_slow_open(benchmark::State& state, std::size_t size) {
  const SlowArchive& archive = slow_archive(size);
  for (auto _ : state) {
    auto database = DatDatabase::open(archive.path);
    benchmark::DoNotOptimize(database);
    if (!database || database->files().size() != archive.entries || archive.entries == 0) {
      state.SkipWithError("the slow-open archive did not open with every entry");
      return;
    }
  }
  per_byte(state, archive.bytes);
}

// What reading the file costs at the least: one open, one whole read, one close.
void bench_read_once(benchmark::State& state, std::size_t size) {
  const SlowArchive& archive = slow_archive(size);
  Bytes buffer(archive.bytes);
  for (auto _ : state) {
    const ReadOnlyFile file(archive.path);
    if (!pread_all(file.fd(), buffer, 0)) {
      state.SkipWithError("the slow-open archive could not be read");
      return;
    }
    benchmark::DoNotOptimize(buffer.data());
  }
  per_byte(state, archive.bytes);
}

const bool registered = [] {
  for (const std::size_t size : SIZES) {
    const std::string name = size_name(size);
    const std::string baseline = "open_slow/baseline/" + name + "/read_whole_file_once";
    benchmark::RegisterBenchmark(("open_slow/tiny_blocks/" + name).c_str(),
                                 [size, baseline](benchmark::State& s) {
                                   compare_with(s, {baseline});
                                   bench_slow_open(s, size);
                                 })
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(baseline.c_str(), [size](benchmark::State& s) {
      bench_read_once(s, size);
    })->Unit(benchmark::kMicrosecond);
  }
  return true;
}();

}  // namespace
}  // namespace marrowvane_dat::bench
