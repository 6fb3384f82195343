// The tool's view of an archive: opening it with a diagnostic on failure, naming
// file types, and listing entries in id order.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

#include "marrowvane_dat/dat_database.hpp"
#include "marrowvane_dat/error.hpp"
#include "marrowvane_dat/file_type/file_type.hpp"

namespace marrowvane_dat::cli {

// Opens the archive; on failure reports the error's display text on standard
// error and returns nothing.
[[nodiscard]] std::optional<DatDatabase> open_archive(const std::filesystem::path& path);

// Reports "marrowvane-dat: <display text>" on standard error.
void report(const DatError& error);

// The type of `id` in `db` (by the archive's own kind).
[[nodiscard]] DatFileType type_of(const DatDatabase& db, std::uint32_t id) noexcept;
// That type's name ("Font").
[[nodiscard]] std::string_view type_name_of(const DatDatabase& db, std::uint32_t id) noexcept;

// Every directory entry, sorted by id ascending; only those of type `filter`
// when one is given.
[[nodiscard]] std::vector<DatFileEntry> sorted_entries(const DatDatabase& db,
                                                       std::optional<DatFileType> filter);

// The entry of `id`, or the NotFound error that reading the file would give.
[[nodiscard]] Result<DatFileEntry> find_entry(const DatDatabase& db, std::uint32_t id);

}  // namespace marrowvane_dat::cli
