// SPDX-License-Identifier: MIT
// Fails every allocation of a call in turn and checks that the library answers each
// failure with an error, never an exception: a process that reads hostile archives
// under a memory limit must be able to report the archive and go on.
//
// A program of its own: it replaces the global operator new, which would also fail
// the allocations of a test framework.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include <unistd.h>

#include "marrowvane_dat/dat_database.hpp"
#include "marrowvane_dat/file_type/font.hpp"
#include "marrowvane_dat_testkit/archive_builder.hpp"
#include "marrowvane_dat_testkit/font_writer.hpp"

namespace {

// Counts allocations while armed; the one numbered `fail_at` throws.
long allocations = 0;
long fail_at = -1;

void* allocate(std::size_t size) {
  if (fail_at >= 0 && allocations++ == fail_at) {
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) {
    return p;
  }
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) {
  return allocate(size);
}
void* operator new[](std::size_t size) {
  return allocate(size);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
// The standard library's temporary buffers ask without exceptions; they count too.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}

namespace {

using marrowvane_dat::DatDatabase;
using marrowvane_dat::DatError;
using marrowvane_dat::Result;

int failures = 0;

void fail(const std::string& what) {
  std::fprintf(stderr, "FAILED: %s\n", what.c_str());
  ++failures;
}

// Runs `call` with the n-th allocation failing, for n = 0, 1, ... until a run
// allocates fewer than n times; every run must return either the reference result
// (what `call` gives without failures) or an error, and must not throw.
template <class T>
void sweep(const std::string& name, const std::function<Result<T>()>& call,
           const std::function<bool(const T&, const T&)>& same) {
  const Result<T> reference = call();
  if (!reference) {
    fail(name + ": fails without injected failures: " + reference.error().to_string());
    return;
  }
  for (long n = 0;; ++n) {
    allocations = 0;
    fail_at = n;
    bool threw = false;
    bool ok = true;
    try {
      const Result<T> got = call();
      fail_at = -1;
      ok = !got || same(*got, *reference);
    } catch (...) {
      fail_at = -1;
      threw = true;
    }
    if (threw) {
      fail(name + ": threw when allocation " + std::to_string(n) + " failed");
      return;
    }
    if (!ok) {
      fail(name + ": gave a wrong result when allocation " + std::to_string(n) + " failed");
      return;
    }
    if (allocations <= n) {
      std::printf("ok: %s (%ld allocations)\n", name.c_str(), n);
      return;
    }
  }
}

template <class T>
bool equal(const T& a, const T& b) {
  return a == b;
}

}  // namespace

int main() {
  using namespace marrowvane_dat;
  testkit::ArchiveBuilder builder(256);
  std::vector<std::uint8_t> text(5000);
  for (std::size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<std::uint8_t>("marrowvane "[i % 11]);
  }
  const std::vector<std::uint8_t> font = testkit::encode_font(testkit::make_font(0x40000001, 40));
  builder.add_files({{.id = 0x40000001, .content = font, .compressed = false},
                     {.id = 0x40000002, .content = font, .compressed = true},
                     {.id = 0x06000001, .content = text, .compressed = true},
                     {.id = 0x06000002, .content = text, .compressed = false}});
  const std::vector<std::uint8_t> image = builder.bytes();
  const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                     ("marrowvane-alloc-" + std::to_string(::getpid()) + ".dat");
  builder.write_to(path);

  const auto same_db = [](const DatDatabase& a, const DatDatabase& b) {
    return a.header() == b.header() && a.files().size() == b.files().size();
  };
  sweep<DatDatabase>(
      "open", [&] { return DatDatabase::open(path); }, same_db);
  sweep<DatDatabase>(
      "open_mapped", [&] { return DatDatabase::open_mapped(path); }, same_db);
  sweep<DatDatabase>(
      "open_borrowed", [&] { return DatDatabase::open_borrowed(image); }, same_db);
  sweep<DatDatabase>(
      "open_owned",
      [&]() -> Result<DatDatabase> {
        // The copy handed over is the caller's allocation, answered like the library's.
        std::vector<std::uint8_t> copy;
        try {
          copy = image;
        } catch (const std::bad_alloc&) {
          return std::unexpected(IoError::out_of_memory());
        }
        return DatDatabase::open_owned(std::move(copy));
      },
      same_db);

  auto opened = DatDatabase::open(path);
  if (!opened) {
    fail("open: " + opened.error().to_string());
    return 1;
  }
  const DatDatabase& db = *opened;
  using Bytes = std::vector<std::uint8_t>;
  for (const std::uint32_t id : {0x40000001U, 0x40000002U, 0x06000001U, 0x06000002U}) {
    const std::string at = " of " + std::to_string(id);
    sweep<Bytes>(
        "get_file" + at, [&] { return db.get_file(id); }, equal<Bytes>);
    sweep<Bytes>(
        "get_file_into" + at,
        [&]() -> Result<Bytes> {
          Bytes out;
          if (auto read = db.get_file_into(id, out); !read) {
            return std::unexpected(std::move(read.error()));
          }
          return out;
        },
        equal<Bytes>);
    Bytes room(64 << 10);
    sweep<std::size_t>(
        "get_file_to" + at, [&] { return db.get_file_to(id, room); }, equal<std::size_t>);
    const DatFileEntry& entry = *db.find(id);
    sweep<Bytes>(
        "read_file_data" + at, [&] { return db.read_file_data(entry.offset, entry.size); },
        equal<Bytes>);
    sweep<std::uint32_t>(
        "file_size_bound" + at, [&] { return db.file_size_bound(id); }, equal<std::uint32_t>);
    sweep<std::vector<std::uint32_t>>(
        "block_offsets" + at, [&] { return db.block_offsets(id); },
        equal<std::vector<std::uint32_t>>);
  }
  for (const std::uint32_t id : {0x40000001U, 0x40000002U, 0x06000001U, 0x40000099U}) {
    sweep<Font>(
        "read_font of " + std::to_string(id),
        [&]() -> Result<Font> {
          auto read = read_font(db, id);
          // An error the call gives without injected failures is its result here.
          if (!read && read.error().kind() != DatErrorKind::Io) {
            return Font{};
          }
          return read;
        },
        equal<Font>);
  }
  std::filesystem::remove(path);
  std::printf("%d failed\n", failures);
  return failures == 0 ? 0 : 1;
}
