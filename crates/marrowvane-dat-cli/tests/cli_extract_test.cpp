// SPDX-License-Identifier: MIT
// The extract command end to end: selection, existing files, failures, and the
// promise that nothing outside the output directory is ever written.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "cli_fixture.hpp"

namespace marrowvane_dat::cli_test {
namespace {

using marrowvane_dat::DatFileEntry;
using marrowvane_dat::testkit::ArchiveBuilder;

const std::map<std::uint32_t, std::string> TYPE_DIRS = {
    {FONT_A, "Font"}, {FONT_B, "Font"}, {TEXTURE, "Texture"}, {MODEL, "Model"}, {TABLE, "Table"}};

// Why the cases that plant links skip themselves where links cannot be made.
constexpr const char* NO_LINKS =
    "std::filesystem cannot make symbolic links here (the MinGW runtime under Wine); the "
    "cli.windows.paths link cases plant them from outside";

fs::path target(const fs::path& out, std::uint32_t id) {
  return out / TYPE_DIRS.at(id) / (hex8(id) + ".bin");
}

TEST_F(Cli, ExtractWritesOneFilePerEntryUnderItsType) {
  const Archive a = portal();
  const fs::path out = dir_ / "out";
  const ToolRun run = run_tool({"extract", a.path.string(), out.string(), "--jobs", "3"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.rfind("Extracted 5 files, 9337 bytes in ", 0), 0U) << run.out;
  EXPECT_EQ(tree_of(out).size(), 5U);
  for (const auto& [id, content] : a.contents) {
    EXPECT_EQ(read_file(target(out, id)), content) << hex8(id);
  }
}

TEST_F(Cli, ExtractOnlyTheChosenIdsOrType) {
  const Archive a = portal();
  const fs::path out = dir_ / "out";
  const ToolRun run = run_tool(
      {"extract", a.path.string(), out.string(), "d:1073741825", "0x0100000a", hex8(FONT_A)});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(tree_of(out), (std::vector<std::string>{"Font/40000001.bin", "Model/0100000A.bin"}));
  EXPECT_EQ(read_file(target(out, MODEL)), a.contents.at(MODEL));

  const fs::path fonts = dir_ / "fonts";
  ASSERT_EQ(run_tool({"extract", a.path.string(), fonts.string(), "--type", "font"}).status, 0);
  EXPECT_EQ(tree_of(fonts), (std::vector<std::string>{"Font/40000001.bin", "Font/40000002.bin"}));

  const ToolRun both =
      run_tool({"extract", a.path.string(), (dir_ / "x").string(), hex8(FONT_A), "--type", "Font"});
  EXPECT_EQ(both.status, 2);
  EXPECT_FALSE(fs::exists(dir_ / "x"));
}

TEST_F(Cli, ExistingFilesAreRefusedKeptOrReplacedAsAsked) {
  const Archive a = portal();
  const fs::path out = dir_ / "out";
  ASSERT_EQ(run_tool({"extract", a.path.string(), out.string(), "--type", "font"}).status, 0);
  const fs::path font = target(out, FONT_A);
  write_file(font, Bytes{'e', 'd', 'i', 't', 'e', 'd'});

  const ToolRun refused = run_tool({"extract", a.path.string(), out.string()});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "marrowvane-dat: " + font.string() +
                             ": refusing to overwrite an existing file (and 1 others); use "
                             "--force to replace, or --skip-existing to keep\n");
  EXPECT_EQ(text_of(read_file(font)), "edited");
  EXPECT_FALSE(fs::exists(out / "Model")) << "nothing is written when refusing";

  const ToolRun kept =
      run_tool({"extract", a.path.string(), out.string(), "--skip-existing", "-v"});
  ASSERT_EQ(kept.status, 0) << kept.err;
  EXPECT_EQ(text_of(read_file(font)), "edited");
  EXPECT_EQ(read_file(target(out, MODEL)), a.contents.at(MODEL));
  EXPECT_TRUE(contains(kept.out, native("Font/40000001.bin") + " skipped: already exists\n"))
      << kept.out;
  EXPECT_TRUE(contains(kept.out, native("Model/0100000A.bin") + "\n")) << kept.out;
  EXPECT_TRUE(contains(kept.out, "Extracted 3 files, ")) << kept.out;
  EXPECT_TRUE(contains(kept.out, "; 2 skipped (already present)")) << kept.out;

  const ToolRun forced = run_tool({"extract", a.path.string(), out.string(), "--force", "-q"});
  ASSERT_EQ(forced.status, 0) << forced.err;
  EXPECT_EQ(forced.out, "");
  EXPECT_EQ(read_file(font), a.contents.at(FONT_A));

  const ToolRun conflicting =
      run_tool({"extract", a.path.string(), out.string(), "--force", "--skip-existing"});
  EXPECT_EQ(conflicting.status, 2);
}

TEST_F(Cli, ExtractReportsAnUnreadableFileAndWritesTheRest) {
  ArchiveBuilder builder(1024);
  const DatFileEntry bad{.id = UNREADABLE, .offset = PAST_THE_END, .size = 10};
  const Archive a = write(builder,
                          {{.id = TEXTURE, .content = pattern(100, 2)},
                           {.id = 0x06000100, .content = pattern(2000, 3)}},
                          "bad.dat", {bad});
  const fs::path out = dir_ / "out";
  const ToolRun run = run_tool({"extract", a.path.string(), out.string(), "-j", "2"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "marrowvane-dat: " + a.path.string() +
                         ": file 06000099: IO error: failed to fill whole buffer\n");
  EXPECT_EQ(run.out.rfind("Extracted 2 files, 2100 bytes", 0), 0U) << run.out;
  EXPECT_TRUE(contains(run.out, "; 1 failed"));
  EXPECT_EQ(tree_of(out),
            (std::vector<std::string>{"Texture/06000010.bin", "Texture/06000100.bin"}));

  const ToolRun json =
      run_tool({"extract", a.path.string(), (dir_ / "j").string(), "--json", "-v"});
  EXPECT_EQ(json.status, 1);
  const Json j = Json::parse(json.out);
  EXPECT_EQ(j["extracted"], 2);
  EXPECT_EQ(j["failed"], 1);
  EXPECT_EQ(j["skipped"], 0);
  EXPECT_EQ(j["bytes"], 2100);
  ASSERT_EQ(j["failures"].size(), 1U);
  EXPECT_EQ(j["failures"][0]["id"], UNREADABLE);
  EXPECT_EQ(j["failures"][0]["id_hex"], "0x06000099");
  EXPECT_EQ(j["failures"][0]["type"], "Texture");
  EXPECT_TRUE(
      contains(j["failures"][0]["error"].get<std::string>(), "failed to fill whole buffer"));
  // Per-file lines stay off standard output when it carries JSON.
  EXPECT_TRUE(contains(json.err, native("Texture/06000010.bin") + "\n")) << json.err;
}

TEST_F(Cli, AWriteThatFailsLeavesNoPartialFile) {
  if (ON_WINDOWS) GTEST_SKIP() << "the write fails through a file size limit, POSIX only";
  ArchiveBuilder builder(1024);
  const Archive a = write(builder, {{.id = TEXTURE, .content = pattern(100, 2)},
                                    {.id = 0x06000100, .content = pattern(200000, 3)}});
  const fs::path out = dir_ / "out";
  const ToolRun run =
      run_tool({"extract", a.path.string(), out.string()}, {.file_size_limit = 65536});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "marrowvane-dat: " + (out / "Texture" / "06000100.bin").string() +
                         ": cannot write: File too large\n");
  // The small file is whole; the large one left nothing, not even a temporary name.
  EXPECT_EQ(tree_of(out), (std::vector<std::string>{"Texture/06000010.bin"}));
  EXPECT_EQ(read_file(out / "Texture" / "06000010.bin"), a.contents.at(TEXTURE));
}

TEST_F(Cli, EntriesOverAnotherEntrysBlocksAreRefusedUnlessAllowed) {
  ArchiveBuilder builder(1024);
  const std::vector<std::uint8_t> content = pattern(3000, 7);
  const std::uint32_t chain = builder.write_chain(content);
  const std::uint32_t own = builder.write_chain(pattern(100, 8));
  // A block that links to itself: three passes give 3060 bytes of one block.
  const std::uint32_t loop = builder.write_chain(pattern(1020, 9));
  builder.patch_u32(loop, loop);
  const auto size = static_cast<std::uint32_t>(content.size());
  builder.build_directory({{.id = 0x06000001, .offset = chain, .size = size},
                           {.id = 0x06000002, .offset = chain, .size = size},
                           {.id = 0x06000003, .offset = own, .size = 100},
                           {.id = 0x06000004, .offset = chain, .size = size},
                           {.id = 0x06000005, .offset = loop, .size = 3060}});
  const fs::path path = dir_ / "shared.dat";
  builder.write_to(path);
  const fs::path out = dir_ / "out";

  const ToolRun refused = run_tool({"extract", path.string(), out.string(), "-q"});
  EXPECT_EQ(refused.status, 1);
  for (const char* finding : {"file 06000002 shares blocks with file 06000001",
                              "file 06000004 shares blocks with file 06000001",
                              "file 06000005 passes through one of its blocks twice"}) {
    EXPECT_TRUE(contains(refused.err, finding)) << refused.err;
  }
  EXPECT_EQ(tree_of(out),
            (std::vector<std::string>{"Texture/06000001.bin", "Texture/06000003.bin"}));

  const ToolRun verify = run_tool({"verify", path.string(), "--json"});
  EXPECT_EQ(verify.status, 1);
  const Json failures = Json::parse(verify.out)["failures"];
  ASSERT_EQ(failures.size(), 3U) << verify.out;
  EXPECT_EQ(failures[0]["id"], 0x06000002);
  EXPECT_EQ(failures[0]["error"], "shares blocks with file 06000001");
  EXPECT_EQ(failures[0]["shares_blocks_with"], "0x06000001");
  EXPECT_EQ(failures[2]["shares_blocks_with"], "0x06000005");

  // Shared bytes are counted once: only the files that own their blocks add bytes.
  const Json stats = Json::parse(run_tool({"stats", path.string(), "--json"}).out)["total"];
  EXPECT_EQ(stats["files"], 5);
  EXPECT_EQ(stats["stored_bytes"], 3100);
  EXPECT_EQ(stats["shared_blocks"], 3);
  const ToolRun diff = run_tool({"diff", path.string(), path.string()});
  EXPECT_EQ(diff.status, 0) << diff.err;
  EXPECT_TRUE(contains(diff.out,
                       "shared  06000002 Texture: in ARCHIVE_A shares blocks with "
                       "file 06000001\n"))
      << diff.out;
  EXPECT_TRUE(contains(diff.out, "Shared blocks counted once: 3 files")) << diff.out;

  const ToolRun allowed =
      run_tool({"extract", path.string(), out.string(), "-q", "--force", "--allow-shared-blocks"});
  EXPECT_EQ(allowed.status, 0) << allowed.err;
  EXPECT_EQ(tree_of(out).size(), 5U);
  EXPECT_EQ(read_file(out / "Texture" / "06000004.bin"), content);
}

TEST_F(Cli, ExtractStopsBeforeItsOutputPassesTheBound) {
  ArchiveBuilder builder(1024);
  std::vector<marrowvane_dat::testkit::FileSpec> files;
  for (std::uint32_t i = 0; i < 4; ++i) {
    files.push_back({.id = 0x06000001 + i, .content = pattern(2000, i)});
  }
  const Archive a = write(builder, files);
  const fs::path out = dir_ / "out";

  const ToolRun stopped =
      run_tool({"extract", a.path.string(), out.string(), "--max-output", "5000"});
  EXPECT_EQ(stopped.status, 1);
  EXPECT_EQ(stopped.err, "marrowvane-dat: " + a.path.string() + ": stopped before writing " +
                             (out / "Texture" / "06000003.bin").string() +
                             ": the files would pass 5000 bytes (--max-output); raise the "
                             "bound with --max-output BYTES\n");
  // Two whole files, and neither the third nor a temporary of it.
  EXPECT_EQ(tree_of(out),
            (std::vector<std::string>{"Texture/06000001.bin", "Texture/06000002.bin"}));

  // The default, a multiple of the archive's length, lets an honest archive through.
  const ToolRun whole = run_tool({"extract", a.path.string(), out.string(), "-q", "--force"});
  EXPECT_EQ(whole.status, 0) << whole.err;
  EXPECT_EQ(tree_of(out).size(), 4U);
}

// Extractions that stop early, on a signal or when standard output fails.
class ExtractStops : public Cli {
 protected:
  // 150 textures of 20000 bytes: enough that the stop comes while files are written.
  Archive many_textures() {
    ArchiveBuilder builder(1024);
    std::vector<marrowvane_dat::testkit::FileSpec> files;
    for (std::uint32_t i = 0; i < 150; ++i) {
      files.push_back({.id = 0x06000000 + i, .content = pattern(20000, i)});
    }
    return write(builder, files);
  }
};

// Every file below `out` is whole, under its final name: no temporary was left.
void expect_only_whole_files(const fs::path& out, const Archive& a) {
  for (const std::string& file : tree_of(out)) {
    ASSERT_FALSE(contains(file, ".part")) << file;
    const auto id =
        static_cast<std::uint32_t>(std::stoul(fs::path(file).stem().string(), nullptr, 16));
    EXPECT_EQ(read_file(out / file), a.contents.at(id)) << file;
  }
}

TEST_F(ExtractStops, AnInterruptedExtractionLeavesOnlyWholeFiles) {
#ifdef _WIN32
  GTEST_SKIP() << "the extraction is stopped by POSIX signals";
#else
  const Archive a = many_textures();
  const fs::path out = dir_ / "out";
  // Every signal that would end the process, not only the interactive ones.
  for (const int sig : {SIGINT, SIGALRM, SIGUSR1}) {
    fs::remove_all(out);
    const ToolRun run = run_tool({"extract", a.path.string(), out.string(), "-v", "-j", "2"},
                                 {.signal_on_output = sig});
    // Normally the signal arrives mid-way; a machine fast enough to finish first is fine too.
    if (run.status != 0) {
      EXPECT_EQ(run.status, 128 + sig) << run.err;
      EXPECT_EQ(run.err, "marrowvane-dat: " + out.string() +
                             ": interrupted; no partly written file was left behind\n");
    }
    EXPECT_FALSE(tree_of(out).empty());
    expect_only_whole_files(out, a);
  }
#endif
}

TEST_F(ExtractStops, TemporariesOfDeadWritersAreRemovedByTheNextExtraction) {
  const Archive a = many_textures();
  const fs::path out = dir_ / "out";
  ASSERT_EQ(run_tool({"extract", a.path.string(), out.string(), "06000000"}).status, 0);
  const fs::path type_dir = fs::directory_iterator(out)->path();
  const int dead = ended_process_id();
  ASSERT_GT(dead, 0);
  const std::string stale = ".06000001.bin.part-" + std::to_string(dead) + "-0";
  const std::string alive = ".06000002.bin.part-" + std::to_string(own_process_id()) + "-0";
  for (const std::string& name : {stale, alive, std::string(".not-ours.part-x")}) {
    std::ofstream(type_dir / name) << "partial";
  }
  ASSERT_EQ(run_tool({"extract", a.path.string(), out.string(), "06000003"}).status, 0);
  EXPECT_FALSE(fs::exists(type_dir / stale));
  EXPECT_TRUE(fs::exists(type_dir / alive)) << "its writer still runs";
  EXPECT_TRUE(fs::exists(type_dir / ".not-ours.part-x"));
}

TEST_F(ExtractStops, WhenItsOutputCannotBeWrittenLeavingNoTemporaryFile) {
  const Archive a = many_textures();
  const fs::path out = dir_ / "out";
  // A reader that has gone (as `| head` does) stops the run quietly; a full device loudly.
  for (const auto& [stdout_to, err] :
       {std::pair{Stdout::ClosedPipe, std::string()},
        std::pair{Stdout::Full, std::string("marrowvane-dat: standard output: cannot write: "
                                            "No space left on device\n")}}) {
    if (ON_WINDOWS && stdout_to == Stdout::Full) {
      continue;  // /dev/full is POSIX only
    }
    fs::remove_all(out);
    const ToolRun run =
        run_tool({"extract", a.path.string(), out.string(), "-v", "-j", "2"}, {.out = stdout_to});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, err);
    EXPECT_LT(tree_of(out).size(), a.contents.size()) << "the workers stopped early";
    expect_only_whole_files(out, a);
  }
}

TEST_F(Cli, OutputDirectoryThatCannotBeUsedIsOneLine) {
  const Archive a = portal();
  const fs::path file = scratch_file("file", Bytes{'x'});
  struct Case {
    std::string out;
    int status;
    std::string message;
  };
  for (const Case& c :
       {Case{"", 2, "OUTDIR: the output directory is empty"},
        Case{file.string(), 1, file.string() + ": exists and is not a directory"},
        Case{(file / "sub").string(), 1, (file / "sub").string() + ": cannot create directory"}}) {
    const ToolRun run = run_tool({"extract", a.path.string(), c.out});
    EXPECT_EQ(run.status, c.status) << c.out;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("marrowvane-dat: " + c.message, 0), 0U) << run.err;
  }
  EXPECT_EQ(text_of(read_file(file)), "x");
}

TEST_F(Cli, ATypeDirectoryThatIsALinkIsNeverFollowed) {
  if (ON_WINDOWS && !can_make_links(dir_)) GTEST_SKIP() << NO_LINKS;
  const Archive a = portal();
  const fs::path out = dir_ / "out";
  const fs::path outside = dir_ / "outside";
  fs::create_directories(out);
  fs::create_directories(outside);
  fs::create_directory_symlink(outside, out / "Font");
  for (const Args& extra : {Args{}, Args{"--force"}, Args{"--skip-existing"}}) {
    Args args = {"extract", a.path.string(), out.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    const ToolRun run = run_tool(args);
    EXPECT_EQ(run.status, 1) << (extra.empty() ? "" : extra[0]);
    EXPECT_EQ(run.err, "marrowvane-dat: " + (out / "Font").string() + REFUSES_LINK);
    EXPECT_TRUE(fs::is_empty(outside));
  }
  // A regular file in place of a type directory is refused the same way.
  fs::remove(out / "Font");
  write_file(out / "Font", Bytes{'x'});
  const ToolRun file = run_tool({"extract", a.path.string(), out.string(), "--force"});
  EXPECT_EQ(file.status, 1);
  EXPECT_TRUE(contains(file.err, "Font: exists and is not a directory")) << file.err;
}

TEST_F(Cli, ALinkAtATargetNameIsReplacedOnlyWithForce) {
  if (ON_WINDOWS && !can_make_links(dir_)) GTEST_SKIP() << NO_LINKS;
  const Archive a = portal();
  const fs::path outside = scratch_file("outside.txt", Bytes{'k', 'e', 'e', 'p'});
  const fs::path dangling_target = dir_ / "never-created";
  for (const fs::path& pointee : {outside, dangling_target}) {
    const fs::path out = dir_ / ("out-" + pointee.filename().string());
    fs::create_directories(out / "Font");
    const fs::path link = target(out, FONT_A);
    fs::create_symlink(pointee, link);

    const ToolRun refused = run_tool({"extract", a.path.string(), out.string(), "--type", "font"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(contains(refused.err, link.string() + ": refusing to overwrite")) << refused.err;

    const ToolRun kept =
        run_tool({"extract", a.path.string(), out.string(), "--type", "font", "--skip-existing"});
    EXPECT_EQ(kept.status, 0) << kept.err;
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(read_file(target(out, FONT_B)), a.contents.at(FONT_B));

    const ToolRun forced =
        run_tool({"extract", a.path.string(), out.string(), "--type", "font", "--force"});
    EXPECT_EQ(forced.status, 0) << forced.err;
    EXPECT_FALSE(fs::is_symlink(link));
    EXPECT_EQ(read_file(link), a.contents.at(FONT_A));

    EXPECT_EQ(text_of(read_file(outside)), "keep");
    EXPECT_FALSE(fs::exists(dangling_target));
  }
}

TEST_F(Cli, AnOutputDirectoryThatIsALinkChosenByTheUserIsUsed) {
  if (ON_WINDOWS && !can_make_links(dir_)) GTEST_SKIP() << NO_LINKS;
  const Archive a = portal();
  const fs::path real = dir_ / "real";
  fs::create_directories(real);
  fs::create_directory_symlink(real, dir_ / "chosen");
  const ToolRun run =
      run_tool({"extract", a.path.string(), (dir_ / "chosen").string(), hex8(MODEL)});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(read_file(target(real, MODEL)), a.contents.at(MODEL));
}

}  // namespace
}  // namespace marrowvane_dat::cli_test
