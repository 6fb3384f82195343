// SPDX-License-Identifier: MIT
// A minimal work-sharing loop: threads take the next index from one counter while
// the calling thread draws the bar.
#include "batch.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include <unistd.h>

#include "interrupt.hpp"
#include "progress.hpp"
#include "standard_output.hpp"
#include "table.hpp"

namespace marrowvane_dat::cli {
namespace {

// The text of the exception being handled, in the words a user can act on.
std::string current_exception_text() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return "out of memory";
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return "unexpected internal error";
  }
}

// What the workers share: the next index, the first failure, and how many ended.
struct Shared {
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::mutex mutex;
  std::condition_variable finished_changed;
  unsigned finished = 0;
  std::string failure;

  [[nodiscard]] bool stopped() const noexcept {
    return failed.load(std::memory_order_relaxed) ||
           InterruptGuard::flag().load(std::memory_order_relaxed) || stdout_failed();
  }
  void fail(std::string text) noexcept {
    const std::scoped_lock lock(mutex);
    if (!failed.exchange(true)) {
      failure = std::move(text);
    }
  }
};

// Starts up to `wanted` threads running worker(w) for w in [first, first + wanted);
// stops at the first that cannot start. Returns how many started.
template <class Worker>
unsigned start_threads(std::vector<std::jthread>& threads, unsigned first, unsigned wanted,
                       const Worker& worker) {
  threads.reserve(wanted);
  for (unsigned w = first; w < first + wanted; ++w) {
    try {
      threads.emplace_back(worker, w);
    } catch (const std::system_error&) {
      break;
    }
  }
  return static_cast<unsigned>(threads.size());
}

}  // namespace

BatchTotals run_batch(std::size_t count, unsigned jobs, Verbosity verbosity, bool json,
                      const BatchWork& work) {
  const auto start = std::chrono::steady_clock::now();
  const auto workers =
      static_cast<unsigned>(std::clamp<std::size_t>(jobs, 1, std::max<std::size_t>(count, 1)));
  std::vector<std::vector<std::uint8_t>> buffers(workers);
  Progress progress(count, verbosity == Verbosity::Normal && is_terminal(STDERR_FILENO));
  Shared shared;
  const auto run_items = [&](unsigned w) {
    for (std::size_t index = shared.next++; index < count && !shared.stopped();
         index = shared.next++) {
      BatchItem item = work(index, buffers[w]);
      if (!item.stop.empty()) {
        shared.fail(std::move(item.stop));
      }
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
  };
  // An exception must not leave a thread, where it would end the process unreported.
  const auto worker = [&](unsigned w) noexcept {
    try {
      run_items(w);
    } catch (...) {
      shared.fail(current_exception_text());
    }
    const std::scoped_lock lock(shared.mutex);
    ++shared.finished;
    shared.finished_changed.notify_one();
  };
  {
    std::vector<std::jthread> threads;
    // Without a bar to draw, the calling thread is one of the workers.
    const unsigned first = progress.visible() ? 0 : 1;
    const unsigned started = start_threads(threads, first, workers - first, worker);
    // With no thread to work, the calling thread works instead of drawing the bar.
    const bool draws = progress.visible() && started > 0;
    const unsigned running = draws ? started : started + 1;
    if (running < workers) {
      write_stderr(std::string(TOOL_NAME) + ": started " + decimal(std::uint64_t{running}) +
                   " of " + decimal(std::uint64_t{workers}) + " workers\n");
    }
    if (!draws) {
      worker(0);
    }
    // Declared after the threads, so released before they are joined.
    std::unique_lock lock(shared.mutex);
    while (draws && shared.finished < running) {
      lock.unlock();
      progress.draw();
      lock.lock();
      shared.finished_changed.wait_for(lock, std::chrono::milliseconds(100),
                                       [&] { return shared.finished == running; });
    }
  }
  progress.draw();
  progress.clear();
  const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
  return {progress.bytes(), seconds.count(), !shared.stopped() && progress.done() == count,
          std::move(shared.failure)};
}

bool batch_complete(const BatchTotals& totals, const std::string& archive) {
  if (!totals.complete && !totals.failure.empty()) {
    report_error(archive + ": " + totals.failure);
  }
  return totals.complete;
}

}  // namespace marrowvane_dat::cli
