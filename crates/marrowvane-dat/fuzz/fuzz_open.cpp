// Fuzzes opening an archive from memory and retrieving every file it lists: each
// call succeeds or returns an error, and the two ways to read a file agree.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "marrowvane_dat/archive_source.hpp"
#include "marrowvane_dat/dat_database.hpp"
#include "marrowvane_dat/utils.hpp"

namespace {

constexpr std::size_t INPUT_CAP = std::size_t{1} << 20;
// A chain that links back into itself may legitimately deliver any declared size,
// a byte per block with the smallest blocks; past these caps such reads only cost
// time, not coverage.
constexpr std::uint32_t MAX_ENTRY_SIZE = std::uint32_t{16} << 20;
constexpr std::uint64_t MAX_TOTAL_SIZE = std::uint64_t{16} << 20;

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > INPUT_CAP) return -1;
  auto database = marrowvane_dat::DatDatabase::open(
      std::make_unique<marrowvane_dat::MemorySource>(std::vector<std::uint8_t>(data, data + size)));
  if (!database) return 0;

  std::uint64_t budget = MAX_TOTAL_SIZE;
  for (const auto& [id, entry] : database->files()) {
    check(id == entry.id);
    if (entry.size > MAX_ENTRY_SIZE || entry.size > budget) continue;
    budget -= entry.size;

    const auto stored = database->read_file_data(entry.offset, entry.size);
    const auto file = database->get_file(id);
    if (!stored) {
      check(!file && file.error().kind() == stored.error().kind());
      continue;
    }
    check(stored->size() == entry.size);
    check(file.has_value());
    if (entry.is_compressed()) {
      check(*file == marrowvane_dat::decompress_lrs(*stored));
    } else {
      check(*file == *stored);
    }
  }
  return 0;
}
