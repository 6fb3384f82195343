// SPDX-License-Identifier: MIT
// The batch that extract and verify run their files on: an exception in a worker,
// out of memory above all, stops the batch and is reported instead of ending the
// process.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <vector>

#include "batch.hpp"

namespace marrowvane_dat::cli {
namespace {

// Runs 1000 items on `jobs` workers, the 11th of which throws what `fail` throws.
template <class Fail>
BatchTotals run_failing(unsigned jobs, std::atomic<std::size_t>& started, Fail fail) {
  return run_batch(1000, jobs, Verbosity::Quiet, false,
                   [&](std::size_t index, std::vector<std::uint8_t>& buffer) -> BatchItem {
                     ++started;
                     if (index == 10) {
                       fail();
                     }
                     buffer.assign(8, 0);
                     return {buffer.size(), {}, {}};
                   });
}

TEST(Batch, AnExceptionInAWorkerStopsTheBatchAndIsReported) {
  for (const unsigned jobs : {1U, 4U}) {
    std::atomic<std::size_t> started{0};
    const BatchTotals totals = run_failing(jobs, started, [] { throw std::bad_alloc(); });
    EXPECT_FALSE(totals.complete) << jobs;
    EXPECT_EQ(totals.failure, "out of memory") << jobs;
    if (jobs == 1) {
      EXPECT_EQ(started.load(), 11U) << "no item starts after the failure";
    }
    testing::internal::CaptureStderr();
    EXPECT_FALSE(batch_complete(totals, "a.dat"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "marrowvane-dat: a.dat: out of memory\n");
  }
  std::atomic<std::size_t> started{0};
  const BatchTotals other =
      run_failing(2, started, [] { throw std::runtime_error("vector::_M_default_append"); });
  EXPECT_FALSE(other.complete);
  EXPECT_EQ(other.failure, "vector::_M_default_append");
}

}  // namespace
}  // namespace marrowvane_dat::cli
