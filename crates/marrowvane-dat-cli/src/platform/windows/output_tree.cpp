// SPDX-License-Identifier: MIT
// Output files on Windows: every directory below the output directory held open
// (so it cannot be renamed or removed while files are written into it) and opened
// without following reparse points (symbolic links, junctions), a temporary file per
// write created where nothing exists yet, and a rename that does or does not replace.
#include "output_tree.hpp"

#include <vector>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "platform/windows/text.hpp"
#include "stale_temporaries.hpp"
#include "standard_output.hpp"
#include "table.hpp"

namespace marrowvane_dat::cli {
namespace {

namespace fs = std::filesystem;
using windows::error_text;
using windows::widen;

constexpr std::size_t WRITE_CHUNK = std::size_t{1} << 20;
// Temporary names are unique per process and write; a name left by a crashed run is
// skipped by CREATE_NEW, a few times at most.
constexpr int TEMP_NAME_ATTEMPTS = 16;

std::string failure(std::string_view what, const fs::path& shown, DWORD code) {
  return path_text(shown) + ": " + std::string(what) + ": " + error_text(code);
}

HANDLE handle_of(int fd) noexcept {
  return fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
}

// The directory held by `dir_fd` as a full path in the system's extended form, which
// has no length limit and takes every name literally; empty when the system cannot
// tell.
std::wstring path_of(int dir_fd) {
  return windows::held_path(handle_of(dir_fd));
}

// `name` in the directory held by `dir_fd`; empty when that directory's path is
// unknown, so that nothing is ever placed relative to the current drive instead.
std::wstring child(int dir_fd, std::string_view name) {
  std::wstring directory = path_of(dir_fd);
  if (directory.empty()) {
    return directory;
  }
  return directory + L"\\" + widen(name);
}

// A path the user gave, made absolute and in extended form.
std::wstring extended(const fs::path& path) {
  const std::wstring& native = path.native();
  const DWORD needed = ::GetFullPathNameW(native.c_str(), 0, nullptr, nullptr);
  std::wstring full(needed, L'\0');
  const DWORD written = ::GetFullPathNameW(native.c_str(), needed, full.data(), nullptr);
  if (written == 0 || written >= needed) {
    return native;
  }
  full.resize(written);
  if (full.starts_with(L"\\\\?\\")) {
    return full;
  }
  if (full.starts_with(L"\\\\")) {
    return L"\\\\?\\UNC\\" + full.substr(2);
  }
  return L"\\\\?\\" + full;
}

// Makes the directory `full` (in extended form, so no length limit applies) and every
// missing parent: ERROR_SUCCESS, or the code of the first level that cannot be made.
DWORD make_directories(const std::wstring& full) {
  const auto make = [&](std::size_t end) -> DWORD {
    if (::CreateDirectoryW(full.substr(0, end).c_str(), nullptr) != 0) {
      return ERROR_SUCCESS;
    }
    const DWORD code = ::GetLastError();
    return code == ERROR_ALREADY_EXISTS ? ERROR_SUCCESS : code;
  };
  // Back up to the deepest level that exists or can be made, then make those below.
  std::vector<std::size_t> ends{full.size()};
  for (;;) {
    const DWORD code = make(ends.back());
    if (code == ERROR_SUCCESS) {
      ends.pop_back();
      break;
    }
    const std::size_t cut = full.rfind(L'\\', ends.back() - 1);
    // The "\\?\" prefix is no level of its own.
    if (code != ERROR_PATH_NOT_FOUND || cut == std::wstring::npos || cut < 4) {
      return code;
    }
    ends.push_back(cut);
  }
  for (; !ends.empty(); ends.pop_back()) {
    if (const DWORD code = make(ends.back()); code != ERROR_SUCCESS) {
      return code;
    }
  }
  return ERROR_SUCCESS;
}

// Paths compare as the file system does, without regard to case.
bool same_path(const std::wstring& a, const std::wstring& b) noexcept {
  return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

enum class DirectoryProblem : std::uint8_t { None, Link, NotDirectory };

struct OpenedDirectory {
  UniqueFd fd;
  DirectoryProblem problem = DirectoryProblem::None;
  DWORD error = ERROR_SUCCESS;
};

// Opens the directory `path`; with `no_follow` a reparse point in its place is
// reported, never entered. Others may read and write in it but not move or delete it.
OpenedDirectory open_directory(const std::wstring& path, bool no_follow) {
  OpenedDirectory opened;
  if (path.empty()) {
    opened.error = ERROR_PATH_NOT_FOUND;
    return opened;
  }
  const HANDLE handle = ::CreateFileW(
      path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | (no_follow ? FILE_FLAG_OPEN_REPARSE_POINT : 0), nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    opened.error = ::GetLastError();
    return opened;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileInformationByHandle(handle, &info) == 0) {
    opened.error = ::GetLastError();
    ::CloseHandle(handle);
    return opened;
  }
  // Some systems follow a symbolic link even when asked not to: then the directory
  // held is not the one named, and its own attributes show no reparse point.
  if (no_follow && ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
                    !same_path(windows::held_path(handle), path))) {
    opened.problem = DirectoryProblem::Link;
  } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    opened.problem = DirectoryProblem::NotDirectory;
  }
  if (opened.problem != DirectoryProblem::None) {
    ::CloseHandle(handle);
    return opened;
  }
  const int fd = ::_open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_RDONLY);
  if (fd < 0) {
    ::CloseHandle(handle);
    opened.error = ERROR_TOO_MANY_OPEN_FILES;
    return opened;
  }
  opened.fd = UniqueFd(fd);
  return opened;
}

std::string directory_failure(const OpenedDirectory& opened, const fs::path& shown) {
  switch (opened.problem) {
    case DirectoryProblem::Link:
      return path_text(shown) + ": is a symbolic link or junction; refusing to follow it";
    case DirectoryProblem::NotDirectory:
      return path_text(shown) + ": exists and is not a directory";
    case DirectoryProblem::None:
      break;
  }
  return failure("cannot open directory", shown, opened.error);
}

bool missing(DWORD code) noexcept {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

}  // namespace

std::expected<OutputTree, std::string> OutputTree::open(const fs::path& path) {
  const std::wstring full = extended(path);
  const DWORD attributes = ::GetFileAttributesW(full.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return std::unexpected(path_text(path) + ": exists and is not a directory");
  }
  // A drive's root exists but cannot be "made": only what is missing is made.
  if (const DWORD code =
          attributes == INVALID_FILE_ATTRIBUTES ? make_directories(full) : ERROR_SUCCESS;
      code != ERROR_SUCCESS) {
    return std::unexpected(failure("cannot create directory", path, code));
  }
  // The directory itself is the user's choice and may be reached through a link.
  OpenedDirectory opened = open_directory(full, false);
  if (!opened.fd) {
    return std::unexpected(directory_failure(opened, path));
  }
  return OutputTree(path, std::move(opened.fd));
}

std::expected<UniqueFd, std::string> OutputTree::subdir(std::string_view name, bool create) const {
  const fs::path where = shown(name);
  const std::wstring full = child(fd_.get(), name);
  if (full.empty()) {
    return std::unexpected(path_text(where) +
                           ": cannot open directory: the system cannot tell where its parent is");
  }
  if (create && ::CreateDirectoryW(full.c_str(), nullptr) == 0 &&
      ::GetLastError() != ERROR_ALREADY_EXISTS) {
    return std::unexpected(failure("cannot create directory", where, ::GetLastError()));
  }
  OpenedDirectory opened = open_directory(full, true);
  if (!opened.fd) {
    if (opened.problem == DirectoryProblem::None && missing(opened.error) && !create) {
      return UniqueFd();
    }
    return std::unexpected(directory_failure(opened, where));
  }
  return std::move(opened.fd);
}

bool name_taken(int dir_fd, std::string_view name) noexcept {
  try {
    const std::wstring full = child(dir_fd, name);
    // The attributes of a link are its own; nothing is followed. A name that cannot be
    // looked up counts as taken, so nothing is written on a guess.
    return full.empty() || ::GetFileAttributesW(full.c_str()) != INVALID_FILE_ATTRIBUTES ||
           !missing(::GetLastError());
  } catch (...) {
    return true;
  }
}

std::expected<WriteOutcome, std::string> write_file_atomically(int dir_fd, std::string_view name,
                                                               std::span<const std::uint8_t> bytes,
                                                               Existing existing,
                                                               const fs::path& shown,
                                                               const std::atomic<bool>* stop) {
  const std::wstring directory = path_of(dir_fd);
  if (directory.empty()) {
    return std::unexpected(failure("cannot create a temporary file", shown, ERROR_PATH_NOT_FOUND));
  }
  std::wstring temp;
  HANDLE file = INVALID_HANDLE_VALUE;
  DWORD code = ERROR_SUCCESS;
  for (int attempt = 0; attempt < TEMP_NAME_ATTEMPTS && file == INVALID_HANDLE_VALUE; ++attempt) {
    temp = directory + L"\\" + widen(temporary_name(name));
    // CREATE_NEW fails on any existing name, a link included, so nothing is written
    // through one.
    file = ::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    code = ::GetLastError();
    if (file == INVALID_HANDLE_VALUE && code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) {
      break;
    }
  }
  if (file == INVALID_HANDLE_VALUE) {
    return std::unexpected(failure("cannot create a temporary file", shown, code));
  }
  const auto abandon = [&](std::string reason) -> std::expected<WriteOutcome, std::string> {
    if (file != INVALID_HANDLE_VALUE) {
      ::CloseHandle(file);
      file = INVALID_HANDLE_VALUE;
    }
    ::DeleteFileW(temp.c_str());
    return std::unexpected(std::move(reason));
  };
  for (std::size_t done = 0; done < bytes.size();) {
    if (stop != nullptr && stop->load(std::memory_order_relaxed)) {
      return abandon(path_text(shown) + ": interrupted while writing");
    }
    const auto count = static_cast<DWORD>(std::min(WRITE_CHUNK, bytes.size() - done));
    DWORD written = 0;
    if (::WriteFile(file, bytes.data() + done, count, &written, nullptr) == 0 || written == 0) {
      return abandon(failure("cannot write", shown, ::GetLastError()));
    }
    done += written;
  }
  if (::CloseHandle(file) == 0) {
    file = INVALID_HANDLE_VALUE;
    return abandon(failure("cannot write", shown, ::GetLastError()));
  }
  file = INVALID_HANDLE_VALUE;
  const std::wstring target = directory + L"\\" + widen(name);
  if (existing == Existing::Replace) {
    // A rename replaces the name itself; a link in its place is replaced, not followed.
    if (::MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) == 0) {
      return abandon(failure("cannot replace", shown, ::GetLastError()));
    }
    return WriteOutcome::Written;
  }
  if (::MoveFileExW(temp.c_str(), target.c_str(), 0) == 0) {
    code = ::GetLastError();
    if (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS) {
      ::DeleteFileW(temp.c_str());
      return WriteOutcome::Exists;
    }
    return abandon(failure("cannot create", shown, code));
  }
  return WriteOutcome::Written;
}

}  // namespace marrowvane_dat::cli
