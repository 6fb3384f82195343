// SPDX-License-Identifier: MIT
// Running independent work items on several threads while a progress bar ticks.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "output.hpp"

namespace marrowvane_dat::cli {

// How many workers run_parallel uses for `count` items and `jobs` requested: at
// least one, never more than there are items.
[[nodiscard]] unsigned worker_count(std::size_t count, unsigned jobs) noexcept;

// Calls work(i, w) once for every i in [0, count) on worker_count(count, jobs)
// threads, where w in [0, worker_count) names the calling worker, so that each worker
// can keep its own buffer. Counts each item in `progress` with the byte count work
// returns. `work` must be safe to call concurrently for different workers. Once
// `stop` (when given) becomes true no further item is started. While the work runs,
// the calling thread redraws `progress` when it is visible; the bar is cleared before
// return.
void run_parallel(std::size_t count, unsigned jobs,
                  const std::function<std::uint64_t(std::size_t, unsigned)>& work,
                  Progress& progress, const std::atomic<bool>* stop = nullptr);

}  // namespace marrowvane_dat::cli
