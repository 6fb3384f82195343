// SPDX-License-Identifier: MIT
// A minimal work-sharing loop: threads take the next index from one counter while
// the calling thread draws the bar.
#include "batch.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <unistd.h>

#include "interrupt.hpp"
#include "progress.hpp"
#include "standard_output.hpp"

namespace marrowvane_dat::cli {
namespace {

bool stopped() noexcept {
  return InterruptGuard::flag().load(std::memory_order_relaxed) || stdout_failed();
}

}  // namespace

BatchTotals run_batch(std::size_t count, unsigned jobs, Verbosity verbosity, bool json,
                      const BatchWork& work) {
  const auto start = std::chrono::steady_clock::now();
  const auto workers =
      static_cast<unsigned>(std::clamp<std::size_t>(jobs, 1, std::max<std::size_t>(count, 1)));
  std::vector<std::vector<std::uint8_t>> buffers(workers);
  Progress progress(count, verbosity == Verbosity::Normal && is_terminal(STDERR_FILENO));
  std::atomic<std::size_t> next{0};
  std::mutex mutex;
  std::condition_variable finished_changed;
  unsigned finished = 0;
  const auto worker = [&](unsigned w) {
    for (std::size_t index = next++; index < count && !stopped(); index = next++) {
      BatchItem item = work(index, buffers[w]);
      if (verbosity == Verbosity::Verbose && !item.line.empty()) {
        item.line.push_back('\n');
        if (json) {
          write_stderr(item.line);
        } else {
          // A failed write stops the batch through stopped().
          (void)write_stdout(item.line);
        }
      }
      progress.advance(item.bytes);
    }
    const std::scoped_lock lock(mutex);
    ++finished;
    finished_changed.notify_one();
  };
  {
    std::vector<std::jthread> threads;
    // Without a bar to draw, the calling thread is one of the workers.
    for (unsigned w = progress.visible() ? 0 : 1; w < workers; ++w) {
      threads.emplace_back(worker, w);
    }
    if (!progress.visible()) {
      worker(0);
    }
    // Declared after the threads, so released before they are joined.
    std::unique_lock lock(mutex);
    while (progress.visible() && finished < workers) {
      lock.unlock();
      progress.draw();
      lock.lock();
      finished_changed.wait_for(lock, std::chrono::milliseconds(100),
                                [&] { return finished == workers; });
    }
  }
  progress.draw();
  progress.clear();
  const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
  return {progress.bytes(), seconds.count(), !stopped() && progress.done() == count};
}

}  // namespace marrowvane_dat::cli
