// The simulator's RTSP and RTP side, driven by the driver's own client.
#if defined(QUENLIX_WITH_CAMSIM)

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "packetizer.h"
#include "platform/byte_cursor.h"
#include "platform/platform.h"
#include "platform/socket.h"
#include "rtsp/base_rtsp_client.h"
#include "rtsp_server.h"

namespace quenlix {
namespace {

const std::string kMedia = QUENLIX_MEDIA_DIR;
const std::string kH264Clip = kMedia + "/h264_baseline_320x180.h264";

camsim::Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return camsim::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The SSRC of an RTP packet, and of an RTCP report's sender.
uint32_t RtpSsrc(const uint8_t* packet) { return ByteReader(packet + 8, 4).U32(); }
uint32_t ReportSsrc(const uint8_t* report) { return ByteReader(report + 4, 4).U32(); }

// A UDP socket on 127.0.0.1 standing in for one of the driver's ports.
class UdpEnd {
 public:
  UdpEnd() {
    socket_ = platform::CreateUdpSocket();
    platform::BindSocket(socket_, platform::InetAddr("127.0.0.1"), 0);
    port_ = platform::LocalPort(socket_);
  }
  ~UdpEnd() { platform::CloseSocket(socket_); }
  uint16_t port() const { return port_; }
  // One datagram, or empty after timeoutMs.
  std::vector<uint8_t> Receive(uint32_t timeoutMs, platform::SocketAddress* from = nullptr) {
    if (platform::WaitReadable(socket_, timeoutMs) != 1) return {};
    std::vector<uint8_t> buffer(2048);
    platform::SocketAddress source;
    const int n = platform::ReceiveFrom(socket_, buffer.data(), buffer.size(), &source);
    if (n <= 0) return {};
    if (from) *from = source;
    buffer.resize(size_t(n));
    return buffer;
  }
  void Send(const std::vector<uint8_t>& data, const platform::SocketAddress& to) {
    platform::SendTo(socket_, data.data(), data.size(), to);
  }

 private:
  platform::SocketHandle socket_;
  uint16_t port_;
};

struct Harness {
  explicit Harness(camsim::RtspOptions options) : server(std::move(options)) {
    std::string error;
    started = server.Start(&error);
    EXPECT_TRUE(started) << error;
  }
  RTSP_SESSION_INFO Info() const {
    RTSP_SESSION_INFO info;
    info.address = "127.0.0.1";
    info.port = server.Port();
    info.path = "h264";
    info.clientRtpPort = rtp.port();
    info.clientRtcpPort = rtcp.port();
    info.userName = "admin";
    info.password = "secret";
    info.receiveTimeoutMs = 3000;
    return info;
  }
  camsim::CRtspServer server;
  bool started = false;
  UdpEnd rtp;
  UdpEnd rtcp;
};

camsim::RtspOptions Options(camsim::AuthMode auth = camsim::AuthMode::kNone,
                            uint32_t timeout = 20) {
  camsim::RtspOptions options;
  options.clipPath = kH264Clip;
  options.auth = auth;
  options.user = "admin";
  options.password = "secret";
  options.sessionTimeout = timeout;
  return options;
}

bool Play(CBaseRTSPClient& client, const RTSP_SESSION_INFO& info) {
  return client.Connect(info) && client.SendRequest(kRtspDescribe) &&
         client.SendRequest(kRtspSetup) && client.SendRequest(kRtspPlay);
}

// A receiver report for the sender's SSRC, as the driver's RTCP session sends.
std::vector<uint8_t> ReceiverReport(uint32_t senderSsrc) {
  std::vector<uint8_t> rr = {0x81, 201, 0, 7, 0x12, 0x34, 0x56, 0x78};
  for (int shift = 24; shift >= 0; shift -= 8) rr.push_back(uint8_t(senderSsrc >> shift));
  rr.resize(32, 0);
  return rr;
}

class CamsimSession : public ::testing::TestWithParam<camsim::AuthMode> {};

TEST_P(CamsimSession, FullSessionDeliversRtpAndReports) {
  Harness h(Options(GetParam()));
  ASSERT_TRUE(h.started);
  CBaseRTSPClient client;
  ASSERT_TRUE(Play(client, h.Info()));
  EXPECT_EQ(20000u, client.GetSessionTimeoutMs());

  // The SDP's parameter sets are the clip's own.
  std::vector<uint8_t> sps, pps;
  client.GetParameterSets(sps, pps);
  std::set<camsim::Bytes> nals;
  for (const auto& nal : camsim::SplitAnnexB(ReadAll(kH264Clip))) nals.insert(nal);
  EXPECT_EQ(7, sps.empty() ? 0 : sps[0] & 0x1F);
  EXPECT_EQ(1u, nals.count(sps));
  EXPECT_EQ(1u, nals.count(pps));

  const std::vector<uint8_t> packet = h.rtp.Receive(2000);
  ASSERT_GE(packet.size(), 13u);
  EXPECT_EQ(2, packet[0] >> 6);
  EXPECT_EQ(96, packet[1] & 0x7F);
  platform::SocketAddress reportSource;
  const std::vector<uint8_t> report = h.rtcp.Receive(2000, &reportSource);
  ASSERT_GE(report.size(), 28u);
  EXPECT_EQ(200, report[1]);
  EXPECT_EQ(RtpSsrc(packet.data()), ReportSsrc(report.data()));

  h.rtcp.Send(ReceiverReport(ReportSsrc(report.data())), reportSource);
  EXPECT_TRUE(client.SendRequest(kRtspOptions));
  EXPECT_TRUE(client.SendRequest(kRtspTeardown));
  platform::SleepMs(200);
  const camsim::RtspStats stats = h.server.Stats();
  EXPECT_EQ(1u, stats.sessionsCreated);
  EXPECT_EQ(1u, stats.keepAlives);
  EXPECT_EQ(1u, stats.teardowns);
  EXPECT_EQ(1u, stats.receiverReports);
  EXPECT_EQ(0u, stats.dropped);
}

INSTANTIATE_TEST_SUITE_P(Auth, CamsimSession,
                         ::testing::Values(camsim::AuthMode::kNone, camsim::AuthMode::kBasic,
                                           camsim::AuthMode::kDigest));

TEST(Camsim, WrongPasswordIsRefused) {
  for (auto mode : {camsim::AuthMode::kBasic, camsim::AuthMode::kDigest}) {
    Harness h(Options(mode));
    ASSERT_TRUE(h.started);
    RTSP_SESSION_INFO info = h.Info();
    info.password = "wrong";
    CBaseRTSPClient client;
    ASSERT_TRUE(client.Connect(info));
    EXPECT_FALSE(client.SendRequest(kRtspDescribe));
    EXPECT_TRUE(client.CredentialsRefused());
  }
}

// Kept alive neither by requests nor by receiver reports, a session is
// dropped after its time-out; either one alone keeps it.
TEST(Camsim, SessionLivesOnlyWhileKeptAlive) {
  enum class Keep { kNothing, kOptions, kReports };
  for (Keep keep : {Keep::kNothing, Keep::kOptions, Keep::kReports}) {
    Harness h(Options(camsim::AuthMode::kNone, 1));
    ASSERT_TRUE(h.started);
    CBaseRTSPClient client;
    ASSERT_TRUE(Play(client, h.Info()));
    platform::SocketAddress reportSource;
    const std::vector<uint8_t> report = h.rtcp.Receive(2000, &reportSource);
    ASSERT_GE(report.size(), 8u);
    for (int i = 0; i < 8; ++i) {  // 3.2 s, three time-outs
      platform::SleepMs(400);
      if (keep == Keep::kOptions) {
        EXPECT_TRUE(client.SendRequest(kRtspOptions));
      }
      if (keep == Keep::kReports)
        h.rtcp.Send(ReceiverReport(ReportSsrc(report.data())), reportSource);
    }
    EXPECT_EQ(keep == Keep::kNothing ? 1u : 0u, h.server.Stats().dropped) << int(keep);
    if (keep != Keep::kNothing) continue;
    // The dropped session is unknown now, and answering so must leave the
    // camera serving others.
    EXPECT_FALSE(client.SendRequest(kRtspOptions));
    CBaseRTSPClient next;
    EXPECT_TRUE(Play(next, h.Info()));
  }
}

// A player's RTSP connection, read as a camera interleaves it: '$' frames
// (channel, then the packet) between replies.
class TcpPeer {
 public:
  explicit TcpPeer(uint16_t port) : socket_(platform::CreateTcpSocket()) {
    connected_ = platform::ConnectSocket(socket_, platform::InetAddr("127.0.0.1"), port) == 0;
  }
  ~TcpPeer() { platform::CloseSocket(socket_); }
  bool connected() const { return connected_; }
  void Send(const std::string& data) { platform::SendBytes(socket_, data.data(), data.size()); }
  // The next frame (channel 0..255) or reply (channel -1); false after 2 s,
  // or when the stream is neither, as when a reply cut a frame.
  bool Next(int* channel, std::string* data) {
    for (int waits = 0; waits < 40; ++waits) {
      if (!in_.empty() && in_[0] == '$' && in_.size() >= 4) {
        const size_t length = size_t(uint8_t(in_[2])) << 8 | uint8_t(in_[3]);
        if (in_.size() >= 4 + length) {
          *channel = uint8_t(in_[1]);
          *data = in_.substr(4, length);
          in_.erase(0, 4 + length);
          return true;
        }
      } else if (!in_.empty() && in_[0] != '$') {
        if (in_.rfind("RTSP/1.0 ", 0) != 0 && in_.size() >= 9) return false;
        const size_t end = in_.find("\r\n\r\n");
        if (end != std::string::npos) {
          *channel = -1;
          *data = in_.substr(0, end + 4);
          in_.erase(0, end + 4);
          return true;
        }
      }
      if (platform::WaitReadable(socket_, 50) != 1) continue;
      char chunk[4096];
      const int n = platform::ReceiveBytes(socket_, chunk, sizeof chunk);
      if (n <= 0) return false;
      in_.append(chunk, size_t(n));
    }
    return false;
  }

 private:
  platform::SocketHandle socket_;
  bool connected_ = false;
  std::string in_;
};

// Asked for TCP on channels other than the usual 0-1, the camera sends RTP
// and RTCP framed on those channels, keeps its replies whole between frames,
// counts the RTCP the player frames back, and ends the session with the
// connection.
TEST(Camsim, TcpClientGetsItsStreamOnTheRtspConnection) {
  Harness h(Options());
  ASSERT_TRUE(h.started);
  auto peer = std::make_unique<TcpPeer>(h.server.Port());
  ASSERT_TRUE(peer->connected());
  const std::string url = "rtsp://127.0.0.1:" + std::to_string(h.server.Port()) + "/h264";
  peer->Send("SETUP " + url + "/trackID=1 RTSP/1.0\r\nCSeq: 1\r\n" +
             "Transport: RTP/AVP/TCP;unicast;interleaved=4-5\r\n\r\n");
  int channel = 0;
  std::string reply;
  ASSERT_TRUE(peer->Next(&channel, &reply));
  ASSERT_EQ(-1, channel);
  EXPECT_NE(std::string::npos, reply.find("Transport: RTP/AVP/TCP;unicast;interleaved=4-5;ssrc="))
      << reply;
  const size_t at = reply.find("Session: ");
  ASSERT_NE(std::string::npos, at) << reply;
  const std::string session = reply.substr(at + 9, reply.find(';', at) - at - 9);
  peer->Send("PLAY " + url + " RTSP/1.0\r\nCSeq: 2\r\nSession: " + session + "\r\n\r\n");
  ASSERT_TRUE(peer->Next(&channel, &reply));
  EXPECT_EQ(-1, channel);
  EXPECT_EQ(0u, reply.rfind("RTSP/1.0 200 OK\r\nCSeq: 2", 0)) << reply;

  std::string rtp, report;
  std::string data;
  while ((rtp.empty() || report.empty()) && peer->Next(&channel, &data)) {
    ASSERT_TRUE(channel == 4 || channel == 5) << channel;
    (channel == 4 ? rtp : report) = data;
  }
  ASSERT_GE(rtp.size(), 13u);
  ASSERT_GE(report.size(), 28u);
  const auto* p = reinterpret_cast<const uint8_t*>(rtp.data());
  const auto* r = reinterpret_cast<const uint8_t*>(report.data());
  EXPECT_EQ(2, p[0] >> 6);
  EXPECT_EQ(96, p[1] & 0x7F);
  EXPECT_EQ(200, r[1]);
  EXPECT_EQ(RtpSsrc(p), ReportSsrc(r));

  const std::vector<uint8_t> rr = ReceiverReport(ReportSsrc(r));
  peer->Send(std::string("$\x05\0", 3) + char(rr.size()) + std::string(rr.begin(), rr.end()) +
             "OPTIONS " + url + " RTSP/1.0\r\nCSeq: 3\r\nSession: " + session + "\r\n\r\n");
  reply.clear();
  for (int frames = 0; frames < 1000 && reply.empty() && peer->Next(&channel, &data); ++frames) {
    if (channel == -1) reply = data;
  }
  EXPECT_EQ(0u, reply.rfind("RTSP/1.0 200 OK\r\nCSeq: 3", 0)) << reply;
  EXPECT_EQ(1u, h.server.Stats().receiverReports);

  peer.reset();
  for (int i = 0; i < 40 && h.server.Stats().teardowns == 0; ++i) platform::SleepMs(50);
  EXPECT_EQ(1u, h.server.Stats().teardowns);
  EXPECT_EQ(0u, h.server.Stats().dropped);
}

TEST(Camsim, RestartChangesSsrcAndSequence) {
  Harness h(Options());
  ASSERT_TRUE(h.started);
  CBaseRTSPClient client;
  ASSERT_TRUE(Play(client, h.Info()));
  const std::vector<uint8_t> before = h.rtp.Receive(2000);
  ASSERT_GE(before.size(), 12u);
  h.server.RestartCamera();
  std::vector<uint8_t> after;
  for (int i = 0; i < 200; ++i) {
    after = h.rtp.Receive(2000);
    ASSERT_GE(after.size(), 12u);
    if (RtpSsrc(after.data()) != RtpSsrc(before.data())) break;
  }
  EXPECT_NE(RtpSsrc(before.data()), RtpSsrc(after.data()));
}

// The request faults, each seen through the driver's own client.
TEST(Camsim, RequestFaultsFailTheStepTheyHit) {
  enum Fault { k401, k454, kCloseMidReply };
  const struct {
    Fault fault;
    int failingMethod;
    bool refused;
  } cases[] = {
      {k401, kRtspDescribe, true},  // to every request
      {k454, kRtspPlay, false},     // to requests that name a session
      {kCloseMidReply, kRtspDescribe, false},
  };
  for (const auto& c : cases) {
    camsim::RtspOptions options = Options(camsim::AuthMode::kBasic);
    options.faults.always401 = c.fault == k401;
    options.faults.answer454 = c.fault == k454;
    options.faults.closeMidReply = c.fault == kCloseMidReply;
    Harness h(options);
    ASSERT_TRUE(h.started);
    CBaseRTSPClient client;
    ASSERT_TRUE(client.Connect(h.Info())) << c.fault;
    int failed = 0;
    for (int method : {kRtspDescribe, kRtspSetup, kRtspPlay}) {
      if (!client.SendRequest(method)) {
        failed = method;
        break;
      }
    }
    EXPECT_EQ(c.failingMethod, failed) << c.fault;
    EXPECT_EQ(c.refused, client.CredentialsRefused()) << c.fault;
    EXPECT_EQ(0u, h.server.Stats().plays) << c.fault;
  }
}

// A split reply still reads whole, through the pause between its halves.
TEST(Camsim, SplitRepliesStillMakeASession) {
  camsim::RtspOptions options = Options(camsim::AuthMode::kDigest);
  options.faults.splitPauseMs = 300;
  Harness h(options);
  ASSERT_TRUE(h.started);
  CBaseRTSPClient client;
  EXPECT_TRUE(Play(client, h.Info()));
  EXPECT_EQ(20000u, client.GetSessionTimeoutMs());
  EXPECT_GE(h.rtp.Receive(2000).size(), 12u);
}

struct SequenceCounts {
  int packets = 0;
  int gaps = 0;     // a step forward of more than one
  int repeats = 0;  // the same number again
  int backward = 0;
};

SequenceCounts CountSequences(UdpEnd& rtp, int packets) {
  SequenceCounts counts;
  int previous = -1;
  for (int i = 0; i < packets; ++i) {
    const std::vector<uint8_t> packet = rtp.Receive(2000);
    if (packet.size() < 12) break;
    ++counts.packets;
    const int sequence = ByteReader(&packet[2], 2).U16();
    if (previous >= 0) {
      const int16_t step = int16_t(uint16_t(sequence - previous));
      if (step == 0) ++counts.repeats;
      if (step > 1) ++counts.gaps;
      if (step < 0) ++counts.backward;
    }
    previous = sequence;
  }
  return counts;
}

// Loss, duplication and reordering show in the sequence numbers that arrive,
// and a clean stream shows none of them.
TEST(Camsim, StreamFaultsShowInTheSequenceNumbers) {
  enum Fault { kClean, kLoss, kDuplicate, kReorder };
  for (Fault fault : {kClean, kLoss, kDuplicate, kReorder}) {
    camsim::RtspOptions options = Options();
    options.framesPerSecond = 100;
    if (fault == kLoss) options.faults.stream.lossRate = 0.2;
    if (fault == kDuplicate) options.faults.stream.duplicateRate = 0.2;
    if (fault == kReorder) options.faults.stream.reorderRate = 0.2;
    Harness h(options);
    ASSERT_TRUE(h.started);
    CBaseRTSPClient client;
    ASSERT_TRUE(Play(client, h.Info()));
    const SequenceCounts counts = CountSequences(h.rtp, 300);
    ASSERT_EQ(300, counts.packets) << fault;
    // At 20% of 300 packets, more than ten events of the switched fault are
    // certain; a packet held back also leaves a gap where it was.
    const bool gapsExpected = fault == kLoss || fault == kReorder;
    EXPECT_EQ(gapsExpected, counts.gaps > 10) << fault << " gaps " << counts.gaps;
    if (!gapsExpected) {
      EXPECT_EQ(0, counts.gaps) << fault;
    }
    EXPECT_EQ(fault == kDuplicate, counts.repeats > 10) << fault << " repeats " << counts.repeats;
    if (fault != kDuplicate) {
      EXPECT_EQ(0, counts.repeats) << fault;
    }
    EXPECT_EQ(fault == kReorder, counts.backward > 10) << fault << " backward " << counts.backward;
    if (fault != kReorder) {
      EXPECT_EQ(0, counts.backward) << fault;
    }
  }
}

// Packetizer checks on the made clips: payload bounds and headers.
TEST(CamsimPacketizer, ClipsKeepWithinMtuAndMarkFrameEnds) {
  struct {
    const char* file;
    camsim::ClipCodec codec;
  } clips[] = {{"h264_high_640x480_slices.h264", camsim::ClipCodec::kH264},
               {"jpeg_q76_420.mjpeg", camsim::ClipCodec::kJpeg},
               {"jpeg_restart_640x480.mjpeg", camsim::ClipCodec::kJpeg},
               {"h264_main_352x288.h264", camsim::ClipCodec::kH264},
               {"mpeg4_352x288.m4v", camsim::ClipCodec::kMpeg4}};
  for (const auto& c : clips) {
    camsim::Clip clip;
    std::string error;
    ASSERT_TRUE(camsim::LoadClip(kMedia + "/" + c.file, 1000, &clip, &error))
        << c.file << ": " << error;
    EXPECT_EQ(c.codec, clip.codec);
    EXPECT_EQ(12u, clip.frames.size()) << c.file;
    for (const auto& frame : clip.frames) {
      ASSERT_FALSE(frame.packets.empty());
      for (size_t i = 0; i < frame.packets.size(); ++i) {
        EXPECT_LE(frame.packets[i].bytes.size(), 1000u);
        EXPECT_EQ(i + 1 == frame.packets.size(), frame.packets[i].marker) << c.file;
      }
    }
  }
}

TEST(CamsimPacketizer, JpegQualityMatchedOrTablesInBand) {
  camsim::Clip q76, restart, unsupported;
  std::string error;
  ASSERT_TRUE(camsim::LoadClip(kMedia + "/jpeg_q76_420.mjpeg", 1400, &q76, &error));
  ASSERT_TRUE(camsim::LoadClip(kMedia + "/jpeg_restart_640x480.mjpeg", 1400, &restart, &error));
  const auto& a = q76.frames[0].packets[0].bytes;
  EXPECT_EQ(1, a[4]);   // 4:2:0
  EXPECT_EQ(76, a[5]);  // tables of Q 76, not sent
  EXPECT_EQ(40, a[6]);  // 320 / 8
  EXPECT_EQ(30, a[7]);  // 240 / 8
  const auto& c = restart.frames[0].packets[0].bytes;
  EXPECT_EQ(65, c[4]);  // 4:2:0 with restart markers
  EXPECT_NE(0, ByteReader(&c[8], 2).U16());
  EXPECT_EQ(255, c[5]);                         // its own tables, sent in the first packet
  EXPECT_EQ(128, ByteReader(&c[14], 2).U16());  // after the main and restart headers
  EXPECT_NE(0, restart.frames[0].packets[1].bytes[3] | restart.frames[0].packets[1].bytes[2]);
  // Chroma sampled 1x2 has no RTP JPEG type.
  EXPECT_FALSE(camsim::LoadClip(kMedia + "/jpeg_inband_422.mjpeg", 1400, &unsupported, &error));
}

TEST(CamsimPacketizer, H264FragmentsReassembleToTheNalUnit) {
  camsim::Bytes nal(5000);
  for (size_t i = 0; i < nal.size(); ++i) nal[i] = uint8_t(i * 7);
  nal[0] = 0x65;
  const auto packets = camsim::PacketizeH264AccessUnit({{0x67, 1, 2, 3}, nal}, 1200);
  ASSERT_GE(packets.size(), 6u);
  EXPECT_EQ((camsim::Bytes{0x67, 1, 2, 3}), packets[0].bytes);
  camsim::Bytes rebuilt = {uint8_t((packets[1].bytes[0] & 0xE0) | (packets[1].bytes[1] & 0x1F))};
  for (size_t i = 1; i < packets.size(); ++i) {
    EXPECT_EQ(28, packets[i].bytes[0] & 0x1F);
    EXPECT_EQ(i == 1, (packets[i].bytes[1] & 0x80) != 0);
    EXPECT_EQ(i + 1 == packets.size(), (packets[i].bytes[1] & 0x40) != 0);
    rebuilt.insert(rebuilt.end(), packets[i].bytes.begin() + 2, packets[i].bytes.end());
  }
  EXPECT_EQ(nal, rebuilt);
  EXPECT_TRUE(packets.back().marker);
}

}  // namespace
}  // namespace quenlix

#endif  // QUENLIX_WITH_CAMSIM
