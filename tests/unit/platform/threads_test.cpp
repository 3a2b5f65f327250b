#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/platform.h"
#include "platform/socket.h"
#include "support/wait_for.h"

namespace quenlix {
namespace platform {
namespace {

constexpr WaitResult kSignalled = WaitResult::kSignalled;

// Sets a flag when destroyed: shows whether a forced end unwound the stack.
struct UnwindProbe {
  volatile int32_t* flag;
  ~UnwindProbe() { InterlockedWrite(flag, 1); }
};

struct BlockedThread {
  enum Wait { kEvent, kSleep, kSocket } wait = kEvent;
  Event release = CreateEvent(true, false);
  Event started = CreateEvent(true, false);
  SocketHandle socket = CreateUdpSocket();
  Thread self = nullptr;
  volatile int32_t unwound = 0, id = 0, sawItself = -1;
  ~BlockedThread() {
    CloseEvent(release);
    CloseEvent(started);
    CloseSocket(socket);
  }
};

// Blocks in one of the waits of this layer until released or ended by force.
uint32_t Blocked(void* arg) {
  auto* state = static_cast<BlockedThread*>(arg);
  UnwindProbe probe{&state->unwound};
  InterlockedWrite(&state->id, int32_t(CurrentThreadId()));
  SetEvent(state->started);
  if (state->wait == BlockedThread::kSleep) SleepMs(kInfinite);
  if (state->wait == BlockedThread::kSocket)
    return uint32_t(WaitReadable(state->socket, kInfinite));
  WaitForEvent(state->release, kInfinite);
  InterlockedWrite(&state->sawItself, IsCurrentThread(state->self) ? 1 : 0);
  return 11;
}

// A forced end must pass through the swallower instead of being eaten.
uint32_t WaitThroughSwallower(void* arg) {
  CallSwallowingExceptions([](void* state) { Blocked(state); }, arg);
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

// The driver's threads ask for small stacks: the least reservation (64 KiB)
// must start, also where the C library or a sanitizer keeps its own data on
// the thread's stack, and must hold 40 KiB, over twice the deepest use
// measured on a driver thread.
TEST(Threads, RunningThreadTimesOutThenEndsWithItsExitCode) {
  uint32_t levels = 40, id = 0, code = 0;
  auto descend = [](void* n) { return Descend(*static_cast<uint32_t*>(n)); };
  Thread deep = StartThread(descend, &levels, nullptr, 64 * 1024);
  ASSERT_NE(deep, nullptr);
  EXPECT_EQ(WaitForThread(deep, 10000), kSignalled);
  EXPECT_TRUE(GetThreadExitCode(deep, &code));
  EXPECT_EQ(code, levels);
  CloseThread(deep);

  BlockedThread state;
  Thread thread = StartThread(Blocked, &state, &id);
  ASSERT_NE(thread, nullptr);
  state.self = thread;
  ASSERT_EQ(WaitForEvent(state.started, 10000), kSignalled);
  EXPECT_NE(id, 0u);
  EXPECT_EQ(uint32_t(InterlockedRead(&state.id)), id);
  EXPECT_NE(id, CurrentThreadId());

  const uint64_t before = MonotonicMs();
  EXPECT_EQ(WaitForThread(thread, 100), WaitResult::kTimeout);
  EXPECT_GE(MonotonicMs() - before, 80u);  // the Windows tick is up to 16 ms
  EXPECT_FALSE(GetThreadExitCode(thread, &code));
  EXPECT_FALSE(IsCurrentThread(thread));
  EXPECT_TRUE(SetThreadPriority(thread, ThreadPriority::kAboveNormal));

  SetEvent(state.release);
  EXPECT_EQ(WaitForThread(thread, 10000), kSignalled);
  EXPECT_TRUE(GetThreadExitCode(thread, &code));
  EXPECT_EQ(code, 11u);
  EXPECT_EQ(InterlockedRead(&state.unwound), 1);
  EXPECT_EQ(InterlockedRead(&state.sawItself), 1);
  // An ended thread stays signalled, and a late forced end changes nothing.
  EXPECT_EQ(WaitForThread(thread, 0), kSignalled);
  EXPECT_TRUE(TerminateThread(thread, 1));
  EXPECT_TRUE(GetThreadExitCode(thread, &code));
  EXPECT_EQ(code, 11u);
  CloseThread(thread);

  // A closed handle leaves its thread running.
  BlockedThread detached;
  ASSERT_NE(thread = StartThread(Blocked, &detached, nullptr), nullptr);
  ASSERT_EQ(WaitForEvent(detached.started, 10000), kSignalled);
  CloseThread(thread);
  SetEvent(detached.release);
  EXPECT_TRUE(testhost::WaitFor([&] { return InterlockedRead(&detached.unwound) == 1; }, 10000));
  SleepMs(50);  // let it leave before the state goes away

  EXPECT_TRUE(CallSwallowingExceptions([](void*) {}, nullptr));
  EXPECT_FALSE(
      CallSwallowingExceptions([](void*) { throw std::runtime_error("escaping"); }, nullptr));
  EXPECT_EQ(StartThread(nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(WaitForThread(nullptr, 0), WaitResult::kFailed);
  EXPECT_FALSE(GetThreadExitCode(nullptr, &code));
  EXPECT_FALSE(TerminateThread(nullptr, 0));
  EXPECT_FALSE(SetThreadPriority(nullptr, ThreadPriority::kNormal));
  EXPECT_FALSE(IsCurrentThread(nullptr));
}

TEST(Threads, BlockedThreadIsEndedByForceWithTheGivenCode) {
  const struct {
    const char* name;
    BlockedThread::Wait wait;
    ThreadProc proc;
  } cases[] = {{"event wait", BlockedThread::kEvent, Blocked},
               {"sleep", BlockedThread::kSleep, Blocked},
               {"socket wait", BlockedThread::kSocket, Blocked},
               {"swallower", BlockedThread::kEvent, WaitThroughSwallower}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BlockedThread state;
    state.wait = c.wait;
    uint32_t code = 0;
    Thread thread = StartThread(c.proc, &state, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForEvent(state.started, 10000), kSignalled);
    SleepMs(20);  // let it reach its wait
    EXPECT_TRUE(TerminateThread(thread, 99));
    ASSERT_EQ(WaitForThread(thread, 10000), kSignalled);
    EXPECT_TRUE(GetThreadExitCode(thread, &code));
    EXPECT_EQ(code, 99u);
#if !defined(_WIN32)
    // The POSIX end unwinds the stack, as the contract says; Windows does not.
    EXPECT_EQ(InterlockedRead(&state.unwound), 1);
#endif
    CloseThread(thread);
  }
}

}  // namespace
}  // namespace platform
}  // namespace quenlix
