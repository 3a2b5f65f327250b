#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "thread/simple_thread.h"
#include "thread/ticker_thread.h"
#include "thread/work_item_thread.h"

namespace quenlix {
namespace thread {
namespace {

class BlockingThread : public CSimpleThread {
 public:
  explicit BlockingThread(platform::Event release) : release_(release) {}
  void Run() override {
    ++runs;
    platform::WaitForEvent(release_, platform::kInfinite);
  }
  std::atomic<int> runs{0};

 private:
  platform::Event release_;
};

TEST(CSimpleThread, SecondStartFailsAndTheFirstThreadKeepsRunning) {
  platform::Event release = platform::CreateEvent(true, false);
  BlockingThread t(release);
  ASSERT_TRUE(t.Start("first"));
  EXPECT_FALSE(t.Start("second"));
  EXPECT_EQ(t.Name(), "first");
  EXPECT_TRUE(t.HasThread());
  platform::SetEvent(release);
  EXPECT_TRUE(t.Join());
  EXPECT_FALSE(t.HasThread());
  EXPECT_EQ(t.runs.load(), 1);
  // Startable again once joined.
  ASSERT_TRUE(t.Start("again"));
  EXPECT_TRUE(t.Join());
  EXPECT_EQ(t.runs.load(), 2);
  platform::CloseEvent(release);
}

class SelfJoiningThread : public CSimpleThread {
 public:
  void Run() override {
    // Start has returned and stored the handle before the thread joins itself.
    platform::WaitForEvent(go, platform::kInfinite);
    const bool result = Join();
    joined = result;
  }
  platform::Event go = platform::CreateEvent(true, false);
  std::atomic<bool> joined{false};
  ~SelfJoiningThread() override { platform::CloseEvent(go); }
};

TEST(CSimpleThread, JoinFromTheThreadItselfDoesNotDeadlock) {
  SelfJoiningThread t;
  ASSERT_TRUE(t.Start("self"));
  platform::SetEvent(t.go);
  for (int i = 0; i < 500 && !t.joined; ++i) platform::SleepMs(2);
  EXPECT_TRUE(t.joined.load());
  EXPECT_FALSE(t.HasThread());
}

class CountingTicker : public CTickerThread {
 public:
  void Tick() override {
    ticks++;
    times.push_back(platform::MonotonicMs());
  }
  std::atomic<int> ticks{0};
  std::vector<uint64_t> times;
};

TEST(CTickerThread, StoppedBeforeItsFirstPeriodNeverTicks) {
  CountingTicker t;
  EXPECT_EQ(t.PeriodMs(), 2000u);
  ASSERT_TRUE(t.Start("ticker"));
  platform::SleepMs(100);
  const uint64_t before = platform::MonotonicMs();
  EXPECT_TRUE(t.Stop());
  EXPECT_LT(platform::MonotonicMs() - before, 1000u) << "Stop is seen at once";
  EXPECT_EQ(t.ticks.load(), 0);
}

TEST(CTickerThread, TicksOncePerPeriodAndRestartsAfterStop) {
  CountingTicker t;
  t.SetPeriodMs(50);
  const uint64_t start = platform::MonotonicMs();
  ASSERT_TRUE(t.Start("ticker"));
  while (t.ticks.load() < 4) platform::SleepMs(5);
  EXPECT_TRUE(t.Stop());
  ASSERT_GE(t.times.size(), 4u);
  EXPECT_GE(t.times[0] - start, 45u) << "the first tick comes one period after the start";
  for (size_t i = 1; i < t.times.size(); ++i) EXPECT_GE(t.times[i] - t.times[i - 1], 45u);
  EXPECT_TRUE(t.Stop()) << "stopping a stopped ticker is fine";
  const int before = t.ticks.load();
  ASSERT_TRUE(t.Start("again"));
  while (t.ticks.load() == before) platform::SleepMs(5);
  EXPECT_TRUE(t.Stop());
}

// The last resort of the thread bodies: what a body throws is reported
// through OnException, the process lives on, and a ticker keeps its period.
class ThrowingTicker : public CTickerThread {
 public:
  void OnStarted() override { throw std::bad_alloc(); }
  void Tick() override {
    if (++ticks == 2) throw std::runtime_error("a host callback threw");
  }
  void OnException() override { ++exceptions; }
  std::atomic<int> ticks{0};
  std::atomic<int> exceptions{0};
};

class ThrowingThread : public CSimpleThread {
 public:
  void Run() override { throw std::runtime_error("injected"); }
  void OnException() override { ++exceptions; }
  std::atomic<int> exceptions{0};
};

TEST(ThreadBodies, AnExceptionIsReportedAndTheThreadRunsOn) {
  ThrowingThread once;
  ASSERT_TRUE(once.Start("throws"));
  EXPECT_TRUE(once.Join());
  EXPECT_EQ(once.exceptions.load(), 1);

  ThrowingTicker ticker;
  ticker.SetPeriodMs(20);
  ASSERT_TRUE(ticker.Start("ticker"));
  for (int i = 0; i < 500 && ticker.ticks.load() < 4; ++i) platform::SleepMs(5);
  EXPECT_TRUE(ticker.Stop());
  EXPECT_GE(ticker.ticks.load(), 4) << "ticks go on after the throwing ones";
  EXPECT_EQ(ticker.exceptions.load(), 2) << "OnStarted and the second tick";
}

struct Job : CWorkItemThread::IWorkItem {
  Job(int v, std::atomic<int>* live) : value(v), live(live) { ++*live; }
  ~Job() override { --*live; }
  int value;
  std::atomic<int>* live;
};

class RecordingWorker : public CWorkItemThread {
 public:
  void Process(IWorkItem* item) override {
    auto* job = static_cast<Job*>(item);
    if (job->value < 0) throw std::runtime_error("bad item");
    if (job->value == 0) {
      // The first item blocks so that later posts queue up behind it.
      platform::WaitForEvent(gate, platform::kInfinite);
    }
    std::lock_guard<std::mutex> lock(mutex);
    done.push_back(job->value);
  }
  void OnItemQueued(IWorkItem*, uint32_t flag) override { flags.push_back(flag); }

  platform::Event gate = platform::CreateEvent(true, false);
  std::mutex mutex;
  std::vector<int> done;
  std::vector<uint32_t> flags;
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
};

TEST(CWorkItemThread, RunsItemsInOrderAndSwallowsExceptions) {
  std::atomic<int> live{0};
  RecordingWorker w;
  ASSERT_TRUE(w.Start("worker"));
  ASSERT_TRUE(w.Post(new Job(0, &live)));
  for (int v : {1, -1, 2, 3}) ASSERT_TRUE(w.Post(new Job(v, &live)));
  platform::SleepMs(20);
  EXPECT_TRUE(w.Done().empty());
  platform::SetEvent(w.gate);
  for (int i = 0; i < 1000 && w.Done().size() < 4; ++i) platform::SleepMs(2);
  EXPECT_EQ(w.Done(), (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(w.flags, (std::vector<uint32_t>(5, 0)));
  EXPECT_TRUE(w.Stop());
  EXPECT_EQ(live.load(), 0) << "every item was destroyed, the throwing one too";
}

TEST(CWorkItemThread, PostAfterStopFailsAndTheCallerKeepsTheItem) {
  std::atomic<int> live{0};
  RecordingWorker w;
  Job* early = new Job(5, &live);
  EXPECT_FALSE(w.Post(early)) << "never started";
  ASSERT_TRUE(w.Start("worker"));
  EXPECT_FALSE(w.Post(nullptr));
  EXPECT_TRUE(w.Stop());
  Job* late = new Job(6, &live);
  EXPECT_FALSE(w.Post(late));
  EXPECT_EQ(live.load(), 2) << "both items are still the caller's";
  delete early;
  delete late;
  EXPECT_TRUE(w.Done().empty());
}

TEST(CWorkItemThread, StopDestroysQueuedItemsUnexecuted) {
  std::atomic<int> live{0};
  RecordingWorker w;
  ASSERT_TRUE(w.Start("worker"));
  ASSERT_TRUE(w.Post(new Job(0, &live)));
  platform::SleepMs(20);  // the blocking item is now running
  for (int v : {7, 8, 9}) ASSERT_TRUE(w.Post(new Job(v, &live)));
  std::thread opener([&] {
    platform::SleepMs(50);
    platform::SetEvent(w.gate);
  });
  EXPECT_TRUE(w.Stop());
  opener.join();
  EXPECT_EQ(w.Done(), (std::vector<int>{0})) << "the running item finished, the rest were dropped";
  EXPECT_EQ(live.load(), 0);
  // The thread can be started again and works.
  ASSERT_TRUE(w.Start("again"));
  ASSERT_TRUE(w.Post(new Job(4, &live)));
  for (int i = 0; i < 1000 && w.Done().size() < 2; ++i) platform::SleepMs(2);
  EXPECT_EQ(w.Done(), (std::vector<int>{0, 4}));
}

TEST(CWorkItemThread, DestroyingARunningWorkerLeavesNoItemBehind) {
  std::atomic<int> live{0};
  {
    RecordingWorker w;
    platform::SetEvent(w.gate);
    ASSERT_TRUE(w.Start("worker"));
    for (int v : {1, 2, 3}) ASSERT_TRUE(w.Post(new Job(v, &live)));
  }
  EXPECT_EQ(live.load(), 0);
}

}  // namespace
}  // namespace thread
}  // namespace quenlix
