// SPDX-License-Identifier: MIT
// The commands that look at every file: verify, diff and stats, end to end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "cli_fixture.hpp"
#include "marrowvane_dat/file_type/font.hpp"
#include "marrowvane_dat_testkit/font_writer.hpp"

namespace marrowvane_dat::cli_test {
namespace {

using marrowvane_dat::DatFileEntry;
using marrowvane_dat::DatHeader;
using marrowvane_dat::Font;
using marrowvane_dat::testkit::ArchiveBuilder;
using marrowvane_dat::testkit::encode_font;
using marrowvane_dat::testkit::FileSpec;
using marrowvane_dat::testkit::make_font;

TEST_F(Cli, VerifyPassesAGoodArchive) {
  const Archive a = portal();
  const ToolRun run = run_tool({"verify", a.path.string()});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out.rfind("Verified 5 files", 0), 0U) << run.out;
  EXPECT_TRUE(contains(run.out, "Fonts: 2 of 2 passed, 115 glyphs")) << run.out;
  EXPECT_TRUE(contains(run.out, "No failures"));

  const ToolRun quiet = run_tool({"verify", a.path.string(), "-q"});
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.out + quiet.err, "");
}

// A header that is not an archive's fails verify even when every file reads.
TEST_F(Cli, VerifyFailsAHeaderWithoutTheSignatureOrWithTheWrongSize) {
  const Archive a = portal();
  Bytes image = read_file(a.path);
  const fs::path zeros = scratch_file("zeros.dat", Bytes(4096, 0));
  Bytes unsigned_image = image;
  std::fill_n(unsigned_image.begin() + DatHeader::OFFSET, 4, std::uint8_t{0});
  const fs::path unsigned_archive = scratch_file("unsigned.dat", unsigned_image);
  image.resize(image.size() + 512, 0);
  const fs::path padded = scratch_file("padded.dat", image);
  struct Case {
    fs::path path;
    std::vector<std::string> fields;
  };
  for (const Case& c : {Case{zeros, {"magic", "file_size"}}, Case{unsigned_archive, {"magic"}},
                        Case{padded, {"file_size"}}}) {
    const ToolRun text = run_tool({"verify", c.path.string()});
    EXPECT_EQ(text.status, 1) << c.path;
    EXPECT_EQ(text.err, "marrowvane-dat: " + c.path.string() +
                            ": the header failed verification (" + std::to_string(c.fields.size()) +
                            (c.fields.size() == 1 ? " finding)\n" : " findings)\n"));
    for (const std::string& field : c.fields) {
      EXPECT_TRUE(contains(text.out, "\n  header " + field + ": ")) << text.out;
    }
    const ToolRun json = run_tool({"verify", "--json", c.path.string()});
    EXPECT_EQ(json.status, 1);
    const Json findings = Json::parse(json.out)["header_failures"];
    ASSERT_EQ(findings.size(), c.fields.size()) << json.out;
    for (std::size_t i = 0; i < c.fields.size(); ++i) {
      EXPECT_EQ(findings[i]["field"], c.fields[i]);
      EXPECT_FALSE(findings[i]["error"].get<std::string>().empty());
    }
  }
  EXPECT_TRUE(
      Json::parse(run_tool({"verify", "--json", a.path.string()}).out)["header_failures"].empty());
}

class VerifyDamaged : public Cli {
 protected:
  // Nine files, seven of them bad in a different way each.
  Archive damaged() {
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
    return write(
        builder,
        {{.id = 0x40000001, .content = encode_font(self_id)},
         {.id = 0x40000003, .content = trailing},
         {.id = 0x40000004, .content = encode_font(make_font(0x40000004, 0))},
         {.id = 0x40000005, .content = encode_font(zero_cell)},
         {.id = 0x40000006, .content = cut},
         {.id = 0x40000007, .content = encode_font(make_font(0x40000007, 12)), .compressed = true},
         {.id = 0x06000020, .content = lying, .extra_flags = 1},
         {.id = 0x06000021, .content = repetitive(3000), .compressed = true}},
        "damaged.dat", {DatFileEntry{.id = UNREADABLE, .offset = PAST_THE_END, .size = 10}});
  }

  const std::vector<std::string> expected_ = {
      "06000020 Texture: decompressed to 3 bytes, declared 9",
      "06000099 Texture: IO error: failed to fill whole buffer",
      "40000001 Font: Font 40000001 self-id mismatch: the record names 40000002",
      "40000003 Font: Font 40000003 size mismatch: predicted 146 != actual 150",
      "40000004 Font: Font 40000004 has zero char descs",
      "40000005 Font: Font 40000005 has zero max cell size (0x16)",
      "40000006 Font: parse Font 40000006 (20 bytes): ",
  };
};

TEST_F(VerifyDamaged, ReportsEveryBadFileByIdWhateverTheThreadCount) {
  const Archive a = damaged();
  std::string first_report;
  for (const char* jobs : {"1", "4"}) {
    const ToolRun run = run_tool({"verify", a.path.string(), "--jobs", jobs});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "marrowvane-dat: " + a.path.string() + ": 7 of 9 files failed verification\n");
    const auto lines = lines_of(run.out);
    const auto failures = std::ranges::find(lines, "Failures (7):");
    ASSERT_NE(failures, lines.end()) << run.out;
    ASSERT_EQ(lines.end() - failures, 8) << run.out;
    for (std::size_t i = 0; i < expected_.size(); ++i) {
      EXPECT_EQ(failures[static_cast<std::ptrdiff_t>(i) + 1].rfind("  " + expected_[i], 0), 0U)
          << failures[static_cast<std::ptrdiff_t>(i) + 1];
    }
    EXPECT_TRUE(contains(run.out, "Fonts: 1 of 6 passed, 12 glyphs")) << run.out;
    // Everything after the timing line is the same whatever the thread count.
    const std::string report = run.out.substr(run.out.find('\n'));
    if (first_report.empty()) {
      first_report = report;
    } else {
      EXPECT_EQ(report, first_report);
    }
  }
}

TEST_F(VerifyDamaged, JsonQuietAndVerboseCarryTheSameFailures) {
  const Archive a = damaged();
  const ToolRun json = run_tool({"verify", a.path.string(), "--json", "-j", "3"});
  EXPECT_EQ(json.status, 1);
  const Json j = Json::parse(json.out);
  EXPECT_EQ(j["files"], 9);
  EXPECT_EQ(j["failed"], 7);
  EXPECT_EQ(j["fonts"], (Json{{"checked", 6}, {"passed", 1}, {"glyphs", 12}}));
  EXPECT_EQ(j["types"], Json::parse(R"([{"type":"Font","files":6,"failed":5},
                                        {"type":"Texture","files":3,"failed":2}])"));
  ASSERT_EQ(j["failures"].size(), expected_.size());
  for (std::size_t i = 0; i < expected_.size(); ++i) {
    const Json& failure = j["failures"][i];
    const std::string line = failure["id_hex"].get<std::string>().substr(2) + " " +
                             failure["type"].get<std::string>() + ": " +
                             failure["error"].get<std::string>();
    EXPECT_EQ(line.rfind(expected_[i], 0), 0U) << line;
    EXPECT_EQ(failure["id"].get<std::uint32_t>(), std::stoul(line.substr(0, 8), nullptr, 16));
  }

  const ToolRun quiet = run_tool({"verify", a.path.string(), "-q"});
  EXPECT_EQ(quiet.status, 1);
  EXPECT_EQ(quiet.out, "");
  const auto err = lines_of(quiet.err);
  ASSERT_EQ(err.size(), expected_.size() + 1) << quiet.err;
  for (std::size_t i = 0; i < expected_.size(); ++i) {
    EXPECT_EQ(err[i].rfind("marrowvane-dat: " + a.path.string() + ": " + expected_[i], 0), 0U)
        << err[i];
  }

  const ToolRun verbose = run_tool({"verify", a.path.string(), "-v", "-j", "2"});
  std::vector<std::string> per_file;
  for (const std::string& line : lines_of(verbose.out)) {
    if (line.ends_with(": ok") || contains(line, ": FAILED: ")) {
      per_file.push_back(line);
    }
  }
  std::ranges::sort(per_file);
  ASSERT_EQ(per_file.size(), 9U) << verbose.out;
  EXPECT_EQ(per_file[0], "06000020 Texture: FAILED: " + expected_[0].substr(18));
  EXPECT_EQ(per_file[2], "06000099 Texture: FAILED: IO error: failed to fill whole buffer");
  EXPECT_EQ(per_file[8], "40000007 Font: ok");
}

// Two archives that differ in every way diff distinguishes, and agree on four files.
class Diff : public Cli {
 protected:
  void SetUp() override {
    Cli::SetUp();
    const auto common = [](std::vector<FileSpec> files) {
      files.push_back({.id = FONT_A, .content = encode_font(make_font(FONT_A, 95))});
      files.push_back({.id = TEXTURE, .content = pattern(3000, 1)});
      files.push_back({.id = MODEL, .content = repetitive(5000), .compressed = true});
      files.push_back({.id = TABLE, .content = {}});
      return files;
    };
    ArchiveBuilder builder_a(1024);
    a_ = write(builder_a,
               common({{.id = 0x06000030, .content = pattern(500, 4)},
                       {.id = 0x06000040, .content = pattern(100, 5)},
                       {.id = 0x06000050, .content = pattern(100, 7)},
                       {.id = 0x06000060, .content = pattern(200, 8)},
                       {.id = 0x0E000002, .content = {1, 2, 3}, .version = 1}}),
               "a.dat");
    ArchiveBuilder builder_b(1024);
    // A different layout: offsets move, which is not a change.
    builder_b.append_raw(Bytes(4096, 0));
    b_ = write(builder_b,
               common({{.id = FONT_B, .content = encode_font(make_font(FONT_B, 3))},
                       {.id = 0x06000040, .content = pattern(100, 6)},
                       {.id = 0x06000050, .content = pattern(100, 7), .extra_flags = 0x10},
                       {.id = 0x06000060, .content = pattern(300, 8)},
                       {.id = 0x0E000002, .content = {1, 2, 3}, .version = 2}}),
               "b.dat");
  }

  Archive a_;
  Archive b_;
};

TEST_F(Diff, ListsAddedRemovedAndChangedIdsAndExitsOne) {
  const ToolRun run = run_tool({"diff", a_.path.string(), b_.path.string()});
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out,
            "removed 06000030 Texture\n"
            "added   40000002 Font\n"
            "changed 06000040 Texture: content\n"
            "changed 06000050 Texture: flags 0x0 -> 0x10\n"
            "changed 06000060 Texture: size 200 -> 300\n"
            "changed 0E000002 Table: version 1 -> 2\n"
            "1 added, 1 removed, 4 changed, 4 unchanged\n");

  const ToolRun quiet = run_tool({"diff", a_.path.string(), b_.path.string(), "-q"});
  EXPECT_EQ(quiet.status, 1);
  EXPECT_EQ(quiet.out + quiet.err, "");
}

TEST_F(Diff, JsonCarriesEveryDifferenceWithHashes) {
  const ToolRun run = run_tool({"diff", a_.path.string(), b_.path.string(), "--json"});
  EXPECT_EQ(run.status, 1) << run.err;
  const Json j = Json::parse(run.out);
  EXPECT_EQ(j["identical"], false);
  EXPECT_EQ(j["unchanged"], 4);
  ASSERT_EQ(j["added"].size(), 1U);
  EXPECT_EQ(j["added"][0]["id_hex"], "0x40000002");
  EXPECT_EQ(j["added"][0]["type"], "Font");
  ASSERT_EQ(j["removed"].size(), 1U);
  EXPECT_EQ(j["removed"][0]["id"], 0x06000030);
  ASSERT_EQ(j["changed"].size(), 4U);
  const Json& content = j["changed"][0];
  EXPECT_EQ(content["differences"], Json::array({"content"}));
  EXPECT_NE(content["a"]["hash"], content["b"]["hash"]);
  EXPECT_EQ(content["a"]["hash"].get<std::string>().size(), 16U);
  const Json& flags = j["changed"][1];
  EXPECT_EQ(flags["differences"], Json::array({"flags"}));
  EXPECT_EQ(flags["a"]["hash"], flags["b"]["hash"]);
  const Json& size = j["changed"][2];
  EXPECT_EQ(size["differences"], Json::array({"size"}));
  EXPECT_EQ(size["a"]["size"], 200);
  EXPECT_EQ(size["b"]["size"], 300);
  EXPECT_TRUE(size["a"]["hash"].is_null()) << "different sizes are not read";
  EXPECT_EQ(j["changed"][3]["differences"], Json::array({"version"}));
}

TEST_F(Diff, IdenticalArchivesExitZeroEvenFromStandardInput) {
  for (const Args& args :
       {Args{"diff", a_.path.string(), a_.path.string()}, Args{"diff", "-", a_.path.string()}}) {
    const ToolRun run = run_tool(args, {.stdin_file = a_.path});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "0 added, 0 removed, 0 changed, 9 unchanged\n");
  }
  const ToolRun both_stdin = run_tool({"diff", "-", "-"}, {.stdin_file = a_.path});
  EXPECT_EQ(both_stdin.status, 2);
  EXPECT_TRUE(contains(both_stdin.err, "only one archive can be read from standard input"));
}

TEST_F(Diff, AnUnreadableFileIsTroubleNotADifference) {
  ArchiveBuilder builder(1024);
  const Archive broken =
      write(builder, {{.id = TEXTURE, .content = pattern(3000, 1)}}, "broken.dat",
            {DatFileEntry{.id = FONT_A, .offset = PAST_THE_END, .size = 1081}});
  ArchiveBuilder good_builder(1024);
  const Archive good = write(good_builder,
                             {{.id = TEXTURE, .content = pattern(3000, 1)},
                              {.id = FONT_A, .content = encode_font(make_font(FONT_A, 95))}},
                             "good.dat");
  const ToolRun run = run_tool({"diff", good.path.string(), broken.path.string(), "--json"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "marrowvane-dat: " + broken.path.string() +
                         ": file 40000001: IO error: failed to fill whole buffer\n");
  const Json j = Json::parse(run.out);
  EXPECT_TRUE(j["identical"].is_null());
  EXPECT_EQ(j["errors"].size(), 1U);
}

TEST_F(Cli, StatsCountsBytesPerTypeWithTheRatio) {
  const Archive a = portal();
  const DatFileEntry& model = a.entries[0];
  const DatFileEntry& font_b = a.entries[4];
  ASSERT_EQ(model.id, MODEL);
  ASSERT_EQ(font_b.id, FONT_B);

  const ToolRun json = run_tool({"stats", a.path.string(), "--json"});
  ASSERT_EQ(json.status, 0) << json.err;
  const Json j = Json::parse(json.out);
  ASSERT_EQ(j["types"].size(), 4U);
  const Json& font = j["types"][0];
  EXPECT_EQ(font["type"], "Font");
  EXPECT_EQ(font["files"], 2);
  EXPECT_EQ(font["compressed_files"], 1);
  EXPECT_EQ(font["stored_bytes"], 1081 + font_b.size);
  EXPECT_EQ(font["decompressed_bytes"], 1081 + 256);
  const Json& model_stats = j["types"][1];
  EXPECT_EQ(model_stats["type"], "Model");
  EXPECT_EQ(model_stats["decompressed_bytes"], 5000);
  EXPECT_DOUBLE_EQ(model_stats["ratio"].get<double>(), 5000.0 / model.size);
  EXPECT_TRUE(j["types"][2]["ratio"].is_null()) << "an empty table stores nothing";
  EXPECT_EQ(j["types"][3]["ratio"], 1.0);
  EXPECT_EQ(j["total"]["files"], 5);
  EXPECT_EQ(j["total"]["decompressed_bytes"], 1081 + 256 + 5000 + 3000);

  const ToolRun text = run_tool({"stats", a.path.string()});
  ASSERT_EQ(text.status, 0) << text.err;
  const auto lines = lines_of(text.out);
  ASSERT_EQ(lines.size(), 6U) << text.out;
  EXPECT_EQ(lines[0], "TYPE     FILES  COMPRESSED  STORED  DECOMPRESSED  RATIO  UNKNOWN");
  EXPECT_EQ(lines[3], "Table        1           0       0             0      -        0");
  EXPECT_EQ(lines[4], "Texture      1           0    3000          3000   1.00        0");
  EXPECT_EQ(lines[5].rfind("total        5           2  ", 0), 0U) << lines[5];
}

// Listings show what the directory holds whatever the data's state: an unreadable
// size is unknown, named once on standard error, and the run still succeeds.
TEST_F(Cli, ListingsShowAnUnreadableSizeAsUnknownAndSucceed) {
  ArchiveBuilder builder(1024);
  const Archive a =
      write(builder, {{.id = TEXTURE, .content = pattern(100, 1)}}, "bad.dat",
            {DatFileEntry{.bit_flags = 1, .id = UNREADABLE, .offset = PAST_THE_END, .size = 10}});
  const std::string note = "marrowvane-dat: " + a.path.string() + ": 1 ";
  const ToolRun stats = run_tool({"stats", a.path.string(), "--json"});
  EXPECT_EQ(stats.status, 0) << stats.err;
  EXPECT_EQ(stats.err.rfind(note, 0), 0U) << stats.err;
  const Json texture = Json::parse(stats.out)["types"][0];
  EXPECT_EQ(texture["files"], 2);
  EXPECT_EQ(texture["unreadable"], 1);
  EXPECT_EQ(texture["stored_bytes"], 110);
  EXPECT_EQ(texture["decompressed_bytes"], 100);
  EXPECT_EQ(texture["ratio"], 1.0) << "the unknown file is left out of the ratio";
  const ToolRun stats_text = run_tool({"stats", a.path.string()});
  EXPECT_EQ(stats_text.status, 0);
  EXPECT_TRUE(contains(stats_text.out, "1.00        1\n")) << stats_text.out;

  const ToolRun json = run_tool({"ls", a.path.string(), "--json"});
  EXPECT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(json.err.rfind(note, 0), 0U) << json.err;
  const Json rows = Json::parse(json.out);
  ASSERT_EQ(rows.size(), 2U);
  EXPECT_EQ(rows[1]["id"], UNREADABLE);
  EXPECT_TRUE(rows[1]["decompressed_size"].is_null());
  EXPECT_EQ(rows[1]["error"], "IO error: failed to fill whole buffer");
  for (const char* format : {"tsv", "table"}) {
    const ToolRun text = run_tool({"ls", a.path.string(), "--format", format});
    EXPECT_EQ(text.status, 0) << text.err;
    ASSERT_EQ(lines_of(text.out).size(), format == std::string("tsv") ? 2U : 3U) << text.out;
    EXPECT_TRUE(contains(lines_of(text.out).back(), "06000099")) << text.out;
    EXPECT_TRUE(contains(text.out, "\t?\t") || contains(text.out, "  ?  ")) << text.out;
  }
  EXPECT_EQ(run_tool({"ls", a.path.string(), "-q"}).err, "");
}

}  // namespace
}  // namespace marrowvane_dat::cli_test
