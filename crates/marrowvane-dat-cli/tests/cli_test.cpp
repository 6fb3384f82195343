// SPDX-License-Identifier: MIT
// The marrowvane-dat tool end to end, for the commands that look at one archive
// (info, ls, cat, font) and for what every command shares: the id notation, archive
// errors, standard input, help and typo suggestions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "cli_fixture.hpp"
#include "marrowvane_dat/file_type/font.hpp"
#include "marrowvane_dat_testkit/font_writer.hpp"
#include "marrowvane_dat_testkit/lrs_compressor.hpp"

namespace marrowvane_dat::cli_test {
namespace {

using marrowvane_dat::DatFileEntry;
using marrowvane_dat::DatHeader;
using marrowvane_dat::Font;
using marrowvane_dat::testkit::ArchiveBuilder;
using marrowvane_dat::testkit::encode_font;
using marrowvane_dat::testkit::make_font;

const std::vector<std::string> ALL_COMMANDS = {"info", "ls",     "cat",  "extract",
                                               "font", "verify", "diff", "stats"};

// The arguments that make `command` read `archive` (and, for diff, the archive
// `other`), with whatever else it requires.
Args command_on(const std::string& command, const std::string& archive, const fs::path& dir,
                const std::string& other) {
  if (command == "cat" || command == "font") {
    return {command, archive, hex8(FONT_A)};
  }
  if (command == "extract") {
    return {command, archive, (dir / "out").string()};
  }
  if (command == "diff") {
    return {command, archive, other};
  }
  return {command, archive};
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
      {"file_size", static_cast<std::uint32_t>(fs::file_size(a.path))},
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
  EXPECT_EQ(j["master_map_id_hex"], "0x12345678");
  EXPECT_EQ(j["version_string"], "0100abcd0000000000000000000000ff");
  EXPECT_EQ(j["kind"], "Portal");
  EXPECT_EQ(j["file_count"], 5);
  EXPECT_EQ(j.size(), expected.size() + 4);
}

TEST_F(Cli, InfoTextNamesEveryField) {
  const Archive a = portal();
  const ToolRun run = run_tool({"info", a.path.string()});
  ASSERT_EQ(run.status, 0) << run.err;
  for (const char* name : {"magic", "block_size", "file_size", "dataset", "subset", "free_head",
                           "free_tail", "free_count", "root_offset", "new_lru", "old_lru",
                           "use_lru", "master_map_id", "engine_version", "game_version",
                           "version_string", "version_minor", "kind", "file_count"}) {
    EXPECT_TRUE(contains("\n" + run.out, std::string("\n") + name + ":")) << name << run.out;
  }
  EXPECT_TRUE(contains(run.out, "4294967295")) << run.out;
  EXPECT_TRUE(contains(run.out, "master_map_id:   12345678\n")) << run.out;
  EXPECT_TRUE(contains(run.out, "Portal"));
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
    EXPECT_EQ(row["id_hex"], "0x" + hex8(e.id));
    EXPECT_EQ(row["bit_flags"], e.bit_flags);
    EXPECT_EQ(row["offset"], e.offset);
    EXPECT_EQ(row["size"], e.size);
    EXPECT_EQ(row["decompressed_size"], a.contents.at(e.id).size());
    EXPECT_EQ(row["timestamp"], e.timestamp);
    EXPECT_FALSE(row.contains("error"));
    EXPECT_EQ(row["version"], e.version);
    EXPECT_EQ(row["compressed"], (e.bit_flags & 1U) != 0);
    EXPECT_EQ(row["type"], types.at(e.id));
  }
  EXPECT_EQ(j[0]["id"], MODEL);
  EXPECT_LT(j[0]["size"], j[0]["decompressed_size"]);
  EXPECT_EQ(j[1]["bit_flags"], 0x10);
  EXPECT_EQ(j[4]["timestamp"], 1700000000);
  EXPECT_EQ(j[4]["timestamp_utc"], "2023-11-14T22:13:20Z");
}

TEST_F(Cli, LsIntoAPipeIsOneTabSeparatedLinePerEntry) {
  const Archive a = portal();
  const ToolRun run = run_tool({"ls", a.path.string()});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto lines = lines_of(run.out);
  ASSERT_EQ(lines.size(), 5U);
  const DatFileEntry& texture = a.entries[1];
  const DatFileEntry& font_b = a.entries[4];
  EXPECT_EQ(lines[1], "06000010\tTexture\t3000\t3000\tno\t" + std::to_string(texture.offset) +
                          "\t1970-01-01T00:00:00Z\t0");
  EXPECT_EQ(lines[4], "40000002\tFont\t" + std::to_string(font_b.size) + "\t256\tyes\t" +
                          std::to_string(font_b.offset) + "\t2023-11-14T22:13:20Z\t3");
  EXPECT_EQ(run_tool({"ls", a.path.string(), "--format", "tsv"}).out, run.out);
}

TEST_F(Cli, LsFormatsAreChosenByFlagAndCannotConflict) {
  const Archive a = portal();
  const ToolRun table = run_tool({"ls", a.path.string(), "--format", "table"});
  ASSERT_EQ(table.status, 0) << table.err;
  const auto lines = lines_of(table.out);
  ASSERT_EQ(lines.size(), 6U);
  EXPECT_EQ(lines[0].rfind("ID        TYPE     SIZE  DECOMPRESSED  COMPRESSED", 0), 0U) << lines[0];
  EXPECT_EQ(lines[1].rfind("0100000A  Model    ", 0), 0U) << lines[1];

  if (!ON_WINDOWS) {  // no pseudo-terminal to hand the child there
    const ToolRun on_terminal = run_tool({"ls", a.path.string()}, {.out = Stdout::Terminal});
    EXPECT_TRUE(contains(on_terminal.out, "ID        TYPE")) << on_terminal.out;
  }

  EXPECT_EQ(run_tool({"ls", a.path.string(), "--format", "json"}).out,
            run_tool({"ls", a.path.string(), "--json"}).out);
  const ToolRun unknown = run_tool({"ls", a.path.string(), "--format", "xml"});
  EXPECT_EQ(unknown.status, 2);
  EXPECT_TRUE(contains(unknown.err, "unknown format 'xml'; choose table, tsv or json"))
      << unknown.err;
  const ToolRun both = run_tool({"ls", a.path.string(), "--format", "tsv", "--json"});
  EXPECT_EQ(both.status, 2);
  EXPECT_EQ(both.out, "");
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

// A near miss gets the closest name, anything else the names in alphabetical order.
TEST_F(Cli, UnknownTypeNameIsAUsageErrorWithASuggestion) {
  const Archive a = portal();
  for (const auto& [typed, said] :
       {std::pair{"fnt", "unknown file type 'fnt'; did you mean 'Font'?\n"},
        std::pair{"SURFACETEXTUR", "did you mean 'SurfaceTexture'?\n"},
        std::pair{"qqqqqq", "valid types: ActionMap, Animation, Audio, BSPNodeType, "}}) {
    for (const Args& args :
         {Args{"ls", a.path.string(), "--type", typed},
          Args{"extract", a.path.string(), (dir_ / "out").string(), "--type", typed}}) {
      const ToolRun run = run_tool(args);
      EXPECT_EQ(run.status, 2);
      EXPECT_EQ(run.out, "");
      EXPECT_EQ(run.err.rfind("marrowvane-dat: ", 0), 0U) << run.err;
      EXPECT_TRUE(contains(run.err, said)) << run.err;
      EXPECT_TRUE(contains(run.err, "Run 'marrowvane-dat " + args[0] + " --help'"));
    }
  }
  EXPECT_FALSE(fs::exists(dir_ / "out"));
}

// Whatever the tool prints as an id, typed back, names the file it was printed for.
TEST_F(Cli, EveryPrintedIdNamesTheSameFileWhenTypedBack) {
  const Archive a = portal();
  const auto cat = [&](const std::string& typed) {
    const ToolRun run = run_tool({"cat", a.path.string(), typed});
    EXPECT_EQ(run.status, 0) << typed << ": " << run.err;
    return run.out;
  };
  const auto tsv = lines_of(run_tool({"ls", a.path.string()}).out);
  const Json json = Json::parse(run_tool({"ls", a.path.string(), "--json"}).out);
  ASSERT_EQ(tsv.size(), a.entries.size());
  for (std::size_t i = 0; i < a.entries.size(); ++i) {
    const std::string& content = text_of(a.contents.at(a.entries[i].id));
    EXPECT_EQ(cat(tsv[i].substr(0, tsv[i].find('\t'))), content) << tsv[i];
    EXPECT_EQ(cat(json[i]["id_hex"].get<std::string>()), content);
  }

  const fs::path out = dir_ / "out";
  ASSERT_EQ(run_tool({"extract", a.path.string(), out.string()}).status, 0);
  for (const std::string& file : tree_of(out)) {
    const fs::path path(file);
    EXPECT_EQ(cat(path.stem().string()), text_of(read_file(out / path))) << file;
  }

  const auto font_lines = lines_of(run_tool({"font", a.path.string(), hex8(FONT_A)}).out);
  ASSERT_FALSE(font_lines.empty());
  const std::string printed = font_lines[0].substr(font_lines[0].rfind(' ') + 1);
  EXPECT_EQ(cat(printed), text_of(a.contents.at(FONT_A))) << font_lines[0];
}

TEST_F(Cli, IdsAreHexadecimalUnlessMarkedDecimal) {
  const Archive a = portal();
  const std::string font_a = text_of(a.contents.at(FONT_A));
  for (const char* typed : {"40000001", "0x40000001", "0X40000001", "d:1073741825"}) {
    const ToolRun run = run_tool({"cat", a.path.string(), typed});
    EXPECT_EQ(run.status, 0) << typed << ": " << run.err;
    EXPECT_EQ(run.out, font_a) << typed;
  }
  EXPECT_EQ(run_tool({"cat", a.path.string(), "0x0100000a"}).out, text_of(a.contents.at(MODEL)));
  EXPECT_EQ(run_tool({"cat", a.path.string(), "E000001"}).out, text_of(a.contents.at(TABLE)));

  // Digits alone are hexadecimal: "1000" is 0x1000, which this archive lacks.
  const ToolRun digits = run_tool({"cat", a.path.string(), "1000"});
  EXPECT_EQ(digits.status, 1);
  EXPECT_EQ(digits.err, "marrowvane-dat: " + a.path.string() +
                            ": File ID 00001000 not found in provider (ids are read as "
                            "hexadecimal; write d:1000 for a decimal id)\n");
}

TEST_F(Cli, MalformedIdsAreUsageErrorsForEveryCommandThatTakesIds) {
  const Archive a = portal();
  const std::string out = (dir_ / "out").string();
  for (const char* id : {"0xZZ", "0x", "-1", "+1", "123456789", "0x100000000", "1073741825",
                         "d:", "d:4294967296", "d:0x10", "d:-1", "12g", " 1", ""}) {
    for (const Args& args :
         {Args{"cat", a.path.string(), id}, Args{"cat", a.path.string(), "40000001", id},
          Args{"font", a.path.string(), id}, Args{"extract", a.path.string(), out, id}}) {
      const ToolRun run = run_tool(args);
      EXPECT_EQ(run.status, 2) << args[0] << " '" << id << "'";
      EXPECT_EQ(run.out, "");
      EXPECT_TRUE(contains(run.err, "not a file id: '" + std::string(id) + "'")) << run.err;
      EXPECT_TRUE(contains(run.err, "d:1073741825")) << run.err;
    }
  }
  EXPECT_FALSE(fs::exists(out));
}

TEST_F(Cli, CatWritesEveryFileDecompressedInTheOrderGiven) {
  const Archive a = portal();
  for (const auto& [id, content] : a.contents) {
    const ToolRun run = run_tool({"cat", a.path.string(), hex8(id)});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, text_of(content)) << hex8(id);
    EXPECT_EQ(run.err, "");
  }
  const ToolRun several =
      run_tool({"cat", a.path.string(), hex8(FONT_B), hex8(MODEL), hex8(TABLE), hex8(FONT_B)});
  ASSERT_EQ(several.status, 0) << several.err;
  EXPECT_EQ(several.out, text_of(a.contents.at(FONT_B)) + text_of(a.contents.at(MODEL)) +
                             text_of(a.contents.at(FONT_B)));
}

TEST_F(Cli, CatStoredWritesTheBytesAsStored) {
  const Archive a = portal();
  const ToolRun model = run_tool({"cat", "--stored", a.path.string(), hex8(MODEL)});
  ASSERT_EQ(model.status, 0) << model.err;
  EXPECT_EQ(model.out, text_of(marrowvane_dat::testkit::compress_lrs(a.contents.at(MODEL))));
  EXPECT_LT(model.out.size(), a.contents.at(MODEL).size());
  const ToolRun texture = run_tool({"cat", "--stored", a.path.string(), hex8(TEXTURE)});
  EXPECT_EQ(texture.out, text_of(a.contents.at(TEXTURE)));
}

TEST_F(Cli, CatOfFlaggedRawBytesGoesThroughTheDecompressor) {
  ArchiveBuilder builder(1024);
  const Bytes raw = {5, 0, 0, 0, 0x00, 'a', 'b', 'c', 'd', 'e', 'f'};
  const Archive a = write(builder, {{.id = TEXTURE, .content = raw, .extra_flags = 1}});
  const ToolRun plain = run_tool({"cat", a.path.string(), hex8(TEXTURE)});
  EXPECT_EQ(plain.out, "abcde");
  const ToolRun stored = run_tool({"cat", a.path.string(), hex8(TEXTURE), "--stored"});
  EXPECT_EQ(stored.out, text_of(raw));
}

TEST_F(Cli, UnknownIdIsNotFoundAndTheOtherFilesAreStillWritten) {
  const Archive a = portal();
  const std::string not_found =
      "marrowvane-dat: " + a.path.string() + ": File ID 40000099 not found in provider";
  for (const Args& args :
       {Args{"cat", a.path.string(), "0x40000099"},
        Args{"cat", a.path.string(), "0x40000099", "--stored"},
        Args{"font", a.path.string(), "d:1073741977", "--json"},
        Args{"extract", a.path.string(), (dir_ / "out").string(), hex8(FONT_A), "0x40000099"}}) {
    const ToolRun run = run_tool(args);
    EXPECT_EQ(run.status, 1) << args[0];
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, not_found + "\n");
  }
  EXPECT_FALSE(fs::exists(dir_ / "out" / "Font")) << "nothing is extracted when an id is unknown";

  const ToolRun mixed = run_tool({"cat", a.path.string(), hex8(TABLE), "40000099", hex8(MODEL)});
  EXPECT_EQ(mixed.status, 1);
  EXPECT_EQ(mixed.out, text_of(a.contents.at(MODEL)));
  EXPECT_TRUE(contains(mixed.err, "File ID 40000099 not found")) << mixed.err;
}

TEST_F(Cli, CatRefusesBinaryOnATerminalUnlessForced) {
  if (ON_WINDOWS) GTEST_SKIP() << "the child's standard output is a pseudo-terminal, POSIX only";
  const Archive a = portal();
  const ToolRun binary =
      run_tool({"cat", a.path.string(), hex8(TEXTURE)}, {.out = Stdout::Terminal});
  EXPECT_EQ(binary.status, 1);
  EXPECT_EQ(binary.out, "");
  EXPECT_EQ(binary.err, "marrowvane-dat: " + a.path.string() +
                            ": file 06000010 is binary; not writing it to a terminal (redirect "
                            "the output, or use --force)\n");

  const ToolRun text = run_tool({"cat", a.path.string(), hex8(MODEL)}, {.out = Stdout::Terminal});
  EXPECT_EQ(text.status, 0) << text.err;
  EXPECT_EQ(text.out.size(), a.contents.at(MODEL).size());

  const ToolRun forced =
      run_tool({"cat", a.path.string(), hex8(TEXTURE), "--force"}, {.out = Stdout::Terminal});
  EXPECT_EQ(forced.status, 0) << forced.err;
  EXPECT_FALSE(forced.out.empty());
}

TEST_F(Cli, OutputThatCannotBeWrittenIsOneLineAndFailure) {
  if (ON_WINDOWS) GTEST_SKIP() << "the full device /dev/full is POSIX only";
  const Archive a = portal();
  for (const Args& args :
       {Args{"cat", a.path.string(), hex8(MODEL)}, Args{"ls", a.path.string(), "--json"},
        Args{"info", a.path.string()}, Args{"font", a.path.string(), hex8(FONT_A)},
        Args{"stats", a.path.string()}, Args{"verify", a.path.string()},
        Args{"verify", a.path.string(), "-v", "-j", "2"}}) {
    const ToolRun run = run_tool(args, {.out = Stdout::Full});
    EXPECT_EQ(run.status, 1) << args[0];
    EXPECT_EQ(run.err, "marrowvane-dat: standard output: cannot write: No space left on device\n")
        << args[0];
  }
}

TEST_F(Cli, AClosedPipeEndsTheToolQuietlyButNeverWithSuccess) {
  ArchiveBuilder builder(1024);
  const Archive a = write(builder, {{.id = TEXTURE, .content = pattern(std::size_t{1} << 20, 9)},
                                    {.id = MODEL, .content = repetitive(100)}});
  for (const Args& args :
       {Args{"cat", a.path.string(), hex8(TEXTURE)}, Args{"ls", a.path.string(), "--json"},
        Args{"verify", a.path.string(), "-v"}, Args{"verify", a.path.string(), "-v", "-j", "2"},
        Args{"help"}}) {
    const ToolRun run = run_tool(args, {.out = Stdout::ClosedPipe});
    EXPECT_EQ(run.status, 1) << args[0];
    EXPECT_EQ(run.err, "") << args[0];
  }
  const ToolRun diff =
      run_tool({"diff", a.path.string(), a.path.string()}, {.out = Stdout::ClosedPipe});
  EXPECT_EQ(diff.status, 2) << "not 0 (identical) nor 1 (different): unknown";
}

TEST_F(Cli, MissingArchiveIsAPathErrorForEveryCommand) {
  const Archive a = portal();
  const std::string missing = (dir_ / "nope.dat").string();
  std::vector<Args> runs = {command_on("diff", a.path.string(), dir_, missing)};
  for (const std::string& command : ALL_COMMANDS) {
    runs.push_back(command_on(command, missing, dir_, a.path.string()));
  }
  for (const Args& args : runs) {
    const ToolRun run = run_tool(args);
    EXPECT_EQ(run.status, args[0] == "diff" ? 2 : 1) << args[0];
    EXPECT_EQ(run.out, "");
    const std::string opening =
        "marrowvane-dat: " + missing + ": Failed to open file at " + missing + ": ";
    if (ON_WINDOWS) {
      // The message between is the system's own, in its own words.
      EXPECT_EQ(run.err.rfind(opening, 0), 0U) << run.err;
      EXPECT_TRUE(run.err.ends_with(" (os error 2)\n")) << run.err;
      EXPECT_EQ(lines_of(run.err).size(), 1U) << run.err;
    } else {
      EXPECT_EQ(run.err, opening + "No such file or directory (os error 2)\n") << args[0];
    }
  }
  EXPECT_FALSE(fs::exists(dir_ / "out"));
}

TEST_F(Cli, WhatIsNotAnArchiveGetsAHintNamingIt) {
  const Archive good = portal();
  Bytes header_cut = ArchiveBuilder(1024).bytes();
  header_cut.resize(DatHeader::OFFSET + 62);  // ends inside version_string
  const std::map<std::string, fs::path> not_archives = {
      {"empty", scratch_file("empty.dat", {})},
      {"text", scratch_file("notes.txt", Bytes{'h', 'e', 'l', 'l', 'o', '\n'})},
      {"truncated", scratch_file("cut.dat", header_cut)},
      {"random", scratch_file("random.dat", pattern(20000, 7))},
  };
  for (const auto& [what, path] : not_archives) {
    for (const std::string& command : ALL_COMMANDS) {
      const ToolRun run = run_tool(command_on(command, path.string(), dir_, good.path.string()));
      EXPECT_EQ(run.status, command == "diff" ? 2 : 1) << what << " " << command;
      EXPECT_EQ(run.out, "");
      EXPECT_EQ(run.err.rfind("marrowvane-dat: " + path.string() + ": ", 0), 0U) << run.err;
      EXPECT_TRUE(run.err.ends_with(" (is this a DAT archive?)\n")) << run.err;
      EXPECT_EQ(lines_of(run.err).size(), 1U) << run.err;
    }
  }
  for (const std::string& command : ALL_COMMANDS) {
    const ToolRun directory =
        run_tool(command_on(command, dir_.string(), dir_, good.path.string()));
    EXPECT_EQ(directory.status, command == "diff" ? 2 : 1) << command;
    EXPECT_EQ(directory.err,
              "marrowvane-dat: " + dir_.string() + ": is a directory, not an archive file\n");
  }
  EXPECT_FALSE(fs::exists(dir_ / "out"));
}

// A genuine archive cut short is named as such, and info still shows its header.
TEST_F(Cli, ATruncatedArchiveIsNamedAndInfoShowsItsHeader) {
  const Archive a = portal();
  Bytes image = read_file(a.path);
  const std::size_t full = image.size();
  image.resize(full - 1000);
  const fs::path cut = scratch_file("cut.dat", image);
  const std::string hint = " (archive is " + std::to_string(image.size()) +
                           " bytes but its header says " + std::to_string(full) + ": truncated?)\n";

  const ToolRun info = run_tool({"info", cut.string()});
  EXPECT_EQ(info.status, 1);
  EXPECT_TRUE(contains(info.out, "file_size:       " + std::to_string(full) + "\n")) << info.out;
  EXPECT_EQ(info.err.rfind("marrowvane-dat: " + cut.string() + ": ", 0), 0U) << info.err;
  EXPECT_TRUE(info.err.ends_with(hint)) << info.err;
  EXPECT_FALSE(contains(info.err, "is this a DAT archive")) << info.err;
  const ToolRun json = run_tool({"info", "--json", "-"}, {.stdin_file = cut});
  EXPECT_EQ(json.status, 1);
  const Json j = Json::parse(json.out);
  EXPECT_EQ(j["file_size"], full);
  EXPECT_EQ(j["magic"], DatHeader::MAGIC);
  EXPECT_TRUE(j["file_count"].is_null());
  EXPECT_TRUE(j["error"].get<std::string>().ends_with(hint.substr(0, hint.size() - 1)));
  EXPECT_EQ(json.err.rfind("marrowvane-dat: standard input: ", 0), 0U) << json.err;
  for (const char* command : {"ls", "verify", "stats"}) {
    const ToolRun run = run_tool({command, cut.string()});
    EXPECT_EQ(run.status, 1) << command;
    EXPECT_TRUE(run.err.ends_with(hint)) << run.err;
  }
}

TEST_F(Cli, TruncatedHeaderNamesTheFieldThatRanOut) {
  Bytes image = ArchiveBuilder(1024).bytes();
  image.resize(DatHeader::OFFSET + 62);  // ends inside version_string
  const fs::path path = scratch_file("short.dat", image);
  const ToolRun run = run_tool({"ls", path.string(), "--json"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err.rfind("marrowvane-dat: " + path.string() + ": Binary read error: ", 0), 0U)
      << run.err;
  EXPECT_TRUE(contains(run.err, "While parsing field 'version_string' in DatHeader"));
}

TEST_F(Cli, DashReadsTheArchiveFromStandardInput) {
  const Archive a = portal();
  const ToolRun from_file = run_tool({"ls", a.path.string(), "--json"});
  const ToolRun from_stdin = run_tool({"ls", "-", "--json"}, {.stdin_file = a.path});
  ASSERT_EQ(from_stdin.status, 0) << from_stdin.err;
  EXPECT_EQ(from_stdin.out, from_file.out);
  const ToolRun cat = run_tool({"cat", "-", hex8(MODEL)}, {.stdin_file = a.path});
  EXPECT_EQ(cat.out, text_of(a.contents.at(MODEL)));

  const ToolRun empty = run_tool({"info", "-"});
  EXPECT_EQ(empty.status, 1);
  EXPECT_EQ(empty.err.rfind("marrowvane-dat: standard input: ", 0), 0U) << empty.err;
  EXPECT_TRUE(empty.err.ends_with("(is this a DAT archive?)\n")) << empty.err;

  // More than --max-input stops before the archive is opened, whatever the command.
  for (const char* command : {"info", "ls"}) {
    const ToolRun capped = run_tool({command, "--max-input", "1000", "-"}, {.stdin_file = a.path});
    EXPECT_EQ(capped.status, 1);
    EXPECT_EQ(capped.err,
              "marrowvane-dat: standard input is larger than 1000 bytes (see --max-input)\n");
  }
}

TEST_F(Cli, FontJsonMatchesTheRecord) {
  const Archive a = portal();
  for (const std::uint32_t id : {FONT_A, FONT_B}) {
    const Font font = make_font(id, id == FONT_A ? 95 : 20);
    const ToolRun run = run_tool({"font", a.path.string(), hex8(id), "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Json j = Json::parse(run.out);
    EXPECT_EQ(j["id"], font.id);
    EXPECT_EQ(j["id_hex"], "0x" + hex8(font.id));
    EXPECT_EQ(j["max_char_height"], font.max_char_height);
    EXPECT_EQ(j["max_char_width"], font.max_char_width);
    EXPECT_EQ(j["num_horizontal_border_pixels"], font.num_horizontal_border_pixels);
    EXPECT_EQ(j["num_vertical_border_pixels"], font.num_vertical_border_pixels);
    EXPECT_EQ(j["baseline_offset"], font.baseline_offset);
    EXPECT_EQ(j["foreground_surface_data_id"], font.foreground_surface_data_id);
    EXPECT_EQ(j["foreground_surface_data_id_hex"], "0x" + hex8(font.foreground_surface_data_id));
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

TEST_F(Cli, FontWithoutGlyphsIsStillADocument) {
  ArchiveBuilder builder(1024);
  const Archive a = write(builder, {{.id = FONT_A, .content = encode_font(make_font(FONT_A, 0))}});
  const ToolRun json = run_tool({"font", a.path.string(), hex8(FONT_A), "--json"});
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_TRUE(Json::parse(json.out)["char_descs"].empty());
  const ToolRun text = run_tool({"font", a.path.string(), hex8(FONT_A)});
  EXPECT_TRUE(contains(text.out, "glyphs:                        0\n")) << text.out;
  EXPECT_FALSE(contains(text.out, "UNICODE"));
}

TEST_F(Cli, FontTextShowsMetricsThenGlyphs) {
  const Archive a = portal();
  const ToolRun run = run_tool({"font", a.path.string(), hex8(FONT_A)});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.rfind("id:", 0), 0U) << run.out;
  EXPECT_TRUE(contains(run.out, "40000001\n"));
  EXPECT_FALSE(contains(run.out, "0x")) << "ids are printed one way";
  EXPECT_TRUE(contains(run.out, "glyphs:"));
  EXPECT_TRUE(contains(run.out, "\n'A'   U+0041")) << run.out;
  EXPECT_EQ(lines_of(run.out).size(), 9U + 1 + 1 + 95);
}

TEST_F(Cli, FontOfAnotherTypeOrThatDoesNotParseFails) {
  ArchiveBuilder builder(1024);
  Bytes bytes = encode_font(make_font(FONT_A, 2));
  bytes.resize(20);  // the first glyph ends after offset_x
  const Archive a = write(builder, {{.id = FONT_A, .content = bytes},
                                    {.id = MODEL, .content = encode_font(make_font(FONT_A, 2))}});
  const ToolRun run = run_tool({"font", a.path.string(), hex8(FONT_A), "--json"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err.rfind(
                "marrowvane-dat: " + a.path.string() + ": file 40000001: Binary read error: ", 0),
            0U)
      << run.err;
  const auto glyph = run.err.find("While parsing field 'offset_y' in FontCharDesc");
  const auto list = run.err.find("While parsing field 'char_descs' in Font");
  ASSERT_NE(glyph, std::string::npos) << run.err;
  EXPECT_LT(glyph, list);

  const ToolRun model = run_tool({"font", a.path.string(), hex8(MODEL)});
  EXPECT_EQ(model.status, 1);
  EXPECT_EQ(model.err, "marrowvane-dat: " + a.path.string() +
                           ": Other error: file 0x0100000A is a Model, not a Font\n");
}

TEST_F(Cli, VersionAndHelp) {
  const ToolRun version = run_tool({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("marrowvane-dat ") + MARROWVANE_DAT_VERSION + "\n");
  for (const std::string& command : ALL_COMMANDS) {
    for (const Args& args : {Args{command, "--help"}, Args{"help", command}}) {
      const ToolRun help = run_tool(args);
      EXPECT_EQ(help.status, 0) << command;
      EXPECT_TRUE(contains(help.out, "Usage: marrowvane-dat " + command + " ")) << help.out;
    }
  }
  const ToolRun help = run_tool({"help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out, run_tool({"--help"}).out);
  EXPECT_TRUE(contains(help.out, "d:1073741825")) << "the id notation is documented";
  EXPECT_TRUE(contains(help.out, "Exit status: 0 success; 1 "));
  EXPECT_TRUE(contains(run_tool({"diff", "--help"}).out, "0 identical, 1 different, 2 trouble"));
}

TEST_F(Cli, MistakesOnTheCommandLineAreNamedWithASuggestion) {
  struct Case {
    Args args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"lss", "x.dat"}, "'lss' is not a marrowvane-dat command; did you mean 'ls'?"},
      {{"extarct", "x.dat", "out"},
       "'extarct' is not a marrowvane-dat command; did you mean 'extract'?"},
      {{"stat", "x.dat"}, "'stat' is not a marrowvane-dat command; did you mean 'stats'?"},
      {{"frobnicate"}, "'frobnicate' is not a marrowvane-dat command\n"},
      {{"help", "verfy"}, "'verfy' is not a marrowvane-dat command; did you mean 'verify'?"},
      {{"ls", "x.dat", "--jsn"}, "unknown option '--jsn' for 'ls'; did you mean '--json'?"},
      {{"extract", "x.dat", "out", "--skip-exsting"},
       "unknown option '--skip-exsting' for 'extract'; did you mean '--skip-existing'?"},
      {{"verify", "x.dat", "--jbos=2"},
       "unknown option '--jbos' for 'verify'; did you mean '--jobs'?"},
      {{"--frobnicate", "ls", "x.dat"}, "unknown option '--frobnicate' for marrowvane-dat\n"},
      {{"info", "x.dat", "extra"}, "unexpected argument 'extra' for 'info'"},
      {{"ls", "x.dat", "-q", "-v"}, "--quiet and --verbose cannot be combined"},
      {{}, "a command is required"},
  };
  for (const Case& c : cases) {
    const ToolRun run = run_tool(c.args);
    EXPECT_EQ(run.status, 2) << c.message;
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(contains(run.err, "marrowvane-dat: " + c.message)) << run.err;
    EXPECT_TRUE(contains(run.err, "Run 'marrowvane-dat")) << run.err;
  }
  EXPECT_FALSE(fs::exists("out"));
}

}  // namespace
}  // namespace marrowvane_dat::cli_test
