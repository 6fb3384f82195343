// SPDX-License-Identifier: MIT
// The archive layer on Windows: C runtime descriptors over handles opened for shared
// reading, ReadFile at an explicit offset, file mappings and the system's own messages.
#include "platform/file_io.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "marrowvane_dat/utils.hpp"
#include "utf8.hpp"

namespace marrowvane_dat {
namespace {

// Paths this long only open in the system's extended form ("\\?\C:\..."), which takes
// absolute paths with backslashes only; the margin leaves room for what the system
// appends to a directory's name.
constexpr std::size_t SHORT_PATH_LIMIT = 248;

// The largest single ReadFile: its count is 32 bits.
constexpr std::size_t MAX_READ = std::size_t{1} << 30;

IoError last_error() noexcept {
  return IoError::from_errno(static_cast<int>(::GetLastError()));
}

HANDLE handle_of(int fd) noexcept {
  // An invalid descriptor would reach the C runtime's invalid-parameter handler.
  if (fd < 0) {
    return INVALID_HANDLE_VALUE;
  }
  return reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
}

std::optional<std::uint64_t> length_of(HANDLE handle) noexcept {
  LARGE_INTEGER size{};
  if (handle == INVALID_HANDLE_VALUE || ::GetFileSizeEx(handle, &size) == 0 || size.QuadPart < 0) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(size.QuadPart);
}

// `path` as the system takes it: unchanged when short, else absolute in extended form.
std::wstring system_path(const std::filesystem::path& path) {
  const std::wstring& native = path.native();
  if (native.size() < SHORT_PATH_LIMIT || native.starts_with(L"\\\\?\\")) {
    return native;
  }
  const DWORD needed = ::GetFullPathNameW(native.c_str(), 0, nullptr, nullptr);
  if (needed == 0) {
    return native;
  }
  std::wstring full(needed, L'\0');
  const DWORD written = ::GetFullPathNameW(native.c_str(), needed, full.data(), nullptr);
  if (written == 0 || written >= needed) {
    return native;
  }
  full.resize(written);
  if (full.starts_with(L"\\\\")) {
    return L"\\\\?\\UNC\\" + full.substr(2);
  }
  return L"\\\\?\\" + full;
}

// One ReadFile of up to `buf.size()` bytes at `offset`: the bytes read, 0 at the end.
// The offset travels with the call, so no read depends on the handle's position and
// threads never disturb each other's reads.
std::expected<std::size_t, IoError> read_once_at(HANDLE handle, std::span<std::uint8_t> buf,
                                                 std::uint64_t offset) noexcept {
  if (handle == INVALID_HANDLE_VALUE) {
    return std::unexpected(IoError::from_errno(ERROR_INVALID_HANDLE));
  }
  OVERLAPPED where{};
  where.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFU);
  where.OffsetHigh = static_cast<DWORD>(offset >> 32U);
  const auto count = static_cast<DWORD>(std::min(buf.size(), MAX_READ));
  DWORD got = 0;
  if (::ReadFile(handle, buf.data(), count, &got, &where) == 0) {
    const DWORD code = ::GetLastError();
    if (code == ERROR_HANDLE_EOF) {
      return 0;
    }
    return std::unexpected(IoError::from_errno(static_cast<int>(code)));
  }
  return got;
}

}  // namespace

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) {
    ::_close(fd_);
  }
}

FileSource::FileSource(UniqueFd fd) noexcept
    : fd_(std::move(fd)), length_(length_of(handle_of(fd_.get()))) {}

std::expected<void, IoError> FileSource::read_exact_at(std::span<std::uint8_t> buf,
                                                       std::uint64_t offset) const {
  return read_exact_at_compat(fd_.get(), buf, offset);
}

std::expected<std::size_t, IoError> FileSource::read_vectored_at(
    std::span<const std::span<std::uint8_t>> pieces, std::uint64_t offset) const {
  // ReadFile has no scatter form for ordinary (buffered) handles: one read per piece,
  // each at its own offset, until the pieces are full or the data ends.
  const HANDLE handle = handle_of(fd_.get());
  std::size_t done = 0;
  for (const std::span<std::uint8_t> piece : pieces) {
    for (std::size_t filled = 0; filled < piece.size();) {
      const auto got = read_once_at(handle, piece.subspan(filled), offset + done);
      if (!got) {
        if (done == 0) {
          return std::unexpected(got.error());
        }
        return done;
      }
      if (*got == 0) {
        return done;
      }
      filled += *got;
      done += *got;
    }
  }
  return done;
}

std::size_t FileSource::read_cached_at(std::span<const std::span<std::uint8_t>> /*pieces*/,
                                       std::uint64_t /*offset*/) const noexcept {
  // ReadFile cannot be told to give only what the system holds.
  return 0;
}

std::expected<std::unique_ptr<MemorySource>, IoError> MemorySource::map(int fd) {
  const HANDLE file = handle_of(fd);
  LARGE_INTEGER size{};
  if (file == INVALID_HANDLE_VALUE) {
    return std::unexpected(IoError::from_errno(ERROR_INVALID_HANDLE));
  }
  if (::GetFileSizeEx(file, &size) == 0) {
    return std::unexpected(last_error());
  }
  if (size.QuadPart == 0) {
    // The system refuses to map an empty file; it maps to no bytes.
    return std::make_unique<MemorySource>(std::span<const std::uint8_t>{});
  }
  const HANDLE mapping = ::CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (mapping == nullptr) {
    return std::unexpected(last_error());
  }
  const void* address = ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
  const IoError failure = last_error();
  // The view keeps the mapping object alive on its own.
  ::CloseHandle(mapping);
  if (address == nullptr) {
    return std::unexpected(failure);
  }
  const std::span<const std::uint8_t> bytes(static_cast<const std::uint8_t*>(address),
                                            static_cast<std::size_t>(size.QuadPart));
  try {
    std::shared_ptr<const void> view(address, [](const void* start) { ::UnmapViewOfFile(start); });
    return std::make_unique<MemorySource>(bytes, std::move(view));
  } catch (const std::bad_alloc&) {
    // The shared pointer unmaps when it cannot take the view over; nothing else holds it.
    return std::unexpected(IoError::out_of_memory());
  }
}

std::expected<void, IoError> read_exact_at_compat(int fd, std::span<std::uint8_t> buf,
                                                  std::uint64_t offset) noexcept {
  const HANDLE handle = handle_of(fd);
  if (buf.empty()) {
    return {};
  }
  std::size_t done = 0;
  while (done < buf.size()) {
    const auto got = read_once_at(handle, buf.subspan(done), offset + done);
    if (!got) {
      return std::unexpected(got.error());
    }
    if (*got == 0) {
      return std::unexpected(IoError::unexpected_eof());
    }
    done += *got;
  }
  return {};
}

namespace detail {

std::expected<OpenedFile, DatError> open_archive_file(const std::filesystem::path& path) {
  // The system would stop at a NUL and open some other file.
  if (path.native().find(L'\0') != std::wstring::npos) {
    return std::unexpected(DatError::PathError{path, IoError::from_errno(ERROR_INVALID_NAME)});
  }
  // Other readers may share the file, writers may not, so nobody shortens it under a
  // mapping or a read; it may be deleted while open, as on POSIX systems. A directory
  // cannot be opened this way and fails here.
  const HANDLE handle =
      ::CreateFileW(system_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return std::unexpected(DatError::PathError{path, last_error()});
  }
  const int fd = ::_open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_RDONLY | _O_BINARY);
  if (fd < 0) {
    ::CloseHandle(handle);
    return std::unexpected(DatError::PathError{path, IoError::out_of_memory()});
  }
  UniqueFd owned(fd);
  if (::GetFileType(handle) != FILE_TYPE_DISK) {
    return std::unexpected(DatError::PathError{path, IoError::unsupported_file_type()});
  }
  const auto length = length_of(handle);
  if (!length) {
    return std::unexpected(DatError::PathError{path, last_error()});
  }
  return OpenedFile{std::move(owned), *length};
}

std::expected<void, IoError> seek_to(int fd, std::uint64_t offset) noexcept {
  const HANDLE handle = handle_of(fd);
  LARGE_INTEGER where{};
  where.QuadPart = static_cast<LONGLONG>(offset);
  if (handle == INVALID_HANDLE_VALUE) {
    return std::unexpected(IoError::from_errno(ERROR_INVALID_HANDLE));
  }
  if (::SetFilePointerEx(handle, where, nullptr, FILE_BEGIN) == 0) {
    return std::unexpected(last_error());
  }
  return {};
}

std::expected<std::size_t, IoError> read_some(int fd, std::span<std::uint8_t> buf) noexcept {
  const HANDLE handle = handle_of(fd);
  if (handle == INVALID_HANDLE_VALUE) {
    return std::unexpected(IoError::from_errno(ERROR_INVALID_HANDLE));
  }
  DWORD got = 0;
  const auto count = static_cast<DWORD>(std::min(buf.size(), MAX_READ));
  if (::ReadFile(handle, buf.data(), count, &got, nullptr) == 0) {
    const DWORD code = ::GetLastError();
    if (code == ERROR_HANDLE_EOF || code == ERROR_BROKEN_PIPE) {
      return 0;
    }
    return std::unexpected(IoError::from_errno(static_cast<int>(code)));
  }
  return got;
}

std::optional<std::filesystem::path> environment_path(const char* name) {
  const std::wstring wide_name(name, name + std::char_traits<char>::length(name));
  const wchar_t* value = ::_wgetenv(wide_name.c_str());
  if (value == nullptr) {
    return std::nullopt;
  }
  const std::wstring_view text(value);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool high = text[i] >= 0xD800 && text[i] <= 0xDBFF;
    const bool low = text[i] >= 0xDC00 && text[i] <= 0xDFFF;
    if (low || (high && (i + 1 == text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF))) {
      return std::nullopt;
    }
    i += high ? 1 : 0;
  }
  return std::filesystem::path(text);
}

std::string os_message(int code) {
  wchar_t* text = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  if (length == 0 || text == nullptr) {
    return "Unknown error " + std::to_string(code);
  }
  std::wstring_view message(text, length);
  while (!message.empty() &&
         (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' ')) {
    message.remove_suffix(1);
  }
  std::string utf8 = utf8_lossy(message);
  ::LocalFree(text);
  return utf8;
}

std::string_view os_error_kind(int code) noexcept {
  switch (static_cast<DWORD>(code)) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return "NotFound";
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return "PermissionDenied";
    case ERROR_DIRECTORY:
      return "NotADirectory";
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER:
      return "InvalidInput";
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return "OutOfMemory";
    case ERROR_FILENAME_EXCED_RANGE:
      return "InvalidFilename";
    default:
      return "Uncategorized";
  }
}

}  // namespace detail
}  // namespace marrowvane_dat
