// SPDX-License-Identifier: MIT
// The process set-up, system texts and the archive probe on Windows.
#include "platform/system.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which they need.
#include <shellapi.h>
#include <winternl.h>

#include "archive_probe.hpp"
#include "platform/windows/text.hpp"
#include "standard_output.hpp"

namespace marrowvane_dat::cli {
namespace windows {

std::wstring widen(std::string_view text) {
  if (text.empty()) {
    return {};
  }
  const int size = static_cast<int>(text.size());
  const int needed = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(needed), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), needed);
  return wide;
}

std::string narrow(std::wstring_view text) {
  if (text.empty()) {
    return {};
  }
  const int size = static_cast<int>(text.size());
  const int needed =
      ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(needed), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, utf8.data(), needed, nullptr, nullptr);
  return utf8;
}

std::string error_text(unsigned long code) {
  wchar_t* text = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  if (length == 0 || text == nullptr) {
    return "unknown error " + std::to_string(code);
  }
  std::wstring_view message(text, length);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                              message.back() == L' ' || message.back() == L'.')) {
    message.remove_suffix(1);
  }
  std::string utf8 = narrow(message);
  ::LocalFree(text);
  return utf8;
}

std::wstring held_path(void* handle) {
  const DWORD needed = ::GetFinalPathNameByHandleW(handle, nullptr, 0, FILE_NAME_NORMALIZED);
  if (needed != 0) {
    std::wstring path(needed, L'\0');
    const DWORD written =
        ::GetFinalPathNameByHandleW(handle, path.data(), needed, FILE_NAME_NORMALIZED);
    if (written != 0 && written < needed) {
      path.resize(written);
      return path;
    }
  }
  // Some systems give up on paths longer than 260 characters here; the object's own
  // name has no such limit. It is "\??\C:\..." or "\Device\...", and both have an
  // extended form.
  std::vector<std::uint8_t> buffer(sizeof(UNICODE_STRING) + 65536);
  ULONG length = 0;
  if (!NT_SUCCESS(::NtQueryObject(handle, ObjectNameInformation, buffer.data(),
                                  static_cast<ULONG>(buffer.size()), &length))) {
    return {};
  }
  UNICODE_STRING name{};
  std::memcpy(&name, buffer.data(), sizeof name);
  if (name.Buffer == nullptr || name.Length == 0) {
    return {};
  }
  const std::wstring_view object(name.Buffer, name.Length / sizeof(wchar_t));
  if (object.starts_with(L"\\??\\")) {
    return L"\\\\?\\" + std::wstring(object.substr(4));
  }
  if (object.starts_with(L"\\")) {
    return L"\\\\?\\GLOBALROOT" + std::wstring(object);
  }
  return {};
}

}  // namespace windows

void prepare_process() noexcept {
  // Bytes pass through unchanged (no line-end translation, no end at a 0x1A byte), and
  // the console decodes what the tool writes as UTF-8.
  ::_setmode(0, _O_BINARY);
  ::_setmode(1, _O_BINARY);
  ::_setmode(2, _O_BINARY);
  ::SetConsoleOutputCP(CP_UTF8);
}

int failed_write_errno() noexcept {
  const int code = errno;
  // The C runtime has no errno for a pipe whose reader has gone and says EINVAL; the
  // system's own code, which it keeps in _doserrno, tells that case apart. Windows
  // says ERROR_NO_DATA (the pipe is being closed) or ERROR_BROKEN_PIPE, Wine
  // ERROR_PIPE_NOT_CONNECTED.
  const unsigned long system_code = _doserrno;
  if (code == EINVAL && (system_code == ERROR_NO_DATA || system_code == ERROR_BROKEN_PIPE ||
                         system_code == ERROR_PIPE_NOT_CONNECTED)) {
    return EPIPE;
  }
  return code;
}

std::vector<std::string> utf8_arguments(int argc, char** argv) {
  // The C runtime's argv is in the ANSI code page, which loses what it cannot show;
  // the wide command line has every character.
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) {
    return std::vector<std::string>(argv, argv + argc);
  }
  std::vector<std::string> arguments;
  for (int i = 0; i < count; ++i) {
    arguments.push_back(windows::narrow(wide[i]));
  }
  ::LocalFree(wide);
  return arguments;
}

std::string errno_text(int code) {
  char buf[256];
  if (::strerror_s(buf, sizeof buf, code) != 0) {
    return "unknown error " + std::to_string(code);
  }
  return buf;
}

ArchiveProbe probe_file(const std::string& path) {
  ArchiveProbe probe;
  const HANDLE file = ::CreateFileW(windows::widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return probe;
  }
  LARGE_INTEGER size{};
  if (::GetFileType(file) == FILE_TYPE_DISK && ::GetFileSizeEx(file, &size) != 0) {
    probe.length = static_cast<std::uint64_t>(size.QuadPart);
    std::array<std::uint8_t, DatHeader::SIZE> raw{};
    OVERLAPPED where{};
    where.Offset = DatHeader::OFFSET;
    DWORD got = 0;
    if (::ReadFile(file, raw.data(), static_cast<DWORD>(raw.size()), &got, &where) != 0 &&
        got == raw.size()) {
      probe.header = parse_stored_header(raw);
    }
  }
  ::CloseHandle(file);
  return probe;
}

std::uint64_t current_process_id() noexcept {
  return ::GetCurrentProcessId();
}

}  // namespace marrowvane_dat::cli
