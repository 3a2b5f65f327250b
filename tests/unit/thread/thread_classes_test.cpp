#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/wait_for.h"
#include "thread/recursive_lock.h"
#include "thread/simple_thread.h"
#include "thread/ticker_thread.h"
#include "thread/work_item_thread.h"

namespace quenlix {
namespace thread {
namespace {

using testhost::WaitFor;

// Runs until released; then joins itself or throws when asked to.
class BlockingThread : public CSimpleThread {
 public:
  ~BlockingThread() override { platform::CloseEvent(release); }
  void Run() override {
    ++runs;
    platform::WaitForEvent(release, platform::kInfinite);
    if (throws) throw std::runtime_error("injected");
    if (joinItself) joined = Join();
  }
  void OnException() override { ++exceptions; }
  platform::Event release = platform::CreateEvent(true, false);
  bool joinItself = false, throws = false;
  std::atomic<int> runs{0}, exceptions{0};
  std::atomic<bool> joined{false};
};

TEST(CSimpleThread, RunsOnceAtATimeReportsWhatItThrowsAndStartsAgainOnceJoined) {
  BlockingThread t;
  ASSERT_TRUE(t.Start("first"));
  EXPECT_FALSE(t.Start("second"));
  EXPECT_EQ(t.Name(), "first");
  EXPECT_TRUE(t.HasThread());
  platform::SetEvent(t.release);
  EXPECT_TRUE(t.Join());
  EXPECT_FALSE(t.HasThread());
  EXPECT_EQ(t.runs.load(), 1);
  EXPECT_EQ(t.exceptions.load(), 0);
  t.throws = true;
  ASSERT_TRUE(t.Start("again"));
  EXPECT_TRUE(t.Join());
  EXPECT_EQ(t.runs.load(), 2);
  EXPECT_EQ(t.exceptions.load(), 1);
  // A join from the thread itself must not deadlock.
  t.throws = false;
  t.joinItself = true;
  platform::ResetEvent(t.release);
  ASSERT_TRUE(t.Start("self"));
  platform::SetEvent(t.release);  // only now: Start has stored the handle
  EXPECT_TRUE(WaitFor([&] { return t.joined.load(); }));
  EXPECT_FALSE(t.HasThread());
}

// What a ticker body throws is reported through OnException, and the ticker
// keeps its period.
class Ticker : public CTickerThread {
 public:
  void OnStarted() override {
    if (throws) throw std::bad_alloc();
  }
  void Tick() override {
    times.push_back(platform::MonotonicMs());
    if (++ticks == 2 && throws) throw std::runtime_error("a host callback threw");
  }
  void OnException() override { ++exceptions; }
  bool throws = false;
  std::atomic<int> ticks{0}, exceptions{0};
  std::vector<uint64_t> times;  // read once stopped
};

// Throwing from OnStarted and from the second tick costs those steps only.
TEST(CTickerThread, TicksOncePerPeriodFromOnePeriodAfterTheStartUntilStopped) {
  Ticker t;
  ASSERT_TRUE(t.Start("ticker"));
  platform::SleepMs(100);
  uint64_t start = platform::MonotonicMs();
  EXPECT_TRUE(t.Stop());
  EXPECT_LT(platform::MonotonicMs() - start, 1000u) << "Stop is seen at once";
  EXPECT_EQ(t.ticks.load(), 0);

  t.throws = true;
  t.SetPeriodMs(50);
  start = platform::MonotonicMs();
  ASSERT_TRUE(t.Start("again"));
  EXPECT_TRUE(WaitFor([&] { return t.ticks.load() >= 4; }));
  EXPECT_TRUE(t.Stop());
  EXPECT_TRUE(t.Stop()) << "stopping a stopped ticker is fine";
  EXPECT_EQ(t.exceptions.load(), 2);
  ASSERT_GE(t.times.size(), 4u);
  EXPECT_GE(t.times[0] - start, 45u);
  for (size_t i = 1; i < t.times.size(); ++i) EXPECT_GE(t.times[i] - t.times[i - 1], 45u);
}

std::atomic<int> liveJobs{0};

struct Job : CWorkItemThread::IWorkItem {
  explicit Job(int v) : value(v) { ++liveJobs; }
  ~Job() override { --liveJobs; }
  int value;
};

// Item 0 blocks on the gate, so that later posts queue up behind it; a
// negative item throws.
class RecordingWorker : public CWorkItemThread {
 public:
  void Process(IWorkItem* item) override {
    auto* job = static_cast<Job*>(item);
    if (job->value < 0) throw std::runtime_error("bad item");
    if (job->value == 0) platform::WaitForEvent(gate, platform::kInfinite);
    std::lock_guard<std::mutex> lock(mutex);
    done.push_back(job->value);
  }
  void OnItemQueued(IWorkItem*, uint32_t flag) override { flags.push_back(flag); }
  // Stopping here, not in the base destructor: once that runs, Process is no
  // longer this class's.
  ~RecordingWorker() override {
    Stop();
    platform::CloseEvent(gate);
  }
  std::vector<int> Done() {
    std::lock_guard<std::mutex> lock(mutex);
    return done;
  }
  bool PostAll(std::initializer_list<int> values) {
    for (int v : values)
      if (!Post(new Job(v))) return false;
    return true;
  }

  platform::Event gate = platform::CreateEvent(true, false);
  std::mutex mutex;
  std::vector<int> done;
  std::vector<uint32_t> flags;
};

// Items run in order, only while running; a throwing one is swallowed;
// stopping drops what is queued behind the running item.
TEST(CWorkItemThread, RunsItemsInOrderOnlyWhileRunningAndStopDropsTheQueue) {
  std::unique_ptr<Job> refused(new Job(5));
  {
    RecordingWorker w;
    EXPECT_FALSE(w.Post(refused.get())) << "never started";
    ASSERT_TRUE(w.Start("worker"));
    EXPECT_FALSE(w.Post(nullptr));
    ASSERT_TRUE(w.PostAll({0, 1, -1, 2, 3}));
    platform::SleepMs(20);
    EXPECT_TRUE(w.Done().empty());
    platform::SetEvent(w.gate);
    EXPECT_TRUE(WaitFor([&] { return w.Done().size() >= 4; }));
    EXPECT_EQ(w.Done(), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(w.flags, (std::vector<uint32_t>(5, 0)));
    EXPECT_TRUE(w.Stop());
    EXPECT_FALSE(w.Post(refused.get())) << "stopped";
    EXPECT_EQ(liveJobs.load(), 1) << "every posted item was destroyed, the throwing one too";

    platform::ResetEvent(w.gate);
    ASSERT_TRUE(w.Start("again"));
    ASSERT_TRUE(w.PostAll({0}));
    platform::SleepMs(20);  // the blocking item is now running
    ASSERT_TRUE(w.PostAll({7, 8, 9}));
    std::thread opener([&] {
      platform::SleepMs(50);
      platform::SetEvent(w.gate);
    });
    EXPECT_TRUE(w.Stop());
    opener.join();
    EXPECT_EQ(w.Done(), (std::vector<int>{0, 1, 2, 3, 0}))
        << "the running item finished, the rest were dropped";
    EXPECT_EQ(liveJobs.load(), 1);
    ASSERT_TRUE(w.Start("third"));
    ASSERT_TRUE(w.PostAll({4, 1, 2, 3}));
  }
  EXPECT_EQ(liveJobs.load(), 1) << "destroying a running worker leaves no item behind";
}

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
}  // namespace thread
}  // namespace quenlix
