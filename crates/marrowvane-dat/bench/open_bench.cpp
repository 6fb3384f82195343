// SPDX-License-Identifier: MIT
// Opening an archive (header and whole directory) beside a walk of the same tree that
// reads each node once and inserts every entry into a reserved flat hash map, and the
// memory each keeps per entry.
#include <boost/unordered/unordered_flat_map.hpp>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "bench_support.hpp"
#include "marrowvane_dat/dat_database.hpp"
#include "marrowvane_dat_testkit/archive_builder.hpp"
#include "marrowvane_dat_testkit/rng.hpp"

namespace marrowvane_dat::bench {
namespace {

using testkit::ArchiveBuilder;
using testkit::FileSpec;
using FlatMap = boost::unordered_flat_map<std::uint32_t, DatFileEntry>;

constexpr std::uint32_t BLOCK_SIZE = 1024;
constexpr std::int64_t ENTRY_COUNTS[] = {1000, 10000, 100000, 1000000};
// Bumped whenever the archives below would come out differently, so a cached one of
// an older shape is never measured.
constexpr int ARCHIVE_SHAPE = 1;

// Ids as a real directory spreads them: a type byte from a couple of dozen in use, and
// within a type ids that climb with small gaps.
std::uint32_t entry_id(std::uint32_t index) {
  static constexpr std::uint8_t TYPES[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x08, 0x0A,
                                           0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x12, 0x13, 0x14,
                                           0x15, 0x16, 0x20, 0x22, 0x25, 0x27, 0x31, 0x40};
  constexpr std::uint32_t TYPE_COUNT = std::size(TYPES);
  const std::uint32_t within = index / TYPE_COUNT;
  return (std::uint32_t{TYPES[index % TYPE_COUNT]} << 24U) | (within * 13U + (index * 7U) % 11U);
}

// `entries` files, each in a chain of its own of one block (a few bytes to a nearly
// full payload), and the directory tree over them.
Bytes build_open_archive(std::int64_t entries) {
  ArchiveBuilder builder(BLOCK_SIZE);
  testkit::Rng rng(static_cast<std::uint64_t>(entries));
  std::vector<DatFileEntry> list;
  list.reserve(static_cast<std::size_t>(entries));
  for (std::int64_t i = 0; i < entries; ++i) {
    const std::uint32_t size = 1 + rng.below(BLOCK_SIZE - 4);
    list.push_back(
        builder.add_file(FileSpec{.id = entry_id(static_cast<std::uint32_t>(i)),
                                  .content = Bytes(size, static_cast<std::uint8_t>(i)),
                                  .timestamp = 0x5F000000U + static_cast<std::uint32_t>(i),
                                  .version = 1 + rng.below(4)}));
  }
  builder.build_directory(std::move(list));
  return builder.bytes();
}

bool holds_entries(const std::filesystem::path& path, std::int64_t entries) {
  auto database = DatDatabase::open(path);
  return database && static_cast<std::int64_t>(database->files().size()) == entries;
}

// The archive file with `entries` entries, kept in the cache directory between runs
// (the largest takes long to build) and rebuilt when missing or not as expected.
std::filesystem::path open_archive_path(std::int64_t entries) {
  const std::filesystem::path dir = archive_cache_dir();
  const std::filesystem::path path =
      dir / ("open-v" + std::to_string(ARCHIVE_SHAPE) + "-" + std::to_string(entries) + ".dat");
  std::error_code error;
  if (std::filesystem::exists(path, error) && holds_entries(path, entries)) {
    return path;
  }
  std::filesystem::create_directories(dir);
  // Written beside the final name and renamed, so an interrupted run leaves no half file.
  const std::filesystem::path partial = path.string() + "." + std::to_string(::getpid());
  write_file(partial, build_open_archive(entries));
  std::filesystem::rename(partial, path);
  if (!holds_entries(path, entries)) {
    throw std::runtime_error("the open benchmark archive did not load every entry");
  }
  return path;
}

// A read-only mapping of a whole file, unmapped when destroyed.
class Mapping {
 public:
  explicit Mapping(const std::filesystem::path& path) {
    const ReadOnlyFile file(path);
    size_ = static_cast<std::size_t>(std::filesystem::file_size(path));
    address_ = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, file.fd(), 0);
    if (address_ == MAP_FAILED) {
      throw std::runtime_error("cannot map " + path.string());
    }
  }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping() { ::munmap(address_, size_); }

  [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept {
    return {static_cast<const std::uint8_t*>(address_), size_};
  }

 private:
  void* address_ = nullptr;
  std::size_t size_ = 0;
};

// The archive on disk and, for the in-memory source, the same file mapped once and
// touched through, so its bytes are in memory before anything is measured.
struct OpenArchive {
  std::filesystem::path path;
  std::unique_ptr<Mapping> memory;
  std::int64_t entries = 0;
};

const OpenArchive& open_archive(std::int64_t entries) {
  static std::map<std::int64_t, std::unique_ptr<OpenArchive>> cache;
  return cached(cache, entries, [&] {
    OpenArchive archive{open_archive_path(entries), nullptr, entries};
    archive.memory = std::make_unique<Mapping>(archive.path);
    std::uint64_t sum = 0;
    const std::span<const std::uint8_t> bytes = archive.memory->bytes();
    for (std::size_t at = 0; at < bytes.size(); at += 4096) sum += bytes[at];
    benchmark::DoNotOptimize(sum);
    return archive;
  });
}

std::uint32_t u32_at(const std::uint8_t* bytes) noexcept {
  return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8U) |
         (static_cast<std::uint32_t>(bytes[2]) << 16U) |
         (static_cast<std::uint32_t>(bytes[3]) << 24U);
}

// The baseline walk: per node one read of the blocks its chain would cover if they
// lie side by side (they do in these archives; a link elsewhere costs one more read per
// block), the payloads put together, every entry inserted. `read(span, offset)` is a
// pread or a copy from memory.
template <class Read>
bool walk_into(Read read, FlatMap& map) {
  std::array<std::uint8_t, DatHeader::SIZE> header{};
  if (!read(std::span<std::uint8_t>(header), DatHeader::OFFSET)) return false;
  const std::uint32_t block_size = u32_at(header.data() + 4);
  const std::uint32_t payload = block_size - 4;
  if (block_size != BLOCK_SIZE) return false;
  constexpr std::size_t NODE_BLOCKS = (DatDirectoryNode::SIZE + BLOCK_SIZE - 5) / (BLOCK_SIZE - 4);
  std::array<std::uint8_t, NODE_BLOCKS * BLOCK_SIZE> blocks{};
  std::array<std::uint8_t, DatDirectoryNode::SIZE> node{};
  std::vector<std::uint32_t> pending;
  if (const std::uint32_t root = u32_at(header.data() + 32); root != 0) pending.push_back(root);
  while (!pending.empty()) {
    const std::uint32_t offset = pending.back();
    pending.pop_back();
    if (!read(std::span<std::uint8_t>(blocks), offset)) return false;
    std::size_t filled = 0;
    std::uint32_t at = offset;
    for (std::size_t b = 0; filled < node.size(); ++b) {
      const std::uint8_t* block = blocks.data() + b * block_size;
      if (at != offset + b * block_size) {
        if (!read(std::span<std::uint8_t>(blocks).subspan(b * block_size, block_size), at)) {
          return false;
        }
      }
      const std::size_t take = std::min<std::size_t>(payload, node.size() - filled);
      std::memcpy(node.data() + filled, block + 4, take);
      filled += take;
      at = u32_at(block);
    }
    constexpr std::size_t COUNT_AT = DatDirectoryNode::BRANCH_COUNT * 4;
    const std::uint32_t count = u32_at(node.data() + COUNT_AT);
    if (count > DatDirectoryNode::MAX_ENTRIES) return false;
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint8_t* e = node.data() + COUNT_AT + 4 + i * DatFileEntry::SIZE;
      const DatFileEntry entry{.bit_flags = u32_at(e),
                               .id = u32_at(e + 4),
                               .offset = u32_at(e + 8),
                               .size = u32_at(e + 12),
                               .timestamp = u32_at(e + 16),
                               .version = u32_at(e + 20)};
      map.insert_or_assign(entry.id, entry);
    }
    if (u32_at(node.data()) != 0) {
      for (std::uint32_t slot = count + 1; slot-- > 0;) {
        if (const std::uint32_t child = u32_at(node.data() + slot * 4); child != 0) {
          pending.push_back(child);
        }
      }
    }
  }
  return true;
}

bool walk_file(const std::filesystem::path& path, FlatMap& map) {
  const ReadOnlyFile file(path);
  return walk_into([&file](std::span<std::uint8_t> out,
                           std::uint64_t offset) { return pread_all(file.fd(), out, offset); },
                   map);
}

bool walk_memory(std::span<const std::uint8_t> bytes, FlatMap& map) {
  return walk_into(
      [bytes](std::span<std::uint8_t> out, std::uint64_t offset) {
        if (offset > bytes.size() || out.size() > bytes.size() - offset) return false;
        std::memcpy(out.data(), bytes.data() + offset, out.size());
        return true;
      },
      map);
}

void set_items(benchmark::State& state, std::int64_t entries) {
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * entries);
}

// How many bytes of the heap what `make()` returns holds on to, per entry.
template <class Make>
void count_memory(benchmark::State& state, std::int64_t entries, Make make) {
  const std::size_t before = malloc_in_use();
  {
    auto kept = make();
    // Under a sanitizer's allocator glibc sees none of this and the difference is 0.
    const std::size_t after = std::max(malloc_in_use(), before);
    state.counters["bytes_per_entry"] =
        static_cast<double>(after - before) / static_cast<double>(entries);
  }
}

// With `cold`, the heap is given back before every iteration (untimed), so each one
// pays the page faults of a first open in a process.
// Without `cold`, one untimed run first lets the heap grow to what an open needs, so
// the first timed one is not the only one to fault its pages in.
template <class Body>
void run_loop(benchmark::State& state, bool cold, Body body) {
  if (!cold && !body()) return;
  const std::int64_t faults = minor_faults();
  for (auto _ : state) {
    if (cold) {
      state.PauseTiming();
      release_heap();
      state.ResumeTiming();
    }
    if (!body()) break;
  }
  count_faults(state, faults);
}

void bench_open(benchmark::State& state, const std::string& source, std::int64_t entries,
                bool cold) {
  const OpenArchive& archive = open_archive(entries);
  const auto open = [&] {
    if (source == "pread") return DatDatabase::open(archive.path);
    if (source == "mapped") return DatDatabase::open_mapped(archive.path);
    return DatDatabase::open_borrowed(archive.memory->bytes());
  };
  run_loop(state, cold, [&] {
    auto database = open();
    benchmark::DoNotOptimize(database);
    if (!database || static_cast<std::int64_t>(database->files().size()) != entries) {
      state.SkipWithError("the archive did not open with every entry");
      return false;
    }
    return true;
  });
  set_items(state, entries);
  count_memory(state, entries, open);
}

void bench_walk(benchmark::State& state, const std::string& how, std::int64_t entries, bool cold) {
  const OpenArchive& archive = open_archive(entries);
  const auto walk = [&] {
    FlatMap map;
    map.reserve(static_cast<std::size_t>(entries));
    bool ok = false;
    if (how == "pread") {
      ok = walk_file(archive.path, map);
    } else if (how == "mmap") {
      const Mapping mapping(archive.path);
      ok = walk_memory(mapping.bytes(), map);
    } else {
      ok = walk_memory(archive.memory->bytes(), map);
    }
    if (!ok) map.clear();
    return map;
  };
  run_loop(state, cold, [&] {
    FlatMap map = walk();
    benchmark::DoNotOptimize(map);
    if (static_cast<std::int64_t>(map.size()) != entries) {
      state.SkipWithError("the walk did not find every entry");
      return false;
    }
    return true;
  });
  set_items(state, entries);
  count_memory(state, entries, walk);
}

const bool registered = [] {
  const std::pair<const char*, const char*> SOURCES[] = {
      {"pread", "pread"}, {"mapped", "mmap"}, {"borrowed", "memory"}};
  for (const std::int64_t entries : ENTRY_COUNTS) {
    const std::string count = std::to_string(entries);
    const std::string smallest = std::to_string(ENTRY_COUNTS[0]);
    const auto unit = entries >= 100000 ? benchmark::kMillisecond : benchmark::kMicrosecond;
    for (const auto& [source_name, walk_name] : SOURCES) {
      const std::string source = source_name;
      const std::string walk = walk_name;
      // The first open in a process, for the default source only.
      for (const bool cold : {false, true}) {
        if (cold && source != "pread") continue;
        const std::string suffix = cold ? "/cold_heap" : "";
        const std::string name = "open/" + source + "/" + count + suffix;
        const std::string baseline =
            "open/baseline/" + count + "/" + walk + "_per_node_into_flat_map" + suffix;
        std::vector<std::string> against{baseline};
        std::vector<std::string> base_against;
        // The cost per entry as the directory grows, against the smallest.
        if (entries != ENTRY_COUNTS[0]) {
          against.push_back("open/" + source + "/" + smallest + suffix);
          base_against.push_back("open/baseline/" + smallest + "/" + walk +
                                 "_per_node_into_flat_map" + suffix);
        }
        benchmark::RegisterBenchmark(name.c_str(), [source, entries, cold,
                                                    against](benchmark::State& s) {
          compare_with(s, against);
          bench_open(s, source, entries, cold);
        })->Unit(unit);
        benchmark::RegisterBenchmark(baseline.c_str(), [walk, entries, cold,
                                                        base_against](benchmark::State& s) {
          if (!base_against.empty()) compare_with(s, base_against);
          bench_walk(s, walk, entries, cold);
        })->Unit(unit);
      }
    }
  }
  return true;
}();

}  // namespace
}  // namespace marrowvane_dat::bench
