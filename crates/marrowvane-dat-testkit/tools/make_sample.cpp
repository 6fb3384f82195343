// SPDX-License-Identifier: MIT
// Writes a synthetic portal archive: about 3000 files of many types and six known
// fonts, one of which can be replaced by a bad one.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "marrowvane_dat/dat_database.hpp"
#include "marrowvane_dat/file_type/font.hpp"
#include "marrowvane_dat_testkit/archive_builder.hpp"
#include "marrowvane_dat_testkit/font_writer.hpp"
#include "marrowvane_dat_testkit/rng.hpp"

namespace {

using marrowvane_dat::DatFileEntry;
using marrowvane_dat::testkit::ArchiveBuilder;
using marrowvane_dat::testkit::ChainLayout;
using marrowvane_dat::testkit::FileSpec;
using marrowvane_dat::testkit::Rng;

enum class BadFont { None, SelfId, NoGlyphs, ZeroCell, Trailing, Truncated, Unreadable };

struct BadFontName {
  std::string_view name;
  BadFont kind;
};

constexpr BadFontName BAD_FONT_NAMES[] = {
    {"self-id", BadFont::SelfId},      {"no-glyphs", BadFont::NoGlyphs},
    {"zero-cell", BadFont::ZeroCell},  {"trailing", BadFont::Trailing},
    {"truncated", BadFont::Truncated}, {"unreadable", BadFont::Unreadable},
};

constexpr std::uint32_t BLOCK_SIZE = 1024;
constexpr std::uint32_t PAYLOAD = BLOCK_SIZE - 4;

// The fonts: ids 0x40000001.. with these glyph counts (959 glyphs in all).
constexpr std::uint32_t FONT_BASE_ID = 0x40000000;
constexpr std::uint32_t FONT_GLYPHS[] = {95, 96, 128, 160, 224, 256};
// The font that --bad replaces.
constexpr std::uint32_t BAD_FONT_ID = 0x40000003;
constexpr std::uint32_t BAD_SELF_ID = 0x40000099;
constexpr std::size_t TRUNCATED_SIZE = 131;
// A block offset far past the end of any archive this program writes.
constexpr std::uint32_t PAST_THE_END = 0xFFFFFC00;

// Other files; with the fonts the directory holds exactly 3000 entries.
constexpr std::size_t OTHER_FILES = 2994;

// File-type prefixes (the id's top byte) and how often each occurs. No 0x40: the
// only fonts are the six above.
struct TypeWeight {
  std::uint8_t prefix;
  unsigned weight;
};
constexpr TypeWeight FILE_TYPES[] = {
    {0x01, 30}, {0x02, 12}, {0x03, 10}, {0x04, 4}, {0x05, 16}, {0x06, 30}, {0x07, 2},
    {0x08, 16}, {0x09, 3},  {0x0A, 8},  {0x0D, 6}, {0x0E, 2},  {0x0F, 3},  {0x10, 6},
    {0x11, 2},  {0x12, 2},  {0x13, 1},  {0x20, 3}, {0x21, 3},  {0x22, 2},  {0x23, 4},
    {0x24, 2},  {0x25, 1},  {0x26, 1},  {0x27, 1}, {0x30, 1},  {0x31, 4},  {0x32, 4},
    {0x33, 4},  {0x34, 1},  {0x38, 1},  {0x39, 1}, {0x41, 1},  {0x78, 1},
};

std::uint8_t pick_prefix(Rng& rng) {
  unsigned total = 0;
  for (const TypeWeight& t : FILE_TYPES) {
    total += t.weight;
  }
  std::uint32_t roll = rng.below(total);
  for (const TypeWeight& t : FILE_TYPES) {
    if (roll < t.weight) {
      return t.prefix;
    }
    roll -= t.weight;
  }
  return FILE_TYPES[0].prefix;
}

// Mostly small files, as in a real archive: sizes cluster near 0 and thin out
// towards 20 KiB.
std::size_t pick_size(Rng& rng) {
  const double u = rng.unit();
  return static_cast<std::size_t>(20480.0 * u * u * u);
}

bool is_text_type(std::uint8_t prefix) noexcept {
  return prefix == 0x23 || prefix == 0x24 || prefix == 0x31;
}

std::vector<std::uint8_t> random_bytes(Rng& rng, std::size_t size) {
  std::vector<std::uint8_t> out(size);
  for (std::uint8_t& b : out) {
    b = rng.byte();
  }
  return out;
}

// Fixed-size records with a few changing fields: what most game data looks like.
std::vector<std::uint8_t> record_bytes(Rng& rng, std::uint32_t id, std::size_t size) {
  std::vector<std::uint8_t> out;
  out.reserve(size);
  const std::size_t record = 8 + rng.below(40);
  std::vector<std::uint8_t> pattern = random_bytes(rng, record);
  for (unsigned shift = 0; shift < 32 && shift / 8 < pattern.size(); shift += 8) {
    pattern[shift / 8] = static_cast<std::uint8_t>(id >> shift);
  }
  while (out.size() < size) {
    if (rng.below(4) == 0) {
      pattern[rng.below(static_cast<std::uint32_t>(record))] = rng.byte();
    }
    for (std::size_t i = 0; i < record && out.size() < size; ++i) {
      out.push_back(pattern[i]);
    }
  }
  return out;
}

std::vector<std::uint8_t> text_bytes(Rng& rng, std::size_t size) {
  static constexpr std::string_view WORDS[] = {
      "the ",     "portal ", "of ",     "stone ", "river ", "a ",    "guard ",
      "ancient ", "and ",    "shield ", "north ", "is ",    "open ", "closed ",
      "you ",     "cannot ", "here. ",  "lore ",  "quest ", "town ",
  };
  std::vector<std::uint8_t> out;
  out.reserve(size);
  while (out.size() < size) {
    const std::string_view word = WORDS[rng.below(std::size(WORDS))];
    for (std::size_t i = 0; i < word.size() && out.size() < size; ++i) {
      out.push_back(static_cast<std::uint8_t>(word[i]));
    }
  }
  return out;
}

std::vector<FileSpec> make_other_files(Rng& rng) {
  std::map<std::uint8_t, std::uint32_t> next_low;
  std::vector<FileSpec> files;
  files.reserve(OTHER_FILES);
  for (std::size_t i = 0; i < OTHER_FILES; ++i) {
    const std::uint8_t prefix = pick_prefix(rng);
    // Ids of one type rise with small gaps, so every id is unique.
    std::uint32_t& low = next_low[prefix];
    low += 1 + rng.below(6);
    FileSpec file;
    file.id = (static_cast<std::uint32_t>(prefix) << 24) | (low & 0x00FFFFFFU);
    // A handful of large files, to make chains of hundreds of blocks.
    const std::size_t size = (i % 500 == 250) ? 64 * 1024 + rng.below(320 * 1024) : pick_size(rng);
    if (is_text_type(prefix)) {
      file.content = text_bytes(rng, size);
    } else if (rng.below(3) == 0) {
      file.content = random_bytes(rng, size);
    } else {
      file.content = record_bytes(rng, file.id, size);
    }
    file.compressed = rng.below(4) == 0;
    file.timestamp = 1'100'000'000U + rng.below(200'000'000U);
    file.version = 1 + rng.below(5);
    files.push_back(std::move(file));
  }
  return files;
}

std::vector<std::uint8_t> bad_font_record(BadFont kind) {
  using marrowvane_dat::testkit::encode_font;
  using marrowvane_dat::testkit::make_font;
  marrowvane_dat::Font font = make_font(BAD_FONT_ID, FONT_GLYPHS[2]);
  switch (kind) {
    case BadFont::SelfId:
      font.id = BAD_SELF_ID;
      return encode_font(font);
    case BadFont::NoGlyphs:
      return encode_font(make_font(BAD_FONT_ID, 0));
    case BadFont::ZeroCell:
      font.max_char_height = 0;
      font.max_char_width = 16;
      return encode_font(font);
    case BadFont::Trailing: {
      std::vector<std::uint8_t> record = encode_font(font);
      record.insert(record.end(), {0xEF, 0xBE, 0xAD, 0xDE});
      return record;
    }
    case BadFont::Truncated: {
      std::vector<std::uint8_t> record = encode_font(font);
      record.resize(TRUNCATED_SIZE);
      return record;
    }
    case BadFont::None:
    case BadFont::Unreadable:
      break;
  }
  return encode_font(font);
}

// The replaceable font always takes the same two blocks, whatever its bad variant,
// so every other file and node keeps its offset across variants.
DatFileEntry add_replaceable_font(ArchiveBuilder& builder, BadFont kind) {
  std::vector<std::uint8_t> record = bad_font_record(kind);
  std::vector<std::uint8_t> stored = record;
  stored.resize(std::max<std::size_t>(stored.size(), PAYLOAD + 1), 0);
  DatFileEntry entry;
  entry.id = BAD_FONT_ID;
  entry.offset = builder.write_chain(stored);
  entry.size = static_cast<std::uint32_t>(record.size());
  entry.timestamp = 1'180'000'003U;
  entry.version = 2;
  if (kind == BadFont::Unreadable) {
    entry.offset = PAST_THE_END;
  }
  return entry;
}

std::vector<DatFileEntry> add_fonts(ArchiveBuilder& builder, BadFont kind) {
  std::vector<DatFileEntry> entries;
  for (std::uint32_t i = 0; i < std::size(FONT_GLYPHS); ++i) {
    const std::uint32_t id = FONT_BASE_ID + 1 + i;
    if (id == BAD_FONT_ID) {
      entries.push_back(add_replaceable_font(builder, kind));
      continue;
    }
    FileSpec file;
    file.id = id;
    file.content = marrowvane_dat::testkit::encode_font(
        marrowvane_dat::testkit::make_font(id, FONT_GLYPHS[i]));
    file.compressed = id % 2 == 0;
    file.timestamp = 1'180'000'000U + i;
    file.version = 2;
    entries.push_back(builder.add_file(file));
  }
  return entries;
}

void set_portal_header(marrowvane_dat::DatHeader& h) {
  h.subset = 0;
  h.new_lru = 0;
  h.old_lru = 0;
  h.use_lru = 0;
  h.master_map_id = 0;
  h.engine_version = 22;
  h.game_version = 11;
  h.version_string = {0x3C, 0x1F, 0x72, 0xA4, 0x0B, 0x5E, 0x41, 0x8D,
                      0x96, 0x27, 0xE3, 0x50, 0x00, 0x00, 0x00, 0x00};
  h.version_minor = 0x000E;
}

void build_sample(ArchiveBuilder& builder, BadFont kind) {
  Rng rng(0x6D61'7272'6F77'7661ULL);
  set_portal_header(builder.header());
  const std::vector<FileSpec> files = make_other_files(rng);

  std::vector<DatFileEntry> entries;
  entries.reserve(files.size() + std::size(FONT_GLYPHS));
  // Fonts sit in the middle of the archive, not at either end.
  const std::size_t fonts_after = files.size() / 2;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const ChainLayout layout = (i % 8 == 3) ? ChainLayout::Scattered : ChainLayout::Contiguous;
    entries.push_back(builder.add_file(files[i], layout));
    if (i + 1 == fonts_after) {
      const std::vector<DatFileEntry> fonts = add_fonts(builder, kind);
      entries.insert(entries.end(), fonts.begin(), fonts.end());
    }
  }

  // A short free list of zeroed blocks, linked like any chain.
  constexpr std::uint32_t FREE_BLOCKS = 16;
  const std::vector<std::uint8_t> free_space(std::size_t{FREE_BLOCKS} * PAYLOAD, 0);
  marrowvane_dat::DatHeader& h = builder.header();
  h.free_head = builder.write_chain(free_space);
  h.free_tail = h.free_head + (FREE_BLOCKS - 1) * BLOCK_SIZE;
  h.free_count = FREE_BLOCKS;

  builder.build_directory(std::move(entries));
}

void usage(std::FILE* stream, const char* program) {
  std::fprintf(stream,
               "usage: %s OUT.dat [--bad KIND]\n"
               "  writes a synthetic portal archive with six fonts to OUT.dat\n"
               "  --bad KIND  replaces font 0x40000003 by a bad one; KIND is one of:\n"
               "              self-id no-glyphs zero-cell trailing truncated unreadable\n"
               "  -h, --help  prints this and exits\n",
               program);
}

std::optional<BadFont> parse_bad_kind(std::string_view name) {
  for (const BadFontName& entry : BAD_FONT_NAMES) {
    if (entry.name == name) {
      return entry.kind;
    }
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  const char* program = argc > 0 ? argv[0] : "marrowvane_dat_make_sample";
  std::optional<std::filesystem::path> out;
  BadFont kind = BadFont::None;
  bool bad_given = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      usage(stdout, program);
      return 0;
    }
    if (arg == "--bad") {
      if (bad_given || i + 1 >= argc) {
        usage(stderr, program);
        return 2;
      }
      const std::optional<BadFont> parsed = parse_bad_kind(argv[++i]);
      if (!parsed) {
        std::fprintf(stderr, "%s: unknown bad font kind '%s'\n", program, argv[i]);
        usage(stderr, program);
        return 2;
      }
      kind = *parsed;
      bad_given = true;
    } else if (arg.empty() || arg.front() == '-' || out) {
      usage(stderr, program);
      return 2;
    } else {
      out = std::filesystem::path(arg);
    }
  }
  if (!out) {
    usage(stderr, program);
    return 2;
  }

  ArchiveBuilder builder(BLOCK_SIZE);
  build_sample(builder, kind);
  try {
    builder.write_to(*out);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", program, e.what());
    return 1;
  }
  return 0;
}
