// SPDX-License-Identifier: MIT
// Two archives compared id by id: what diff prints and what the server's diff page shows.
#pragma once

#include <string>

#include "archive.hpp"
#include "documents.hpp"

namespace marrowvane_dat::cli {

// The comparison of archive a (the old one) with archive b.
struct DiffReport {
  // The diff --json document.
  Json json;
  // diff's text: one line per id added, removed or changed, then the counts.
  std::string text;
  bool identical = false;
  // A file could not be read (each was reported on standard error as it was met),
  // so whether the archives differ is unknown.
  bool trouble = false;
};

// Walks both directories in id order once; ids in both are changed when their stored
// size, flags or version differ, or, at equal stored sizes, a 64-bit hash of their
// decompressed bytes does.
[[nodiscard]] DiffReport diff_archives(const Archive& a, const Archive& b);

}  // namespace marrowvane_dat::cli
