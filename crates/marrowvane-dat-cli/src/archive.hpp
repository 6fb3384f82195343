// SPDX-License-Identifier: MIT
// The tool's view of an archive: opening it (from a path or standard input) with a
// diagnostic that names it, naming file types, and selecting entries.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "archive_probe.hpp"
#include "marrowvane_dat/dat_database.hpp"
#include "marrowvane_dat/error.hpp"
#include "marrowvane_dat/file_type/file_type.hpp"

namespace marrowvane_dat::cli {

// The command-line word that stands for standard input.
inline constexpr std::string_view STDIN_ARCHIVE = "-";

// The most bytes standard input may hold: what 32-bit offsets can address.
inline constexpr std::uint64_t MAX_STDIN_ARCHIVE = std::uint64_t{1} << 32;

// Lowers the cap on the bytes read from standard input for "-" (never above
// MAX_STDIN_ARCHIVE).
void set_max_input(std::uint64_t bytes) noexcept;

// An open archive and how to name it in messages.
struct Archive {
  DatDatabase db;
  // The path as given, or "standard input" for "-".
  std::string name;
  // The header as stored and the real length, for naming a truncated archive.
  ArchiveProbe probe;

  // The type of `id` by the archive's own kind.
  [[nodiscard]] DatFileType type_of(std::uint32_t id) const noexcept {
    return from_id_in_dat(id, db.dat_kind());
  }
  // That type's name ("Font").
  [[nodiscard]] std::string_view type_name_of(std::uint32_t id) const noexcept {
    return to_string(type_of(id));
  }
};

// Why an archive could not be opened: the whole diagnostic line (archive name, the
// library's text, a hint) and whatever could still be read of it.
struct OpenFailure {
  std::string message;
  ArchiveProbe probe;
};

// Opens the archive as open_archive does, but hands the failure back unreported.
[[nodiscard]] std::expected<Archive, OpenFailure> try_open_archive(const std::string& path);

// Opens the archive at `path`, or reads standard input whole and opens it in memory
// for "-". On failure reports one line naming the archive, with a hint when the
// archive is shorter than its header says or has no archive signature, and returns
// nothing.
[[nodiscard]] std::optional<Archive> open_archive(const std::string& path);

// "<archive>: file <id>: <error text>", leaving out "file <id>: " when the library's
// text already names the id, plus the truncation hint when it applies.
[[nodiscard]] std::string file_error_text(const Archive& archive, std::uint32_t id,
                                          const DatError& error);

// Reports file_error_text on standard error, plus a reminder of the id notation when
// `typed` (the id as the user wrote it) was not found and looks like a decimal number.
void report_file_error(const Archive& archive, std::uint32_t id, const DatError& error,
                       std::string_view typed = {});

// Calls f(entry) for every entry in id order, or only for those of `type`.
template <class F>
void for_each_entry(const Archive& archive, std::optional<DatFileType> type, F&& f) {
  if (type) {
    for (const DatFileEntry& entry : entries_of_type(archive.db, *type)) {
      f(entry);
    }
  } else {
    for (const DatFileEntry& entry : archive.db.entries()) {
      f(entry);
    }
  }
}

}  // namespace marrowvane_dat::cli
