// The tool's commands. Each returns the process exit status: 0 success, 1 when
// something failed (already reported on standard error).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include "marrowvane_dat/file_type/file_type.hpp"

namespace marrowvane_dat::cli {

struct InfoOptions {
  std::filesystem::path archive;
  bool json = false;
};

struct LsOptions {
  std::filesystem::path archive;
  std::optional<DatFileType> type;
  bool json = false;
};

struct CatOptions {
  std::filesystem::path archive;
  std::uint32_t id = 0;
  bool stored = false;
};

struct ExtractOptions {
  std::filesystem::path archive;
  std::filesystem::path out_dir;
  std::optional<DatFileType> type;
  unsigned jobs = 1;
  bool force = false;
};

struct FontOptions {
  std::filesystem::path archive;
  std::uint32_t id = 0;
  bool json = false;
};

struct VerifyOptions {
  std::filesystem::path archive;
  unsigned jobs = 1;
};

// Prints every header field, the archive kind and the number of directory entries.
int run_info(const InfoOptions& options);
// Prints one row (or JSON object) per directory entry in id order.
int run_ls(const LsOptions& options);
// Writes one file's bytes (decompressed unless `stored`) to standard output.
int run_cat(const CatOptions& options);
// Writes the selected files under out_dir/<Type>/<ID>.bin.
int run_extract(const ExtractOptions& options);
// Prints one file parsed as a Font.
int run_font(const FontOptions& options);
// Reads every file, checks sizes and fonts, and prints a report.
int run_verify(const VerifyOptions& options);

}  // namespace marrowvane_dat::cli
