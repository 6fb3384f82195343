// SPDX-License-Identifier: MIT
// The signal handler behind InterruptGuard.
#include "interrupt.hpp"

#include <csignal>
#include <iterator>

namespace marrowvane_dat::cli {
namespace {

// A signal handler can only reach static storage; these are the tool's only globals.
std::atomic<bool> interrupted_flag{false};
std::atomic<int> received_signal{0};

// Every signal whose default action ends the process and that a handler can survive;
// the faults (SIGSEGV and the like) cannot be, and SIGPIPE is ignored by main.
constexpr int SIGNALS[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,   SIGALRM, SIGUSR1,
                           SIGUSR2, SIGXFSZ, SIGXCPU, SIGVTALRM, SIGPROF};
struct sigaction previous[std::size(SIGNALS)];

extern "C" void on_signal(int sig) {
  received_signal.store(sig, std::memory_order_relaxed);
  interrupted_flag.store(true, std::memory_order_relaxed);
}

}  // namespace

InterruptGuard::InterruptGuard() {
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (std::size_t i = 0; i < std::size(SIGNALS); ++i) {
    sigaction(SIGNALS[i], nullptr, &previous[i]);
    // A signal the caller chose to ignore (nohup) stays ignored.
    if (previous[i].sa_handler != SIG_IGN) {
      sigaction(SIGNALS[i], &action, nullptr);
    }
  }
}

InterruptGuard::~InterruptGuard() {
  for (std::size_t i = 0; i < std::size(SIGNALS); ++i) {
    sigaction(SIGNALS[i], &previous[i], nullptr);
  }
  if (const int sig = received_signal.load(std::memory_order_relaxed); sig != 0) {
    std::signal(sig, SIG_DFL);
    std::raise(sig);
  }
}

const std::atomic<bool>& InterruptGuard::flag() noexcept {
  return interrupted_flag;
}

}  // namespace marrowvane_dat::cli
