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

TEST(ThreadPool, RunBesideHandsEachResultOverOnceReady) {
  ThreadPool& pool = ThreadPool::shared();
  std::vector<int> results(500, 0);
  std::vector<int> seen;
  pool.run_beside(
      results.size(),
      [&](std::size_t i) {
        if (i == 7) throw std::runtime_error("7");
        results[i] = static_cast<int>(i) + 1;
      },
      [&](const auto& wait) {
        for (std::size_t i = 0; i < results.size(); ++i) {
          try {
            wait(i);
            seen.push_back(results[i]);
          } catch (const std::runtime_error& error) {
            EXPECT_EQ(i, 7u);
            EXPECT_STREQ(error.what(), "7");
          }
        }
      });
  ASSERT_EQ(seen.size(), results.size() - 1);
  for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], static_cast<int>(i < 7 ? i + 1 : i + 2));

  // A caller that gives up early returns once the tasks under way have ended.
  std::atomic<int> ran{0};
  EXPECT_THROW(pool.run_beside(
                   10000, [&](std::size_t) { ++ran; },
                   [&](const auto& wait) {
                     wait(0);
                     throw std::runtime_error("stop");
                   }),
               std::runtime_error);
  const int after = ran.load();
  EXPECT_GE(after, 1);
  pool.run(2, [](std::size_t) {});  // the pool is free again
  EXPECT_EQ(ran.load(), after);
}

}  // namespace tessary
