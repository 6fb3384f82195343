// SPDX-License-Identifier: MIT
// Writes an archive of generated files to a chosen shape (block size, file count,
// largest file, compression, layout, damage), for the mount tests and benchmarks.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "marrowvane_dat/dat_database.hpp"
#include "marrowvane_dat_testkit/archive_builder.hpp"
#include "marrowvane_dat_testkit/rng.hpp"

namespace {

using marrowvane_dat::DatFileEntry;
using marrowvane_dat::testkit::ArchiveBuilder;
using marrowvane_dat::testkit::ChainLayout;
using marrowvane_dat::testkit::FileSpec;
using marrowvane_dat::testkit::Rng;

enum class Compression { Plain, Compressed, Mixed };

struct Shape {
  std::filesystem::path out;
  std::uint32_t block_size = 1024;
  std::uint32_t files = 100;
  std::uint32_t largest = 4096;
  Compression compression = Compression::Mixed;
  ChainLayout layout = ChainLayout::Contiguous;
  bool damaged = false;
};

// Id prefixes of a few types, so the files spread over several type directories.
constexpr std::uint32_t PREFIXES[4] = {0x01000000, 0x06000000, 0x0A000000, 0x0E000000};
// Entries --damaged adds: a compressed one whose first block lies past the end (its
// size cannot be read) and a plain one whose chain runs past the end.
constexpr std::uint32_t UNREADABLE_SIZE = 0x06FFFF01;
constexpr std::uint32_t TRUNCATED_CHAIN = 0x06FFFF02;
constexpr std::uint32_t PAST_THE_END = 0xFFFFFC00;

// Random bytes with runs of text, so compression has something to find.
std::vector<std::uint8_t> content(Rng& rng, std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size;) {
    const std::size_t run = std::min<std::size_t>(size - i, 1 + rng.below(200));
    const bool text = rng.below(2) == 0;
    for (std::size_t k = 0; k < run; ++k, ++i) {
      bytes[i] = text ? static_cast<std::uint8_t>('a' + (i / 7) % 26) : rng.byte();
    }
  }
  return bytes;
}

ArchiveBuilder build(const Shape& shape) {
  ArchiveBuilder builder(shape.block_size);
  Rng rng(shape.files * 31 + shape.block_size);
  std::vector<FileSpec> files;
  for (std::uint32_t i = 0; i < shape.files; ++i) {
    // The first file has the largest size; sizes 0 and 1 occur when there are many.
    const std::uint32_t size = i == 0   ? shape.largest
                               : i == 1 ? 0
                               : i == 2 ? 1
                                        : rng.below(shape.largest + 1);
    files.push_back(FileSpec{
        .id = PREFIXES[i % 4] + i / 4 + 1,
        .content = content(rng, size),
        .compressed = shape.compression == Compression::Compressed ||
                      (shape.compression == Compression::Mixed && i % 2 == 1),
        .timestamp = 1180000000 + i,
        .version = 1,
    });
  }
  std::vector<DatFileEntry> entries;
  for (const FileSpec& file : files) {
    entries.push_back(builder.add_file(file, shape.layout));
  }
  if (shape.damaged) {
    entries.push_back(
        DatFileEntry{.bit_flags = 1, .id = UNREADABLE_SIZE, .offset = PAST_THE_END, .size = 5000});
    const std::uint32_t first = builder.write_chain(std::vector<std::uint8_t>(600, 0x5A));
    builder.patch_u32(first, PAST_THE_END);
    entries.push_back(DatFileEntry{.id = TRUNCATED_CHAIN, .offset = first, .size = 5000});
  }
  builder.build_directory(entries);
  return builder;
}

bool number(std::string_view text, std::uint32_t& into) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), into);
  return ec == std::errc{} && end == text.data() + text.size();
}

void usage(std::FILE* stream, const char* program) {
  std::fprintf(stream,
               "usage: %s OUT [--block-size N] [--files N] [--largest BYTES]\n"
               "          [--plain|--compressed|--mixed] [--scattered] [--damaged]\n"
               "  writes an archive of N generated files (default 100, block size 1024),\n"
               "  the first of the largest size (default 4096), the others smaller;\n"
               "  --mixed (the default) compresses every second file; --scattered spreads\n"
               "  each chain's blocks apart; --damaged adds an entry whose size cannot be\n"
               "  read (06FFFF01) and one whose chain runs past the end (06FFFF02)\n"
               "  -h, --help  prints this and exits\n",
               program);
}

}  // namespace

int main(int argc, char** argv) {
  const char* program = argc > 0 ? argv[0] : "marrowvane_dat_make_archive";
  Shape shape;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "-h" || arg == "--help") {
      usage(stdout, program);
      return 0;
    }
    if ((arg == "--block-size" && has_value && number(argv[++i], shape.block_size)) ||
        (arg == "--files" && has_value && number(argv[++i], shape.files)) ||
        (arg == "--largest" && has_value && number(argv[++i], shape.largest))) {
      continue;
    }
    if (arg == "--plain" || arg == "--compressed" || arg == "--mixed") {
      shape.compression = arg == "--plain"        ? Compression::Plain
                          : arg == "--compressed" ? Compression::Compressed
                                                  : Compression::Mixed;
    } else if (arg == "--scattered") {
      shape.layout = ChainLayout::Scattered;
    } else if (arg == "--damaged") {
      shape.damaged = true;
    } else if (shape.out.empty() && !arg.starts_with('-')) {
      shape.out = arg;
    } else {
      usage(stderr, program);
      return 2;
    }
  }
  if (shape.out.empty() || shape.block_size <= 4) {
    usage(stderr, program);
    return 2;
  }
  try {
    build(shape).write_to(shape.out);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s\n", program, error.what());
    return 1;
  }
  return 0;
}
