// SPDX-License-Identifier: MIT
// CreateProcessW with pipes for the tool's standard output and error, each drained by a
// thread of its own so that neither fills while the other is waited on.
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <windows.h>

#include "tool_process.hpp"

namespace marrowvane_dat::cli_test {
namespace {

// Long enough for the slowest run of the suite under an emulator, short enough that a
// hung child fails its test instead of the whole program's time limit.
constexpr DWORD RUN_TIMEOUT_MS = 120'000;

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + " failed (Windows error " + std::to_string(::GetLastError()) +
                           ")");
}

// Closes the handle when it goes out of scope.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE h) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle(Handle&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
  Handle& operator=(Handle&& other) noexcept {
    reset();
    h_ = std::exchange(other.h_, nullptr);
    return *this;
  }
  ~Handle() { reset(); }
  HANDLE get() const { return h_; }
  void reset() {
    if (h_ != nullptr) {
      ::CloseHandle(h_);
      h_ = nullptr;
    }
  }

 private:
  HANDLE h_ = nullptr;
};

std::wstring widen(const std::string& utf8) {
  if (utf8.empty()) {
    return {};
  }
  const int size = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                         static_cast<int>(utf8.size()), nullptr, 0);
  if (size <= 0) {
    throw std::runtime_error("an argument is not UTF-8: " + utf8);
  }
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                        wide.data(), size);
  return wide;
}

// Appends `arg` so that the child's C runtime splits it back out unchanged: quoted when
// empty or holding blanks or quotes, with backslashes doubled only where they precede a
// quote (their own or the closing one).
void append_quoted(std::wstring& line, const std::wstring& arg) {
  line += L' ';
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += arg;
    return;
  }
  line += L'"';
  std::size_t backslashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      line.append(backslashes * 2 + 1, L'\\');
    } else {
      line.append(backslashes, L'\\');
    }
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, L'\\');
  line += L'"';
}

// The tool as a full Windows path: a build path given as /work/... names the current
// drive's root, which GetFullPathNameW (behind absolute) resolves.
std::wstring program_path() {
  return std::filesystem::absolute(std::filesystem::path(widen(MARROWVANE_DAT_CLI_PATH)))
      .make_preferred()
      .wstring();
}

// A pipe whose `write` end the child inherits and whose `read` end it does not.
struct Pipe {
  Handle read;
  Handle write;
};

Pipe make_pipe() {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE r = nullptr;
  HANDLE w = nullptr;
  if (::CreatePipe(&r, &w, &inherit, 0) == 0) {
    fail("CreatePipe");
  }
  Pipe pipe{Handle(r), Handle(w)};
  if (::SetHandleInformation(r, HANDLE_FLAG_INHERIT, 0) == 0) {
    fail("SetHandleInformation");
  }
  return pipe;
}

Handle open_inheritable(const std::wstring& path) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  Handle h(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (h.get() == nullptr) {
    fail("opening the standard input file");
  }
  return h;
}

// Reads `from` until the writing side is gone.
std::thread drain(HANDLE from, std::string& into) {
  return std::thread([from, &into] {
    char buf[65536];
    DWORD got = 0;
    while (::ReadFile(from, buf, sizeof buf, &got, nullptr) != 0 && got > 0) {
      into.append(buf, got);
    }
  });
}

// Starts `command_line` with the given standard handles; the child's process handle.
Handle start(std::wstring command_line, HANDLE in, HANDLE out, HANDLE err) {
  const std::wstring program = program_path();
  std::wstring line;
  append_quoted(line, program);
  line.erase(0, 1);
  line += command_line;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION info{};
  if (::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                       &startup, &info) == 0) {
    fail("starting " + std::filesystem::path(program).string());
  }
  ::CloseHandle(info.hThread);
  return Handle(info.hProcess);
}

}  // namespace

ToolRun run_tool(const std::vector<std::string>& args, const ToolIo& io) {
  if (io.out == Stdout::Terminal || io.out == Stdout::Full || io.file_size_limit ||
      io.signal_on_output) {
    throw std::logic_error(
        "run_tool: terminals, /dev/full, file size limits and signals are POSIX only");
  }
  std::wstring command_line;
  for (const std::string& arg : args) {
    append_quoted(command_line, widen(arg));
  }
  const Handle in = open_inheritable(io.stdin_file ? io.stdin_file->wstring() : L"NUL");
  Pipe out = make_pipe();
  Pipe err = make_pipe();
  if (io.out == Stdout::ClosedPipe) {
    out.read.reset();
  }
  Handle process = start(std::move(command_line), in.get(), out.write.get(), err.write.get());
  // Only the child holds the writing ends now, so the readers see the end when it ends.
  out.write.reset();
  err.write.reset();

  ToolRun result;
  std::thread err_reader = drain(err.read.get(), result.err);
  std::thread out_reader;
  if (out.read.get() != nullptr) {
    out_reader = drain(out.read.get(), result.out);
  }
  const bool timed_out = ::WaitForSingleObject(process.get(), RUN_TIMEOUT_MS) == WAIT_TIMEOUT;
  if (timed_out) {
    ::TerminateProcess(process.get(), 1);
    ::WaitForSingleObject(process.get(), INFINITE);
  }
  err_reader.join();
  if (out_reader.joinable()) {
    out_reader.join();
  }
  if (timed_out) {
    throw std::runtime_error("the tool was still running after " +
                             std::to_string(RUN_TIMEOUT_MS / 1000) +
                             " s and was ended; its standard error: " + result.err);
  }
  DWORD status = 0;
  if (::GetExitCodeProcess(process.get(), &status) == 0) {
    fail("GetExitCodeProcess");
  }
  result.status = static_cast<int>(status);
  return result;
}

int own_process_id() {
  return static_cast<int>(::GetCurrentProcessId());
}

int ended_process_id() {
  const Handle in = open_inheritable(L"NUL");
  Pipe out = make_pipe();
  Handle process = start(L" --version", in.get(), out.write.get(), out.write.get());
  out.write.reset();
  std::string ignored;
  drain(out.read.get(), ignored).join();
  if (::WaitForSingleObject(process.get(), RUN_TIMEOUT_MS) != WAIT_OBJECT_0) {
    ::TerminateProcess(process.get(), 1);
    throw std::runtime_error("the tool's --version did not end within its time");
  }
  const DWORD pid = ::GetProcessId(process.get());
  // Closing the last handle lets the system forget the process, as reaping does.
  process.reset();
  return static_cast<int>(pid);
}

}  // namespace marrowvane_dat::cli_test
