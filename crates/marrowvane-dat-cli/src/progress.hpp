// SPDX-License-Identifier: MIT
// A progress bar on standard error for work done on several threads.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "standard_output.hpp"
#include "table.hpp"

namespace marrowvane_dat::cli {

// Counts finished work items and their bytes from any thread, and draws a
// one-line bar on standard error when it is a terminal.
class Progress {
 public:
  // `visible` false keeps the counters but never draws.
  Progress(std::size_t total, bool visible) noexcept : total_(total), visible_(visible) {}

  // Records one finished item of `bytes` bytes. Thread-safe.
  void advance(std::uint64_t bytes) noexcept {
    bytes_.fetch_add(bytes, std::memory_order_relaxed);
    done_.fetch_add(1, std::memory_order_release);
  }
  // The items finished so far.
  [[nodiscard]] std::size_t done() const noexcept { return done_.load(std::memory_order_acquire); }
  // The bytes of the items finished so far.
  [[nodiscard]] std::uint64_t bytes() const noexcept {
    return bytes_.load(std::memory_order_relaxed);
  }
  // Whether the bar is drawn at all.
  [[nodiscard]] bool visible() const noexcept { return visible_; }

  // Redraws the bar in place (no-op when not visible). Call from one thread only.
  void draw() const {
    static constexpr std::size_t WIDTH = 30;
    const std::size_t done_now = done();
    const std::size_t filled = total_ == 0 ? WIDTH : done_now * WIDTH / total_;
    if (visible_) {
      std::string line = "\r[";
      line.append(filled, '#').append(WIDTH - filled, ' ').append("] ");
      line.append(decimal(std::uint64_t{done_now}))
          .append("/")
          .append(decimal(std::uint64_t{total_}));
      line.append(" files, ").append(human_bytes(bytes())).append("\x1b[K");
      write_stderr(line);
    }
  }
  // Erases the bar so that later lines start on a clean line.
  void clear() const {
    if (visible_) {
      write_stderr("\r\x1b[K");
    }
  }

 private:
  std::size_t total_;
  bool visible_;
  std::atomic<std::size_t> done_{0};
  std::atomic<std::uint64_t> bytes_{0};
};

}  // namespace marrowvane_dat::cli
