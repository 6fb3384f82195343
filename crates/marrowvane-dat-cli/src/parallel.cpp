// SPDX-License-Identifier: MIT
// A minimal work-sharing loop: threads take the next index from one counter.
#include "parallel.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace marrowvane_dat::cli {

unsigned worker_count(std::size_t count, unsigned jobs) noexcept {
  return static_cast<unsigned>(std::clamp<std::size_t>(jobs, 1, std::max<std::size_t>(count, 1)));
}

void run_parallel(std::size_t count, unsigned jobs,
                  const std::function<std::uint64_t(std::size_t, unsigned)>& work,
                  Progress& progress, const std::atomic<bool>* stop) {
  std::atomic<std::size_t> next{0};
  std::mutex mutex;
  std::condition_variable finished_changed;
  unsigned finished = 0;
  const auto worker = [&](unsigned w) {
    for (;;) {
      if (stop != nullptr && stop->load(std::memory_order_relaxed)) {
        break;
      }
      const std::size_t index = next.fetch_add(1, std::memory_order_relaxed);
      if (index >= count) {
        break;
      }
      progress.advance(work(index, w));
    }
    const std::scoped_lock lock(mutex);
    ++finished;
    finished_changed.notify_one();
  };

  const unsigned workers = worker_count(count, jobs);
  {
    std::vector<std::jthread> threads;
    // Without a bar to draw, the calling thread is one of the workers.
    const unsigned first_spawned = progress.visible() ? 0 : 1;
    threads.reserve(workers);
    for (unsigned w = first_spawned; w < workers; ++w) {
      threads.emplace_back(worker, w);
    }
    if (progress.visible()) {
      using namespace std::chrono_literals;
      std::unique_lock lock(mutex);
      while (finished < workers) {
        lock.unlock();
        progress.draw();
        lock.lock();
        finished_changed.wait_for(lock, 100ms, [&] { return finished == workers; });
      }
      lock.unlock();
      progress.draw();
    } else {
      worker(0);
    }
  }
  progress.clear();
}

}  // namespace marrowvane_dat::cli
