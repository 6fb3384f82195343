// SPDX-License-Identifier: MIT
// One database read by one and by two threads at once, beside the same reads made
// without an archive, so the scaling of the library sits next to what the machine
// gives plain reads at the time.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "bench_support.hpp"
#include "marrowvane_dat/dat_database.hpp"
#include "marrowvane_dat_testkit/archive_builder.hpp"

namespace marrowvane_dat::bench {
namespace {

using testkit::ArchiveBuilder;
using testkit::FileSpec;

constexpr std::size_t FILE_SIZE = 64 * KIB;
constexpr std::uint32_t FILE_COUNT = 32;
constexpr std::uint32_t FIRST_ID = 0x06000001;

// FILE_COUNT plain files in one archive, and the same contents back to back in a plain
// file and in memory for the baselines.
struct SharedArchive {
  std::filesystem::path path;
  std::filesystem::path plain_path;
  Bytes contents;
  std::unique_ptr<DatDatabase> pread;
  std::unique_ptr<DatDatabase> mapped;
};

std::unique_ptr<DatDatabase> must_open(Result<DatDatabase> database) {
  if (!database) throw std::runtime_error(database.error().to_string());
  return std::make_unique<DatDatabase>(std::move(*database));
}

const SharedArchive& shared_archive() {
  static const SharedArchive archive = [] {
    SharedArchive made;
    std::vector<FileSpec> files;
    for (std::uint32_t i = 0; i < FILE_COUNT; ++i) {
      files.push_back(FileSpec{.id = FIRST_ID + i, .content = random_bytes(FILE_SIZE, i)});
      made.contents.insert(made.contents.end(), files.back().content.begin(),
                           files.back().content.end());
    }
    ArchiveBuilder builder;
    builder.add_files(files);
    made.path = scratch_dir() / "threads.dat";
    builder.write_to(made.path);
    made.plain_path = scratch_dir() / "threads-plain";
    write_file(made.plain_path, made.contents);
    made.pread = must_open(DatDatabase::open(made.path));
    made.mapped = must_open(DatDatabase::open_mapped(made.path));
    for (std::uint32_t i = 0; i < FILE_COUNT; ++i) {
      auto from_pread = made.pread->get_file(FIRST_ID + i);
      auto from_mapped = made.mapped->get_file(FIRST_ID + i);
      if (from_pread != files[i].content || from_mapped != files[i].content) {
        throw std::runtime_error("the shared archive gave other bytes");
      }
    }
    return made;
  }();
  return archive;
}

// Each thread starts at a different file so the two do not read the same bytes in step.
std::uint32_t file_of(const benchmark::State& state, std::uint64_t iteration) {
  return static_cast<std::uint32_t>(
      (iteration + static_cast<std::uint64_t>(state.thread_index()) * (FILE_COUNT / 2)) %
      FILE_COUNT);
}

// Labels the two-thread run with its one-thread run, whose throughput it is compared to.
void pair_threads(benchmark::State& state, const std::string& name) {
  if (state.threads() == 2) compare_with(state, {name + "/real_time/threads:1"});
}

void finish(benchmark::State& state) {
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(FILE_SIZE));
}

void bench_get_file_into(benchmark::State& state, const std::string& name, bool mapped) {
  pair_threads(state, name);
  const SharedArchive& archive = shared_archive();
  const DatDatabase& database = mapped ? *archive.mapped : *archive.pread;
  Bytes buffer;
  if (!database.get_file_into(FIRST_ID, buffer)) {
    state.SkipWithError("get_file_into failed");
    return;
  }
  std::uint64_t iteration = 0;
  for (auto _ : state) {
    if (!database.get_file_into(FIRST_ID + file_of(state, iteration++), buffer) ||
        buffer.size() != FILE_SIZE) {
      state.SkipWithError("get_file_into failed");
      break;
    }
    benchmark::DoNotOptimize(buffer.data());
    benchmark::ClobberMemory();
  }
  finish(state);
}

void bench_pread_stream(benchmark::State& state, const std::string& name) {
  pair_threads(state, name);
  const SharedArchive& archive = shared_archive();
  const ReadOnlyFile plain(archive.plain_path);
  Bytes buffer(FILE_SIZE);
  prefault(buffer);
  std::uint64_t iteration = 0;
  for (auto _ : state) {
    if (!pread_all(plain.fd(), buffer, std::uint64_t{file_of(state, iteration++)} * FILE_SIZE)) {
      state.SkipWithError("pread failed");
      break;
    }
    benchmark::DoNotOptimize(buffer.data());
    benchmark::ClobberMemory();
  }
  finish(state);
}

void bench_memcpy(benchmark::State& state, const std::string& name) {
  pair_threads(state, name);
  const SharedArchive& archive = shared_archive();
  Bytes buffer(FILE_SIZE);
  prefault(buffer);
  std::uint64_t iteration = 0;
  for (auto _ : state) {
    std::memcpy(buffer.data(),
                archive.contents.data() + std::size_t{file_of(state, iteration++)} * FILE_SIZE,
                FILE_SIZE);
    benchmark::DoNotOptimize(buffer.data());
    benchmark::ClobberMemory();
  }
  finish(state);
}

const bool registered = [] {
  const auto add = [](const std::string& name, auto body) {
    benchmark::RegisterBenchmark(name.c_str(), [name, body](benchmark::State& s) { body(s, name); })
        ->Threads(1)
        ->Threads(2)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
  };
  add("threads/pread/64KiB/get_file_into",
      [](benchmark::State& s, const std::string& n) { bench_get_file_into(s, n, false); });
  add("threads/mapped/64KiB/get_file_into",
      [](benchmark::State& s, const std::string& n) { bench_get_file_into(s, n, true); });
  add("threads/baseline/64KiB/pread_stream",
      [](benchmark::State& s, const std::string& n) { bench_pread_stream(s, n); });
  add("threads/baseline/64KiB/memcpy",
      [](benchmark::State& s, const std::string& n) { bench_memcpy(s, n); });
  return true;
}();

}  // namespace
}  // namespace marrowvane_dat::bench
