// SPDX-License-Identifier: MIT
// The C++ side of the Python binding benchmark: writes the archives it measures and
// times the library calls that the Python calls wrap, so bench_python.py can report
// each Python figure as a ratio to its C++ baseline from the same run.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "marrowvane_dat/dat_database.hpp"
#include "marrowvane_dat_testkit/archive_builder.hpp"
#include "marrowvane_dat_testkit/rng.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using marrowvane_dat::DatDatabase;
using marrowvane_dat::DatFileEntry;
using marrowvane_dat::testkit::ArchiveBuilder;

// Sizes and counts come from the command line; files get ids FIRST_ID, FIRST_ID + 1, ...
constexpr std::uint32_t FIRST_ID = 0x06000001;

std::uint32_t number(const char* text) {
  return static_cast<std::uint32_t>(std::strtoul(text, nullptr, 0));
}

// `count` files of `size` random bytes, stored uncompressed in contiguous chains.
void write_files(const char* out, std::uint32_t count, std::uint32_t size) {
  ArchiveBuilder builder;
  marrowvane_dat::testkit::Rng rng(0x62656E6368ULL);
  std::vector<DatFileEntry> entries;
  std::vector<std::uint8_t> content(size);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::generate(content.begin(), content.end(), [&] { return rng.byte(); });
    entries.push_back(builder.add_file({.id = FIRST_ID + i, .content = content}));
  }
  builder.build_directory(std::move(entries));
  builder.write_to(out);
}

// `count` directory entries that all share one small chain: a large directory in a
// small file, for timing listings.
void write_listing(const char* out, std::uint32_t count) {
  ArchiveBuilder builder;
  const DatFileEntry shared = builder.add_file({.id = FIRST_ID, .content = {1, 2, 3}});
  std::vector<DatFileEntry> entries(count, shared);
  for (std::uint32_t i = 0; i < count; ++i) {
    entries[i].id = FIRST_ID + i;
    entries[i].timestamp = i;
  }
  builder.build_directory(std::move(entries));
  builder.write_to(out);
}

DatDatabase open_or_exit(const char* path) {
  auto db = DatDatabase::open(path);
  if (!db) {
    std::fprintf(stderr, "%s\n", db.error().to_string().c_str());
    std::exit(1);
  }
  return std::move(*db);
}

// The best of `rounds` timings of `body`, in nanoseconds per call of it.
template <class Body>
double best_ns(int rounds, std::size_t calls_per_round, Body body) {
  double best = 1e300;
  for (int r = 0; r < rounds; ++r) {
    const auto start = Clock::now();
    body();
    const std::chrono::duration<double, std::nano> took = Clock::now() - start;
    best = std::min(best, took.count() / static_cast<double>(calls_per_round));
  }
  return best;
}

volatile std::size_t sink = 0;

// get_file on every file of the archive, as the Python get_file does per call.
void time_get(const char* path, int rounds) {
  const DatDatabase db = open_or_exit(path);
  std::vector<std::uint32_t> ids;
  for (const DatFileEntry& e : db.entries()) {
    ids.push_back(e.id);
  }
  const double ns = best_ns(rounds, ids.size(), [&] {
    for (const std::uint32_t id : ids) {
      auto bytes = db.get_file(id);
      sink = sink + (bytes ? bytes->size() : 0);
    }
  });
  std::printf("get_file %.1f\n", ns);
}

// Listing every entry, two ways: copied into one contiguous vector, and as one
// separately allocated record per entry (what a list of Python objects amounts to).
// Both include freeing what was built, as dropping the Python list does.
void time_list(const char* path, int rounds) {
  const DatDatabase db = open_or_exit(path);
  const double contiguous = best_ns(rounds, 1, [&] {
    std::vector<DatFileEntry> records;
    records.reserve(db.entries().size());
    for (const DatFileEntry& e : db.entries()) {
      records.push_back(e);
    }
    sink = sink + records.size();
  });
  const double allocated = best_ns(rounds, 1, [&] {
    std::vector<std::unique_ptr<DatFileEntry>> records;
    records.reserve(db.entries().size());
    for (const DatFileEntry& e : db.entries()) {
      records.push_back(std::make_unique<DatFileEntry>(e));
    }
    sink = sink + records.size();
  });
  std::printf("list_contiguous %.1f\nlist_allocated %.1f\n", contiguous, allocated);
}

void usage(const char* program) {
  std::fprintf(stderr,
               "usage: %s write-files OUT.dat COUNT SIZE\n"
               "       %s write-listing OUT.dat COUNT\n"
               "       %s time-get ARCHIVE ROUNDS\n"
               "       %s time-list ARCHIVE ROUNDS\n",
               program, program, program, program);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view command = argc > 1 ? argv[1] : "";
  try {
    if (command == "write-files" && argc == 5) {
      write_files(argv[2], number(argv[3]), number(argv[4]));
    } else if (command == "write-listing" && argc == 4) {
      write_listing(argv[2], number(argv[3]));
    } else if (command == "time-get" && argc == 4) {
      time_get(argv[2], static_cast<int>(number(argv[3])));
    } else if (command == "time-list" && argc == 4) {
      time_list(argv[2], static_cast<int>(number(argv[3])));
    } else {
      usage(argc > 0 ? argv[0] : "marrowvane_dat_python_bench_baseline");
      return 2;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
