#include "thread/recursive_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace quenlix {
namespace {

TEST(CRecursiveLock, ThreeEntriesNeedThreeLeavesAndThenAWaiterGetsIt) {
  CRecursiveLock lock;
  lock.Enter();
  lock.Enter();
  ASSERT_TRUE(lock.TryEnter());
  EXPECT_EQ(lock.LockCount(), 3);
  EXPECT_EQ(lock.OwnerThreadId(), platform::CurrentThreadId());

  std::atomic<bool> acquired{false};
  std::thread waiter([&] {
    lock.Enter();
    acquired = true;
    lock.Leave();
  });
  // The waiter cannot get in while any of the three holds remain.
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

TEST(CRecursiveLock, TryEnterFailsWhileAnotherThreadHoldsIt) {
  CRecursiveLock lock;
  lock.Enter();
  bool got = true;
  std::thread other([&] { got = lock.TryEnter(); });
  other.join();
  EXPECT_FALSE(got);
  lock.Leave();
  std::thread again([&] {
    got = lock.TryEnter();
    if (got) lock.Leave();
  });
  again.join();
  EXPECT_TRUE(got);
}

TEST(CRecursiveLock, SpinsOnlyOnMultiProcessorMachines) {
  CRecursiveLock lock;
  EXPECT_EQ(lock.SpinCount(), platform::ProcessorCount() > 1 ? CRecursiveLock::kSpinCount : 0);
}

// Many threads incrementing a plain counter under the lock, some of them
// re-entering: a lost update or a double owner shows up as a wrong total.
TEST(CRecursiveLock, GuardsAPlainCounterUnderContention) {
  CRecursiveLock lock;
  constexpr int kThreads = 6;
  constexpr int kRounds = 20000;
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        CLockGuard outer(&lock);
        if ((i + t) % 3 == 0) {
          CLockGuard inner(&lock);
          ++counter;
        } else {
          ++counter;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(counter, long(kThreads) * kRounds);
  EXPECT_EQ(lock.LockCount(), 0);
  EXPECT_EQ(lock.OwnerThreadId(), 0u);
}

// Sleeping inside the lock sends the others to the event; every one of them
// must be woken in turn (a lost wake-up hangs here) and be alone inside.
void ContendFromFourThreads(CRecursiveLock* lock) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 500;
  std::atomic<int> inside{0};
  std::atomic<int> crowded{0};
  std::atomic<int> entries{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        CLockGuard guard(lock);
        CLockGuard nested(lock);
        if (inside.fetch_add(1) != 0) ++crowded;
        ++entries;
        if (i % 50 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        inside.fetch_sub(1);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(crowded.load(), 0);
  EXPECT_EQ(entries.load(), kThreads * kRounds);
  EXPECT_EQ(lock->LockCount(), 0);
}

TEST(CRecursiveLock, EveryContenderGetsInAloneAndNoneIsLeftAsleep) {
  CRecursiveLock lock;
  ContendFromFourThreads(&lock);
}

// Without its event the lock still excludes; contenders just cannot sleep.
TEST(CRecursiveLock, LockWhoseEventCouldNotBeMadeStillExcludes) {
  CRecursiveLock lock(nullptr);
  ContendFromFourThreads(&lock);
}

}  // namespace
}  // namespace quenlix
