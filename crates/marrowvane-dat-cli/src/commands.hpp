// SPDX-License-Identifier: MIT
// The tool's commands and their options. Each command returns the process exit
// status; whatever went wrong has already been reported on standard error.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "marrowvane_dat/file_type/file_type.hpp"

namespace marrowvane_dat::cli {

// Success.
inline constexpr int EXIT_OK = 0;
// Something failed (an unreadable archive or file, a failed check, a write error).
inline constexpr int EXIT_FAILED = 1;
// The command line was not understood.
inline constexpr int EXIT_USAGE = 2;
// diff: the archives differ.
inline constexpr int EXIT_DIFFERENT = 1;
// diff: something went wrong, so whether the archives differ is unknown.
inline constexpr int EXIT_TROUBLE = 2;

// How much a command says besides its data and its errors.
enum class Verbosity : std::uint8_t {
  Quiet,    // errors only: no progress bar, summary or report
  Normal,   // the summary or report
  Verbose,  // also one line per file (extract, verify)
};

struct InfoOptions {
  std::string archive;
  bool json = false;
};

enum class ListFormat : std::uint8_t {
  Auto,  // a table on a terminal, tab-separated values elsewhere
  Table,
  Tsv,
  Json,
};

struct LsOptions {
  std::string archive;
  std::optional<DatFileType> type;
  ListFormat format = ListFormat::Auto;
};

struct CatOptions {
  std::string archive;
  // In the order given; `typed` holds each as written, for messages.
  std::vector<std::uint32_t> ids;
  std::vector<std::string> typed;
  bool stored = false;
  bool force = false;
};

struct ExtractOptions {
  std::string archive;
  std::filesystem::path out_dir;
  // Only these ids (each must exist); every entry when empty.
  std::vector<std::uint32_t> ids;
  std::vector<std::string> typed;
  std::optional<DatFileType> type;
  unsigned jobs = 1;
  bool force = false;
  bool skip_existing = false;
  bool json = false;
  Verbosity verbosity = Verbosity::Normal;
};

struct FontOptions {
  std::string archive;
  std::uint32_t id = 0;
  std::string typed;
  bool json = false;
};

struct VerifyOptions {
  std::string archive;
  unsigned jobs = 1;
  bool json = false;
  Verbosity verbosity = Verbosity::Normal;
};

struct DiffOptions {
  std::string archive_a;
  std::string archive_b;
  bool json = false;
  Verbosity verbosity = Verbosity::Normal;
};

struct StatsOptions {
  std::string archive;
  bool json = false;
};

// Prints every header field, the archive kind and the number of directory entries.
int run_info(const InfoOptions& options);
// Prints one row (or JSON object) per directory entry in id order.
int run_ls(const LsOptions& options);
// Writes the files' bytes (decompressed unless `stored`) to standard output in order.
int run_cat(const CatOptions& options);
// Writes the selected files as out_dir/<Type>/<ID>.bin, never through a symbolic link.
int run_extract(const ExtractOptions& options);
// Prints one file parsed as a Font.
int run_font(const FontOptions& options);
// Reads every file, checks sizes and fonts, and prints a report.
int run_verify(const VerifyOptions& options);
// Lists the ids added, removed and changed from archive_a to archive_b. Returns
// EXIT_OK when they hold the same files, EXIT_DIFFERENT when not, EXIT_TROUBLE when
// either could not be read.
int run_diff(const DiffOptions& options);
// Prints file count, stored and decompressed bytes and compression ratio per type.
int run_stats(const StatsOptions& options);

}  // namespace marrowvane_dat::cli
