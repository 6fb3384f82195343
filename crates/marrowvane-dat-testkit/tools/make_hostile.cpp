// SPDX-License-Identifier: MIT
// Writes the hostile archives the tool must survive within fixed time, memory and
// disk: chains that loop with huge declared sizes, entries sharing one loop, a font
// whose chain loops, entries each looping over a block of their own, directories of
// 5-byte blocks, and compressed files that expand as much as any can, alone or shared.
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "marrowvane_dat/dat_database.hpp"
#include "marrowvane_dat/file_type/font.hpp"
#include "marrowvane_dat_testkit/archive_builder.hpp"
#include "marrowvane_dat_testkit/font_writer.hpp"
#include "marrowvane_dat_testkit/hostile.hpp"

namespace {

using marrowvane_dat::DatFileEntry;
using marrowvane_dat::testkit::ArchiveBuilder;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t LARGEST_SIZE = 0xFFFFFFFF;

// One entry of the largest size over a block that links to itself.
ArchiveBuilder self_loop(std::uint32_t block_size) {
  ArchiveBuilder builder(block_size);
  const std::uint32_t loop = builder.write_chain(Bytes(block_size - 4, 0x5A));
  builder.patch_u32(loop, loop);
  builder.build_directory({DatFileEntry{.id = 0x06000001, .offset = loop, .size = LARGEST_SIZE}});
  return builder;
}

// `count` entries of the largest size, all over one chain that loops.
ArchiveBuilder shared_loop(std::uint32_t count) {
  ArchiveBuilder builder;
  const std::uint32_t loop = builder.write_chain(Bytes(1020, 0x33));
  builder.patch_u32(loop, loop);
  std::vector<DatFileEntry> entries;
  for (std::uint32_t i = 0; i < count; ++i) {
    entries.push_back(DatFileEntry{.id = 0x06000000 + i, .offset = loop, .size = LARGEST_SIZE});
  }
  builder.build_directory(entries);
  return builder;
}

// A font declaring a million glyphs whose chain repeats one block of glyphs for ever.
ArchiveBuilder looped_font() {
  ArchiveBuilder builder;
  marrowvane_dat::Font font = marrowvane_dat::testkit::make_font(0x40000001, 0);
  Bytes head = marrowvane_dat::testkit::encode_font(font);
  head.resize(16);
  const std::uint32_t glyphs = 1000000;
  for (unsigned i = 0; i < 4; ++i) head[12 + i] = static_cast<std::uint8_t>(glyphs >> (8 * i));
  head.resize(1020, 0x20);
  const std::uint32_t first = builder.write_chain(head);
  const std::uint32_t loop = builder.write_chain(Bytes(1020, 0x21));
  builder.patch_u32(first, loop);
  builder.patch_u32(loop, loop);
  const std::uint32_t size = 36 + 11 * glyphs;
  builder.build_directory({DatFileEntry{.id = 0x40000001, .offset = first, .size = size}});
  return builder;
}

void usage(std::FILE* stream, const char* program) {
  std::fprintf(stream,
               "usage: %s OUTDIR\n"
               "  writes one hostile archive of each shape into OUTDIR\n"
               "  -h, --help  prints this and exits\n",
               program);
}

}  // namespace

int main(int argc, char** argv) {
  const char* program = argc > 0 ? argv[0] : "marrowvane_dat_make_hostile";
  if (argc == 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
    usage(stdout, program);
    return 0;
  }
  if (argc != 2 || std::string_view(argv[1]).starts_with('-')) {
    usage(stderr, program);
    return 2;
  }
  try {
    const std::filesystem::path out(argv[1]);
    std::filesystem::create_directories(out);
    self_loop(1024).write_to(out / "self-loop-1024.dat");
    self_loop(5).write_to(out / "self-loop-5.dat");
    shared_loop(8).write_to(out / "shared-loop-8.dat");
    shared_loop(61).write_to(out / "shared-loop-61.dat");
    looped_font().write_to(out / "looped-font.dat");
    marrowvane_dat::testkit::tiny_block_directory(64 * 1024).write_to(out / "tiny-blocks-64k.dat");
    marrowvane_dat::testkit::tiny_block_directory(1024 * 1024).write_to(out / "tiny-blocks-1m.dat");
    marrowvane_dat::testkit::self_linked_entries(1000).write_to(out / "self-linked-1000.dat");
    marrowvane_dat::testkit::most_expanding_files(1024 * 1024)
        .write_to(out / "most-expanding-1m.dat");
    marrowvane_dat::testkit::shared_expanding_chain(3843, 160 * 1024)
        .write_to(out / "shared-expanding-chain.dat");
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s\n", program, error.what());
    return 1;
  }
  return 0;
}
