// SPDX-License-Identifier: MIT
// Shared pieces of the benchmarks: synthetic content, files on disk, buffers kept warm,
// and the label that pairs a measurement with the baselines it is compared against.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace marrowvane_dat::bench {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::size_t KIB = 1024;
inline constexpr std::size_t MIB = 1024 * KIB;

// "4KiB", "64KiB", "1MiB": the size as benchmark names spell it.
std::string size_name(std::size_t bytes);

// Words from a small vocabulary with spaces and line breaks: compresses about as well
// as the text and string tables stored in real archives.
Bytes text_like(std::size_t size);
// Binary records as models, animations and textures store them: little-endian floats
// that drift, small indices, flag words, zero padding and runs of smooth 16-bit pixels.
Bytes asset_like(std::size_t size);
// Bytes with no structure at all.
Bytes random_bytes(std::size_t size, std::uint64_t seed);

// The content kinds the decoders are measured on, by the name used in benchmark names.
Bytes content_of_kind(std::string_view kind, std::size_t size);

// A directory under the system's temporary directory that lives as long as the
// process and is removed with everything in it when the process ends.
const std::filesystem::path& scratch_dir();

// Writes `bytes` to `path` (replacing it); throws std::runtime_error on failure.
void write_file(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

// Where large archives that take long to build are kept between runs:
// $MARROWVANE_DAT_BENCH_CACHE when set, else the directory the build chose.
std::filesystem::path archive_cache_dir();

// An fd opened read-only, closed on destruction. Throws std::runtime_error when the
// file cannot be opened.
class ReadOnlyFile {
 public:
  explicit ReadOnlyFile(const std::filesystem::path& path);
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
  ~ReadOnlyFile();
  [[nodiscard]] int fd() const noexcept { return fd_; }

 private:
  int fd_;
};

// pread until `out` is full; false on an error or an early end of file.
bool pread_all(int fd, std::span<std::uint8_t> out, std::uint64_t offset) noexcept;

// Bytes handed out by malloc and still in use, mapped chunks included.
std::size_t malloc_in_use() noexcept;

// Sets the counter "faults" to the minor page faults per iteration since `start`, a
// reading of minor_faults() taken before the loop.
std::int64_t minor_faults() noexcept;
void count_faults(benchmark::State& state, std::int64_t start);

// Gives every free block of the heap back to the kernel, so the next allocations
// fault their pages in again as they would the first time in a process.
void release_heap() noexcept;

// Writes over every page of `buffer`, so later use of it measures no page faults.
void prefault(std::span<std::uint8_t> buffer) noexcept;

// Names the baselines this measurement is compared against; scripts/bench-table.sh
// reads the label to pair runs. Names are full run names as reported.
void compare_with(benchmark::State& state, const std::vector<std::string>& baselines);

// Fixtures are built once per key for the whole run: the runner calls a benchmark
// function several times while it settles on an iteration count.
template <class Fixture, class Key, class Make>
Fixture& cached(std::map<Key, std::unique_ptr<Fixture>>& cache, const Key& key, Make make) {
  auto& slot = cache[key];
  if (!slot) slot = std::make_unique<Fixture>(make());
  return *slot;
}

}  // namespace marrowvane_dat::bench
