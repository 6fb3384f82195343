// SPDX-License-Identifier: MIT
// Turning SIGINT, SIGTERM, SIGHUP and every other signal that would end the process
// into a flag while files are being written, so
// that the writers can remove what they have not finished before the process ends.
#pragma once

#include <atomic>

namespace marrowvane_dat::cli {

// While alive, those signals set flag() instead of ending the process.
// The destructor restores the previous handlers and, if a signal came, raises it
// again so the process ends the way the signal asked. One at a time per process.
class InterruptGuard {
 public:
  InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;
  ~InterruptGuard();

  // True once a signal came, for loops that check it between units of work.
  [[nodiscard]] static const std::atomic<bool>& flag() noexcept;
};

}  // namespace marrowvane_dat::cli
