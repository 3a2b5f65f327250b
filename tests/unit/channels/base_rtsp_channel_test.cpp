// The RTSP channel against the camera simulator over loopback.
#if defined(QUENLIX_WITH_CAMSIM)

#include "channels/base_rtsp_channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "channel_test_helpers.h"
#include "platform/platform.h"
#include "platform/socket.h"
#include "rtsp_server.h"

namespace quenlix {
namespace {

using testing_channels::FakeDriver;
using testing_channels::FakeSample;
using testing_channels::FakeSink;
using testing_channels::WaitFor;

const STREAM_SETTINGS kSettings{80, 50, 320, 180};

class CredentialDriver : public FakeDriver {
 public:
  DEVICE_INFO GetDeviceInfo() override {
    DEVICE_INFO info = FakeDriver::GetDeviceInfo();
    info.userName = "admin";
    info.password = password;
    return info;
  }
  std::string password = "secret";
};

// A codec channel in miniature: every packet that ends a frame hands the
// host a frame, so that the stream counts as alive.
class TestChannel : public CBaseRTSPChannel {
 public:
  TestChannel(IDriver* driver, IFrameSink* sink, uint16_t rtspPort)
      : CBaseRTSPChannel(0, driver, sink), rtspPort(rtspPort) {}
  ~TestChannel() override { StopWorker(); }

  bool PrepareParser() override { return true; }
  void OnMediaPacket(const RTPPacket& packet) override {
    packets++;
    lastSsrc = packet.ssrc;
    if (packet.marker) OnFrame(&sample);
  }
  void FillSessionInfo(RTSP_SESSION_INFO& info) override {
    info.port = rtspPort;
    info.path = "h264";
  }
  void OnSessionDescribed() override {
    std::vector<uint8_t> sps, pps;
    rtspClient->GetParameterSets(sps, pps);
    parameterSets = int(!sps.empty() && !pps.empty());
  }

  uint16_t rtspPort;
  FakeSample sample;
  std::atomic<int> packets{0};
  std::atomic<uint32_t> lastSsrc{0};
  std::atomic<int> parameterSets{-1};
};

camsim::RtspOptions Options(camsim::AuthMode auth, uint32_t timeout = 20) {
  camsim::RtspOptions options;
  options.clipPath = std::string(QUENLIX_MEDIA_DIR) + "/h264_baseline_320x180.h264";
  options.auth = auth;
  options.user = "admin";
  options.password = "secret";
  options.sessionTimeout = timeout;
  return options;
}

int CountRequests(camsim::CRtspServer& server, const std::string& method) {
  int n = 0;
  for (const std::string& r : server.Requests())
    n += r.compare(0, method.size() + 1, method + " ") == 0;
  return n;
}

class RtspChannelSession : public ::testing::TestWithParam<camsim::AuthMode> {};

TEST_P(RtspChannelSession, StreamsThenTearsDownWithBye) {
  camsim::CRtspServer server(Options(GetParam()));
  std::string error;
  ASSERT_TRUE(server.Start(&error)) << error;
  CredentialDriver driver;
  FakeSink sink;
  {
    TestChannel channel(&driver, &sink, server.Port());
    ASSERT_TRUE(channel.Start(kSettings));
    ASSERT_TRUE(WaitFor([&] { return sink.delivered.load() > 3; }, 15000));
    EXPECT_EQ(uint32_t(CameraStreaming), channel.GetState());
    EXPECT_EQ(1, channel.parameterSets.load());
    const uint32_t rtp = channel.GetLocalRtpPort();
    EXPECT_GE(rtp, CBaseRTSPChannel::kFirstRtpPort);
    EXPECT_EQ(0u, rtp % 2);
    EXPECT_EQ(rtp + 1, channel.GetLocalRtcpPort());
    // The first tick of a channel's first session sends a keep-alive at once.
    EXPECT_TRUE(WaitFor([&] { return server.Stats().keepAlives >= 1; }, 3000));
    // The first receiver report waits out its randomized interval.
    EXPECT_TRUE(WaitFor([&] { return server.Stats().receiverReports >= 1; }, 5000));
    channel.Stop();
  }
  EXPECT_TRUE(WaitFor([&] { return server.Stats().byes >= 1; }, 3000));
  const camsim::RtspStats stats = server.Stats();
  EXPECT_EQ(1u, stats.sessionsCreated);
  EXPECT_EQ(1u, stats.teardowns);
  EXPECT_GE(stats.receiverReports, 1u);
  EXPECT_EQ(0u, stats.dropped);
  EXPECT_TRUE(driver.Lines().empty() ||
              driver.Lines().back().text.find("refused") == std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Auth, RtspChannelSession,
                         ::testing::Values(camsim::AuthMode::kBasic, camsim::AuthMode::kDigest));

// timeout=4 gives a keep-alive once more than 2 s have passed since the
// last; the session outlives several time-outs.
TEST(RtspChannel, KeepAliveAtHalfTheSessionTimeout) {
  camsim::CRtspServer server(Options(camsim::AuthMode::kNone, 4));
  std::string error;
  ASSERT_TRUE(server.Start(&error)) << error;
  FakeDriver driver;
  FakeSink sink;
  TestChannel channel(&driver, &sink, server.Port());
  ASSERT_TRUE(channel.Start(kSettings));
  ASSERT_TRUE(WaitFor([&] { return sink.delivered.load() > 0; }, 15000));
  platform::SleepMs(13000);
  const std::vector<uint64_t> times = server.KeepAliveTimesMs();
  ASSERT_GE(times.size(), 4u);
  for (size_t i = 1; i < times.size(); ++i) {
    const uint64_t gap = times[i] - times[i - 1];
    // Not every tick (1 s), yet well within the time-out; the camera's clock
    // reads the gap a little differently from the channel's.
    EXPECT_GE(gap, 1900u);
    EXPECT_LT(gap, 4000u);
  }
  EXPECT_EQ(1u, server.Stats().sessionsCreated);
  EXPECT_EQ(0u, server.Stats().dropped);
  channel.Stop();
}

// The first pair is skipped when another socket holds it, and when the
// camera's address still streams to it from an earlier session. (Another
// program may hold the pair already; it is skipped all the same.)
// The camera sits on 127.0.0.2: the stale packets go to the first port of the
// range, where a channel of another test process may be streaming from a
// camera on 127.0.0.1, and they must not reach it.
TEST(RtspChannel, PortProbeSkipsABusyPair) {
  const char* const kCamera = "127.0.0.2";
  for (bool streamed : {false, true}) {
    camsim::RtspOptions options = Options(camsim::AuthMode::kNone);
    options.bindAddress = kCamera;
    camsim::CRtspServer server(options);
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    const platform::SocketHandle other = platform::CreateUdpSocket();
    std::atomic<bool> sending{streamed};
    std::thread stale;
    if (streamed) {
      ASSERT_EQ(0, platform::BindSocket(other, platform::InetAddr(kCamera), 0));
      stale = std::thread([&] {
        const uint8_t packet[16] = {0x80, 96};  // a header and a few payload bytes
        platform::SocketAddress to{
            platform::InetAddr("127.0.0.1"),
            platform::HostToNet16(uint16_t(CBaseRTSPChannel::kFirstRtpPort))};
        while (sending) {
          platform::SendTo(other, packet, sizeof packet, to);
          platform::SleepMs(100);
        }
      });
    } else {
      platform::BindSocket(other, 0, uint16_t(CBaseRTSPChannel::kFirstRtpPort));
    }
    FakeDriver driver;
    driver.SetAddress(kCamera);
    FakeSink sink;
    TestChannel channel(&driver, &sink, server.Port());
    ASSERT_TRUE(channel.Start(kSettings));
    ASSERT_TRUE(WaitFor([&] { return sink.delivered.load() > 0; }, 15000)) << streamed;
    EXPECT_GT(channel.GetLocalRtpPort(), CBaseRTSPChannel::kFirstRtpPort) << streamed;
    EXPECT_EQ(0u, channel.GetLocalRtpPort() % 2);
    channel.Stop();
    sending = false;
    if (stale.joinable()) stale.join();
    platform::CloseSocket(other);
  }
}

// A stop that arrives while the port pair is being probed ends the worker
// without waiting out the probe, and the camera hears nothing of a session.
TEST(RtspChannel, StopDuringThePortProbeSendsNothing) {
  camsim::CRtspServer server(Options(camsim::AuthMode::kNone));
  std::string error;
  ASSERT_TRUE(server.Start(&error)) << error;
  FakeDriver driver;
  driver.SetTimes(5000, 10000);  // a forced end would come after 10 s
  FakeSink sink;
  TestChannel channel(&driver, &sink, server.Port());
  ASSERT_TRUE(channel.Start(kSettings));
  platform::SleepMs(300);
  const uint64_t start = platform::MonotonicMs();
  channel.Stop();
  const uint64_t stopMs = platform::MonotonicMs() - start;
  EXPECT_LT(stopMs, CBaseRTSPChannel::kPortProbeMs / 2);
  EXPECT_TRUE(server.Requests().empty());
  EXPECT_EQ(0u, server.Stats().sessionsCreated);
  EXPECT_EQ(0, sink.delivered.load());
}

TEST(RtspChannel, CameraRestartIsSurvived) {
  camsim::CRtspServer server(Options(camsim::AuthMode::kNone));
  std::string error;
  ASSERT_TRUE(server.Start(&error)) << error;
  FakeDriver driver;
  FakeSink sink;
  TestChannel channel(&driver, &sink, server.Port());
  ASSERT_TRUE(channel.Start(kSettings));
  ASSERT_TRUE(WaitFor([&] { return sink.delivered.load() > 0; }, 15000));
  const uint32_t before = channel.lastSsrc.load();
  server.RestartCamera();
  ASSERT_TRUE(WaitFor([&] { return channel.lastSsrc.load() != before; }, 3000));
  const int delivered = sink.delivered.load();
  EXPECT_TRUE(WaitFor([&] { return sink.delivered.load() > delivered + 5; }, 5000));
  EXPECT_EQ(uint32_t(CameraStreaming), channel.GetState());
  channel.Stop();
}

// Refused credentials keep the channel stopped; the log says so once, and
// TEARDOWN still goes over the open connection.
// Logged once however often it repeats; when the driver's repeat throttle
// holds the first refusal back (repeat count 30: the 31st report is quiet,
// the 32nd goes out), the second attempt logs it.
TEST(RtspChannel, RefusedCredentialsKeepTheChannelStopped) {
  for (uint32_t earlierReports : {0u, 30u}) {
    camsim::CRtspServer server(Options(camsim::AuthMode::kDigest));
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    CredentialDriver driver;
    driver.password = "wrong";
    driver.repeatCount = earlierReports;
    FakeSink sink;
    TestChannel channel(&driver, &sink, server.Port());
    ASSERT_TRUE(channel.Start(kSettings));
    // Two DESCRIBEs per attempt: the challenge and the refused answer.
    ASSERT_TRUE(WaitFor([&] { return CountRequests(server, "DESCRIBE") >= 6; }, 20000));
    EXPECT_NE(uint32_t(CameraStreaming), channel.GetState());
    channel.Stop();
    EXPECT_EQ(0, CountRequests(server, "SETUP"));
    EXPECT_GE(CountRequests(server, "TEARDOWN"), 3);
    int refused = 0;
    for (const auto& line : driver.Lines()) {
      if (line.text ==
          "quenlix::CBaseRTSPChannel::StartSession: Camera 127.0.0.1 refused the credentials of "
          "user \"admin\"") {
        refused++;
        EXPECT_EQ(1u, line.level);
      }
    }
    EXPECT_EQ(1, refused) << earlierReports;
  }
}

// The stop event is looked at between the steps: a stop during DESCRIBE lets
// it finish, and SETUP is never sent.
TEST(RtspChannel, StopDuringDescribeEndsBeforeSetup) {
  camsim::RtspOptions options = Options(camsim::AuthMode::kNone);
  // Shorter than the TEARDOWN's grace, which follows the cut DESCRIBE.
  options.faults.splitPauseMs = 600;
  camsim::CRtspServer server(options);
  std::string error;
  ASSERT_TRUE(server.Start(&error)) << error;
  FakeDriver driver;
  FakeSink sink;
  TestChannel channel(&driver, &sink, server.Port());
  ASSERT_TRUE(channel.Start(kSettings));
  ASSERT_TRUE(WaitFor([&] { return CountRequests(server, "DESCRIBE") >= 1; }, 10000));
  channel.Stop();
  EXPECT_EQ(-1, channel.parameterSets.load());  // OnSessionDescribed not reached
  EXPECT_EQ(0, CountRequests(server, "SETUP"));
  // The server takes the TEARDOWN in once it has written out the cut reply.
  EXPECT_TRUE(WaitFor([&] { return CountRequests(server, "TEARDOWN") >= 1; }, 3000));
  EXPECT_EQ(1, CountRequests(server, "TEARDOWN"));
}

}  // namespace
}  // namespace quenlix

#endif  // QUENLIX_WITH_CAMSIM
