#include <gtest/gtest.h>

#include "platform/platform.h"

namespace quenlix {
namespace platform {
namespace {

struct TryFromOtherThread {
  CriticalSection* section;
  volatile int32_t entered = -1;
};

uint32_t TryEnterOnce(void* arg) {
  auto* attempt = static_cast<TryFromOtherThread*>(arg);
  bool entered = attempt->section->TryEnter();
  if (entered) attempt->section->Leave();
  InterlockedWrite(&attempt->entered, entered ? 1 : 0);
  return 0;
}

bool OtherThreadCanEnter(CriticalSection& section) {
  TryFromOtherThread attempt{&section};
  Thread thread = StartThread(TryEnterOnce, &attempt, nullptr);
  EXPECT_EQ(WaitForThread(thread, 10000), WaitResult::kSignalled);
  CloseThread(thread);
  return InterlockedRead(&attempt.entered) == 1;
}

TEST(CriticalSection, OwnerMayEnterAgainAndMustLeaveAsOften) {
  CriticalSection section;
  section.Enter();
  EXPECT_TRUE(section.TryEnter());
  EXPECT_FALSE(OtherThreadCanEnter(section));
  section.Leave();
  EXPECT_FALSE(OtherThreadCanEnter(section));
  section.Leave();
  EXPECT_TRUE(OtherThreadCanEnter(section));
}

constexpr int kWorkers = 4;
constexpr int kRounds = 20000;

struct Shared {
  CriticalSection section;
  int plain = 0;  // guarded by section
  volatile int32_t counter = 0;
  volatile int32_t casCounter = 0;
};

uint32_t Hammer(void* arg) {
  auto* shared = static_cast<Shared*>(arg);
  for (int i = 0; i < kRounds; ++i) {
    shared->section.Enter();
    ++shared->plain;
    shared->section.Leave();
    InterlockedIncrement(&shared->counter);
    InterlockedIncrement(&shared->counter);
    InterlockedDecrement(&shared->counter);
    for (;;) {
      int32_t seen = InterlockedRead(&shared->casCounter);
      if (InterlockedCompareExchange(&shared->casCounter, seen + 1, seen) == seen) break;
    }
  }
  return 0;
}

TEST(Interlocked, UpdatesUnderContentionAreNotLost) {
  Shared shared;
  Thread threads[kWorkers];
  for (Thread& thread : threads) {
    thread = StartThread(Hammer, &shared, nullptr);
    ASSERT_NE(thread, nullptr);
  }
  for (Thread thread : threads) {
    EXPECT_EQ(WaitForThread(thread, 60000), WaitResult::kSignalled);
    CloseThread(thread);
  }
  EXPECT_EQ(shared.plain, kWorkers * kRounds);
  EXPECT_EQ(InterlockedRead(&shared.counter), kWorkers * kRounds);
  EXPECT_EQ(InterlockedRead(&shared.casCounter), kWorkers * kRounds);
}

TEST(Interlocked, ResultsFollowTheWindowsConventions) {
  volatile int32_t value = 5;
  EXPECT_EQ(InterlockedCompareExchange(&value, 9, 4), 5);  // no match: unchanged
  EXPECT_EQ(InterlockedRead(&value), 5);
  EXPECT_EQ(InterlockedCompareExchange(&value, 9, 5), 5);
  EXPECT_EQ(InterlockedRead(&value), 9);
  EXPECT_EQ(InterlockedExchange(&value, -3), 9);
  EXPECT_EQ(InterlockedIncrement(&value), -2);
  EXPECT_EQ(InterlockedDecrement(&value), -3);
  InterlockedWrite(&value, 0x7FFFFFFF);
  EXPECT_EQ(InterlockedRead(&value), 0x7FFFFFFF);
}

}  // namespace
}  // namespace platform
}  // namespace quenlix
