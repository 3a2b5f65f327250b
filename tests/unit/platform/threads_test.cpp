#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/platform.h"

namespace quenlix {
namespace platform {
namespace {

// Sets a flag when destroyed: shows whether a forced end unwound the stack.
struct UnwindProbe {
  volatile int32_t* flag;
  ~UnwindProbe() { InterlockedWrite(flag, 1); }
};

struct BlockedThread {
  Event release = CreateEvent(true, false);
  Event started = CreateEvent(true, false);
  volatile int32_t unwound = 0;
  volatile int32_t id = 0;
  ~BlockedThread() {
    CloseEvent(release);
    CloseEvent(started);
  }
};

uint32_t ReturnSeven(void*) { return 7; }

uint32_t WaitForRelease(void* arg) {
  auto* state = static_cast<BlockedThread*>(arg);
  UnwindProbe probe{&state->unwound};
  InterlockedWrite(&state->id, static_cast<int32_t>(CurrentThreadId()));
  SetEvent(state->started);
  WaitForEvent(state->release, kInfinite);
  return 11;
}

uint32_t SleepForever(void* arg) {
  auto* state = static_cast<BlockedThread*>(arg);
  UnwindProbe probe{&state->unwound};
  SetEvent(state->started);
  for (;;) SleepMs(1000);
}

void WaitInsideSwallower(void* arg) { WaitForRelease(arg); }

uint32_t WaitThroughSwallower(void* arg) {
  // A forced end must pass through the swallower instead of being eaten.
  CallSwallowingExceptions(WaitInsideSwallower, arg);
  return 5;
}

// About a KiB of stack per level; the array is read after the call, so every
// level keeps its own.
uint32_t Descend(uint32_t levels) {
  volatile uint8_t frame[1024];
  frame[levels % sizeof frame] = uint8_t(levels);
  if (levels == 0) return 0;
  return Descend(levels - 1) + 1 + (frame[levels % sizeof frame] == uint8_t(levels) ? 0 : 1000);
}

uint32_t DescendBy(void* levels) { return Descend(*static_cast<uint32_t*>(levels)); }

// The driver's threads ask for small stacks: the least reservation (64 KiB)
// must start, also where the C library or a sanitizer keeps its own data on
// the thread's stack, and must hold 40 KiB, over twice the deepest use
// measured on a driver thread.
TEST(Threads, SmallStackStartsAndHoldsADeepPath) {
  uint32_t levels = 40;
  Thread thread = StartThread(DescendBy, &levels, nullptr, 64 * 1024);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(WaitForThread(thread, 10000), WaitResult::kSignalled);
  uint32_t code = 0;
  EXPECT_TRUE(GetThreadExitCode(thread, &code));
  EXPECT_EQ(code, levels);
  CloseThread(thread);
}

TEST(Threads, StartedThreadEndsWithItsExitCode) {
  uint32_t id = 0;
  Thread thread = StartThread(ReturnSeven, nullptr, &id);
  ASSERT_NE(thread, nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_EQ(WaitForThread(thread, 10000), WaitResult::kSignalled);
  uint32_t code = 0;
  EXPECT_TRUE(GetThreadExitCode(thread, &code));
  EXPECT_EQ(code, 7u);
  // An ended thread is still signalled, and a late forced end changes nothing.
  EXPECT_EQ(WaitForThread(thread, 0), WaitResult::kSignalled);
  EXPECT_TRUE(TerminateThread(thread, 1));
  EXPECT_TRUE(GetThreadExitCode(thread, &code));
  EXPECT_EQ(code, 7u);
  CloseThread(thread);
}

TEST(Threads, WaitTimesOutWhileThreadRunsAndIdMatches) {
  BlockedThread state;
  uint32_t id = 0;
  Thread thread = StartThread(WaitForRelease, &state, &id);
  ASSERT_NE(thread, nullptr);
  ASSERT_EQ(WaitForEvent(state.started, 10000), WaitResult::kSignalled);
  EXPECT_EQ(static_cast<uint32_t>(InterlockedRead(&state.id)), id);
  EXPECT_NE(id, CurrentThreadId());

  const uint64_t before = MonotonicMs();
  EXPECT_EQ(WaitForThread(thread, 100), WaitResult::kTimeout);
  EXPECT_GE(MonotonicMs() - before, 80u);  // the Windows tick is up to 16 ms
  uint32_t code = 0;
  EXPECT_FALSE(GetThreadExitCode(thread, &code));
  EXPECT_FALSE(IsCurrentThread(thread));
  EXPECT_TRUE(SetThreadPriority(thread, ThreadPriority::kAboveNormal));

  SetEvent(state.release);
  EXPECT_EQ(WaitForThread(thread, 10000), WaitResult::kSignalled);
  EXPECT_TRUE(GetThreadExitCode(thread, &code));
  EXPECT_EQ(code, 11u);
  EXPECT_EQ(InterlockedRead(&state.unwound), 1);
  CloseThread(thread);
}

struct ForcedEndCase {
  const char* name;
  ThreadProc proc;
};

class ForcedEnd : public ::testing::TestWithParam<ForcedEndCase> {};

TEST_P(ForcedEnd, BlockedThreadEndsWithTheGivenCode) {
  BlockedThread state;
  Thread thread = StartThread(GetParam().proc, &state, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_EQ(WaitForEvent(state.started, 10000), WaitResult::kSignalled);
  SleepMs(20);  // let it reach its wait
  EXPECT_TRUE(TerminateThread(thread, 99));
  ASSERT_EQ(WaitForThread(thread, 10000), WaitResult::kSignalled);
  uint32_t code = 0;
  EXPECT_TRUE(GetThreadExitCode(thread, &code));
  EXPECT_EQ(code, 99u);
#if !defined(_WIN32)
  // The POSIX end unwinds the stack, as the contract says; Windows does not.
  EXPECT_EQ(InterlockedRead(&state.unwound), 1);
#endif
  CloseThread(thread);
}

INSTANTIATE_TEST_SUITE_P(Threads, ForcedEnd,
                         ::testing::Values(ForcedEndCase{"InEventWait", WaitForRelease},
                                           ForcedEndCase{"InSleep", SleepForever},
                                           ForcedEndCase{"InsideSwallower", WaitThroughSwallower}),
                         [](const ::testing::TestParamInfo<ForcedEndCase>& info) {
                           return info.param.name;
                         });

struct SelfCheck {
  Event go = CreateEvent(true, false);
  Thread self = nullptr;
  volatile int32_t sawItself = -1;
  ~SelfCheck() { CloseEvent(go); }
};

uint32_t CheckSelf(void* arg) {
  auto* check = static_cast<SelfCheck*>(arg);
  WaitForEvent(check->go, kInfinite);
  InterlockedWrite(&check->sawItself, IsCurrentThread(check->self) ? 1 : 0);
  return 0;
}

TEST(Threads, IsCurrentThreadOnlyOnTheThreadItself) {
  SelfCheck check;
  Thread thread = StartThread(CheckSelf, &check, nullptr);
  ASSERT_NE(thread, nullptr);
  check.self = thread;
  SetEvent(check.go);
  ASSERT_EQ(WaitForThread(thread, 10000), WaitResult::kSignalled);
  EXPECT_EQ(InterlockedRead(&check.sawItself), 1);
  EXPECT_FALSE(IsCurrentThread(thread));
  EXPECT_FALSE(IsCurrentThread(nullptr));
  CloseThread(thread);
}

TEST(Threads, ClosedHandleLeavesTheThreadRunning) {
  BlockedThread state;
  Thread thread = StartThread(WaitForRelease, &state, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_EQ(WaitForEvent(state.started, 10000), WaitResult::kSignalled);
  CloseThread(thread);
  SetEvent(state.release);
  // The thread still runs to its end; its probe proves it unwound normally.
  for (int i = 0; i < 1000 && InterlockedRead(&state.unwound) == 0; ++i) SleepMs(10);
  EXPECT_EQ(InterlockedRead(&state.unwound), 1);
  SleepMs(50);  // let it leave before the state goes away
}

void Throws(void*) { throw std::runtime_error("escaping"); }
void Counts(void* arg) { InterlockedIncrement(static_cast<volatile int32_t*>(arg)); }

TEST(Threads, CallSwallowingExceptionsReportsASwallowedException) {
  volatile int32_t calls = 0;
  EXPECT_TRUE(CallSwallowingExceptions(Counts, const_cast<int32_t*>(&calls)));
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(CallSwallowingExceptions(Throws, nullptr));
}

TEST(Threads, NullHandlesFail) {
  EXPECT_EQ(StartThread(nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(WaitForThread(nullptr, 0), WaitResult::kFailed);
  uint32_t code = 0;
  EXPECT_FALSE(GetThreadExitCode(nullptr, &code));
  EXPECT_FALSE(TerminateThread(nullptr, 0));
  EXPECT_FALSE(SetThreadPriority(nullptr, ThreadPriority::kNormal));
}

}  // namespace
}  // namespace platform
}  // namespace quenlix
