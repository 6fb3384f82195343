// SPDX-License-Identifier: MIT
// Synthetic content, scratch files and the pairing label shared by every benchmark.
#include "bench_support.hpp"

#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <bit>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "marrowvane_dat_testkit/rng.hpp"

namespace marrowvane_dat::bench {
namespace {

using marrowvane_dat::testkit::Rng;

void put_u16(Bytes& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8U));
}

void put_u32(Bytes& out, std::uint32_t value) {
  for (unsigned shift = 0; shift < 32; shift += 8) {
    out.push_back(static_cast<std::uint8_t>(value >> shift));
  }
}

void put_f32(Bytes& out, float value) {
  put_u32(out, std::bit_cast<std::uint32_t>(value));
}

// Removes the scratch directory when the process ends.
struct ScratchDir {
  std::filesystem::path path;
  ScratchDir()
      : path(std::filesystem::temp_directory_path() /
             ("marrowvane_dat_bench_" + std::to_string(::getpid()))) {
    std::filesystem::create_directories(path);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};

// A page fault costs several microseconds on the machines this runs on, and glibc
// hands large freed blocks back to the kernel or keeps them depending on what was
// allocated before: the same open costs once or fifteen times as much from one run
// to the next. With the heap kept whole, a measurement's iterations after the first
// reuse memory already touched, whatever ran before; the cold_heap variants give the
// heap back before every iteration to show the first time.
const bool heap_kept = [] {
  mallopt(M_MMAP_MAX, 0);
  mallopt(M_TRIM_THRESHOLD, -1);
  return true;
}();

}  // namespace

std::string size_name(std::size_t bytes) {
  if (bytes % MIB == 0) return std::to_string(bytes / MIB) + "MiB";
  if (bytes % KIB == 0) return std::to_string(bytes / KIB) + "KiB";
  return std::to_string(bytes) + "B";
}

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
    const std::string_view word = WORDS[r % std::size(WORDS)];
    out.insert(out.end(), word.begin(), word.end());
    out.push_back((r >> 32) % 12 == 0 ? '\n' : ' ');
  }
  out.resize(size);
  return out;
}

Bytes asset_like(std::size_t size) {
  Rng rng(size ^ 0x5EED5EEDULL);
  Bytes out;
  out.reserve(size + 4096);
  std::uint32_t next_id = 0x01000000U + rng.below(0x1000);
  float x = 0.0F;
  float y = 0.0F;
  float z = 0.0F;
  while (out.size() < size) {
    // A record header: an id that counts up, a flag word from a few values, a count.
    const std::uint32_t vertices = 8 + rng.below(56);
    put_u32(out, next_id++);
    put_u32(out, std::uint32_t{1} << rng.below(4));
    put_u32(out, vertices);
    // Vertices: a position that drifts, an axis-aligned normal, texture coordinates on
    // a 1/256 grid.
    for (std::uint32_t v = 0; v < vertices; ++v) {
      x += static_cast<float>(rng.below(64)) / 32.0F - 1.0F;
      y += static_cast<float>(rng.below(64)) / 32.0F - 1.0F;
      z += static_cast<float>(rng.below(16)) / 64.0F - 0.125F;
      put_f32(out, x);
      put_f32(out, y);
      put_f32(out, z);
      const std::uint32_t axis = rng.below(6);
      for (std::uint32_t component = 0; component < 3; ++component) {
        put_f32(out, component == axis % 3 ? (axis < 3 ? 1.0F : -1.0F) : 0.0F);
      }
      put_f32(out, static_cast<float>(rng.below(256)) / 256.0F);
      put_f32(out, static_cast<float>(rng.below(256)) / 256.0F);
    }
    // Triangle indices into the vertices just written.
    for (std::uint32_t t = 0; t + 2 < vertices; ++t) {
      put_u16(out, static_cast<std::uint16_t>(t));
      put_u16(out, static_cast<std::uint16_t>(t + 1));
      put_u16(out, static_cast<std::uint16_t>(t + 2));
    }
    // Now and then a strip of 16-bit pixels: a gradient with a little noise.
    if (rng.below(3) == 0) {
      const std::uint32_t pixels = 64 + rng.below(448);
      std::uint32_t shade = rng.below(32);
      for (std::uint32_t p = 0; p < pixels; ++p) {
        if (p % 16 == 0 && shade < 31) ++shade;
        const std::uint32_t noise = rng.below(8) == 0 ? 1 : 0;
        put_u16(out, static_cast<std::uint16_t>((shade << 11U) | ((shade * 2 + noise) << 5U) |
                                                (shade ^ noise)));
      }
    }
    // Padding up to a 16-byte boundary.
    while (out.size() % 16 != 0) out.push_back(0);
  }
  out.resize(size);
  return out;
}

Bytes random_bytes(std::size_t size, std::uint64_t seed) {
  Rng rng(size ^ seed);
  Bytes out(size);
  for (std::uint8_t& byte : out) {
    byte = rng.byte();
  }
  return out;
}

Bytes content_of_kind(std::string_view kind, std::size_t size) {
  if (kind == "text") return text_like(size);
  if (kind == "asset") return asset_like(size);
  if (kind == "random") return random_bytes(size, 0xA5A5A5A5ULL);
  throw std::invalid_argument("unknown content kind");
}

const std::filesystem::path& scratch_dir() {
  static const ScratchDir dir;
  return dir.path;
}

void write_file(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    throw std::runtime_error("cannot write " + path.string());
  }
}

std::filesystem::path archive_cache_dir() {
  if (const char* dir = std::getenv("MARROWVANE_DAT_BENCH_CACHE"); dir != nullptr && *dir != 0) {
    return dir;
  }
  return MARROWVANE_DAT_BENCH_CACHE_DIR;
}

ReadOnlyFile::ReadOnlyFile(const std::filesystem::path& path)
    : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
  if (fd_ < 0) {
    throw std::runtime_error("cannot open " + path.string());
  }
}

ReadOnlyFile::~ReadOnlyFile() {
  ::close(fd_);
}

bool pread_all(int fd, std::span<std::uint8_t> out, std::uint64_t offset) noexcept {
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t got =
        ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
    if (got <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

std::size_t malloc_in_use() noexcept {
  const struct mallinfo2 info = ::mallinfo2();
  return info.uordblks + info.hblkhd;
}

std::int64_t minor_faults() noexcept {
  struct rusage usage {};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

void count_faults(benchmark::State& state, std::int64_t start) {
  state.counters["faults"] = benchmark::Counter(static_cast<double>(minor_faults() - start),
                                                benchmark::Counter::kAvgIterations);
}

void release_heap() noexcept {
  ::malloc_trim(0);
}

void prefault(std::span<std::uint8_t> buffer) noexcept {
  for (std::size_t at = 0; at < buffer.size(); at += 4096) {
    buffer[at] = 0;
  }
  benchmark::ClobberMemory();
}

void compare_with(benchmark::State& state, const std::vector<std::string>& baselines) {
  std::string label = "vs";
  for (const std::string& name : baselines) {
    label += label.size() == 2 ? " " : ", ";
    label += name;
  }
  state.SetLabel(label);
}

}  // namespace marrowvane_dat::bench
