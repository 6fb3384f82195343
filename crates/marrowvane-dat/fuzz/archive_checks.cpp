// SPDX-License-Identifier: MIT
// The cross-source property checks behind the archive fuzz targets.
#include "archive_checks.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "marrowvane_dat/archive_source.hpp"
#include "marrowvane_dat/binary_reader.hpp"
#include "marrowvane_dat/utils.hpp"

namespace marrowvane_dat::fuzz {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Holds nothing in memory and reads only exactly, so chains are read through windows
// (tiny blocks) or through the default piece-by-piece vectored read. Counts the bytes
// it is asked for, which is what such a read costs a real store.
class PiecewiseSource final : public ArchiveSource {
 public:
  explicit PiecewiseSource(std::span<const std::uint8_t> image) noexcept : inner_(image) {}

  [[nodiscard]] std::expected<void, IoError> read_exact_at(std::span<std::uint8_t> buf,
                                                           std::uint64_t offset) const override {
    moved_ += buf.size();
    return inner_.read_exact_at(buf, offset);
  }
  [[nodiscard]] std::optional<std::uint64_t> size_hint() const noexcept override {
    return inner_.size_hint();
  }
  // Bytes asked for since the last call.
  [[nodiscard]] std::uint64_t take_moved() const noexcept { return std::exchange(moved_, 0); }

 private:
  MemorySource inner_;
  // The fuzz targets run on one thread.
  mutable std::uint64_t moved_ = 0;
};

// What reading `size` bytes of one chain may cost a source that holds nothing in
// memory: every byte of the result, plus for every block the chain can visit its link
// and one small read (the reads that follow a chain jumping about), plus a few large
// windows, all four times over for reads begun on a guess and read again exactly.
std::uint64_t read_cost_bound(const DatHeader& header, std::uint64_t image_size,
                              std::uint32_t size) {
  const std::uint64_t block_size = header.block_size;
  if (block_size <= 4) {
    return 0;
  }
  const std::uint64_t blocks =
      std::min(image_size / block_size + 1, std::uint64_t{size} / (block_size - 4) + 2);
  constexpr std::uint64_t SMALL_READ = 512;
  constexpr std::uint64_t LARGE_READ = std::uint64_t{64} << 10;
  return 4 * (std::uint64_t{size} + blocks * (block_size + SMALL_READ) + LARGE_READ);
}

// A source whose vectored reads fail or stop early as a fixed function of what they are
// asked for, as a busy disk or a network store might. Exact reads are reliable, so a
// reader that hands over to them correctly still gets every byte and error right.
class ChoppySource final : public ArchiveSource {
 public:
  explicit ChoppySource(std::span<const std::uint8_t> image) noexcept : inner_(image) {}

  [[nodiscard]] std::expected<void, IoError> read_exact_at(std::span<std::uint8_t> buf,
                                                           std::uint64_t offset) const override {
    return inner_.read_exact_at(buf, offset);
  }
  [[nodiscard]] std::optional<std::uint64_t> size_hint() const noexcept override {
    return inner_.size_hint();
  }
  [[nodiscard]] std::expected<std::size_t, IoError> read_vectored_at(
      std::span<const std::span<std::uint8_t>> pieces, std::uint64_t offset) const override {
    std::size_t total = 0;
    for (const std::span<std::uint8_t> piece : pieces) {
      total += piece.size();
    }
    const std::uint64_t mix = (offset * 0x9E3779B97F4A7C15ULL) ^ (total * 0xC2B2AE3D27D4EB4FULL);
    if (mix % 5 == 0) {
      return std::unexpected(IoError::from_errno(EIO));
    }
    // Some reads deliver everything, the others stop somewhere inside.
    const std::size_t limit = mix % 3 == 0 || total == 0 ? total : (mix >> 8) % total;
    const std::span<const std::uint8_t> image =
        inner_.view_at(0, static_cast<std::size_t>(*inner_.size_hint()));
    std::size_t done = 0;
    for (const std::span<std::uint8_t> piece : pieces) {
      const std::uint64_t at = offset + done;
      const std::size_t wanted = std::min(piece.size(), limit - done);
      const std::size_t count =
          at >= image.size() ? 0 : std::min<std::uint64_t>(wanted, image.size() - at);
      std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(at), count, piece.begin());
      done += count;
      if (count < piece.size()) {
        break;
      }
    }
    return done;
  }

 private:
  MemorySource inner_;
};

void report(const std::string& what) {
  std::fprintf(stderr, "archive check failed: %s\n", what.c_str());
}

std::string describe(const DatError& error) {
  return error.to_string() + " / " + error.debug();
}

template <class T>
bool same_error(const Result<T>& a, const Result<T>& b) {
  return a.error().kind() == b.error().kind() && a.error().to_string() == b.error().to_string() &&
         a.error().debug() == b.error().debug();
}

// The same value, or errors of the same kind with the same texts.
bool same(const Result<Bytes>& a, const Result<Bytes>& b) {
  if (a.has_value() != b.has_value()) {
    return false;
  }
  return a ? *a == *b : same_error(a, b);
}

std::string outcome(const Result<Bytes>& result) {
  return result ? std::to_string(result->size()) + " bytes" : describe(result.error());
}

struct Opened {
  const char* name;
  Result<DatDatabase> database;
};

// The image as a file read with pread: an anonymous in-memory file, opened by path like
// any archive so the header is read through the descriptor as well.
Result<DatDatabase> open_through_descriptor(std::span<const std::uint8_t> image) {
  const UniqueFd file(::memfd_create("archive", MFD_CLOEXEC));
  check(static_cast<bool>(file), "memfd_create");
  std::size_t written = 0;
  while (written < image.size()) {
    const ssize_t n = ::write(file.get(), image.data() + written, image.size() - written);
    check(n > 0, "writing the in-memory file");
    written += static_cast<std::size_t>(n);
  }
  return DatDatabase::open("/proc/self/fd/" + std::to_string(file.get()));
}

// Buffers the reusing calls fill, left over from the file before.
struct Reused {
  Bytes stored;
  Bytes file;
};

void check_entry(const DatDatabase& memory, const std::vector<Opened>& others,
                 const PiecewiseSource& piecewise, const DatFileEntry& entry,
                 std::uint64_t image_size, Reused& reused) {
  const auto stored = memory.read_file_data(entry.offset, entry.size);
  check(same(stored, memory.read_file_data(entry.offset, entry.size)),
        "reading the same chain twice gave different results");
  if (stored) {
    check(stored->size() == entry.size, "a read returned a size other than the one asked for");
    check(stored->size() <= 2 * image_size + 16, "a read returned more than twice the image");
  }
  (void)piecewise.take_moved();
  for (const Opened& other : others) {
    const auto read = other.database->read_file_data(entry.offset, entry.size);
    if (!same(stored, read)) {
      report(std::string(other.name) + ": " + outcome(read) + "; memory: " + outcome(stored));
      check(false, "a source read a chain differently from memory");
    }
  }
  const std::uint64_t moved = piecewise.take_moved();
  if (moved > read_cost_bound(memory.header(), image_size, entry.size)) {
    report(std::to_string(moved) + " bytes read for a chain of " + std::to_string(entry.size));
    check(false, "reading a chain cost far more than its blocks");
  }

  const auto file = memory.get_file(entry.id);
  if (!stored) {
    check(!file && same_error(stored, file), "get_file failed differently from read_file_data");
  } else {
    check(file.has_value(), "get_file failed where read_file_data succeeded");
    check(*file == (entry.is_compressed() ? decompress_lrs(*stored) : *stored),
          "get_file disagrees with read_file_data");
  }

  const DatDatabase& descriptor = *others.front().database;
  if (auto into = descriptor.read_file_data_into(entry.offset, entry.size, reused.stored); into) {
    check(stored && reused.stored == *stored, "read_file_data_into disagrees");
  } else {
    check(!stored, "read_file_data_into failed alone");
  }
  if (auto into = descriptor.get_file_into(entry.id, reused.file); into) {
    check(file && reused.file == *file, "get_file_into disagrees");
  } else {
    check(!file, "get_file_into failed alone");
  }

  if (stored && entry.is_compressed() && stored->size() >= 4) {
    const auto size = memory.decompressed_size(entry.id);
    check(size && *size == load_le<std::uint32_t>(std::span(*stored).first<4>()),
          "decompressed_size disagrees with the stored size field");
  }
}

}  // namespace

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "archive check failed: %s\n", what);
    std::abort();
  }
}

std::optional<DatDatabase> check_archive(std::span<const std::uint8_t> image) {
  auto memory = DatDatabase::open_borrowed(image);
  std::vector<Opened> others;
  // The descriptor comes first: the reusing calls go through it.
  others.push_back({"pread", open_through_descriptor(image)});
  auto piecewise_source = std::make_unique<PiecewiseSource>(image);
  // Owned by its database from here on, which outlives every use below.
  const PiecewiseSource& piecewise = *piecewise_source;
  others.push_back({"piecewise", DatDatabase::open(std::move(piecewise_source))});
  others.push_back({"choppy", DatDatabase::open(std::make_unique<ChoppySource>(image))});

  for (const Opened& other : others) {
    if (memory.has_value() != other.database.has_value() ||
        (!memory && !same_error(memory, other.database))) {
      report(std::string(other.name) + ": " +
             (other.database ? "opened" : describe(other.database.error())) +
             "; memory: " + (memory ? "opened" : describe(memory.error())));
      check(false, "a source opened the image differently from memory");
    }
  }
  if (!memory) {
    return std::nullopt;
  }
  for (const Opened& other : others) {
    check(other.database->header() == memory->header(), "headers differ between sources");
    check(std::ranges::equal(other.database->files(), memory->files()),
          "directories differ between sources");
  }

  Reused reused;
  for (const auto& [id, entry] : memory->files()) {
    check(id == entry.id, "a directory slot is keyed by another id");
    check_entry(*memory, others, piecewise, entry, image.size(), reused);
  }
  return std::move(*memory);
}

}  // namespace marrowvane_dat::fuzz
