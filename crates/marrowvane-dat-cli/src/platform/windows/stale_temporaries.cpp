// SPDX-License-Identifier: MIT
// A scan of one held directory for temporaries whose writer is gone.
#include "stale_temporaries.hpp"

#include <string>

#include <io.h>
#include <windows.h>

#include "platform/windows/text.hpp"

namespace marrowvane_dat::cli {
namespace {

// A process that cannot be opened for lack of permission still exists.
bool process_gone(pid_t pid) noexcept {
  const HANDLE process =
      ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) {
    return ::GetLastError() == ERROR_INVALID_PARAMETER;
  }
  DWORD status = 0;
  const bool ended = ::GetExitCodeProcess(process, &status) != 0 && status != STILL_ACTIVE;
  ::CloseHandle(process);
  return ended;
}

}  // namespace

void remove_stale_temporaries(int dir_fd) noexcept {
  try {
    const std::wstring directory =
        windows::held_path(reinterpret_cast<HANDLE>(::_get_osfhandle(dir_fd)));
    if (directory.empty()) {
      return;
    }
    WIN32_FIND_DATAW found{};
    const HANDLE search = ::FindFirstFileW((directory + L"\\.*.part-*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
      return;
    }
    const auto self = static_cast<pid_t>(::GetCurrentProcessId());
    do {
      const auto owner = temporary_owner(windows::narrow(found.cFileName));
      // Only plain files: a link or directory of that name is left alone.
      if (!owner || *owner == self || !process_gone(*owner) ||
          (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
              0) {
        continue;
      }
      ::DeleteFileW((directory + L"\\" + found.cFileName).c_str());
    } while (::FindNextFileW(search, &found) != 0);
    ::FindClose(search);
  } catch (...) {
    // Best effort: a failed allocation leaves the temporaries for the next run.
  }
}

}  // namespace marrowvane_dat::cli
