// Opening archives and listing their entries for the commands.
#include "archive.hpp"

#include <algorithm>

#include "output.hpp"

namespace marrowvane_dat::cli {

std::optional<DatDatabase> open_archive(const std::filesystem::path& path) {
  auto db = DatDatabase::open(path);
  if (!db) {
    report(db.error());
    return std::nullopt;
  }
  return std::move(*db);
}

void report(const DatError& error) {
  report_error(error.to_string());
}

DatFileType type_of(const DatDatabase& db, std::uint32_t id) noexcept {
  return from_id_in_dat(id, db.dat_kind());
}

std::string_view type_name_of(const DatDatabase& db, std::uint32_t id) noexcept {
  return to_string(type_of(db, id));
}

std::vector<DatFileEntry> sorted_entries(const DatDatabase& db, std::optional<DatFileType> filter) {
  std::vector<DatFileEntry> entries;
  entries.reserve(db.files().size());
  for (const auto& [id, entry] : db.files()) {
    if (!filter || type_of(db, id) == *filter) {
      entries.push_back(entry);
    }
  }
  std::ranges::sort(entries, {}, &DatFileEntry::id);
  return entries;
}

Result<DatFileEntry> find_entry(const DatDatabase& db, std::uint32_t id) {
  const auto found = db.files().find(id);
  if (found == db.files().end()) {
    return std::unexpected(DatError(DatError::NotFound{id}));
  }
  return found->second;
}

}  // namespace marrowvane_dat::cli
