#include "thread/recursive_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace quenlix {
namespace {

TEST(CRecursiveLock, ThreeEntriesNeedThreeLeavesBeforeAnotherThreadGetsIn) {
  CRecursiveLock lock;
  EXPECT_EQ(lock.SpinCount(), platform::ProcessorCount() > 1 ? CRecursiveLock::kSpinCount : 0);
  lock.Enter();
  lock.Enter();
  ASSERT_TRUE(lock.TryEnter());
  EXPECT_EQ(lock.LockCount(), 3);
  EXPECT_EQ(lock.OwnerThreadId(), platform::CurrentThreadId());
  bool tried = true;
  std::thread([&] { tried = lock.TryEnter(); }).join();
  EXPECT_FALSE(tried);

  std::atomic<bool> acquired{false};
  std::thread waiter([&] {
    lock.Enter();
    acquired = true;
    lock.Leave();
  });
  for (int i = 0; i < 3; ++i) {
    platform::SleepMs(30);
    EXPECT_FALSE(acquired.load()) << "after " << i << " leaves";
    lock.Leave();
  }
  waiter.join();
  EXPECT_TRUE(acquired.load());
  EXPECT_EQ(lock.LockCount(), 0);
  EXPECT_EQ(lock.OwnerThreadId(), 0u);
}

// Sleeping inside the lock sends the others to the event; every one of them
// must be woken in turn (a lost wake-up hangs here) and be alone inside.
// Without its event the lock still excludes; contenders just cannot sleep.
TEST(CRecursiveLock, EveryContenderGetsInAloneWithOrWithoutItsEvent) {
  for (const bool withEvent : {true, false}) {
    SCOPED_TRACE(withEvent ? "with event" : "without event");
    CRecursiveLock lock(withEvent ? platform::CreateEvent(false, false) : nullptr);
    constexpr int kThreads = 4, kRounds = 300;
    std::atomic<int> inside{0}, crowded{0};
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kRounds; ++i) {
          CLockGuard guard(&lock);
          if (inside.fetch_add(1) != 0) ++crowded;
          const bool nested = (i + t) % 3 == 0;
          if (nested) lock.Enter();
          ++counter;
          if (nested) lock.Leave();
          if (i % 30 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
          inside.fetch_sub(1);
        }
      });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(crowded.load(), 0);
    EXPECT_EQ(counter, long(kThreads) * kRounds);
    EXPECT_EQ(lock.LockCount(), 0);
  }
}

}  // namespace
}  // namespace quenlix
