#include <gtest/gtest.h>

#include "platform/platform.h"

namespace quenlix {
namespace platform {
namespace {

TEST(Events, AutoResetEventReleasesOneWaitThenResets) {
  Event event = CreateEvent(false, false);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(WaitForEvent(event, 0), WaitResult::kTimeout);
  EXPECT_TRUE(SetEvent(event));
  EXPECT_EQ(WaitForEvent(event, 0), WaitResult::kSignalled);
  EXPECT_EQ(WaitForEvent(event, 0), WaitResult::kTimeout);
  CloseEvent(event);
}

TEST(Events, ManualResetEventStaysSignalledUntilReset) {
  Event event = CreateEvent(true, true);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(WaitForEvent(event, 0), WaitResult::kSignalled);
  EXPECT_EQ(WaitForEvent(event, 0), WaitResult::kSignalled);
  EXPECT_TRUE(ResetEvent(event));
  EXPECT_EQ(WaitForEvent(event, 0), WaitResult::kTimeout);
  CloseEvent(event);
}

TEST(Events, InitiallySignalledAutoResetEvent) {
  Event event = CreateEvent(false, true);
  EXPECT_EQ(WaitForEvent(event, 0), WaitResult::kSignalled);
  EXPECT_EQ(WaitForEvent(event, 0), WaitResult::kTimeout);
  CloseEvent(event);
}

TEST(Events, TimedWaitLastsAtLeastItsTimeOut) {
  Event event = CreateEvent(false, false);
  const uint64_t before = MonotonicMs();
  EXPECT_EQ(WaitForEvent(event, 150), WaitResult::kTimeout);
  EXPECT_GE(MonotonicMs() - before, 130u);  // the Windows tick is up to 16 ms
  CloseEvent(event);
}

struct Waiters {
  Event event = nullptr;
  volatile int32_t woken = 0;
};

uint32_t WaitOnce(void* arg) {
  auto* waiters = static_cast<Waiters*>(arg);
  if (WaitForEvent(waiters->event, 20000) == WaitResult::kSignalled)
    InterlockedIncrement(&waiters->woken);
  return 0;
}

int32_t WokenAfterSettling(Waiters& waiters, int32_t expected) {
  for (int i = 0; i < 500 && InterlockedRead(&waiters.woken) < expected; ++i) SleepMs(10);
  SleepMs(100);  // a wrong extra wake-up would show within this
  return InterlockedRead(&waiters.woken);
}

struct WakeCase {
  const char* name;
  bool manualReset;
  int32_t wokenByOneSet;
};

class EventWake : public ::testing::TestWithParam<WakeCase> {};

TEST_P(EventWake, OneSetWakesOneOrAllWaiters) {
  constexpr int kWaiters = 3;
  Waiters waiters;
  waiters.event = CreateEvent(GetParam().manualReset, false);
  Thread threads[kWaiters];
  for (Thread& thread : threads) {
    thread = StartThread(WaitOnce, &waiters, nullptr);
    ASSERT_NE(thread, nullptr);
  }
  SleepMs(50);  // let them block
  SetEvent(waiters.event);
  EXPECT_EQ(WokenAfterSettling(waiters, GetParam().wokenByOneSet), GetParam().wokenByOneSet);
  // Setting a still-signalled event adds nothing, so one set per wake-up.
  for (int32_t woken = InterlockedRead(&waiters.woken); woken < kWaiters; ++woken) {
    SetEvent(waiters.event);
    for (int i = 0; i < 500 && InterlockedRead(&waiters.woken) <= woken; ++i) SleepMs(10);
  }
  for (Thread thread : threads) {
    EXPECT_EQ(WaitForThread(thread, 20000), WaitResult::kSignalled);
    CloseThread(thread);
  }
  EXPECT_EQ(InterlockedRead(&waiters.woken), kWaiters);
  CloseEvent(waiters.event);
}

INSTANTIATE_TEST_SUITE_P(Events, EventWake,
                         ::testing::Values(WakeCase{"AutoResetWakesOne", false, 1},
                                           WakeCase{"ManualResetWakesAll", true, 3}),
                         [](const ::testing::TestParamInfo<WakeCase>& info) {
                           return info.param.name;
                         });

TEST(Events, NullEventFails) {
  EXPECT_FALSE(SetEvent(nullptr));
  EXPECT_FALSE(ResetEvent(nullptr));
  EXPECT_EQ(WaitForEvent(nullptr, 0), WaitResult::kFailed);
}

}  // namespace
}  // namespace platform
}  // namespace quenlix
