#include "channels/base_camera_channel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

#include "channel_test_helpers.h"

namespace quenlix {
namespace {

using namespace testing_channels;

// A worker that waits for its stop event, or ignores it when told to.
class TestChannel : public CBaseCameraChannel {
 public:
  using CBaseCameraChannel::CBaseCameraChannel;
  using CBaseCameraChannel::MsSinceLastFrame;
  using CBaseCameraChannel::SetCameraState;
  using CBaseCameraChannel::TouchLastFrame;

  uint32_t Run() override {
    if (runs++ < throwingRuns.load()) throw std::runtime_error("a host callback threw");
    running++;
    while (ignoreStop.load() ||
           platform::WaitForEvent(stopEvent, 1000) != platform::WaitResult::kSignalled) {
      platform::SleepMs(20);  // ignoring the stop, ended only by force
    }
    running--;
    return 0;
  }
  void WakeWorker() override { wakes++; }

  std::atomic<bool> ignoreStop{false};
  std::atomic<int> throwingRuns{0};
  std::atomic<int> runs{0};
  std::atomic<int> running{0};
  std::atomic<int> wakes{0};
};

const std::string kName = "quenlix::CBaseCameraChannel::SetCameraState: Camera ";

TEST(BaseCameraChannel, CameraStateLinesAreLoggedOncePerChange) {
  FakeDriver driver;
  driver.SetAddress("10.1.2.3");
  {
    TestChannel fresh(0, &driver, nullptr);
    EXPECT_EQ(fresh.GetState(), uint32_t(CameraStopped));
    // Never touched: measured from 1601, far beyond any signal time-out.
    EXPECT_GT(fresh.MsSinceLastFrame(), 10000u);
    fresh.TouchLastFrame();
    EXPECT_LT(fresh.MsSinceLastFrame(), 10000u);
    // Stops at once, without a line.
    fresh.Stop();
    EXPECT_EQ(fresh.wakes.load(), 0);
    EXPECT_FALSE(fresh.HasWorker());
  }
  TestChannel channel(2, &driver, nullptr);
  // Repeats of the same report are silent; the offline text follows the state.
  const struct {
    uint32_t state;
    bool online;
  } steps[] = {{CameraStreaming, true},   {CameraStreaming, true}, {CameraSignalLost, false},
               {CameraSignalLost, false}, {CameraStreaming, true}, {CameraStreaming, false},
               {CameraStreaming, true},   {CameraStopped, false}};
  for (const auto& step : steps) {
    channel.SetState(step.state);
    channel.SetCameraState(step.online);
  }
  const std::vector<LogLine> expected = {
      {3, kName + "10.1.2.3 is online"},
      {1,
       "quenlix::CBaseCameraChannel::SetCameraState: Signal was lost for camera 10.1.2.3 (channel "
       "2)"},
      {3, kName + "10.1.2.3 is online"},
      {1, kName + "10.1.2.3 is offline or failed"},
      {3, kName + "10.1.2.3 is online"},
      {3, kName + "10.1.2.3 is offline. Channel was stopped"},
  };
  EXPECT_EQ(driver.Lines(), expected);
}

// A second start ends the first worker first; a restart takes size and
// interval but keeps the quality, and does not report the camera offline;
// a stop does.
TEST(BaseCameraChannel, StartRestartAndStopRunOneWorkerAtATime) {
  FakeDriver driver;
  TestChannel channel(1, &driver, nullptr);
  ASSERT_TRUE(channel.Start(STREAM_SETTINGS{40, 50, 352, 288}));
  ASSERT_TRUE(channel.Start(STREAM_SETTINGS{100, 70, 704, 576}));
  ASSERT_TRUE(WaitFor([&] { return channel.runs.load() == 2 && channel.running.load() == 1; }));
  channel.SetCameraState(true);
  ASSERT_TRUE(channel.Restart(STREAM_SETTINGS{200, 10, 1280, 720}));
  const STREAM_SETTINGS s = channel.GetSettings();
  EXPECT_EQ(std::vector<uint32_t>({s.frameIntervalMs, s.quality, s.width, s.height}),
            std::vector<uint32_t>({200, 70, 1280, 720}));
  EXPECT_TRUE(channel.HasWorker());
  EXPECT_EQ(channel.GetState(), uint32_t(CameraStopped));
  EXPECT_EQ(driver.Lines().size(), 1u);
  channel.Stop();
  EXPECT_EQ(channel.running.load(), 0);
  EXPECT_EQ(channel.wakes.load(), 3);
  EXPECT_FALSE(channel.HasWorker());
  EXPECT_FALSE(channel.IsOnline());
  const std::vector<LogLine> expected = {{3, kName + "127.0.0.1 is online"},
                                         {3, kName + "127.0.0.1 is offline. Channel was stopped"}};
  EXPECT_EQ(driver.Lines(), expected);
}

// What escapes the worker's loop is reported and the worker runs its loop
// again; the host's process lives on and a stop still ends the worker. A
// worker that ignores its stop event is ended by force.
TEST(BaseCameraChannel, WorkerResumesAfterAnExceptionAndIsEndedByForceIfItMustBe) {
  FakeDriver driver;
  driver.SetTimes(100, 10000);  // waits 2 x 100 ms before a forced end
  TestChannel channel(1, &driver, nullptr);
  channel.throwingRuns = 2;
  ASSERT_TRUE(channel.Start(STREAM_SETTINGS{40, 50, 352, 288}));
  ASSERT_TRUE(WaitFor([&] { return channel.running.load() == 1; }));
  const LogLine report = {
      1,
      "quenlix::CBaseCameraChannel::RunGuarded: an exception interrupted the worker of channel 1"};
  const std::vector<LogLine> lines = driver.Lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), report), 2);
  const uint64_t before = platform::MonotonicMs();
  channel.Stop();
  EXPECT_LT(platform::MonotonicMs() - before, 2000u);
  EXPECT_EQ(channel.running.load(), 0);
  EXPECT_FALSE(channel.HasWorker());
  channel.ignoreStop = true;
  ASSERT_TRUE(channel.Start(STREAM_SETTINGS{40, 50, 352, 288}));
  ASSERT_TRUE(WaitFor([&] { return channel.running.load() == 1; }));
  channel.Stop();
  EXPECT_FALSE(channel.HasWorker());
  EXPECT_EQ(channel.running.load(), 1);  // Run never returned
}

}  // namespace
}  // namespace quenlix
