// SPDX-License-Identifier: MIT
// Shared fixtures of the unit tests: opening images, temporary files, instrumented sources.
#pragma once

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <stdlib.h>
#else
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include "marrowvane_dat/archive_source.hpp"
#include "marrowvane_dat/dat_database.hpp"

namespace marrowvane_dat::test {

// The few system calls the tests make themselves, on either platform.
#ifdef _WIN32
inline int open_read_only(const std::filesystem::path& path) {
  return ::_wopen(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}
inline void set_env(const char* name, const std::string& value) {
  ::_putenv_s(name, value.c_str());
}
inline void unset_env(const char* name) {
  ::_putenv_s(name, "");
}
// What a read through descriptor -1 reports (ERROR_INVALID_HANDLE).
inline constexpr int BAD_DESCRIPTOR_ERROR = 6;
// What a path with a NUL byte is refused with (ERROR_INVALID_NAME).
inline constexpr int INVALID_NAME_ERROR = 123;
// Each Windows release (and Wine) words its messages its own way, so the tests take the
// text of "file not found" (code 2 there as with errno) from the system.
inline std::string not_found_text() {
  const std::string text = IoError::from_errno(2).to_string();
  return text.substr(0, text.rfind(" (os error"));
}
// A path through a missing directory (ERROR_PATH_NOT_FOUND) and its full text.
inline constexpr int MISSING_DIRECTORY_ERROR = 3;
inline std::string missing_directory_text() {
  return IoError::from_errno(MISSING_DIRECTORY_ERROR).to_string();
}
// The full text of an OS error as the system words it.
inline std::string os_text(int code) {
  return IoError::from_errno(code).to_string();
}
// Reads at an offset move a handle's position on Windows (nothing depends on it).
inline constexpr bool READS_KEEP_POSITION = false;
#else
inline int open_read_only(const std::filesystem::path& path) {
  return ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
}
inline void set_env(const char* name, const std::string& value) {
  ::setenv(name, value.c_str(), 1);
}
inline void unset_env(const char* name) {
  ::unsetenv(name);
}
inline constexpr int BAD_DESCRIPTOR_ERROR = EBADF;
inline constexpr int INVALID_NAME_ERROR = EINVAL;
inline std::string not_found_text() {
  return "No such file or directory";
}
inline constexpr int MISSING_DIRECTORY_ERROR = ENOENT;
inline std::string missing_directory_text() {
  return "No such file or directory (os error 2)";
}
// The errno texts the tests use, written out so that the rendering is checked too.
inline std::string os_text(int code) {
  switch (code) {
    case EACCES:
      return "Permission denied (os error 13)";
    case EIO:
      return "Input/output error (os error 5)";
    default:
      return "errno " + std::to_string(code) + " has no text here";
  }
}
inline constexpr bool READS_KEEP_POSITION = true;
#endif

inline Result<DatDatabase> open_bytes(std::vector<std::uint8_t> bytes) {
  return DatDatabase::open(std::make_unique<MemorySource>(std::move(bytes)));
}

// A file under the test's temporary directory, removed when it goes out of scope.
class TempFile {
 public:
  explicit TempFile(std::span<const std::uint8_t> bytes) : path_(unique_path()) {
    std::ofstream out(path_, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),  // NOLINT: ofstream takes char
              static_cast<std::streamsize>(bytes.size()));
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }

  static std::filesystem::path unique_path() {
    static std::atomic<unsigned> counter{0};
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info != nullptr ? std::string(info->test_suite_name()) + "." + info->name()
                                       : std::string("marrowvane");
    // Parameterized tests have a '/' in their names.
    std::replace(name.begin(), name.end(), '/', '_');
    return std::filesystem::path(::testing::TempDir()) /
           (name + "." + std::to_string(::getpid()) + "." + std::to_string(counter++) + ".dat");
  }

 private:
  std::filesystem::path path_;
};

// The four ways a caller opens an archive: its file read with pread or mapped, its
// bytes borrowed or handed over.
inline constexpr std::string_view EVERY_SOURCE[] = {"pread", "mapped", "borrowed", "owned"};

// Opens `image` the way `source` (one of EVERY_SOURCE) names; `file` holds the same
// bytes, and both outlive the database.
inline Result<DatDatabase> open_as(std::string_view source, const std::vector<std::uint8_t>& image,
                                   const TempFile& file) {
  if (source == "pread") return DatDatabase::open(file.path());
  if (source == "mapped") return DatDatabase::open_mapped(file.path());
  if (source == "borrowed") return DatDatabase::open_borrowed(image);
  return DatDatabase::open_owned(image);
}

// A memory source that records every positional read and can fail chosen ones.
class RecordingSource final : public ArchiveSource {
 public:
  struct Read {
    std::uint64_t offset;
    std::size_t size;
  };
  using Fault = std::function<std::optional<IoError>(std::uint64_t offset, std::size_t size)>;

  RecordingSource(std::vector<std::uint8_t> bytes, std::vector<Read>* log, Fault fault = {})
      : inner_(std::move(bytes)), log_(log), fault_(std::move(fault)) {}

  [[nodiscard]] std::expected<void, IoError> read_exact_at(std::span<std::uint8_t> buf,
                                                           std::uint64_t offset) const override {
    if (log_ != nullptr) {
      log_->push_back({offset, buf.size()});
    }
    if (fault_) {
      if (auto error = fault_(offset, buf.size())) {
        return std::unexpected(*error);
      }
    }
    return inner_.read_exact_at(buf, offset);
  }
  // One logged read for all the pieces; a fault fails the whole read, and an end of
  // data leaves the pieces filled as far as the bytes go.
  [[nodiscard]] std::expected<std::size_t, IoError> read_vectored_at(
      std::span<const std::span<std::uint8_t>> pieces, std::uint64_t offset) const override {
    std::size_t total = 0;
    for (const auto piece : pieces) total += piece.size();
    if (log_ != nullptr) {
      log_->push_back({offset, total});
    }
    if (fault_) {
      if (auto error = fault_(offset, total)) {
        return std::unexpected(*error);
      }
    }
    const std::span<const std::uint8_t> bytes =
        inner_.view_at(0, static_cast<std::size_t>(*inner_.size_hint()));
    std::size_t done = 0;
    for (const auto piece : pieces) {
      const std::uint64_t at = offset + done;
      const std::size_t count =
          at >= bytes.size() ? 0 : std::min<std::size_t>(piece.size(), bytes.size() - at);
      if (count > 0) std::memcpy(piece.data(), bytes.data() + at, count);
      done += count;
      if (count < piece.size()) break;
    }
    return done;
  }
  [[nodiscard]] std::optional<std::uint64_t> size_hint() const noexcept override {
    return inner_.size_hint();
  }

 private:
  MemorySource inner_;
  std::vector<Read>* log_;
  Fault fault_;
};

inline std::vector<std::uint8_t> bytes_of(std::string_view text) {
  return {text.begin(), text.end()};
}

}  // namespace marrowvane_dat::test
