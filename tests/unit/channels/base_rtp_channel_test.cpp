#include "channels/base_rtp_channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "channel_test_helpers.h"

namespace quenlix {
namespace {

using testing_channels::FakeDriver;
using testing_channels::FakeSample;
using testing_channels::FakeSink;
using testing_channels::LogLine;
using testing_channels::WaitFor;

// The session start is a test double; the RTP port is the real one.
// Payloads beginning with 'F' end a frame, which goes to OnFrame.
class TestRTPChannel : public CBaseRTPChannel {
 public:
  using CBaseRTPChannel::CBaseRTPChannel;
  ~TestRTPChannel() override { StopWorker(); }

  bool PrepareParser() override {
    prepared++;
    return prepareOk.load();
  }
  bool InitSession() override {
    sessions++;
    return true;
  }
  bool OpenRtpPort() override { return CBaseRTPChannel::OpenRtpPort(); }
  bool StartSession() override { return startOk.load(); }
  void SendKeepAlive() override {}
  void OnTick() override { ticks++; }
  void OnMediaPacket(const RTPPacket& packet) override {
    if (stopped.load()) lateCallbacks++;
    packets++;
    lastSequence = packet.sequenceNumber;
    if (packet.payloadLength > 0 && packet.payload[0] == 'F') {
      FakeSample sample;
      if (OnFrame(&sample)) framesTaken++;
    }
  }
  bool DataEventWasSet() {
    return platform::WaitForEvent(dataEvent, 0) == platform::WaitResult::kSignalled;
  }

  std::atomic<bool> prepareOk{true};
  std::atomic<bool> startOk{true};
  std::atomic<int> prepared{0};
  std::atomic<int> sessions{0};
  std::atomic<int> ticks{0};
  std::atomic<int> packets{0};
  std::atomic<int> framesTaken{0};
  std::atomic<int> lastSequence{-1};
  // Set by the test once Stop has returned: nothing may arrive after it.
  std::atomic<bool> stopped{false};
  std::atomic<int> lateCallbacks{0};
};

class Camera {
 public:
  Camera() : socket(platform::CreateUdpSocket()) {
    platform::BindSocket(socket, platform::InetAddr("127.0.0.1"), 0);
  }
  ~Camera() { platform::CloseSocket(socket); }
  void Send(uint32_t port, uint16_t sequence, char first) {
    if (port == 0) return;
    const uint8_t d[] = {
        0x80,           96, uint8_t(sequence >> 8), uint8_t(sequence), 0, 0, 0, 1, 0, 0, 0, 7,
        uint8_t(first), 0};
    platform::SocketAddress to;
    to.address = platform::InetAddr("127.0.0.1");
    to.port = platform::HostToNet16(uint16_t(port));
    platform::SendTo(socket, d, sizeof d, to);
  }
  platform::SocketHandle socket;
};

const STREAM_SETTINGS kSettings{40, 50, 704, 576};
const std::string kName = "quenlix::CBaseCameraChannel::SetCameraState: ";

TEST(BaseRTPChannel, CameraPacketsReachTheParserAndFramesTheSink) {
  FakeDriver driver;
  FakeSink sink;
  TestRTPChannel channel(0, &driver, &sink);
  EXPECT_EQ(channel.GetResolution(), std::make_pair(0u, 0u));
  ASSERT_TRUE(channel.Start(kSettings));
  ASSERT_TRUE(WaitFor([&] { return channel.GetState() == CameraStreaming; }));
  EXPECT_EQ(channel.GetResolution(), std::make_pair(704u, 576u));
  Camera camera;
  camera.Send(channel.GetLocalRtpPort(), 10, 'x');
  camera.Send(channel.GetLocalRtpPort(), 11, 'F');
  camera.Send(channel.GetLocalRtpPort(), 12, 'F');
  ASSERT_TRUE(WaitFor([&] { return channel.framesTaken.load() == 2; }));
  EXPECT_EQ(channel.packets.load(), 3);
  EXPECT_EQ(channel.lastSequence.load(), 12);
  EXPECT_TRUE(channel.DataEventWasSet());
  EXPECT_EQ(sink.delivered.load(), 2);
  channel.Stop();
  const std::vector<LogLine> expected = {
      {3, kName + "Camera 127.0.0.1 is online"},
      {3, kName + "Camera 127.0.0.1 is offline. Channel was stopped"}};
  EXPECT_EQ(driver.Lines(), expected);
  EXPECT_EQ(channel.GetLocalRtpPort(), 0u);
}

TEST(BaseRTPChannel, PacketsFromAnotherAddressAreIgnoredAndAreNoData) {
  FakeDriver driver;
  driver.SetAddress("127.0.0.2");  // the camera; the test sends from 127.0.0.1
  FakeSink sink;
  TestRTPChannel channel(0, &driver, &sink);
  ASSERT_TRUE(channel.Start(kSettings));
  ASSERT_TRUE(WaitFor([&] { return channel.GetLocalRtpPort() != 0; }));
  Camera stranger;
  for (uint16_t i = 0; i < 5; ++i) stranger.Send(channel.GetLocalRtpPort(), i, 'F');
  platform::SleepMs(300);
  EXPECT_EQ(channel.packets.load(), 0);
  EXPECT_FALSE(channel.DataEventWasSet());
  EXPECT_EQ(sink.delivered.load(), 0);
  // The control: a packet from the camera's own address gets through.
  RTPPacket packet;
  uint8_t payload[] = {'x'};
  packet.payload = payload;
  packet.payloadLength = 1;
  platform::SocketAddress camera;
  camera.address = platform::InetAddr("127.0.0.2");
  channel.OnRTPPacket(nullptr, camera, packet);
  EXPECT_EQ(channel.packets.load(), 1);
  EXPECT_TRUE(channel.DataEventWasSet());
  channel.Stop();
  EXPECT_TRUE(driver.Lines().empty());  // never online
}

TEST(BaseRTPChannel, SilentStreamIsMarkedLostRestartedAndReportedToTheSink) {
  FakeDriver driver;
  driver.SetTimes(40000, 400);
  FakeSink sink;
  TestRTPChannel channel(3, &driver, &sink);
  ASSERT_TRUE(channel.Start(kSettings));
  ASSERT_TRUE(WaitFor([&] { return channel.GetLocalRtpPort() != 0; }));
  Camera camera;
  camera.Send(channel.GetLocalRtpPort(), 1, 'F');
  ASSERT_TRUE(WaitFor([&] { return channel.framesTaken.load() == 1; }));

  // Frames stop: after 2 x 400 ms the sink hears of it and reception restarts.
  ASSERT_TRUE(WaitFor([&] { return sink.signalLost.load() >= 1; }));
  ASSERT_TRUE(WaitFor([&] { return channel.sessions.load() >= 2; }));
  ASSERT_TRUE(WaitFor(
      [&] { return channel.GetState() == CameraStreaming && channel.GetLocalRtpPort() != 0; }));
  // The restarted stream delivers again and the camera is back online.
  ASSERT_TRUE(WaitFor([&] {
    camera.Send(channel.GetLocalRtpPort(), 2, 'F');
    return channel.IsOnline();
  }));
  channel.Stop();
  const std::vector<LogLine> expected = {
      {3, kName + "Camera 127.0.0.1 is online"},
      {1, kName + "Signal was lost for camera 127.0.0.1 (channel 3)"},
      {3, kName + "Camera 127.0.0.1 is online"},
      {3, kName + "Camera 127.0.0.1 is offline. Channel was stopped"}};
  EXPECT_EQ(driver.Lines(), expected);
}

TEST(BaseRTPChannel, SessionsThatStartButCarryNothingAreStillReportedLost) {
  // Long enough a time-out that one loss and the report fall in different
  // cycles: after one frame every restart succeeds, yet no frame comes.
  FakeDriver driver;
  driver.SetTimes(40000, 1500);
  FakeSink sink;
  TestRTPChannel channel(0, &driver, &sink);
  ASSERT_TRUE(channel.Start(kSettings));
  ASSERT_TRUE(WaitFor([&] { return channel.GetLocalRtpPort() != 0; }));
  Camera camera;
  camera.Send(channel.GetLocalRtpPort(), 1, 'F');
  ASSERT_TRUE(WaitFor([&] { return channel.framesTaken.load() == 1; }));
  ASSERT_TRUE(WaitFor([&] { return channel.sessions.load() >= 2; }));
  EXPECT_EQ(sink.signalLost.load(), 0);  // the first loss only restarts
  EXPECT_TRUE(WaitFor([&] { return sink.signalLost.load() >= 1; }, 10000));
  channel.Stop();
  const std::vector<LogLine> expected = {
      {3, kName + "Camera 127.0.0.1 is online"},
      {1, kName + "Signal was lost for camera 127.0.0.1 (channel 0)"}};
  EXPECT_EQ(driver.Lines(), expected);
}

TEST(BaseRTPChannel, FramesTheSinkRefusesDoNotHoldOffSignalLoss) {
  FakeDriver driver;
  driver.SetTimes(40000, 300);
  FakeSink sink;
  sink.accept = false;
  TestRTPChannel channel(0, &driver, &sink);
  ASSERT_TRUE(channel.Start(kSettings));
  std::atomic<bool> sending{true};
  std::thread sender([&] {
    Camera camera;
    for (uint16_t i = 0; sending.load(); ++i) {
      camera.Send(channel.GetLocalRtpPort(), i, 'F');
      platform::SleepMs(20);
    }
  });
  bool lost = WaitFor([&] { return sink.signalLost.load() >= 1; });
  sending = false;
  sender.join();
  EXPECT_TRUE(lost);
  EXPECT_GT(sink.delivered.load(), 0);
  EXPECT_EQ(channel.framesTaken.load(), 0);
  channel.Stop();
  EXPECT_TRUE(driver.Lines().empty());
}

TEST(BaseRTPChannel, FailedStartOfReceptionLeavesItStoppedAndIsRetried) {
  FakeDriver driver;
  FakeSink sink;
  TestRTPChannel channel(0, &driver, &sink);
  channel.startOk = false;
  ASSERT_TRUE(channel.Start(kSettings));
  ASSERT_TRUE(WaitFor([&] { return channel.sessions.load() >= 2; }));
  EXPECT_NE(channel.GetState(), uint32_t(CameraStreaming));
  // Each failed attempt closes its port again until the next one.
  EXPECT_TRUE(WaitFor([&] { return channel.GetLocalRtpPort() == 0; }));
  channel.startOk = true;
  ASSERT_TRUE(WaitFor([&] { return channel.GetState() == CameraStreaming; }));
  // Once streaming, the worker ticks the session every cycle.
  EXPECT_TRUE(WaitFor([&] { return channel.ticks.load() >= 1; }));
  channel.Stop();
}

// Start, stop, restart and reconfigure from the host's thread while a camera
// keeps sending; after each Stop nothing may reach the channel.
TEST(BaseRTPChannel, HostOperationsWhileDatagramsArrive) {
  FakeDriver driver;
  FakeSink sink;
  TestRTPChannel channel(0, &driver, &sink);
  std::atomic<bool> sending{true};
  std::thread sender([&] {
    Camera camera;
    for (uint16_t i = 0; sending.load(); ++i) {
      camera.Send(channel.GetLocalRtpPort(), i, (i % 3) ? 'x' : 'F');
      if (i % 16 == 0) platform::SleepMs(1);
    }
  });
  for (int round = 0; round < 30; ++round) {
    channel.stopped = false;
    ASSERT_TRUE(channel.Start(STREAM_SETTINGS{40, 50, 352, 288}));
    WaitFor([&] { return channel.GetLocalRtpPort() != 0; }, 2000);
    // The first round waits for traffic, so that a slow machine still proves
    // delivery; later rounds stop at any moment of it.
    if (round == 0) WaitFor([&] { return channel.packets.load() > 0; }, 5000);
    platform::SleepMs(5);
    if (round % 2 == 0) {
      ASSERT_TRUE(channel.Restart(STREAM_SETTINGS{80, 0, 704, 576}));
      WaitFor([&] { return channel.GetLocalRtpPort() != 0; }, 2000);
      platform::SleepMs(5);
    }
    channel.Stop();
    channel.stopped = true;
    platform::SleepMs(2);
  }
  sending = false;
  sender.join();
  EXPECT_GT(channel.packets.load(), 0);
  EXPECT_EQ(channel.lateCallbacks.load(), 0);
  // Each stop reports at most one offline line after each online line.
  std::vector<LogLine> lines = driver.Lines();
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].text.find(i % 2 == 0 ? "is online" : "is offline") != std::string::npos,
              true)
        << i << ": " << lines[i].text;
  }
}

TEST(BaseRTPChannel, ThousandStartStopCyclesLeaveNothingBehind) {
  FakeDriver driver;
  FakeSink sink;
  {
    // Warm-up: first-use allocations of the runtime are not a leak.
    TestRTPChannel warm(0, &driver, &sink);
    warm.Start(kSettings);
    WaitFor([&] { return warm.GetLocalRtpPort() != 0; }, 2000);
    warm.Stop();
  }
  const int threadsBefore = testing_channels::CountThreads();
  const int descriptorsBefore = testing_channels::CountDescriptors();
  const int64_t allocationsBefore = testing_channels::LiveAllocations();
  int opened = 0;
  {
    TestRTPChannel channel(0, &driver, &sink);
    for (int i = 0; i < 1000; ++i) {
      ASSERT_TRUE(channel.Start(kSettings));
      // Every few cycles, let the worker get as far as an open port.
      if (i % 10 == 0 && WaitFor([&] { return channel.GetLocalRtpPort() != 0; }, 2000)) opened++;
      channel.Stop();
    }
  }
  EXPECT_GT(opened, 90);
  EXPECT_EQ(testing_channels::LiveAllocations(), allocationsBefore);
  if (threadsBefore < 0 || descriptorsBefore < 0) {
    GTEST_SKIP() << "this system does not list threads and descriptors";
  }
  EXPECT_EQ(testing_channels::CountThreads(), threadsBefore);
  EXPECT_EQ(testing_channels::CountDescriptors(), descriptorsBefore);
}

}  // namespace
}  // namespace quenlix
