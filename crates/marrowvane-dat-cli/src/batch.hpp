// SPDX-License-Identifier: MIT
// The shape extract and verify share: every chosen file read on several threads,
// one line per file with -v, a progress bar, and a stop when the run cannot go on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "command_line.hpp"

namespace marrowvane_dat::cli {

// One item's bytes, for the bar and the totals, and its line for -v (none when empty).
struct BatchItem {
  std::uint64_t bytes = 0;
  std::string line;
  // When not empty, no further item starts and this is the batch's failure.
  std::string stop;
};

// What a batch did as a whole.
struct BatchTotals {
  std::uint64_t bytes = 0;
  double seconds = 0;
  // False when the batch stopped early: a signal came, standard output failed, or a
  // worker met an exception.
  bool complete = true;
  // Why a worker stopped the batch ("out of memory", or an item's stop); empty
  // otherwise.
  std::string failure;
};

// Reads one item into the calling worker's own buffer and says how it went.
using BatchWork = std::function<BatchItem(std::size_t index, std::vector<std::uint8_t>& buffer)>;

// Calls work(i, buffer) once for every i in [0, count) on up to `jobs` threads, each
// worker reusing one buffer, so at most one file per thread is held. No item starts
// once an InterruptGuard saw a signal or standard output failed. Draws the progress
// bar at normal verbosity on a terminal; prints the items' lines at -v, to standard
// error when `json` keeps standard output for the JSON document. An exception thrown
// by `work` stops every worker and is returned as `failure`, never thrown. Threads
// that cannot be started leave their share to those that did, with a note on
// standard error.
BatchTotals run_batch(std::size_t count, unsigned jobs, Verbosity verbosity, bool json,
                      const BatchWork& work);

// True when the batch ran to its end; otherwise reports its failure, if any, as
// "<archive>: <failure>" and returns false.
bool batch_complete(const BatchTotals& totals, const std::string& archive);

}  // namespace marrowvane_dat::cli
