// Running independent work items on several threads while a progress bar ticks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "output.hpp"

namespace marrowvane_dat::cli {

// Calls work(i) exactly once for every i in [0, count), spread over at most
// `jobs` threads (at least one), and counts each item in `progress` with the
// byte count work(i) returns. `work` must be safe to call concurrently. While the
// work runs, the calling thread redraws `progress` when it is visible; the bar is
// cleared before return.
void run_parallel(std::size_t count, unsigned jobs,
                  const std::function<std::uint64_t(std::size_t)>& work, Progress& progress);

}  // namespace marrowvane_dat::cli
