// SPDX-License-Identifier: MIT
// What the tool's end-to-end tests share: a scratch directory per test, archives
// written by the test kit, and small helpers for bytes, files and output lines.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "marrowvane_dat/dat_database.hpp"
#include "marrowvane_dat_testkit/archive_builder.hpp"
#include "tool_process.hpp"

namespace marrowvane_dat::cli_test {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Json = nlohmann::json;
using Args = std::vector<std::string>;

inline constexpr std::uint32_t FONT_A = 0x40000001;
inline constexpr std::uint32_t FONT_B = 0x40000002;
inline constexpr std::uint32_t TEXTURE = 0x06000010;
inline constexpr std::uint32_t MODEL = 0x0100000A;
inline constexpr std::uint32_t TABLE = 0x0E000001;
inline constexpr std::uint32_t UNREADABLE = 0x06000099;
// A block offset far past the end of any test archive.
inline constexpr std::uint32_t PAST_THE_END = 0xFFFFFC00;

// Tests that need what Windows lacks (terminals, /dev/full, signals, file size limits)
// skip themselves there with `if (ON_WINDOWS) GTEST_SKIP() << "why";`.
#ifdef _WIN32
inline constexpr bool ON_WINDOWS = true;
#else
inline constexpr bool ON_WINDOWS = false;
#endif

// How the tool names a link it will not follow below OUTDIR.
inline constexpr const char* REFUSES_LINK =
    ON_WINDOWS ? ": is a symbolic link or junction; refusing to follow it\n"
               : ": is a symbolic link; refusing to follow it\n";

std::string text_of(const Bytes& bytes);
Bytes read_file(const fs::path& path);
void write_file(const fs::path& path, const Bytes& bytes);
// Pseudo-random bytes (binary: they hold control characters).
Bytes pattern(std::size_t size, std::uint32_t seed);
// Printable text, repetitive enough that compression visibly shrinks it.
Bytes repetitive(std::size_t size);
// Eight upper-case hex digits, written independently of the tool.
std::string hex8(std::uint32_t id);
std::vector<std::string> lines_of(const std::string& text);
bool contains(const std::string& text, const std::string& part);
// A relative path written with `/`, as the tool prints it on this system.
std::string native(const std::string& generic);
// Whether std::filesystem can make symbolic links in `dir` (the MinGW runtime cannot).
bool can_make_links(const fs::path& dir);
// Every regular file and link below `dir`, as paths relative to it with `/` between
// their parts, sorted.
std::vector<std::string> tree_of(const fs::path& dir);

struct Archive {
  fs::path path;
  marrowvane_dat::DatHeader header;
  std::vector<marrowvane_dat::DatFileEntry> entries;  // sorted by id
  std::map<std::uint32_t, Bytes> contents;
};

class Cli : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Stores `files` (plus any `extra` entries that point anywhere) and writes the archive.
  Archive write(marrowvane_dat::testkit::ArchiveBuilder& builder,
                const std::vector<marrowvane_dat::testkit::FileSpec>& files,
                const std::string& name = "test.dat",
                std::vector<marrowvane_dat::DatFileEntry> extra = {});

  // A portal archive with two fonts (one compressed), a multi-block binary texture,
  // a compressed text model and an empty table, and every header field set (file_size
  // to the real length, as a sound archive has it).
  Archive portal(const std::string& name = "test.dat");

  // A file of `bytes` in the scratch directory.
  fs::path scratch_file(const std::string& name, const Bytes& bytes);

  fs::path dir_;
};

}  // namespace marrowvane_dat::cli_test
