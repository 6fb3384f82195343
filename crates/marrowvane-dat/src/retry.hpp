// SPDX-License-Identifier: MIT
// The one loop around system calls that a signal may interrupt before they do anything.
#pragma once

#include <cerrno>
#include <utility>

namespace marrowvane_dat::detail {

// Calls `call()` until it returns anything but a failure (a negative value) with errno
// EINTR, and returns that result with errno as the call left it.
template <class Call>
auto retry_interrupted(Call&& call) {
  for (;;) {
    auto result = call();
    if (!(result < 0 && errno == EINTR)) {
      return result;
    }
  }
}

}  // namespace marrowvane_dat::detail
