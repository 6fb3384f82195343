// SPDX-License-Identifier: MIT
// The console control handler behind InterruptGuard.
#include "interrupt.hpp"

#include <windows.h>

namespace marrowvane_dat::cli {
namespace {

// The handler runs on a thread of its own and can only reach static storage.
std::atomic<bool> interrupted_flag{false};

BOOL WINAPI on_control(DWORD /*event*/) {
  interrupted_flag.store(true, std::memory_order_relaxed);
  // Handled: the writers remove their temporaries, then the guard ends the process.
  return TRUE;
}

}  // namespace

InterruptGuard::InterruptGuard() {
  ::SetConsoleCtrlHandler(on_control, TRUE);
}

InterruptGuard::~InterruptGuard() {
  ::SetConsoleCtrlHandler(on_control, FALSE);
  if (interrupted_flag.load(std::memory_order_relaxed)) {
    // The status a console program ends with when Ctrl-C is not handled.
    ::ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
  }
}

const std::atomic<bool>& InterruptGuard::flag() noexcept {
  return interrupted_flag;
}

}  // namespace marrowvane_dat::cli
