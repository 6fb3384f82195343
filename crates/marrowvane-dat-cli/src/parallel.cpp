// A minimal work-sharing loop: threads take the next index from one counter.
#include "parallel.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace marrowvane_dat::cli {

void run_parallel(std::size_t count, unsigned jobs,
                  const std::function<std::uint64_t(std::size_t)>& work, Progress& progress) {
  std::atomic<std::size_t> next{0};
  const auto worker = [&] {
    for (;;) {
      const std::size_t index = next.fetch_add(1, std::memory_order_relaxed);
      if (index >= count) {
        return;
      }
      progress.advance(work(index));
    }
  };

  const std::size_t threads_wanted =
      std::clamp<std::size_t>(jobs, 1, std::max<std::size_t>(count, 1));
  // Without a bar to draw, the calling thread is one of the workers.
  const std::size_t extra = progress.visible() ? threads_wanted : threads_wanted - 1;
  {
    std::vector<std::jthread> threads;
    threads.reserve(extra);
    for (std::size_t i = 0; i < extra; ++i) {
      threads.emplace_back(worker);
    }
    if (progress.visible()) {
      using namespace std::chrono_literals;
      while (progress.done() < count) {
        progress.draw();
        std::this_thread::sleep_for(100ms);
      }
      progress.draw();
    } else {
      worker();
    }
  }
  progress.clear();
}

}  // namespace marrowvane_dat::cli
