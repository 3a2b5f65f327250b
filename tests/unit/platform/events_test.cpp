#include <gtest/gtest.h>

#include "platform/platform.h"

namespace quenlix {
namespace platform {
namespace {

constexpr WaitResult kSignalled = WaitResult::kSignalled;
constexpr WaitResult kTimeout = WaitResult::kTimeout;

TEST(Events, AutoResetReleasesOneWaitManualResetStaysSignalledUntilReset) {
  Event autoReset = CreateEvent(false, true);
  Event manual = CreateEvent(true, true);
  ASSERT_NE(autoReset, nullptr);
  ASSERT_NE(manual, nullptr);
  EXPECT_EQ(WaitForEvent(autoReset, 0), kSignalled);
  EXPECT_EQ(WaitForEvent(autoReset, 0), kTimeout);
  EXPECT_TRUE(SetEvent(autoReset));
  EXPECT_EQ(WaitForEvent(autoReset, 0), kSignalled);
  EXPECT_EQ(WaitForEvent(autoReset, 0), kTimeout);
  EXPECT_EQ(WaitForEvent(manual, 0), kSignalled);
  EXPECT_EQ(WaitForEvent(manual, 0), kSignalled);
  EXPECT_TRUE(ResetEvent(manual));
  const uint64_t before = MonotonicMs();
  EXPECT_EQ(WaitForEvent(manual, 150), kTimeout);
  EXPECT_GE(MonotonicMs() - before, 130u);  // the Windows tick is up to 16 ms
  EXPECT_FALSE(SetEvent(nullptr));
  EXPECT_FALSE(ResetEvent(nullptr));
  EXPECT_EQ(WaitForEvent(nullptr, 0), WaitResult::kFailed);
  CloseEvent(autoReset);
  CloseEvent(manual);
}

struct Waiters {
  Event event = nullptr;
  volatile int32_t woken = 0;
};

uint32_t WaitOnce(void* arg) {
  auto* waiters = static_cast<Waiters*>(arg);
  if (WaitForEvent(waiters->event, 20000) == kSignalled) InterlockedIncrement(&waiters->woken);
  return 0;
}

// Polls until more than `than` have woken, then gives a wrong extra wake-up
// time to show.
int32_t WokenAfterSettling(Waiters& waiters, int32_t than) {
  for (int i = 0; i < 500 && InterlockedRead(&waiters.woken) <= than; ++i) SleepMs(10);
  SleepMs(100);
  return InterlockedRead(&waiters.woken);
}

TEST(Events, OneSetWakesOneWaiterOfAnAutoResetEventAndAllOfAManualOne) {
  constexpr int32_t kWaiters = 3;
  for (const bool manualReset : {false, true}) {
    SCOPED_TRACE(manualReset ? "manual reset" : "auto reset");
    Waiters waiters;
    waiters.event = CreateEvent(manualReset, false);
    Thread threads[kWaiters];
    for (Thread& thread : threads)
      ASSERT_NE(thread = StartThread(WaitOnce, &waiters, nullptr), nullptr);
    SleepMs(50);  // let them block
    SetEvent(waiters.event);
    EXPECT_EQ(WokenAfterSettling(waiters, 0), manualReset ? kWaiters : 1);
    // Setting a still-signalled event adds nothing, so one set per wake-up.
    for (int32_t woken = InterlockedRead(&waiters.woken); woken < kWaiters; ++woken) {
      SetEvent(waiters.event);
      EXPECT_EQ(WokenAfterSettling(waiters, woken), woken + 1);
    }
    for (Thread thread : threads) {
      EXPECT_EQ(WaitForThread(thread, 20000), kSignalled);
      CloseThread(thread);
    }
    CloseEvent(waiters.event);
  }
}

}  // namespace
}  // namespace platform
}  // namespace quenlix
