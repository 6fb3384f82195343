// SPDX-License-Identifier: MIT
// The JSON documents the commands print with --json and the server answers with:
// built here once, so both always say the same thing.
#pragma once

#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "archive.hpp"
#include "marrowvane_dat/file_type/font.hpp"

namespace marrowvane_dat::cli {

using Json = nlohmann::ordered_json;

// The archive kind's name ("Portal").
[[nodiscard]] std::string_view kind_name(DatKind kind) noexcept;

// info's report: every header field, the kind and the entry count, as JSON and as
// "name: value" lines. A null file_count is an unreadable directory.
struct InfoDocument {
  Json json;
  std::vector<std::pair<std::string_view, std::string>> text;
};
[[nodiscard]] InfoDocument info_document(const DatHeader& header,
                                         std::optional<std::uint64_t> file_count);

// An entry's decompressed size, or the reason it cannot be read (the library's text
// plus the truncation hint). Thread-safe.
[[nodiscard]] std::expected<std::uint32_t, std::string> decompressed_size_or_error(
    const Archive& archive, const DatFileEntry& entry);
// One ls --json object: every directory field, the type, and the decompressed size
// (null plus an "error" member when it is unknown).
[[nodiscard]] Json ls_entry_json(const Archive& archive, const DatFileEntry& entry,
                                 const std::expected<std::uint32_t, std::string>& decompressed);

// Counts and byte totals of one file type, or of the whole archive.
struct TypeStats {
  std::uint64_t files = 0;
  std::uint64_t compressed = 0;
  std::uint64_t stored = 0;
  std::uint64_t decompressed = 0;
  // Files whose decompressed size cannot be read, and what they store: left out of
  // the decompressed bytes and the ratio, never guessed.
  std::uint64_t unreadable = 0;
  std::uint64_t unreadable_stored = 0;
  // Files over blocks that an earlier file (or they themselves) already passed: their
  // bytes are counted once, under that file, and not again under them.
  std::uint64_t shared = 0;

  // How many times larger the content is than what the archive stores for it;
  // nothing when no stored byte has a known size.
  [[nodiscard]] std::optional<double> ratio() const;
  // The stats --json object of these counts (without the type).
  [[nodiscard]] Json json() const;
  // One stats table row, `name` first.
  [[nodiscard]] std::vector<std::string> cells(std::string name) const;
};

// Every entry tallied by type name (sorted) and in total; reads each compressed
// entry's size prefix, and walks every chain's links once to count shared blocks once.
struct StatsReport {
  std::map<std::string_view, TypeStats> by_type;
  TypeStats total;
};
[[nodiscard]] StatsReport stats_report(const Archive& archive);
// The stats --json document.
[[nodiscard]] Json stats_json(const Archive& archive, const StatsReport& report);

// A Font document's members before the glyph list: id, id_hex and the two maxima.
[[nodiscard]] Json font_json_head(const Font& font);
// One glyph of char_descs.
[[nodiscard]] Json glyph_json(const FontCharDesc& glyph);
// The members after the glyph list: borders, baseline and the two surface ids.
[[nodiscard]] Json font_json_tail(const Font& font);
// The whole font --json document in memory (font itself streams the same members).
[[nodiscard]] Json font_json(const Font& font);

}  // namespace marrowvane_dat::cli
