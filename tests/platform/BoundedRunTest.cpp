// Work under a bound of the thread's processor time: what ends in time gives its result, what runs
// on is left once it has used its budget and never before, a hold keeps it from being left
// midway, and every thread's work is bounded on its own.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>
#include <vector>

#include "platform/BoundedRun.h"

namespace {

constexpr int kAbandoned = -1;
constexpr std::chrono::milliseconds kBudget{20};

int64_t ThreadCpuNs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Runs until it is left, telling how much of the thread's processor time it has used.
struct cEndless {
  volatile int64_t usedNs = 0;
  volatile bool afterHold = false;
  bool holds = false;

  static int Run(void* context) {
    auto& work = *static_cast<cEndless*>(context);
    const int64_t start = ThreadCpuNs();
    if (work.holds) {
      platform::HoldAbandonment();
      while ((work.usedNs = ThreadCpuNs() - start) < 3 * std::chrono::nanoseconds(kBudget).count()) {
      }
      platform::ReleaseAbandonment();
      work.afterHold = true;
    }
    for (;;) work.usedNs = ThreadCpuNs() - start;
  }
};

int Seven(void*) { return 7; }

TEST(BoundedRun, WorkThatEndsInTimeGivesItsResult) {
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(platform::RunBounded(&Seven, nullptr, kBudget, kAbandoned), 7);
}

TEST(BoundedRun, WorkThatRunsOnIsLeftOnceItHasUsedItsBudget) {
  for (int round = 0; round < 3; ++round) {
    cEndless work;
    ASSERT_EQ(platform::RunBounded(&cEndless::Run, &work, kBudget, kAbandoned), kAbandoned);
    // The last reading lags the work by one reading of the clock at most.
    EXPECT_GE(work.usedNs, std::chrono::nanoseconds(kBudget).count() - 100000);
  }
  EXPECT_EQ(platform::RunBounded(&Seven, nullptr, kBudget, kAbandoned), 7);
}

TEST(BoundedRun, AHoldDefersTheAbandonmentToItsRelease) {
  cEndless work;
  work.holds = true;
  ASSERT_EQ(platform::RunBounded(&cEndless::Run, &work, kBudget, kAbandoned), kAbandoned);
  EXPECT_GE(work.usedNs, 3 * std::chrono::nanoseconds(kBudget).count());
  EXPECT_FALSE(work.afterHold);
}

// Work started by bounded work runs as part of it, under its budget.
TEST(BoundedRun, NestedWorkIsPartOfTheRunAroundIt) {
  cEndless endless;
  struct cOuter {
    cEndless* inner;
    int innerResult = 0;
  } outer{&endless};
  const int result = platform::RunBounded(
      [](void* context) {
        auto& outer = *static_cast<cOuter*>(context);
        outer.innerResult = platform::RunBounded(&Seven, nullptr, kBudget, kAbandoned);
        return platform::RunBounded(&cEndless::Run, outer.inner, std::chrono::hours(1), kAbandoned - 1);
      },
      &outer, kBudget, kAbandoned);
  EXPECT_EQ(result, kAbandoned);
  EXPECT_EQ(outer.innerResult, 7);
}

TEST(BoundedRun, EveryThreadIsBoundedOnItsOwn) {
  std::atomic<int> abandoned{0};
  std::atomic<int> results{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      cEndless work;
      if (platform::RunBounded(&cEndless::Run, &work, kBudget, kAbandoned) == kAbandoned) ++abandoned;
    });
    threads.emplace_back([&] {
      for (int j = 0; j < 10000; ++j) {
        if (platform::RunBounded(&Seven, nullptr, kBudget, kAbandoned) == 7) ++results;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(abandoned, 4);
  EXPECT_EQ(results, 40000);
}

}  // namespace
