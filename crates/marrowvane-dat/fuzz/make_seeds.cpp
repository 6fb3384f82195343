// SPDX-License-Identifier: MIT
// Writes the seed corpus of one fuzz target: small valid inputs made by the test kit,
// and damaged variants of them that reach the error paths.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "marrowvane_dat/dat_database.hpp"
#include "marrowvane_dat/file_type/font.hpp"
#include "marrowvane_dat_testkit/archive_builder.hpp"
#include "marrowvane_dat_testkit/font_writer.hpp"
#include "marrowvane_dat_testkit/hostile.hpp"
#include "marrowvane_dat_testkit/lrs_compressor.hpp"
#include "marrowvane_dat_testkit/rng.hpp"

namespace {

namespace fs = std::filesystem;
using marrowvane_dat::DatFileEntry;
using marrowvane_dat::testkit::ArchiveBuilder;
using marrowvane_dat::testkit::ChainLayout;
using marrowvane_dat::testkit::compress_lrs;
using marrowvane_dat::testkit::encode_font;
using marrowvane_dat::testkit::FileSpec;
using marrowvane_dat::testkit::make_font;
using marrowvane_dat::testkit::NodeSpec;
using Bytes = std::vector<std::uint8_t>;
using Seed = std::pair<std::string, Bytes>;

Bytes text(std::string_view s) {
  return Bytes(s.begin(), s.end());
}

// Deterministic bytes that repeat with a short period, so they compress.
Bytes patterned(std::size_t size, std::uint8_t seed) {
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) {
    out[i] = static_cast<std::uint8_t>((i / 3 + seed) % 23 + 'a');
  }
  return out;
}

Bytes cut(Bytes bytes, std::size_t size) {
  bytes.resize(std::min(size, bytes.size()));
  return bytes;
}

void put_u32(Bytes& bytes, std::size_t at, std::uint32_t value) {
  for (unsigned i = 0; i < 4; ++i) {
    bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

// A handful of plain and compressed files of a few sizes.
std::vector<FileSpec> small_files(std::uint32_t first_id, std::size_t count) {
  std::vector<FileSpec> files;
  for (std::size_t i = 0; i < count; ++i) {
    FileSpec file;
    file.id = first_id + static_cast<std::uint32_t>(i);
    file.content = patterned(i * 97 % 700, static_cast<std::uint8_t>(i));
    file.compressed = i % 2 == 1;
    file.timestamp = 0x5F000000U + static_cast<std::uint32_t>(i);
    file.version = 1;
    files.push_back(std::move(file));
  }
  return files;
}

std::vector<Seed> archive_seeds() {
  std::vector<Seed> seeds;

  {
    ArchiveBuilder builder;
    seeds.emplace_back("empty-portal.dat", builder.bytes());
  }
  {
    ArchiveBuilder builder;
    builder.add_files(small_files(0x06000001, 6));
    seeds.emplace_back("one-leaf-portal.dat", builder.bytes());
  }
  {
    // 256-byte blocks keep a three-node tree and a multi-block file small.
    ArchiveBuilder builder(256);
    std::vector<FileSpec> files = small_files(0x01000001, 70);
    files[3].content = patterned(1500, 7);
    builder.add_files(files, ChainLayout::Scattered);
    seeds.emplace_back("two-level-cell-scattered.dat", builder.bytes());
  }
  {
    ArchiveBuilder builder(512);
    builder.header().dataset = 3;
    builder.add_files(small_files(0x0A000001, 4));
    seeds.emplace_back("local-kind.dat", builder.bytes());
  }

  // Damage, one thing at a time, to archives like the ones above.
  const Bytes leaf = seeds[1].second;
  seeds.emplace_back("truncated-in-header.dat", cut(leaf, 0x160));
  seeds.emplace_back("truncated-in-directory.dat", cut(leaf, 0x400 + 900));
  seeds.emplace_back("truncated-half.dat", cut(leaf, leaf.size() / 2));
  {
    Bytes bad = leaf;
    put_u32(bad, 0x140, 0x1234);
    seeds.emplace_back("bad-magic.dat", std::move(bad));
  }
  {
    ArchiveBuilder builder;
    builder.header().root_offset = 0xFFFFFFF0U;
    seeds.emplace_back("root-past-end.dat", builder.bytes());
  }
  {
    ArchiveBuilder builder;
    NodeSpec node;
    node.entry_count = 1;
    node.entries = {DatFileEntry{.id = 9}};
    const std::uint32_t root = builder.write_node(node);
    builder.patch_u32(root, root);
    builder.header().root_offset = root;
    seeds.emplace_back("node-chain-links-to-itself.dat", builder.bytes());
  }
  {
    ArchiveBuilder builder;
    const DatFileEntry file = builder.add_file(FileSpec{.id = 0x06000001, .content = text("x")});
    NodeSpec child;
    child.entry_count = 1;
    child.entries = {file};
    const std::uint32_t child_offset = builder.write_node(child);
    NodeSpec root;
    root.branches[0] = child_offset;
    root.entry_count = 1;
    root.entries = {DatFileEntry{.id = 0x06000002, .offset = file.offset, .size = 1}};
    const std::uint32_t root_offset = builder.write_node(root);
    // The child's first branch points back at the root: the tree loops.
    builder.patch_u32(child_offset + 4, root_offset);
    builder.header().root_offset = root_offset;
    seeds.emplace_back("directory-cycle.dat", builder.bytes());
  }
  {
    ArchiveBuilder builder;
    NodeSpec node;
    node.entry_count = 62;
    node.entries = {DatFileEntry{.id = 1}};
    builder.header().root_offset = builder.write_node(node);
    seeds.emplace_back("entry-count-too-large.dat", builder.bytes());
  }
  {
    ArchiveBuilder builder;
    const std::uint32_t data = builder.write_chain(patterned(100, 1));
    const std::uint32_t loop = builder.write_chain(patterned(2000, 2));
    builder.patch_u32(loop, loop);
    builder.build_directory({
        DatFileEntry{.id = 1, .offset = data, .size = 0xFFFFFFFFU},
        DatFileEntry{.id = 2, .offset = 0xFFFFFC00U, .size = 10},
        DatFileEntry{.id = 3, .offset = loop, .size = 5000},
        DatFileEntry{.id = 4, .offset = data, .size = 0},
        // Stored bytes flagged as compressed that are not.
        DatFileEntry{.bit_flags = 1, .id = 5, .offset = data, .size = 100},
    });
    seeds.emplace_back("hostile-entries.dat", builder.bytes());
  }
  {
    // A block size that leaves no room after the link: even the directory is unreadable.
    ArchiveBuilder builder(4);
    builder.add_files({FileSpec{.id = 7, .content = text("tiny blocks")}});
    seeds.emplace_back("block-size-4.dat", builder.bytes());
  }
  {
    ArchiveBuilder builder(8);
    builder.add_files({FileSpec{.id = 7, .content = text("four bytes per block")}});
    seeds.emplace_back("block-size-8.dat", builder.bytes());
  }
  // The shapes that were slowest to open and to read: a directory over 5-byte blocks
  // in scattered chains, and files that each loop over a block of their own.
  seeds.emplace_back("tiny-block-directory-64k.dat",
                     marrowvane_dat::testkit::tiny_block_directory(64 << 10).bytes());
  seeds.emplace_back("self-linked-entries.dat",
                     marrowvane_dat::testkit::self_linked_entries(60).bytes());
  return seeds;
}

std::vector<Seed> lrs_seeds() {
  std::vector<Seed> seeds;
  seeds.emplace_back("empty.lrs", Bytes{});
  seeds.emplace_back("short-1.lrs", Bytes{0x01});
  seeds.emplace_back("short-3.lrs", Bytes{0x03, 0x00, 0x00});
  seeds.emplace_back("size-only.lrs", Bytes{0x10, 0x00, 0x00, 0x00});

  const std::pair<std::string_view, Bytes> contents[] = {
      {"one-byte", text("a")},
      {"text", text("the portal archive keeps the block chain of the portal file in the "
                    "archive; the block chain of the cell archive keeps the cell file\n")},
      {"pattern", patterned(3000, 0)},
      {"zeros", Bytes(5000, 0)},
      {"all-bytes",
       [] {
         Bytes all(512);
         for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint8_t>(i);
         return all;
       }()},
  };
  for (const auto& [name, content] : contents) {
    const Bytes stream = compress_lrs(content);
    seeds.emplace_back(std::string(name) + ".lrs", stream);
    if (name == "pattern") {
      seeds.emplace_back("pattern-truncated.lrs", cut(stream, stream.size() * 2 / 3));
      Bytes smaller = stream;
      put_u32(smaller, 0, 1000);
      seeds.emplace_back("pattern-declared-smaller.lrs", std::move(smaller));
      Bytes larger = stream;
      put_u32(larger, 0, 0xFFFFFFFFU);
      seeds.emplace_back("pattern-declared-huge.lrs", std::move(larger));
    }
  }

  // Hand-made malformed token streams (size field, control byte, tokens).
  seeds.emplace_back("reference-first.lrs", Bytes{8, 0, 0, 0, 0x80, 0x01, 0x03});
  seeds.emplace_back("end-marker.lrs", Bytes{8, 0, 0, 0, 0x40, 0x61, 0x00, 0x00, 0x62});
  seeds.emplace_back("reference-cut-short.lrs", Bytes{8, 0, 0, 0, 0x40, 0x61, 0x01});
  seeds.emplace_back("distance-past-output.lrs", Bytes{9, 0, 0, 0, 0x20, 0x61, 0x62, 0xFF, 0xFF});
  seeds.emplace_back("control-byte-last.lrs",
                     Bytes{4, 0, 0, 0, 0x00, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0xFF});
  return seeds;
}

std::vector<Seed> font_seeds() {
  std::vector<Seed> seeds;
  seeds.emplace_back("empty.font", Bytes{});
  for (const std::uint32_t glyphs : {0U, 1U, 95U, 256U}) {
    seeds.emplace_back("glyphs-" + std::to_string(glyphs) + ".font",
                       encode_font(make_font(0x40000001U + glyphs, glyphs)));
  }
  const Bytes font = encode_font(make_font(0x40000002, 3));
  Bytes trailing = font;
  trailing.insert(trailing.end(), {0xDE, 0xAD, 0xBE, 0xEF});
  seeds.emplace_back("trailing-bytes.font", std::move(trailing));
  seeds.emplace_back("cut-in-fixed-fields.font", cut(font, 10));
  seeds.emplace_back("cut-in-glyph.font", cut(font, 16 + 11 + 5));
  seeds.emplace_back("cut-before-last-field.font", cut(font, font.size() - 4));
  Bytes huge_count = font;
  put_u32(huge_count, 12, 0xFFFFFFFFU);
  seeds.emplace_back("count-huge.font", std::move(huge_count));
  return seeds;
}

// Inputs for the structured target, whose bytes are choices: the first picks the block
// size, so there are seeds for every size it offers; short seeds run out of choices
// before any damage is chosen, long ones go on to damage their archive. The longest
// seed sets how long the fuzzer's inputs may grow: enough for a tree of many files
// and then its damage.
std::vector<Seed> structured_seeds() {
  std::vector<Seed> seeds;
  marrowvane_dat::testkit::Rng rng(0x5EED);
  constexpr std::uint8_t BLOCK_SIZE_CHOICES = 16;
  for (std::uint8_t block_size = 0; block_size < BLOCK_SIZE_CHOICES; ++block_size) {
    for (const std::size_t length : {48U, 160U, 600U, 2400U}) {
      Bytes seed(length);
      for (auto& byte : seed) byte = rng.byte();
      seed[0] = block_size;
      seeds.emplace_back(
          "block-size-choice-" + std::to_string(block_size) + "-" + std::to_string(length) + ".bin",
          std::move(seed));
    }
  }
  return seeds;
}

bool write_seeds(const fs::path& dir, const std::vector<Seed>& seeds) {
  std::error_code error;
  fs::remove_all(dir, error);
  fs::create_directories(dir, error);
  if (error) {
    std::fprintf(stderr, "make_seeds: cannot create %s: %s\n", dir.c_str(),
                 error.message().c_str());
    return false;
  }
  for (const auto& [name, bytes] : seeds) {
    const fs::path path = dir / name;
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
      std::fprintf(stderr, "make_seeds: cannot write %s\n", path.c_str());
      return false;
    }
  }
  std::printf("make_seeds: %zu seeds in %s\n", seeds.size(), dir.c_str());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s open|decompress|font|structured OUTPUT_DIR\n",
                 argc > 0 ? argv[0] : "make_seeds");
    return 2;
  }
  const std::string_view target = argv[1];
  std::vector<Seed> seeds;
  if (target == "open") {
    seeds = archive_seeds();
  } else if (target == "decompress") {
    seeds = lrs_seeds();
  } else if (target == "font") {
    seeds = font_seeds();
  } else if (target == "structured") {
    seeds = structured_seeds();
  } else {
    std::fprintf(stderr, "make_seeds: unknown target '%s'\n", argv[1]);
    return 2;
  }
  return write_seeds(argv[2], seeds) ? 0 : 1;
}
