// fork/exec with pipes for the tool's standard output and error.
#include "tool_process.hpp"

#include <cerrno>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
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

// In the child: wire up the descriptors and exec; never returns.
[[noreturn]] void exec_tool(const std::vector<std::string>& args, int out_fd, int err_fd) {
  const int null_fd = ::open("/dev/null", O_RDONLY);
  ::dup2(null_fd, STDIN_FILENO);
  ::dup2(out_fd, STDOUT_FILENO);
  ::dup2(err_fd, STDERR_FILENO);
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

// Reads every open descriptor of `fds` into its string until all reach end of file.
void drain(std::vector<std::pair<int, std::string*>> fds) {
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
      } else if (got == 0 || errno != EINTR) {
        ::close(polls[i].fd);
        fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
  }
}

// Runs the tool and collects its output; with `stdout_closed` nobody reads its
// standard output, so writes there fail with a broken pipe.
ToolRun run(const std::vector<std::string>& args, bool stdout_closed) {
  const Pipe out = make_pipe();
  const Pipe err = make_pipe();
  if (stdout_closed) {
    ::close(out.read);
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    throw std::runtime_error("fork failed");
  }
  if (pid == 0) {
    exec_tool(args, out.write, err.write);
  }
  ::close(out.write);
  ::close(err.write);
  ToolRun result;
  if (stdout_closed) {
    drain({{err.read, &result.err}});
  } else {
    drain({{out.read, &result.out}, {err.read, &result.err}});
  }
  result.status = wait_for(pid);
  return result;
}

}  // namespace

ToolRun run_tool(const std::vector<std::string>& args) {
  return run(args, false);
}

ToolRun run_tool_into_closed_pipe(const std::vector<std::string>& args) {
  return run(args, true);
}

}  // namespace marrowvane_dat::cli_test
