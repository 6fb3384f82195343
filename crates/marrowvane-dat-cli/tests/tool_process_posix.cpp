// SPDX-License-Identifier: MIT
// fork/exec with pipes (or a pseudo-terminal) for the tool's standard output and error.
#include "tool_process.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace marrowvane_dat::cli_test {
namespace {

struct Pipe {
  int read = -1;
  int write = -1;
};

Pipe make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe2 failed");
  }
  return {fds[0], fds[1]};
}

// A pseudo-terminal: the master end to read from, the slave end for the child.
Pipe make_terminal() {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
    throw std::runtime_error("posix_openpt failed");
  }
  const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) {
    throw std::runtime_error("opening the terminal's slave end failed");
  }
  return {master, slave};
}

// In the child: wire up the descriptors and exec; never returns.
[[noreturn]] void exec_tool(const std::vector<std::string>& args, const ToolIo& io, int out_fd,
                            int err_fd) {
  const int in_fd =
      io.stdin_file ? ::open(io.stdin_file->c_str(), O_RDONLY) : ::open("/dev/null", O_RDONLY);
  ::dup2(in_fd, STDIN_FILENO);
  ::dup2(out_fd, STDOUT_FILENO);
  ::dup2(err_fd, STDERR_FILENO);
  if (io.file_size_limit) {
    const rlimit limit{*io.file_size_limit, *io.file_size_limit};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, SIG_IGN);
  }
  std::vector<char*> argv;
  std::string program = MARROWVANE_DAT_CLI_PATH;
  argv.push_back(program.data());
  std::vector<std::string> copies = args;
  for (std::string& arg : copies) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  ::execv(program.c_str(), argv.data());
  ::_exit(127);
}

int wait_for(pid_t pid) {
  int raw = 0;
  while (::waitpid(pid, &raw, 0) < 0) {
    if (errno != EINTR) {
      throw std::runtime_error("waitpid failed");
    }
  }
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

// Reads every open descriptor of `fds` into its string until all reach end of file
// (a terminal's master end reports EIO once the child's side is closed). Calls
// `on_output` once, when the first bytes arrive.
template <class F>
void drain(std::vector<std::pair<int, std::string*>> fds, F on_output) {
  bool first = true;
  while (!fds.empty()) {
    std::vector<pollfd> polls;
    for (const auto& [fd, sink] : fds) {
      polls.push_back({fd, POLLIN, 0});
    }
    if (::poll(polls.data(), polls.size(), -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw std::runtime_error("poll failed");
    }
    for (std::size_t i = polls.size(); i-- > 0;) {
      if (polls[i].revents == 0) {
        continue;
      }
      char buf[65536];
      const ssize_t got = ::read(polls[i].fd, buf, sizeof buf);
      if (got > 0) {
        fds[i].second->append(buf, static_cast<std::size_t>(got));
        if (first) {
          first = false;
          on_output();
        }
      } else if (got == 0 || errno != EINTR) {
        ::close(polls[i].fd);
        fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
  }
}

}  // namespace

ToolRun run_tool(const std::vector<std::string>& args, const ToolIo& io) {
  Pipe out;
  switch (io.out) {
    case Stdout::Pipe:
    case Stdout::ClosedPipe:
      out = make_pipe();
      break;
    case Stdout::Terminal:
      out = make_terminal();
      break;
    case Stdout::Full:
      out = {-1, ::open("/dev/full", O_WRONLY | O_CLOEXEC)};
      break;
  }
  if (io.out == Stdout::ClosedPipe) {
    ::close(out.read);
    out.read = -1;
  }
  const Pipe err = make_pipe();
  const pid_t pid = ::fork();
  if (pid < 0) {
    throw std::runtime_error("fork failed");
  }
  if (pid == 0) {
    exec_tool(args, io, out.write, err.write);
  }
  ::close(out.write);
  ::close(err.write);
  ToolRun result;
  std::vector<std::pair<int, std::string*>> sinks = {{err.read, &result.err}};
  if (out.read >= 0) {
    sinks.emplace_back(out.read, &result.out);
  }
  drain(std::move(sinks), [&] {
    if (io.signal_on_output) {
      ::kill(pid, *io.signal_on_output);
    }
  });
  result.status = wait_for(pid);
  return result;
}

RunningTool::RunningTool(const std::vector<std::string>& args) {
  const Pipe out = make_pipe();
  const pid_t pid = ::fork();
  if (pid < 0) {
    throw std::runtime_error("fork failed");
  }
  if (pid == 0) {
    exec_tool(args, {}, out.write, STDERR_FILENO);
  }
  ::close(out.write);
  pid_ = pid;
  out_ = out.read;
}

RunningTool::~RunningTool() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    (void)wait_for(pid_);
  }
  if (out_ >= 0) {
    ::close(out_);
  }
}

std::optional<std::string> RunningTool::read_line(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (const std::size_t end = buffered_.find('\n'); end != std::string::npos) {
      std::string line = buffered_.substr(0, end);
      buffered_.erase(0, end + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd poll{out_, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&poll, 1, static_cast<int>(left.count())) <= 0) {
      return std::nullopt;
    }
    char buf[4096];
    const ssize_t got = ::read(out_, buf, sizeof buf);
    if (got <= 0) {
      return std::nullopt;
    }
    buffered_.append(buf, static_cast<std::size_t>(got));
  }
}

int own_process_id() {
  return ::getpid();
}

int ended_process_id() {
  const pid_t pid = ::fork();
  if (pid < 0) {
    throw std::runtime_error("fork failed");
  }
  if (pid == 0) {
    ::_exit(0);
  }
  (void)wait_for(pid);
  return pid;
}

int RunningTool::signal_and_wait(int signal) {
  ::kill(pid_, signal);
  const int status = wait_for(pid_);
  pid_ = -1;
  return status;
}

}  // namespace marrowvane_dat::cli_test
