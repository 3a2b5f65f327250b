#include "channels/base_rtp_channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "channel_test_helpers.h"
// The tests open sockets outside any channel.
#include "support/sockets_environment.h"

namespace {
std::atomic<int64_t> liveAllocations{0};
}  // namespace

// Counting replacements, so that a test can tell whether repeated start/stop
// cycles leave memory behind. Every form is replaced: a sanitizer's runtime
// provides the array and nothrow forms itself, and its free must not meet ours.
void* operator new(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  liveAllocations++;
  return p;
}
void operator delete(void* p) noexcept {
  if (p == nullptr) return;
  liveAllocations--;
  std::free(p);
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p != nullptr) liveAllocations++;
  return p;
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { operator delete(p); }

namespace quenlix {
namespace {

// Entries of /proc/self/task or /proc/self/fd; -1 where the system has none.
int CountEntries(const char* directory) {
  std::error_code error;
  int count = 0;
  for (auto it = std::filesystem::directory_iterator(directory, error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    ++count;
  }
  return error ? -1 : count;
}

using namespace testing_channels;

// The session start is a test double; the RTP port is the real one.
// Payloads beginning with 'F' end a frame, which goes to OnFrame.
class TestRTPChannel : public CBaseRTPChannel {
 public:
  using CBaseRTPChannel::CBaseRTPChannel;
  ~TestRTPChannel() override { StopWorker(); }

  bool PrepareParser() override { return true; }
  bool InitSession() override {
    sessions++;
    return true;
  }
  bool StartSession() override { return startOk.load(); }
  void SendKeepAlive() override {}
  void OnMediaPacket(const RTPPacket& packet) override {
    if (stopped.load()) lateCallbacks++;
    packets++;
    lastSequence = packet.sequenceNumber;
    FakeSample sample;
    if (packet.payload[0] == 'F' && OnFrame(&sample)) framesTaken++;
  }

  std::atomic<bool> startOk{true};
  std::atomic<int> sessions{0};
  std::atomic<int> packets{0};
  std::atomic<int> framesTaken{0};
  std::atomic<int> lastSequence{-1};
  // Set by the test once Stop has returned: nothing may arrive after it.
  std::atomic<bool> stopped{false};
  std::atomic<int> lateCallbacks{0};
};

struct Camera {
  explicit Camera(const char* address = "127.0.0.1") {
    platform::BindSocket(socket, platform::InetAddr(address), 0);
  }
  ~Camera() { platform::CloseSocket(socket); }
  void Send(uint32_t port, uint16_t sequence, char first) const {
    const uint8_t seq[] = {uint8_t(sequence >> 8), uint8_t(sequence)};
    const uint8_t d[] = {0x80, 96, seq[0], seq[1], 0, 0, 0, 1, 0, 0, 0, 7, uint8_t(first), 0};
    const platform::SocketAddress to{platform::InetAddr("127.0.0.1"),
                                     platform::HostToNet16(uint16_t(port))};
    if (port != 0) platform::SendTo(socket, d, sizeof d, to);
  }
  platform::SocketHandle socket = platform::CreateUdpSocket();
};

// Sends to the channel's port, whichever it is, until it goes: every
// framesEvery-th packet ends a frame, and every burst-th is followed by a pause.
class StreamingCamera {
 public:
  StreamingCamera(TestRTPChannel& channel, uint16_t framesEvery, uint16_t burst, uint32_t pauseMs)
      : thread([this, &channel, framesEvery, burst, pauseMs] {
          Camera camera;
          for (uint16_t i = 0; sending.load(); ++i) {
            camera.Send(channel.GetLocalRtpPort(), i, i % framesEvery == 0 ? 'F' : 'x');
            if (i % burst == 0) platform::SleepMs(pauseMs);
          }
        }) {}
  ~StreamingCamera() {
    sending = false;
    thread.join();
  }
  std::atomic<bool> sending{true};
  std::thread thread;
};

const STREAM_SETTINGS kSettings{40, 50, 704, 576};
const std::string kName = "quenlix::CBaseCameraChannel::SetCameraState: Camera 127.0.0.1 is ";

class BaseRTPChannel : public ::testing::Test {
 protected:
  FakeDriver driver;
  FakeSink sink;
  TestRTPChannel channel{3, &driver, &sink};
};

// Packets from another address than the camera's are no data.
TEST_F(BaseRTPChannel, CameraPacketsReachTheParserAndFramesTheSink) {
  ASSERT_TRUE(channel.Start(kSettings));
  ASSERT_TRUE(WaitFor([&] { return channel.GetState() == CameraStreaming; }));
  const uint32_t port = channel.GetLocalRtpPort();
#ifndef _WIN32  // wine gives every loopback datagram 127.0.0.1 as its source
  Camera stranger("127.0.0.2");
  for (uint16_t i = 0; i < 5; ++i) stranger.Send(port, i, 'F');
#endif
  Camera camera;
  camera.Send(port, 10, 'x');
  camera.Send(port, 11, 'F');
  camera.Send(port, 12, 'F');
  ASSERT_TRUE(WaitFor([&] { return channel.framesTaken.load() == 2; }));
  channel.Stop();
  EXPECT_EQ(channel.packets.load(), 3);
  EXPECT_EQ(channel.lastSequence.load(), 12);
  EXPECT_EQ(sink.delivered.load(), 2);
  EXPECT_EQ(channel.GetLocalRtpPort(), 0u);
}

// The time-out is long enough that a loss and the sink's report fall in
// different cycles: the first loss only restarts reception, and sessions
// that start but carry nothing are still reported lost, once. The restarted
// stream delivers again and the camera is back online.
TEST_F(BaseRTPChannel, SilentStreamIsRestartedReportedLostOnceAndRecovers) {
  driver.SetTimes(40000, 1500);
  ASSERT_TRUE(channel.Start(kSettings));
  ASSERT_TRUE(WaitFor([&] { return channel.GetLocalRtpPort() != 0; }));
  Camera camera;
  camera.Send(channel.GetLocalRtpPort(), 1, 'F');
  ASSERT_TRUE(WaitFor([&] { return channel.framesTaken.load() == 1; }));
  ASSERT_TRUE(WaitFor([&] { return channel.sessions.load() >= 2; }));
  EXPECT_EQ(sink.signalLost.load(), 0);
  ASSERT_TRUE(WaitFor([&] { return sink.signalLost.load() >= 1; }, 10000));
  ASSERT_TRUE(WaitFor(
      [&] { return channel.GetState() == CameraStreaming && channel.GetLocalRtpPort() != 0; }));
  ASSERT_TRUE(WaitFor([&] {
    camera.Send(channel.GetLocalRtpPort(), 2, 'F');
    return channel.IsOnline();
  }));
  channel.Stop();
  const std::vector<LogLine> expected = {{3, kName + "online"},
                                         {1,
                                          "quenlix::CBaseCameraChannel::SetCameraState: Signal was "
                                          "lost for camera 127.0.0.1 (channel 3)"},
                                         {3, kName + "online"},
                                         {3, kName + "offline. Channel was stopped"}};
  EXPECT_EQ(driver.Lines(), expected);
}

TEST_F(BaseRTPChannel, FramesTheSinkRefusesDoNotHoldOffSignalLoss) {
  driver.SetTimes(40000, 300);
  sink.accept = false;
  ASSERT_TRUE(channel.Start(kSettings));
  {
    StreamingCamera camera(channel, 1, 1, 20);
    EXPECT_TRUE(WaitFor([&] { return sink.signalLost.load() >= 1; }));
  }
  EXPECT_GT(sink.delivered.load(), 0);
  EXPECT_EQ(channel.framesTaken.load(), 0);
  channel.Stop();
  EXPECT_TRUE(driver.Lines().empty());
}

TEST_F(BaseRTPChannel, FailedStartOfReceptionLeavesItStoppedAndIsRetried) {
  channel.startOk = false;
  ASSERT_TRUE(channel.Start(kSettings));
  ASSERT_TRUE(WaitFor([&] { return channel.sessions.load() >= 2; }));
  EXPECT_NE(channel.GetState(), uint32_t(CameraStreaming));
  // Each failed attempt closes its port again until the next one.
  EXPECT_TRUE(WaitFor([&] { return channel.GetLocalRtpPort() == 0; }));
  channel.startOk = true;
  EXPECT_TRUE(WaitFor([&] { return channel.GetState() == CameraStreaming; }));
  channel.Stop();
}

// Start, stop, restart and reconfigure from the host's thread while a camera
// keeps sending: after each Stop nothing may reach the channel, and the
// cycles leave no thread, descriptor or allocation behind.
TEST_F(BaseRTPChannel, HostOperationsWhileDatagramsArriveLeaveNothingBehind) {
  // Warm-up: first-use allocations of the runtime are not a leak.
  channel.Start(kSettings);
  WaitFor([&] { return channel.GetLocalRtpPort() != 0; }, 2000);
  channel.Stop();
  const int threadsBefore = CountEntries("/proc/self/task");
  const int descriptorsBefore = CountEntries("/proc/self/fd");
  const int64_t allocationsBefore = liveAllocations.load();
  {
    FakeDriver host;
    TestRTPChannel cycled(0, &host, &sink);
    int opened = 0;
    {
      StreamingCamera camera(cycled, 3, 16, 1);
      for (int round = 0; round < 30; ++round) {
        cycled.stopped = false;
        ASSERT_TRUE(cycled.Start(STREAM_SETTINGS{40, 50, 352, 288}));
        opened += WaitFor([&] { return cycled.GetLocalRtpPort() != 0; }, 2000);
        // The first round waits for traffic, so that a slow machine still
        // proves delivery; later rounds stop at any moment of it.
        if (round == 0) WaitFor([&] { return cycled.packets.load() > 0; }, 5000);
        platform::SleepMs(5);
        if (round % 2 == 0) {
          ASSERT_TRUE(cycled.Restart(STREAM_SETTINGS{80, 0, 704, 576}));
          WaitFor([&] { return cycled.GetLocalRtpPort() != 0; }, 2000);
          platform::SleepMs(5);
        }
        cycled.Stop();
        cycled.stopped = true;
        platform::SleepMs(2);
      }
    }
    EXPECT_GT(opened, 25);
    EXPECT_GT(cycled.packets.load(), 0);
    EXPECT_EQ(cycled.lateCallbacks.load(), 0);
    // Each stop reports at most one offline line after each online line.
    const std::vector<LogLine> lines = host.Lines();
    for (size_t i = 0; i < lines.size(); ++i) {
      EXPECT_NE(lines[i].text.find(i % 2 == 0 ? "is online" : "is offline"), std::string::npos)
          << i << ": " << lines[i].text;
    }
  }
  EXPECT_EQ(liveAllocations.load(), allocationsBefore);
  if (threadsBefore < 0 || descriptorsBefore < 0) {
    GTEST_SKIP() << "this system does not list threads and descriptors";
  }
  EXPECT_EQ(CountEntries("/proc/self/task"), threadsBefore);
  EXPECT_EQ(CountEntries("/proc/self/fd"), descriptorsBefore);
}

}  // namespace
}  // namespace quenlix
