#include "channels/base_camera_channel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "channel_test_helpers.h"

namespace quenlix {
namespace {

using testing_channels::FakeDriver;
using testing_channels::LogLine;

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
    if (ignoreStop.load()) {
      for (;;) platform::SleepMs(20);  // ended only by force
    }
    while (platform::WaitForEvent(stopEvent, 1000) == platform::WaitResult::kTimeout) {
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

const char kName[] = "quenlix::CBaseCameraChannel::SetCameraState: ";

TEST(BaseCameraChannel, StopOnAFreshChannelLogsNothingAndWaitsForNothing) {
  FakeDriver driver;
  TestChannel channel(0, &driver, nullptr);
  EXPECT_EQ(channel.GetState(), uint32_t(CameraStopped));
  channel.Stop();
  EXPECT_TRUE(driver.Lines().empty());
  EXPECT_EQ(channel.wakes.load(), 0);
  EXPECT_FALSE(channel.HasWorker());
}

TEST(BaseCameraChannel, CameraStateLinesAreLoggedOncePerChange) {
  FakeDriver driver;
  driver.SetAddress("10.1.2.3");
  TestChannel channel(2, &driver, nullptr);
  struct Step {
    uint32_t state;
    bool online;
  };
  // Repeats of the same report are silent; the offline text follows the state.
  const Step steps[] = {{CameraStreaming, true},   {CameraStreaming, true},
                        {CameraSignalLost, false}, {CameraSignalLost, false},
                        {CameraStreaming, true},   {CameraStreaming, false},
                        {CameraStreaming, true},   {CameraStopped, false}};
  for (const Step& step : steps) {
    channel.SetState(step.state);
    channel.SetCameraState(step.online);
  }
  const std::vector<LogLine> expected = {
      {3, std::string(kName) + "Camera 10.1.2.3 is online"},
      {1, std::string(kName) + "Signal was lost for camera 10.1.2.3 (channel 2)"},
      {3, std::string(kName) + "Camera 10.1.2.3 is online"},
      {1, std::string(kName) + "Camera 10.1.2.3 is offline or failed"},
      {3, std::string(kName) + "Camera 10.1.2.3 is online"},
      {3, std::string(kName) + "Camera 10.1.2.3 is offline. Channel was stopped"},
  };
  EXPECT_EQ(driver.Lines(), expected);
}

TEST(BaseCameraChannel, StopReportsAnOnlineCameraOfflineAndEndsTheWorker) {
  FakeDriver driver;
  TestChannel channel(1, &driver, nullptr);
  ASSERT_TRUE(channel.Start(STREAM_SETTINGS{40, 50, 704, 576}));
  channel.SetCameraState(true);
  channel.Stop();
  EXPECT_EQ(channel.running.load(), 0);
  EXPECT_EQ(channel.wakes.load(), 1);
  EXPECT_FALSE(channel.HasWorker());
  EXPECT_FALSE(channel.IsOnline());
  ASSERT_EQ(driver.Lines().size(), 2u);
  EXPECT_EQ(driver.Lines()[1].text,
            std::string(kName) + "Camera 127.0.0.1 is offline. Channel was stopped");
}

TEST(BaseCameraChannel, SecondStartEndsTheFirstWorkerFirst) {
  FakeDriver driver;
  TestChannel channel(0, &driver, nullptr);
  ASSERT_TRUE(channel.Start(STREAM_SETTINGS{40, 50, 352, 288}));
  ASSERT_TRUE(channel.Start(STREAM_SETTINGS{100, 60, 704, 576}));
  ASSERT_TRUE([&] {
    for (int i = 0; i < 500 && channel.runs.load() < 2; ++i) platform::SleepMs(5);
    return channel.runs.load() == 2;
  }());
  EXPECT_EQ(channel.running.load(), 1);  // never two workers at once
  EXPECT_EQ(channel.GetSettings().quality, 60u);
  channel.Stop();
  EXPECT_EQ(channel.running.load(), 0);
}

TEST(BaseCameraChannel, RestartTakesSizeAndIntervalButKeepsQuality) {
  FakeDriver driver;
  TestChannel channel(0, &driver, nullptr);
  ASSERT_TRUE(channel.Start(STREAM_SETTINGS{40, 70, 352, 288}));
  channel.SetCameraState(true);
  ASSERT_TRUE(channel.Restart(STREAM_SETTINGS{200, 10, 1280, 720}));
  STREAM_SETTINGS s = channel.GetSettings();
  EXPECT_EQ(s.frameIntervalMs, 200u);
  EXPECT_EQ(s.quality, 70u);
  EXPECT_EQ(s.width, 1280u);
  EXPECT_EQ(s.height, 720u);
  EXPECT_TRUE(channel.HasWorker());
  EXPECT_EQ(channel.GetState(), uint32_t(CameraStopped));
  EXPECT_EQ(driver.Lines().size(), 1u);  // a restart does not report the camera offline
  channel.Stop();
}

TEST(BaseCameraChannel, WorkerThatIgnoresTheStopEventIsEndedByForce) {
  FakeDriver driver;
  driver.SetTimes(100, 10000);  // waits 2 x 100 ms before the forced end
  TestChannel channel(0, &driver, nullptr);
  channel.ignoreStop = true;
  ASSERT_TRUE(channel.Start(STREAM_SETTINGS{40, 50, 352, 288}));
  ASSERT_TRUE([&] {
    for (int i = 0; i < 500 && channel.runs.load() == 0; ++i) platform::SleepMs(5);
    return channel.runs.load() == 1;
  }());
  channel.Stop();
  EXPECT_FALSE(channel.HasWorker());
  EXPECT_EQ(channel.running.load(), 1);  // Run never returned
}

// What escapes the worker's loop is reported and the worker runs its loop
// again; the host's process lives on and a stop still ends the worker.
TEST(BaseCameraChannel, WorkerReportsAnExceptionAndResumesItsLoop) {
  FakeDriver driver;
  TestChannel channel(1, &driver, nullptr);
  channel.throwingRuns = 2;
  ASSERT_TRUE(channel.Start(STREAM_SETTINGS{40, 50, 352, 288}));
  for (int i = 0; i < 1000 && channel.running.load() == 0; ++i) platform::SleepMs(5);
  EXPECT_EQ(channel.running.load(), 1) << "the third run of the loop is under way";
  const LogLine report = {
      1,
      "quenlix::CBaseCameraChannel::RunGuarded: an exception interrupted the worker of channel 1"};
  const std::vector<LogLine> lines = driver.Lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), report), 2);
  const auto before = std::chrono::steady_clock::now();
  channel.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
  EXPECT_EQ(channel.running.load(), 0);
  EXPECT_FALSE(channel.HasWorker());
}

TEST(BaseCameraChannel, LastFrameClock) {
  FakeDriver driver;
  TestChannel channel(0, &driver, nullptr);
  // Never touched: measured from 1601, far beyond any signal time-out.
  EXPECT_GT(channel.MsSinceLastFrame(), 10000u);
  channel.TouchLastFrame();
  EXPECT_LT(channel.MsSinceLastFrame(), 10000u);
}

}  // namespace
}  // namespace quenlix
