// The marrowvane-dat tool end to end: archives from the test kit, the tool run as
// a child process, its output checked against what the kit wrote.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "marrowvane_dat/dat_database.hpp"
#include "marrowvane_dat/file_type/font.hpp"
#include "marrowvane_dat/utils.hpp"
#include "marrowvane_dat_testkit/archive_builder.hpp"
#include "marrowvane_dat_testkit/font_writer.hpp"
#include "marrowvane_dat_testkit/lrs_compressor.hpp"
#include "tool_process.hpp"

namespace {

namespace fs = std::filesystem;
using marrowvane_dat::DatFileEntry;
using marrowvane_dat::DatHeader;
using marrowvane_dat::Font;
using marrowvane_dat::cli_test::run_tool;
using marrowvane_dat::cli_test::run_tool_into_closed_pipe;
using marrowvane_dat::cli_test::ToolRun;
using marrowvane_dat::testkit::ArchiveBuilder;
using marrowvane_dat::testkit::ChainLayout;
using marrowvane_dat::testkit::encode_font;
using marrowvane_dat::testkit::FileSpec;
using marrowvane_dat::testkit::make_font;
using Bytes = std::vector<std::uint8_t>;
using Json = nlohmann::json;

constexpr std::uint32_t FONT_A = 0x40000001;
constexpr std::uint32_t FONT_B = 0x40000002;
constexpr std::uint32_t TEXTURE = 0x06000010;
constexpr std::uint32_t MODEL = 0x0100000A;
constexpr std::uint32_t TABLE = 0x0E000001;
constexpr std::uint32_t UNREADABLE = 0x06000099;

std::string text_of(const Bytes& bytes) {
  return {bytes.begin(), bytes.end()};
}

Bytes read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Bytes pattern(std::size_t size, std::uint32_t seed) {
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) {
    seed = seed * 1103515245U + 12345U;
    out[i] = static_cast<std::uint8_t>(seed >> 24);
  }
  return out;
}

// Repetitive enough that compression visibly shrinks it.
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

std::string hex_id(std::uint32_t id) {
  return "0x" + hex8(id);
}

struct Archive {
  fs::path path;
  DatHeader header;
  std::vector<DatFileEntry> entries;  // sorted by id
  std::map<std::uint32_t, Bytes> contents;
};

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (fs::path(::testing::TempDir()) / "marrowvane-cli-XXXXXX").string();
    ASSERT_NE(::mkdtemp(templ.data()), nullptr);
    dir_ = templ;
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Stores `files` (plus any `extra` entries that point anywhere) and writes the archive.
  Archive write(ArchiveBuilder& builder, const std::vector<FileSpec>& files,
                const std::string& name = "test.dat", std::vector<DatFileEntry> extra = {}) {
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

  // A portal archive with two fonts (one compressed), a multi-block texture, a
  // compressed model and an empty table, and every header field set.
  Archive portal() {
    ArchiveBuilder builder(1024);
    DatHeader& h = builder.header();
    h.file_size = 0x00123456;
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
    return write(builder, {
                              {.id = FONT_A, .content = encode_font(make_font(FONT_A, 95))},
                              {.id = FONT_B,
                               .content = encode_font(make_font(FONT_B, 20)),
                               .compressed = true,
                               .timestamp = 1700000000,
                               .version = 3},
                              {.id = TEXTURE, .content = pattern(3000, 1), .extra_flags = 0x10},
                              {.id = MODEL, .content = repetitive(5000), .compressed = true},
                              {.id = TABLE, .content = {}},
                          });
  }

  fs::path dir_;
};

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

TEST_F(Cli, InfoJsonCarriesEveryHeaderFieldKindAndCount) {
  const Archive a = portal();
  const ToolRun run = run_tool({"info", a.path.string(), "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  const Json j = Json::parse(run.out);
  const DatHeader& h = a.header;
  const std::map<std::string, std::uint32_t> expected = {
      {"magic", 0x5442},
      {"block_size", 1024},
      {"file_size", 0x00123456},
      {"dataset", 1},
      {"subset", 7},
      {"free_head", 0x1000},
      {"free_tail", 0x2000},
      {"free_count", 3},
      {"root_offset", h.root_offset},
      {"new_lru", 11},
      {"old_lru", 12},
      {"use_lru", 13},
      {"master_map_id", 0x12345678},
      {"engine_version", 0xFFFFFFFF},
      {"game_version", 0x20},
      {"version_minor", 0x30},
  };
  for (const auto& [name, value] : expected) {
    ASSERT_TRUE(j.contains(name)) << name;
    EXPECT_EQ(j[name].get<std::uint64_t>(), value) << name;
  }
  EXPECT_NE(h.root_offset, 0U);
  EXPECT_EQ(j["version_string"], "0100abcd0000000000000000000000ff");
  EXPECT_EQ(j["kind"], "Portal");
  EXPECT_EQ(j["file_count"], 5);
  EXPECT_EQ(j.size(), expected.size() + 3);
}

TEST_F(Cli, InfoTextNamesEveryField) {
  const Archive a = portal();
  const ToolRun run = run_tool({"info", a.path.string()});
  ASSERT_EQ(run.status, 0) << run.err;
  for (const char* name : {"magic", "block_size", "file_size", "dataset", "subset", "free_head",
                           "free_tail", "free_count", "root_offset", "new_lru", "old_lru",
                           "use_lru", "master_map_id", "engine_version", "game_version",
                           "version_string", "version_minor", "kind", "file_count"}) {
    EXPECT_NE(("\n" + run.out).find(std::string("\n") + name + ":"), std::string::npos)
        << name << " in\n"
        << run.out;
  }
  EXPECT_NE(run.out.find("4294967295"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Portal"), std::string::npos);
}

TEST_F(Cli, InfoKindFollowsTheHeader) {
  struct Case {
    std::uint32_t block_size, dataset, magic;
    const char* kind;
  };
  for (const Case& c : {Case{256, 2, 0x5442, "Cell"}, Case{1024, 5, 0x5442, "Local"},
                        Case{1024, 1, 0, "Unknown"}}) {
    ArchiveBuilder builder(c.block_size);
    builder.header().dataset = c.dataset;
    builder.header().magic = c.magic;
    const Archive a = write(builder, {{.id = 0x12340100, .content = {1, 2, 3}}});
    const ToolRun run = run_tool({"info", "--json", a.path.string()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Json::parse(run.out)["kind"], c.kind);
  }
}

TEST_F(Cli, LsJsonListsEveryEntryInIdOrder) {
  const Archive a = portal();
  const ToolRun run = run_tool({"ls", a.path.string(), "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  const Json j = Json::parse(run.out);
  ASSERT_TRUE(j.is_array());
  ASSERT_EQ(j.size(), a.entries.size());
  const std::map<std::uint32_t, std::string> types = {
      {FONT_A, "Font"}, {FONT_B, "Font"}, {TEXTURE, "Texture"}, {MODEL, "Model"}, {TABLE, "Table"}};
  for (std::size_t i = 0; i < j.size(); ++i) {
    const DatFileEntry& e = a.entries[i];
    const Json& row = j[i];
    EXPECT_EQ(row["id"], e.id);
    EXPECT_EQ(row["bit_flags"], e.bit_flags);
    EXPECT_EQ(row["offset"], e.offset);
    EXPECT_EQ(row["size"], e.size);
    EXPECT_EQ(row["timestamp"], e.timestamp);
    EXPECT_EQ(row["version"], e.version);
    EXPECT_EQ(row["compressed"], (e.bit_flags & 1U) != 0);
    EXPECT_EQ(row["type"], types.at(e.id));
  }
  EXPECT_EQ(j[0]["id"], MODEL);
  EXPECT_EQ(j[1]["bit_flags"], 0x10);
  EXPECT_EQ(j[4]["timestamp"], 1700000000);
}

TEST_F(Cli, LsIntoAPipeIsOneTabSeparatedLinePerEntry) {
  const Archive a = portal();
  const ToolRun run = run_tool({"ls", a.path.string()});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto lines = lines_of(run.out);
  ASSERT_EQ(lines.size(), 5U);
  const DatFileEntry& texture = a.entries[1];
  EXPECT_EQ(lines[1], "0x06000010\tTexture\t3000\tno\t" + hex_id(texture.offset) + "\t0\t0");
  EXPECT_EQ(lines[4], "0x40000002\tFont\t" + std::to_string(a.entries[4].size) + "\tyes\t" +
                          hex_id(a.entries[4].offset) + "\t1700000000\t3");
}

TEST_F(Cli, TypeFilterIgnoresCase) {
  const Archive a = portal();
  for (const char* name : {"Font", "font", "FONT"}) {
    const ToolRun run = run_tool({"ls", a.path.string(), "--type", name, "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Json j = Json::parse(run.out);
    ASSERT_EQ(j.size(), 2U) << name;
    EXPECT_EQ(j[0]["id"], FONT_A);
    EXPECT_EQ(j[1]["id"], FONT_B);
  }
}

TEST_F(Cli, CellArchiveTypesComeFromTheLowBits) {
  ArchiveBuilder builder(256);
  const Archive a = write(builder, {{.id = 0x1234FFFF, .content = {1}},
                                    {.id = 0x1234FFFE, .content = {2}},
                                    {.id = 0x12340100, .content = {3}},
                                    {.id = 0xFFFF0001, .content = {4}}});
  const ToolRun run = run_tool({"ls", "--json", a.path.string()});
  ASSERT_EQ(run.status, 0) << run.err;
  const Json j = Json::parse(run.out);
  ASSERT_EQ(j.size(), 4U);
  EXPECT_EQ(j[0]["type"], "IndoorCell");
  EXPECT_EQ(j[1]["type"], "LandblockInfo");
  EXPECT_EQ(j[2]["type"], "Landblock");
  EXPECT_EQ(j[3]["type"], "Iteration");
}

TEST_F(Cli, UnknownTypeNameIsAUsageErrorListingTheNames) {
  const Archive a = portal();
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"ls", a.path.string(), "--type", "Fnt"},
        std::vector<std::string>{"extract", a.path.string(), (dir_ / "out").string(), "--type",
                                 "Fnt"}}) {
    const ToolRun run = run_tool(args);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("marrowvane-dat: ", 0), 0U) << run.err;
    EXPECT_NE(run.err.find("unknown file type 'Fnt'"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("Model, SetupModel,"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("DataIDMapper"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("Run 'marrowvane-dat " + args[0] + " --help'"), std::string::npos);
  }
  EXPECT_FALSE(fs::exists(dir_ / "out"));
}

TEST_F(Cli, CatWritesEveryFileDecompressed) {
  const Archive a = portal();
  for (const auto& [id, content] : a.contents) {
    const ToolRun run = run_tool({"cat", a.path.string(), hex_id(id)});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, text_of(content)) << hex_id(id);
    EXPECT_EQ(run.err, "");
  }
  const ToolRun by_decimal = run_tool({"cat", a.path.string(), std::to_string(FONT_B)});
  EXPECT_EQ(by_decimal.out, text_of(a.contents.at(FONT_B)));
  const ToolRun lower_hex = run_tool({"cat", a.path.string(), "0x0100000a"});
  EXPECT_EQ(lower_hex.out, text_of(a.contents.at(MODEL)));
}

TEST_F(Cli, CatStoredWritesTheBytesAsStored) {
  const Archive a = portal();
  const ToolRun model = run_tool({"cat", "--stored", a.path.string(), hex_id(MODEL)});
  ASSERT_EQ(model.status, 0) << model.err;
  EXPECT_EQ(model.out, text_of(marrowvane_dat::testkit::compress_lrs(a.contents.at(MODEL))));
  EXPECT_LT(model.out.size(), a.contents.at(MODEL).size());
  const ToolRun texture = run_tool({"cat", "--stored", a.path.string(), hex_id(TEXTURE)});
  EXPECT_EQ(texture.out, text_of(a.contents.at(TEXTURE)));
}

TEST_F(Cli, CatOfFlaggedRawBytesGoesThroughTheDecompressor) {
  ArchiveBuilder builder(1024);
  const Bytes raw = {5, 0, 0, 0, 0x00, 'a', 'b', 'c', 'd', 'e', 'f'};
  const Archive a = write(builder, {{.id = TEXTURE, .content = raw, .extra_flags = 1}});
  const ToolRun plain = run_tool({"cat", a.path.string(), hex_id(TEXTURE)});
  EXPECT_EQ(plain.out, "abcde");
  const ToolRun stored = run_tool({"cat", a.path.string(), hex_id(TEXTURE), "--stored"});
  EXPECT_EQ(stored.out, text_of(raw));
}

TEST_F(Cli, UnknownIdIsNotFound) {
  const Archive a = portal();
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"cat", a.path.string(), "0x40000099"},
        std::vector<std::string>{"cat", a.path.string(), "0x40000099", "--stored"},
        std::vector<std::string>{"font", a.path.string(), "1073741977", "--json"}}) {
    const ToolRun run = run_tool(args);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "marrowvane-dat: File ID 40000099 not found in provider\n");
  }
}

TEST_F(Cli, MalformedIdIsAUsageError) {
  const Archive a = portal();
  for (const char* id : {"0xZZ", "0x", "-1", "4294967296", "0x100000000", "12a"}) {
    const ToolRun run = run_tool({"cat", a.path.string(), id});
    EXPECT_EQ(run.status, 2) << id;
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("not a file id"), std::string::npos) << run.err;
  }
}

TEST_F(Cli, MissingArchiveIsAPathError) {
  const std::string missing = (dir_ / "nope.dat").string();
  for (const char* command : {"info", "ls", "verify"}) {
    const ToolRun run = run_tool({command, missing});
    EXPECT_EQ(run.status, 1) << command;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "marrowvane-dat: Failed to open file at " + missing +
                           ": No such file or directory (os error 2)\n");
  }
}

TEST_F(Cli, TruncatedHeaderNamesTheFieldThatRanOut) {
  ArchiveBuilder builder(1024);
  Bytes image = builder.bytes();
  image.resize(DatHeader::OFFSET + 62);  // ends inside version_string
  const fs::path path = dir_ / "short.dat";
  std::ofstream(path, std::ios::binary) << text_of(image);
  const ToolRun run = run_tool({"ls", path.string(), "--json"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err.rfind("marrowvane-dat: Binary read error: ", 0), 0U) << run.err;
  EXPECT_NE(run.err.find("While parsing field 'version_string' in DatHeader"), std::string::npos);
  EXPECT_EQ(lines_of(run.err).size(), 1U) << run.err;
}

TEST_F(Cli, FontJsonMatchesTheRecord) {
  const Archive a = portal();
  for (const std::uint32_t id : {FONT_A, FONT_B}) {
    const Font font = make_font(id, id == FONT_A ? 95 : 20);
    const ToolRun run = run_tool({"font", a.path.string(), hex_id(id), "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Json j = Json::parse(run.out);
    EXPECT_EQ(j["id"], font.id);
    EXPECT_EQ(j["max_char_height"], font.max_char_height);
    EXPECT_EQ(j["max_char_width"], font.max_char_width);
    EXPECT_EQ(j["num_horizontal_border_pixels"], font.num_horizontal_border_pixels);
    EXPECT_EQ(j["num_vertical_border_pixels"], font.num_vertical_border_pixels);
    EXPECT_EQ(j["baseline_offset"], font.baseline_offset);
    EXPECT_EQ(j["foreground_surface_data_id"], font.foreground_surface_data_id);
    EXPECT_EQ(j["background_surface_data_id"], font.background_surface_data_id);
    ASSERT_EQ(j["char_descs"].size(), font.char_descs.size());
    bool saw_negative = false;
    for (std::size_t i = 0; i < font.char_descs.size(); ++i) {
      const auto& g = font.char_descs[i];
      const Json& row = j["char_descs"][i];
      EXPECT_EQ(row["unicode"], g.unicode);
      EXPECT_EQ(row["offset_x"], g.offset_x);
      EXPECT_EQ(row["offset_y"], g.offset_y);
      EXPECT_EQ(row["width"], g.width);
      EXPECT_EQ(row["height"], g.height);
      EXPECT_EQ(row["horizontal_offset_before"], g.horizontal_offset_before);
      EXPECT_EQ(row["horizontal_offset_after"], g.horizontal_offset_after);
      EXPECT_EQ(row["vertical_offset_before"], g.vertical_offset_before);
      saw_negative = saw_negative || row["vertical_offset_before"].get<int>() < 0;
    }
    EXPECT_TRUE(saw_negative) << "fixture should exercise signed glyph fields";
  }
}

TEST_F(Cli, FontTextShowsMetricsThenGlyphs) {
  const Archive a = portal();
  const ToolRun run = run_tool({"font", a.path.string(), hex_id(FONT_A)});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.rfind("id:", 0), 0U) << run.out;
  EXPECT_NE(run.out.find("0x40000001"), std::string::npos);
  EXPECT_NE(run.out.find("glyphs:"), std::string::npos);
  EXPECT_NE(run.out.find("\n'A'   U+0041"), std::string::npos) << run.out;
  EXPECT_EQ(lines_of(run.out).size(), 9U + 1 + 1 + 95);
}

TEST_F(Cli, FontThatDoesNotParseIsABinReadError) {
  ArchiveBuilder builder(1024);
  Bytes bytes = encode_font(make_font(FONT_A, 2));
  bytes.resize(20);  // the first glyph ends after offset_x
  const Archive a = write(builder, {{.id = FONT_A, .content = bytes}});
  const ToolRun run = run_tool({"font", a.path.string(), hex_id(FONT_A), "--json"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err.rfind("marrowvane-dat: Binary read error: ", 0), 0U) << run.err;
  const auto glyph = run.err.find("While parsing field 'offset_y' in FontCharDesc");
  const auto list = run.err.find("While parsing field 'char_descs' in Font");
  ASSERT_NE(glyph, std::string::npos) << run.err;
  EXPECT_LT(glyph, list);
}

TEST_F(Cli, ExtractWritesOneFilePerEntryUnderItsType) {
  const Archive a = portal();
  const fs::path out = dir_ / "out";
  const ToolRun run = run_tool({"extract", a.path.string(), out.string(), "--jobs", "3"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.rfind("Extracted 5 files, 9337 bytes in ", 0), 0U) << run.out;
  const std::map<std::uint32_t, std::string> dirs = {
      {FONT_A, "Font"}, {FONT_B, "Font"}, {TEXTURE, "Texture"}, {MODEL, "Model"}, {TABLE, "Table"}};
  std::size_t files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(out)) {
    files += entry.is_regular_file() ? 1U : 0U;
  }
  EXPECT_EQ(files, 5U);
  for (const auto& [id, content] : a.contents) {
    const fs::path file = out / dirs.at(id) / (hex8(id) + ".bin");
    ASSERT_TRUE(fs::exists(file)) << file;
    EXPECT_EQ(read_file(file), content) << file;
  }
}

TEST_F(Cli, ExtractRefusesToOverwriteUnlessForced) {
  const Archive a = portal();
  const fs::path out = dir_ / "out";
  ASSERT_EQ(run_tool({"extract", a.path.string(), out.string(), "--type", "font"}).status, 0);
  const fs::path font = out / "Font" / "40000001.bin";
  std::ofstream(font, std::ios::trunc) << "edited";

  const ToolRun refused = run_tool({"extract", a.path.string(), out.string()});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("refusing to overwrite " + font.string()), std::string::npos)
      << refused.err;
  EXPECT_NE(refused.err.find("--force"), std::string::npos);
  EXPECT_EQ(text_of(read_file(font)), "edited");
  EXPECT_FALSE(fs::exists(out / "Model")) << "nothing is written when refusing";

  const ToolRun forced = run_tool({"extract", a.path.string(), out.string(), "--force"});
  ASSERT_EQ(forced.status, 0) << forced.err;
  EXPECT_EQ(read_file(font), a.contents.at(FONT_A));
  EXPECT_EQ(read_file(out / "Model" / "0100000A.bin"), a.contents.at(MODEL));
}

TEST_F(Cli, ExtractReportsAnUnreadableFileAndWritesTheRest) {
  ArchiveBuilder builder(1024);
  const DatFileEntry bad{.id = UNREADABLE, .offset = 0xFFFFFC00, .size = 10};
  const Archive a = write(builder,
                          {{.id = TEXTURE, .content = pattern(100, 2)},
                           {.id = 0x06000100, .content = pattern(2000, 3)}},
                          "bad.dat", {bad});
  const fs::path out = dir_ / "out";
  const ToolRun run = run_tool({"extract", a.path.string(), out.string(), "-j", "2"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("marrowvane-dat: file 0x06000099: IO error: "), std::string::npos)
      << run.err;
  EXPECT_EQ(run.out.rfind("Extracted 2 files, 2100 bytes", 0), 0U) << run.out;
  EXPECT_NE(run.out.find("1 failed"), std::string::npos);
  EXPECT_EQ(read_file(out / "Texture" / "06000010.bin"), a.contents.at(TEXTURE));
  EXPECT_EQ(read_file(out / "Texture" / "06000100.bin"), a.contents.at(0x06000100));
  EXPECT_FALSE(fs::exists(out / "Texture" / "06000099.bin"));
}

TEST_F(Cli, VerifyPassesAGoodArchive) {
  const Archive a = portal();
  const ToolRun run = run_tool({"verify", a.path.string()});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out.rfind("Verified 5 files", 0), 0U) << run.out;
  EXPECT_NE(run.out.find("Fonts: 2 of 2 passed, 115 glyphs"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("No failures"), std::string::npos);
}

TEST_F(Cli, VerifyReportsEveryBadFileByIdWhateverTheThreadCount) {
  ArchiveBuilder builder(1024);
  Font self_id = make_font(0x40000001, 10);
  self_id.id = 0x40000002;
  Bytes trailing = encode_font(make_font(0x40000003, 10));
  trailing.insert(trailing.end(), {0, 0, 0, 0});
  Font zero_cell = make_font(0x40000005, 10);
  zero_cell.max_char_height = 0;
  zero_cell.max_char_width = 16;
  Bytes cut = encode_font(make_font(0x40000006, 10));
  cut.resize(20);
  const Bytes lying = {9, 0, 0, 0, 0x00, 'a', 'b', 'c'};
  const Archive a = write(
      builder,
      {{.id = 0x40000001, .content = encode_font(self_id)},
       {.id = 0x40000003, .content = trailing},
       {.id = 0x40000004, .content = encode_font(make_font(0x40000004, 0))},
       {.id = 0x40000005, .content = encode_font(zero_cell)},
       {.id = 0x40000006, .content = cut},
       {.id = 0x40000007, .content = encode_font(make_font(0x40000007, 12)), .compressed = true},
       {.id = 0x06000020, .content = lying, .extra_flags = 1},
       {.id = 0x06000021, .content = repetitive(3000), .compressed = true}},
      "damaged.dat", {DatFileEntry{.id = UNREADABLE, .offset = 0xFFFFFC00, .size = 10}});

  const std::vector<std::string> expected = {
      "  0x06000020 Texture: decompressed to 3 bytes, declared 9",
      "  0x06000099 Texture: IO error: failed to fill whole buffer",
      "  0x40000001 Font: Font 0x40000001 self-id mismatch: the record names 0x40000002",
      "  0x40000003 Font: Font 0x40000003 size mismatch: predicted 146 != actual 150",
      "  0x40000004 Font: Font 0x40000004 has zero char descs",
      "  0x40000005 Font: Font 0x40000005 has zero max cell size (0x16)",
  };
  std::string first_report;
  for (const char* jobs : {"1", "4"}) {
    const ToolRun run = run_tool({"verify", a.path.string(), "--jobs", jobs});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "marrowvane-dat: 7 of 9 files failed verification\n");
    const auto lines = lines_of(run.out);
    const auto failures = std::ranges::find(lines, "Failures (7):");
    ASSERT_NE(failures, lines.end()) << run.out;
    ASSERT_EQ(lines.end() - failures, 8) << run.out;
    for (std::size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ(failures[static_cast<std::ptrdiff_t>(i) + 1], expected[i]);
    }
    EXPECT_EQ(failures[7].rfind("  0x40000006 Font: parse Font 0x40000006 (20 bytes): ", 0), 0U)
        << failures[7];
    EXPECT_NE(run.out.find("Fonts: 1 of 6 passed, 12 glyphs"), std::string::npos) << run.out;
    // Everything after the timing line is the same whatever the thread count.
    const std::string report = run.out.substr(run.out.find('\n'));
    if (first_report.empty()) {
      first_report = report;
    } else {
      EXPECT_EQ(report, first_report);
    }
  }
}

TEST_F(Cli, AClosedPipeEndsTheToolQuietly) {
  ArchiveBuilder builder(1024);
  const Archive a = write(builder, {{.id = TEXTURE, .content = pattern(std::size_t{1} << 20, 9)}});
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"cat", a.path.string(), hex_id(TEXTURE)},
        std::vector<std::string>{"ls", a.path.string(), "--json"}}) {
    const ToolRun run = run_tool_into_closed_pipe(args);
    EXPECT_EQ(run.status, 0) << args[0];
    EXPECT_EQ(run.err, "");
  }
}

TEST_F(Cli, VersionHelpAndMissingCommand) {
  const ToolRun version = run_tool({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("marrowvane-dat ") + MARROWVANE_DAT_VERSION + "\n");
  for (const char* command : {"info", "ls", "cat", "extract", "font", "verify"}) {
    const ToolRun help = run_tool({command, "--help"});
    EXPECT_EQ(help.status, 0) << command;
    EXPECT_NE(help.out.find(std::string("marrowvane-dat ") + command), std::string::npos)
        << help.out;
  }
  const ToolRun none = run_tool({});
  EXPECT_EQ(none.status, 2);
  EXPECT_NE(none.err.find("Run 'marrowvane-dat --help'"), std::string::npos) << none.err;
  const ToolRun missing_id = run_tool({"cat", "x.dat"});
  EXPECT_EQ(missing_id.status, 2);
  EXPECT_EQ(missing_id.out, "");
}

}  // namespace
