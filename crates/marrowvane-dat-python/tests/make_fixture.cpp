// SPDX-License-Identifier: MIT
// Writes the small archives the Python tests need beyond the sample portal archive:
// damaged ones that fail in one known way, and a cell archive.
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <ios>
#include <string>
#include <string_view>
#include <vector>

#include "marrowvane_dat_testkit/archive_builder.hpp"

namespace {

using marrowvane_dat::testkit::ArchiveBuilder;
using marrowvane_dat::testkit::FileSpec;
using marrowvane_dat::testkit::NodeSpec;

std::vector<std::uint8_t> counting_bytes(std::size_t size) {
  std::vector<std::uint8_t> out(size);
  for (std::size_t i = 0; i < size; ++i) {
    out[i] = static_cast<std::uint8_t>(i * 7 + 1);
  }
  return out;
}

// A root node whose first child slot points back at the root.
ArchiveBuilder cycle() {
  ArchiveBuilder builder;
  NodeSpec root;
  root.entry_count = 1;
  root.entries.push_back(
      {.bit_flags = 0, .id = 1, .offset = 0, .size = 0, .timestamp = 0, .version = 0});
  const std::uint32_t at = builder.write_node(root);
  // Slot 0 is the first word of the node, just after the block's link word.
  builder.patch_u32(at + 4, at);
  builder.header().root_offset = at;
  return builder;
}

// Block size 4 leaves no room for data; with an empty directory the archive still
// opens, and the chain it holds cannot be read.
ArchiveBuilder tiny_blocks(std::uint32_t& chain) {
  ArchiveBuilder builder;
  chain = builder.write_chain(counting_bytes(10));
  builder.header().block_size = 4;
  return builder;
}

// Block size 256 and dataset 2: file ids classify by their low 16 bits.
ArchiveBuilder cell() {
  ArchiveBuilder builder(256);
  std::vector<FileSpec> files;
  for (const std::uint32_t id : {0x0001FFFFU, 0x0001FFFEU, 0x00010100U, 0xFFFF0001U, 0x7B3AFFFFU}) {
    files.push_back({.id = id,
                     .content = counting_bytes(300 + (id & 0xFF)),
                     .compressed = (id & 1) != 0,
                     .extra_flags = 0,
                     .timestamp = 1'200'000'000U,
                     .version = 3});
  }
  builder.add_files(files);
  return builder;
}

void usage(const char* program) {
  std::fprintf(stderr,
               "usage: %s SHAPE OUT.dat\n"
               "  SHAPE: cycle | tiny-blocks | truncated | cell\n"
               "  tiny-blocks prints the offset of its unreadable chain\n",
               program);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    usage(argc > 0 ? argv[0] : "marrowvane_dat_python_fixture");
    return 2;
  }
  const std::string_view shape = argv[1];
  const std::filesystem::path out = argv[2];
  try {
    if (shape == "cycle") {
      cycle().write_to(out);
    } else if (shape == "tiny-blocks") {
      std::uint32_t chain = 0;
      tiny_blocks(chain).write_to(out);
      std::printf("%u\n", chain);
    } else if (shape == "truncated") {
      // Ends inside the header, in its fifth field.
      std::vector<std::uint8_t> image = ArchiveBuilder().bytes();
      image.resize(marrowvane_dat::DatHeader::OFFSET + 18);
      std::ofstream file(out, std::ios::binary);
      file.write(reinterpret_cast<const char*>(image.data()),
                 static_cast<std::streamsize>(image.size()));
      if (!file) {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], out.c_str());
        return 1;
      }
    } else if (shape == "cell") {
      cell().write_to(out);
    } else {
      usage(argv[0]);
      return 2;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
    return 1;
  }
  return 0;
}
