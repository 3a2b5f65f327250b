#include <gtest/gtest.h>

#include <thread>

#include "platform/platform.h"

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
