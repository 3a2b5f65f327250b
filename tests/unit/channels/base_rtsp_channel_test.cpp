// The RTSP channel against the camera simulator over loopback.
#if defined(QUENLIX_WITH_CAMSIM)

#include "channels/base_rtsp_channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "channel_test_helpers.h"
#include "platform/platform.h"
#include "platform/socket.h"
#include "rtsp_server.h"

namespace quenlix {
namespace {

using namespace testing_channels;

// A codec channel in miniature: every packet that ends a frame hands the
// host a frame, so that the stream counts as alive.
class TestChannel : public CBaseRTSPChannel {
 public:
  TestChannel(IDriver* driver, IFrameSink* sink, uint16_t rtspPort)
      : CBaseRTSPChannel(0, driver, sink), rtspPort(rtspPort) {}
  ~TestChannel() override { StopWorker(); }

  bool PrepareParser() override { return true; }
  void OnMediaPacket(const RTPPacket& packet) override {
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
  std::atomic<int> parameterSets{-1};
};

// A simulated camera and a channel that plays from it with the camera's
// credentials (the simulator's own: admin, admin).
struct Rig {
  explicit Rig(camsim::AuthMode auth, uint32_t sessionTimeout = 20,
               const std::string& address = "127.0.0.1")
      : server([&] {
          camsim::RtspOptions options;
          options.clipPath = std::string(QUENLIX_MEDIA_DIR) + "/h264_baseline_320x180.h264";
          options.auth = auth;
          options.sessionTimeout = sessionTimeout;
          options.bindAddress = address;
          return options;
        }()) {
    driver.info.address = address;
    driver.info.userName = "admin";
    driver.info.password = "admin";
  }
  ::testing::AssertionResult Start() {
    std::string error;
    if (!server.Start(&error)) return ::testing::AssertionFailure() << error;
    channel = std::make_unique<TestChannel>(&driver, &sink, server.Port());
    return ::testing::AssertionResult(channel->Start(STREAM_SETTINGS{80, 50, 320, 180}));
  }
  bool Streams() {
    return WaitFor([&] { return sink.delivered.load() > 0; }, 15000);
  }
  int Count(const std::string& method) const {
    int n = 0;
    for (const std::string& r : server.Requests())
      n += r.compare(0, method.size() + 1, method + " ") == 0;
    return n;
  }

  camsim::CRtspServer server;
  FakeDriver driver;
  FakeSink sink;
  std::unique_ptr<TestChannel> channel;
};

// Basic and digest answers are the client's; the channel passes the account.
TEST(RtspChannel, StreamsThenTearsDownWithBye) {
  Rig rig(camsim::AuthMode::kDigest);
  ASSERT_TRUE(rig.Start());
  ASSERT_TRUE(WaitFor([&] { return rig.sink.delivered.load() > 3; }, 15000));
  TestChannel& channel = *rig.channel;
  EXPECT_EQ(uint32_t(CameraStreaming), channel.GetState());
  EXPECT_EQ(1, channel.parameterSets.load());
  const uint32_t rtp = channel.GetLocalRtpPort();
  EXPECT_GE(rtp, CBaseRTSPChannel::kFirstRtpPort);
  EXPECT_EQ(0u, rtp % 2);
  EXPECT_EQ(rtp + 1, channel.GetLocalRtcpPort());
  // The first tick of a channel's first session sends a keep-alive at once.
  EXPECT_TRUE(WaitFor([&] { return rig.server.Stats().keepAlives >= 1; }, 3000));
  // The first receiver report waits out its randomized interval.
  EXPECT_TRUE(WaitFor([&] { return rig.server.Stats().receiverReports >= 1; }, 5000));
  rig.channel.reset();
  EXPECT_TRUE(WaitFor([&] { return rig.server.Stats().byes >= 1; }, 3000));
  const camsim::RtspStats stats = rig.server.Stats();
  EXPECT_EQ(1u, stats.sessionsCreated);
  EXPECT_EQ(1u, stats.teardowns);
  EXPECT_EQ(0u, stats.dropped);
  EXPECT_TRUE(rig.driver.Lines().empty() ||
              rig.driver.Lines().back().text.find("refused") == std::string::npos);
}

// timeout=4 gives a keep-alive once more than 2 s have passed since the
// last; the session outlives several time-outs.
TEST(RtspChannel, KeepAliveAtHalfTheSessionTimeout) {
  Rig rig(camsim::AuthMode::kNone, 4);
  ASSERT_TRUE(rig.Start());
  ASSERT_TRUE(rig.Streams());
  platform::SleepMs(13000);
  const std::vector<uint64_t> times = rig.server.KeepAliveTimesMs();
  ASSERT_GE(times.size(), 4u);
  for (size_t i = 1; i < times.size(); ++i) {
    // Not every tick (1 s), yet well within the time-out; the camera's clock
    // reads the gap a little differently from the channel's.
    EXPECT_GE(times[i] - times[i - 1], 1900u);
    EXPECT_LT(times[i] - times[i - 1], 4000u);
  }
  EXPECT_EQ(1u, rig.server.Stats().sessionsCreated);
  EXPECT_EQ(0u, rig.server.Stats().dropped);
}

// The first pair is skipped while the camera's address still streams to it
// from an earlier session. (A pair another socket holds is skipped too: the
// second stream of e2e_record's two-stream run needs that.) The camera sits
// on 127.0.0.2: the stale packets go to the first port of the range, where a
// channel of another test process may be streaming from a camera on
// 127.0.0.1, and they must not reach it.
TEST(RtspChannel, PortProbeSkipsAPairThatStillReceives) {
  Rig rig(camsim::AuthMode::kNone, 20, "127.0.0.2");
  const platform::SocketHandle other = platform::CreateUdpSocket();
  ASSERT_EQ(0, platform::BindSocket(other, platform::InetAddr("127.0.0.2"), 0));
  std::atomic<bool> sending{true};
  std::thread stale([&] {
    const uint8_t packet[16] = {0x80, 96};  // a header and a few payload bytes
    const platform::SocketAddress to{
        platform::InetAddr("127.0.0.1"),
        platform::HostToNet16(uint16_t(CBaseRTSPChannel::kFirstRtpPort))};
    for (; sending; platform::SleepMs(100)) platform::SendTo(other, packet, sizeof packet, to);
  });
  ASSERT_TRUE(rig.Start());
  ASSERT_TRUE(rig.Streams());
  EXPECT_GT(rig.channel->GetLocalRtpPort(), CBaseRTSPChannel::kFirstRtpPort);
  EXPECT_EQ(0u, rig.channel->GetLocalRtpPort() % 2);
  rig.channel->Stop();
  sending = false;
  stale.join();
  platform::CloseSocket(other);
}

// A stop that arrives while the port pair is being probed ends the worker
// without waiting out the probe, and the camera hears nothing of a session.
TEST(RtspChannel, StopDuringThePortProbeSendsNothing) {
  Rig rig(camsim::AuthMode::kNone);
  rig.driver.SetTimes(5000, 10000);  // a forced end would come after 10 s
  ASSERT_TRUE(rig.Start());
  platform::SleepMs(300);
  const uint64_t start = platform::MonotonicMs();
  rig.channel->Stop();
  EXPECT_LT(platform::MonotonicMs() - start, CBaseRTSPChannel::kPortProbeMs / 2);
  EXPECT_TRUE(rig.server.Requests().empty());
  EXPECT_EQ(0u, rig.server.Stats().sessionsCreated);
  EXPECT_EQ(0, rig.sink.delivered.load());
}

// Refused credentials keep the channel stopped; the log says so once, and
// TEARDOWN still goes over the open connection. Logged once however often
// it repeats; when the driver's repeat throttle holds the first refusal back
// (repeat count 30: the 31st report is quiet, the 32nd goes out), the second
// attempt logs it.
TEST(RtspChannel, RefusedCredentialsKeepTheChannelStopped) {
  for (uint32_t earlierReports : {0u, 30u}) {
    SCOPED_TRACE(earlierReports);
    Rig rig(camsim::AuthMode::kDigest);
    rig.driver.info.password = "wrong";
    rig.driver.repeatCount = earlierReports;
    ASSERT_TRUE(rig.Start());
    // Two DESCRIBEs per attempt: the challenge and the refused answer.
    ASSERT_TRUE(WaitFor([&] { return rig.Count("DESCRIBE") >= 6; }, 20000));
    EXPECT_NE(uint32_t(CameraStreaming), rig.channel->GetState());
    rig.channel->Stop();
    EXPECT_EQ(0, rig.Count("SETUP"));
    EXPECT_GE(rig.Count("TEARDOWN"), 3);
    const LogLine refused = {
        1,
        "quenlix::CBaseRTSPChannel::StartSession: Camera 127.0.0.1 refused the credentials of "
        "user \"admin\""};
    const auto lines = rig.driver.Lines();
    EXPECT_EQ(1, std::count(lines.begin(), lines.end(), refused));
  }
}

// The stop event is looked at between the steps: a stop during DESCRIBE lets
// it finish, and SETUP is never sent.
TEST(RtspChannel, StopDuringDescribeEndsBeforeSetup) {
  Rig rig(camsim::AuthMode::kNone);
  // Shorter than the TEARDOWN's grace, which follows the cut DESCRIBE.
  camsim::RtspFaults faults;
  faults.splitPauseMs = 600;
  rig.server.SetFaults(faults);
  ASSERT_TRUE(rig.Start());
  ASSERT_TRUE(WaitFor([&] { return rig.Count("DESCRIBE") >= 1; }, 10000));
  rig.channel->Stop();
  EXPECT_EQ(-1, rig.channel->parameterSets.load());  // OnSessionDescribed not reached
  EXPECT_EQ(0, rig.Count("SETUP"));
  // The server takes the TEARDOWN in once it has written out the cut reply.
  EXPECT_TRUE(WaitFor([&] { return rig.Count("TEARDOWN") >= 1; }, 3000));
  EXPECT_EQ(1, rig.Count("TEARDOWN"));
}

}  // namespace
}  // namespace quenlix

#endif  // QUENLIX_WITH_CAMSIM
