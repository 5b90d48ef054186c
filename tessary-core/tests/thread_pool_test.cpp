#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

#include "tessary/thread_pool.hpp"

namespace tessary {

TEST(ThreadPool, RunsEachTaskOnceAndRethrowsTheLowestFailure) {
  ThreadPool& pool = ThreadPool::shared();
  std::vector<std::atomic<int>> runs(1000);
  pool.run(runs.size(), [&](std::size_t i) { runs[i].fetch_add(1); });
  for (const auto& n : runs) EXPECT_EQ(n.load(), 1);

  std::atomic<int> finished{0};
  try {
    pool.run(64, [&](std::size_t i) {
      ++finished;
      if (i % 10 == 3) throw std::runtime_error(std::to_string(i));
    });
    FAIL() << "expected an exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "3");
  }
  EXPECT_EQ(finished.load(), 64);  // the other tasks still ran

  // A run started from inside a task runs inline instead of waiting for itself.
  std::atomic<int> inner{0};
  pool.run(4, [&](std::size_t) { pool.run(3, [&](std::size_t) { ++inner; }); });
  EXPECT_EQ(inner.load(), 12);
}

}  // namespace tessary
