// SPDX-License-Identifier: MIT
// The shared fixture and helpers of the tool's end-to-end tests.
#include "cli_fixture.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>

#include "marrowvane_dat_testkit/font_writer.hpp"

namespace marrowvane_dat::cli_test {

using marrowvane_dat::DatFileEntry;
using marrowvane_dat::DatHeader;
using marrowvane_dat::testkit::ArchiveBuilder;
using marrowvane_dat::testkit::ChainLayout;
using marrowvane_dat::testkit::encode_font;
using marrowvane_dat::testkit::FileSpec;
using marrowvane_dat::testkit::make_font;

std::string text_of(const Bytes& bytes) {
  return {bytes.begin(), bytes.end()};
}

Bytes read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const fs::path& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text_of(bytes);
}

Bytes pattern(std::size_t size, std::uint32_t seed) {
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) {
    seed = seed * 1103515245U + 12345U;
    out[i] = static_cast<std::uint8_t>(seed >> 24);
  }
  return out;
}

Bytes repetitive(std::size_t size) {
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) {
    out[i] = static_cast<std::uint8_t>("marrowvane "[i % 11]);
  }
  return out;
}

std::string hex8(std::uint32_t id) {
  char buf[9];
  std::snprintf(buf, sizeof buf, "%08X", id);
  return buf;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string native(const std::string& generic) {
  return fs::path(generic).make_preferred().string();
}

bool can_make_links(const fs::path& dir) {
  const fs::path probe = dir / ".link-probe";
  std::error_code ec;
  fs::create_symlink(dir, probe, ec);
  const bool made = !ec && fs::is_symlink(probe);
  fs::remove(probe, ec);
  return made;
}

std::vector<std::string> tree_of(const fs::path& dir) {
  std::vector<std::string> found;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_directory() || it->is_symlink()) {
      found.push_back(fs::relative(it->path(), dir).generic_string());
    }
  }
  std::ranges::sort(found);
  return found;
}

void Cli::SetUp() {
  // A fresh name until one is free: create_directory reports a directory that was there.
  std::random_device seed;
  std::mt19937_64 random(seed());
  for (int attempt = 0; attempt < 100 && dir_.empty(); ++attempt) {
    char name[32];
    std::snprintf(name, sizeof name, "marrowvane-cli-%016llx",
                  static_cast<unsigned long long>(random()));
    const fs::path dir = fs::path(::testing::TempDir()) / name;
    if (fs::create_directory(dir)) {
      dir_ = dir;
    }
  }
  ASSERT_FALSE(dir_.empty()) << "no free scratch directory name in " << ::testing::TempDir();
}

void Cli::TearDown() {
  fs::remove_all(dir_);
}

Archive Cli::write(ArchiveBuilder& builder, const std::vector<FileSpec>& files,
                   const std::string& name, std::vector<DatFileEntry> extra) {
  Archive archive;
  archive.path = dir_ / name;
  for (const FileSpec& file : files) {
    archive.entries.push_back(builder.add_file(file, ChainLayout::Scattered));
    archive.contents[file.id] = file.content;
  }
  archive.entries.insert(archive.entries.end(), extra.begin(), extra.end());
  builder.build_directory(archive.entries);
  std::ranges::sort(archive.entries, {}, &DatFileEntry::id);
  archive.header = builder.header();
  builder.write_to(archive.path);
  return archive;
}

Archive Cli::portal(const std::string& name) {
  ArchiveBuilder builder(1024);
  DatHeader& h = builder.header();
  h.subset = 7;
  h.free_head = 0x1000;
  h.free_tail = 0x2000;
  h.free_count = 3;
  h.new_lru = 11;
  h.old_lru = 12;
  h.use_lru = 13;
  h.master_map_id = 0x12345678;
  h.engine_version = 0xFFFFFFFF;
  h.game_version = 0x20;
  h.version_string = {0x01, 0x00, 0xAB, 0xCD, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF};
  h.version_minor = 0x30;
  return write(builder,
               {
                   {.id = FONT_A, .content = encode_font(make_font(FONT_A, 95))},
                   {.id = FONT_B,
                    .content = encode_font(make_font(FONT_B, 20)),
                    .compressed = true,
                    .timestamp = 1700000000,
                    .version = 3},
                   {.id = TEXTURE, .content = pattern(3000, 1), .extra_flags = 0x10},
                   {.id = MODEL, .content = repetitive(5000), .compressed = true},
                   {.id = TABLE, .content = {}},
               },
               name);
}

fs::path Cli::scratch_file(const std::string& name, const Bytes& bytes) {
  const fs::path path = dir_ / name;
  write_file(path, bytes);
  return path;
}

}  // namespace marrowvane_dat::cli_test
