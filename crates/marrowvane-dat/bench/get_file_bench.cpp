// SPDX-License-Identifier: MIT
// Retrieval by id from every kind of source beside what the same bytes cost without an
// archive: one pread of a plain file holding them, a memcpy from memory, and for
// scattered chains one pread per block following the links; and a chain's block list
// beside one pread per link word.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bench_support.hpp"
#include "lrs.hpp"
#include "marrowvane_dat/binary_reader.hpp"
#include "marrowvane_dat/dat_database.hpp"
#include "marrowvane_dat/utils.hpp"
#include "marrowvane_dat_testkit/archive_builder.hpp"
#include "marrowvane_dat_testkit/lrs_compressor.hpp"

namespace marrowvane_dat::bench {
namespace {

using testkit::ArchiveBuilder;
using testkit::ChainLayout;
using testkit::FileSpec;

constexpr std::uint32_t BLOCK_SIZE = 1024;
constexpr std::size_t SIZES[] = {4 * KIB, 64 * KIB, MIB};
// Compressed files hold text-like content; these are their decompressed sizes.
constexpr std::size_t COMPRESSED_SIZES[] = {64 * KIB, MIB};
constexpr std::string_view LAYOUTS[] = {"contiguous", "scattered", "compressed"};

// One file of the archive and its bytes as they are stored (compressed for the
// compressed layout), also written alone to a plain file for the pread stream.
struct StoredFile {
  DatFileEntry entry;
  Bytes content;
  Bytes stored;
  std::filesystem::path plain_path;
};

// Every retrieval case in one archive, opened once from every kind of source.
struct RetrievalArchive {
  std::map<std::pair<std::string, std::size_t>, StoredFile> files;
  std::filesystem::path path;
  Bytes image;
  std::map<std::string, std::unique_ptr<DatDatabase>, std::less<>> databases;
};

std::unique_ptr<DatDatabase> must_open(Result<DatDatabase> database) {
  if (!database) {
    throw std::runtime_error(database.error().to_string());
  }
  return std::make_unique<DatDatabase>(std::move(*database));
}

RetrievalArchive make_retrieval_archive() {
  RetrievalArchive archive;
  ArchiveBuilder builder(BLOCK_SIZE);
  std::vector<DatFileEntry> entries;
  std::uint32_t next_id = 0x06000001;
  const auto add = [&](std::string_view layout, std::size_t size) {
    const bool compressed = layout == "compressed";
    StoredFile file;
    file.content = compressed ? text_like(size) : random_bytes(size, next_id);
    file.stored = compressed ? testkit::compress_lrs(file.content) : file.content;
    file.entry = builder.add_file(
        FileSpec{.id = next_id++, .content = file.content, .compressed = compressed},
        layout == "scattered" ? ChainLayout::Scattered : ChainLayout::Contiguous);
    file.plain_path = scratch_dir() / ("plain-" + std::string(layout) + "-" + size_name(size));
    write_file(file.plain_path, file.stored);
    entries.push_back(file.entry);
    archive.files.emplace(std::pair(std::string(layout), size), std::move(file));
  };
  for (const std::size_t size : SIZES) {
    add("contiguous", size);
    add("scattered", size);
  }
  for (const std::size_t size : COMPRESSED_SIZES) {
    add("compressed", size);
  }
  builder.build_directory(std::move(entries));
  archive.image = builder.bytes();
  archive.path = scratch_dir() / "retrieval.dat";
  write_file(archive.path, archive.image);

  archive.databases["pread"] = must_open(DatDatabase::open(archive.path));
  archive.databases["mapped"] = must_open(DatDatabase::open_mapped(archive.path));
  archive.databases["borrowed"] = must_open(DatDatabase::open_borrowed(archive.image));
  archive.databases["owned"] = must_open(DatDatabase::open_owned(archive.image));
  // Reading every file once also faults the mapping's pages in, so the mapped source
  // is measured warm like the others.
  for (const auto& [source, database] : archive.databases) {
    for (const auto& [key, file] : archive.files) {
      if (database->get_file(file.entry.id) != file.content) {
        throw std::runtime_error("get_file from the " + source + " source gave other bytes");
      }
    }
  }
  return archive;
}

RetrievalArchive& retrieval_archive() {
  static RetrievalArchive archive = make_retrieval_archive();
  return archive;
}

const StoredFile& stored_file(std::string_view layout, std::size_t size) {
  return retrieval_archive().files.at(std::pair(std::string(layout), size));
}

void set_bytes(benchmark::State& state, const StoredFile& file) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(file.content.size()));
}

// Runs `read(buffer)` per iteration; it returns false when the bytes were not read.
template <class Read>
void run_reads(benchmark::State& state, const StoredFile& file, Read read) {
  const std::int64_t faults = minor_faults();
  for (auto _ : state) {
    if (!read()) {
      state.SkipWithError("the read failed or gave the wrong size");
      break;
    }
    benchmark::ClobberMemory();
  }
  count_faults(state, faults);
  set_bytes(state, file);
}

void bench_get_file(benchmark::State& state, const std::string& source, std::string_view layout,
                    std::size_t size, bool reuse) {
  const DatDatabase& database = *retrieval_archive().databases.at(source);
  const StoredFile& file = stored_file(layout, size);
  const std::uint32_t id = file.entry.id;
  if (!reuse) {
    run_reads(state, file, [&] {
      auto bytes = database.get_file(id);
      benchmark::DoNotOptimize(bytes);
      return bytes && bytes->size() == file.content.size();
    });
    return;
  }
  Bytes buffer;
  if (!database.get_file_into(id, buffer)) {
    state.SkipWithError("get_file_into failed");
    return;
  }
  run_reads(state, file, [&] {
    const bool ok = database.get_file_into(id, buffer).has_value();
    benchmark::DoNotOptimize(buffer.data());
    return ok && buffer.size() == file.content.size();
  });
}

// The stored bytes in one pread from a plain file; compressed ones then decoded into a
// second kept buffer, as the cheapest composition of the same work.
void bench_pread_stream(benchmark::State& state, std::string_view layout, std::size_t size) {
  const StoredFile& file = stored_file(layout, size);
  const ReadOnlyFile plain(file.plain_path);
  Bytes stored(file.stored.size());
  prefault(stored);
  if (layout != "compressed") {
    run_reads(state, file, [&] {
      const bool ok = pread_all(plain.fd(), stored, 0);
      benchmark::DoNotOptimize(stored.data());
      return ok;
    });
    return;
  }
  Bytes output(detail::lrs_output_bound(file.stored));
  prefault(output);
  run_reads(state, file, [&] {
    const bool ok = pread_all(plain.fd(), stored, 0);
    const std::size_t made = detail::decompress_lrs_to(stored, output);
    benchmark::DoNotOptimize(output.data());
    return ok && made == file.content.size();
  });
}

// The stored bytes copied from memory; compressed ones then decoded.
void bench_memcpy(benchmark::State& state, std::string_view layout, std::size_t size) {
  const StoredFile& file = stored_file(layout, size);
  Bytes from = file.stored;
  Bytes stored(file.stored.size());
  prefault(stored);
  if (layout != "compressed") {
    run_reads(state, file, [&] {
      std::memcpy(stored.data(), from.data(), from.size());
      benchmark::DoNotOptimize(stored.data());
      return true;
    });
    return;
  }
  Bytes output(detail::lrs_output_bound(file.stored));
  prefault(output);
  run_reads(state, file, [&] {
    std::memcpy(stored.data(), from.data(), from.size());
    const std::size_t made = detail::decompress_lrs_to(stored, output);
    benchmark::DoNotOptimize(output.data());
    return made == file.content.size();
  });
}

// The straightforward chain read: one pread of each whole block, its payload copied
// out, then on to the block its link names.
void bench_read_per_block(benchmark::State& state, std::size_t size) {
  const StoredFile& file = stored_file("scattered", size);
  const ReadOnlyFile archive(retrieval_archive().path);
  Bytes out(file.content.size());
  prefault(out);
  std::uint8_t block[BLOCK_SIZE];
  constexpr std::size_t PAYLOAD = BLOCK_SIZE - 4;
  run_reads(state, file, [&] {
    std::size_t filled = 0;
    std::uint32_t at = file.entry.offset;
    while (filled < out.size()) {
      if (!pread_all(archive.fd(), block, at)) return false;
      const std::uint32_t next = load_le<std::uint32_t>(std::span<const std::uint8_t, 4>(block, 4));
      const std::size_t take = std::min(out.size() - filled, PAYLOAD);
      std::memcpy(out.data() + filled, block + 4, take);
      filled += take;
      at = next;
    }
    benchmark::DoNotOptimize(out.data());
    return true;
  });
}

// The chain's block list through the library, from the pread source.
void bench_block_offsets(benchmark::State& state, std::string_view layout, std::size_t size) {
  const DatDatabase& database = *retrieval_archive().databases.at("pread");
  const StoredFile& file = stored_file(layout, size);
  const std::size_t blocks = (file.content.size() + BLOCK_SIZE - 5) / (BLOCK_SIZE - 4);
  run_reads(state, file, [&] {
    auto offsets = database.block_offsets(file.entry.id);
    benchmark::DoNotOptimize(offsets);
    return offsets && offsets->size() == blocks;
  });
}

// The straightforward block walk: one pread of each link word, then on to the block
// it names.
void bench_link_per_block(benchmark::State& state, std::string_view layout, std::size_t size) {
  const StoredFile& file = stored_file(layout, size);
  const ReadOnlyFile archive(retrieval_archive().path);
  const std::size_t blocks = (file.content.size() + BLOCK_SIZE - 5) / (BLOCK_SIZE - 4);
  std::vector<std::uint32_t> offsets;
  run_reads(state, file, [&] {
    offsets.clear();
    std::uint8_t link[4];
    std::uint32_t at = file.entry.offset;
    for (std::size_t i = 0; i < blocks; ++i) {
      offsets.push_back(at);
      if (!pread_all(archive.fd(), link, at)) return false;
      at = load_le<std::uint32_t>(std::span<const std::uint8_t, 4>(link));
    }
    benchmark::DoNotOptimize(offsets.data());
    return true;
  });
}

std::vector<std::size_t> sizes_of(std::string_view layout) {
  if (layout == "compressed") return {std::begin(COMPRESSED_SIZES), std::end(COMPRESSED_SIZES)};
  return {std::begin(SIZES), std::end(SIZES)};
}

const bool registered = [] {
  for (const std::string_view layout : LAYOUTS) {
    const bool compressed = layout == "compressed";
    for (const std::size_t size : sizes_of(layout)) {
      const std::string row = std::string(layout) + "/" + size_name(size);
      const std::string base = "get_file/baseline/" + row + "/";
      const std::string pread_base = base + (compressed ? "pread_then_decode" : "pread_stream");
      const std::string memory_base = base + (compressed ? "memcpy_then_decode" : "memcpy");
      const std::string block_base = base + "read_per_block";
      const auto unit = size >= MIB ? benchmark::kMillisecond : benchmark::kMicrosecond;

      for (const std::string source : {"pread", "mapped", "borrowed", "owned"}) {
        // Owned and borrowed bytes share one read path; one case shows they match.
        if (source == "owned" && (layout != "contiguous" || size != 64 * KIB)) continue;
        std::vector<std::string> against;
        if (source == "pread") {
          against.push_back(pread_base);
          if (layout == "scattered") against.push_back(block_base);
        } else {
          against.push_back(memory_base);
        }
        for (const bool reuse : {false, true}) {
          const std::string name =
              "get_file/" + source + "/" + row + (reuse ? "/get_file_into" : "/get_file");
          benchmark::RegisterBenchmark(name.c_str(), [source, layout, size, reuse,
                                                      against](benchmark::State& s) {
            compare_with(s, against);
            bench_get_file(s, source, layout, size, reuse);
          })->Unit(unit);
        }
      }
      benchmark::RegisterBenchmark(pread_base.c_str(), [layout, size](benchmark::State& s) {
        bench_pread_stream(s, layout, size);
      })->Unit(unit);
      benchmark::RegisterBenchmark(memory_base.c_str(), [layout, size](benchmark::State& s) {
        bench_memcpy(s, layout, size);
      })->Unit(unit);
      if (layout == "scattered") {
        benchmark::RegisterBenchmark(block_base.c_str(), [size](benchmark::State& s) {
          bench_read_per_block(s, size);
        })->Unit(unit);
      }
      if (!compressed) {
        const std::string links_base = base + "link_per_block";
        benchmark::RegisterBenchmark(("block_offsets/pread/" + row).c_str(),
                                     [layout, size, links_base](benchmark::State& s) {
                                       compare_with(s, {links_base});
                                       bench_block_offsets(s, layout, size);
                                     })
            ->Unit(unit);
        benchmark::RegisterBenchmark(links_base.c_str(), [layout, size](benchmark::State& s) {
          bench_link_per_block(s, layout, size);
        })->Unit(unit);
      }
    }
  }
  return true;
}();

}  // namespace
}  // namespace marrowvane_dat::bench
