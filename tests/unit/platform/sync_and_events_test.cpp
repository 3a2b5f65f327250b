#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/wait_for.h"

namespace quenlix {
namespace platform {
namespace {

bool OtherThreadCanEnter(CriticalSection& section) {
  bool entered = false;
  std::thread([&] {
    entered = section.TryEnter();
    if (entered) section.Leave();
  }).join();
  return entered;
}

TEST(Sync, ReentrantSectionAndInterlockedResults) {
  CriticalSection section;
  section.Enter();
  EXPECT_TRUE(section.TryEnter());
  EXPECT_FALSE(OtherThreadCanEnter(section));
  section.Leave();
  EXPECT_FALSE(OtherThreadCanEnter(section));
  section.Leave();
  EXPECT_TRUE(OtherThreadCanEnter(section));

  // Interlocked results follow the Windows conventions.
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

constexpr WaitResult kSignalled = WaitResult::kSignalled;
constexpr WaitResult kTimeout = WaitResult::kTimeout;

TEST(Events, AutoResetReleasesOneWaitManualResetStaysSignalledUntilReset) {
  Event autoReset = CreateEvent(false, true);
  Event manual = CreateEvent(true, true);
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

TEST(Events, OneSetWakesOneWaiterOfAnAutoResetEventAndAllOfAManualOne) {
  constexpr int kWaiters = 3;
  for (const bool manualReset : {false, true}) {
    SCOPED_TRACE(manualReset ? "manual reset" : "auto reset");
    Event event = CreateEvent(manualReset, false);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i) {
      waiters.emplace_back([&] {
        if (WaitForEvent(event, 20000) == kSignalled) ++woken;
      });
    }
    // Waits until more than `than` have woken, then gives a wrong extra
    // wake-up time to show.
    auto settled = [&](int than) {
      testhost::WaitFor([&] { return woken > than; }, 5000);
      SleepMs(100);
      return woken.load();
    };
    SleepMs(50);  // let them block
    SetEvent(event);
    EXPECT_EQ(settled(0), manualReset ? kWaiters : 1);
    // Setting a still-signalled event adds nothing, so one set per wake-up.
    for (int n = woken; n < kWaiters; ++n) {
      SetEvent(event);
      EXPECT_EQ(settled(n), n + 1);
    }
    for (std::thread& waiter : waiters) waiter.join();
    CloseEvent(event);
  }
}

}  // namespace
}  // namespace platform
}  // namespace quenlix
