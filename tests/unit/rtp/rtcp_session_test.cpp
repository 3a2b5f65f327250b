#include "rtp/rtcp_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "rtp_test_helpers.h"

namespace quenlix {
namespace {

using testing_rtp::Loopback;
using testing_rtp::LoopbackAt;
using testing_rtp::LoopbackSocket;
using Bytes = std::vector<uint8_t>;

void Put32(Bytes& b, uint32_t v) {
  b.insert(b.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
}

// A sender report as a camera sends it: sender SSRC, NTP time (seconds,
// fraction), RTP time, packet and octet counts, followed by an SDES.
Bytes SenderReport(uint32_t ssrc) {
  Bytes sr = {0x80, 200, 0x00, 0x06};
  for (uint32_t word : {ssrc, 0xE8A1B2C3u, 0xD4E5F607u, 0x00123456u, 1000u, 250000u}) {
    Put32(sr, word);
  }
  sr.insert(sr.end(), {0x81, 202, 0x00, 0x03});
  Put32(sr, ssrc);
  sr.insert(sr.end(), {1, 3, 'c', 'a', 'm', 0});
  return sr;
}

// The receiver report and CNAME, field by field as RFC 3550 lays them out;
// LSR is the middle 32 bits of the sender report's NTP time.
Bytes ExpectedAnswer(uint32_t own, uint32_t sender, const RECEPTION_REPORT& f, uint32_t delay,
                     const std::string& name) {
  Bytes rr = {0x81, 201, 0, 7};  // V=2 P=0 RC=1, PT=RR, length 7
  for (uint32_t word :
       {own, sender, uint32_t(f.fractionLost) << 24 | (uint32_t(f.cumulativeLost) & 0xFFFFFF),
        f.extendedHighest, f.jitter, 0xB2C3D4E5u, delay}) {
    Put32(rr, word);
  }
  // SDES: one chunk, the CNAME item and a zero end byte, padded to a word.
  const size_t chunk = 4 + (2 + name.size() + 4) / 4 * 4;
  rr.insert(rr.end(), {0x81, 202, 0, uint8_t(chunk / 4)});
  Put32(rr, own);
  rr.insert(rr.end(), {1, uint8_t(name.size())});
  rr.insert(rr.end(), name.begin(), name.end());
  rr.resize(32 + 4 + chunk, 0);
  return rr;
}

// The session does not tell its port; the test needs it to send there.
uint16_t OpenOnLoopback(CRTCPSession& session) {
  for (uint16_t port = 41000; port < 41400; port += 2) {
    if (session.Open(port)) return port;
  }
  return 0;
}

// Open takes the host name for the CNAME and an SSRC of its own, and fails
// on a port in use. The answer goes to the camera's RTCP port, wherever the
// report came from; a stop wakes the thread instead of waiting out the
// receive time-out, and it says bye there.
TEST(RTCPSession, AnswersASenderReportToTheCameraRtcpPortAndSaysByeThere) {
  CRTCPSession session(Loopback());
  const uint16_t port = OpenOnLoopback(session);
  ASSERT_NE(port, 0);
  const std::string host = platform::HostName();
  EXPECT_EQ(session.CnameLength(),
            host.empty() ? 7u : std::min<size_t>(host.size(), CRTCPSession::kMaxCnameLength));
  CRTCPSession second(Loopback());
  EXPECT_FALSE(second.Open(port));
  EXPECT_FALSE(second.StartThread());  // nothing to run on
  // Seeding from the clock in seconds gave sessions opened together one SSRC.
  ASSERT_NE(OpenOnLoopback(second), 0);
  EXPECT_NE(session.OwnSsrc(), second.OwnSsrc());
  session.SetCname("camtest1");
  LoopbackSocket camera;
  LoopbackSocket elsewhere;  // where the camera's report happens to come from
  session.SetPeerRtcpPort(camera.port());
  ASSERT_TRUE(session.StartThread());
  RTPPacket rtp;
  rtp.ssrc = 0xCAFEF00Du;
  rtp.sequenceNumber = 7;
  session.OnRtpPacket(rtp);

  elsewhere.SendTo(port, SenderReport(0xCAFEF00Du));
  // The first report waits for at most 2.5 s times 1.5 / 1.21828.
  const Bytes answer = camera.Receive(4000);
  ASSERT_EQ(answer.size(), 52u);
  RECEPTION_REPORT figures;
  figures.extendedHighest = 7;
  const uint32_t delay =
      uint32_t(answer[28]) << 24 | answer[29] << 16 | answer[30] << 8 | answer[31];
  EXPECT_EQ(answer, ExpectedAnswer(session.OwnSsrc(), 0xCAFEF00Du, figures, delay, "camtest1"));
  EXPECT_LT(delay, 4u * 65536u);

  // Just after sending, the thread has the whole receive time-out ahead.
  session.RequestStop();
  const uint64_t start = platform::MonotonicMs();
  EXPECT_TRUE(session.Join());
  EXPECT_LT(platform::MonotonicMs() - start, CRTCPSession::kSocketTimeoutMs / 2);
  EXPECT_FALSE(session.IsRunning());
  Bytes bye = {0x81, 203, 0, 1};
  Put32(bye, session.OwnSsrc());
  EXPECT_EQ(camera.Receive(3000), bye);
  EXPECT_TRUE(elsewhere.Receive(300).empty());
}

// Driven with made-up times: which datagrams get a report, when, and where.
TEST(RTCPSession, AtMostOneReportPerSenderReportAndNoneBeforeTheInterval) {
  const uint64_t t0 = 1000000000;
  const uint64_t second = 1000000;
  // The shortest interval the randomization can give after the first report.
  const uint64_t shortest = uint64_t(double(CRTCPSession::kMinIntervalUs) *
                                     CRTCPSession::kRandomizedMin / CRTCPSession::kCompensation);
  CRTCPSession session(Loopback());
  // Shortened so that the item and the end of the item list fit.
  const std::string longName = "a-very-long-host-name-of-forty-characters";
  session.SetCname(longName);
  EXPECT_EQ(session.CnameLength(), 25);
  uint8_t out[CRTCPSession::kReportSize];
  platform::SocketAddress to;
  const Bytes sr = SenderReport(9);
  const Bytes rrOnly = {0x80, 201, 0, 1, 0, 0, 0, 9};
  Bytes badLength = sr;
  badLength[3] = 60;
  const struct {
    const char* name;
    Bytes data;
    const char* from;
  } ignored[] = {{"a receiver report alone", rrOnly, "127.0.0.1"},
                 {"a short datagram", Bytes(sr.begin(), sr.begin() + 10), "127.0.0.1"},
                 {"a length past the datagram", badLength, "127.0.0.1"},
                 {"another address", sr, "127.0.0.2"}};
  EXPECT_EQ(session.TakeDueReport(t0, out, &to), 0u);
  for (const auto& c : ignored) {
    SCOPED_TRACE(c.name);
    const platform::SocketAddress from{platform::InetAddr(c.from), platform::HostToNet16(5001)};
    EXPECT_FALSE(session.HandleDatagram(c.data.data(), c.data.size(), from, t0));
  }
  EXPECT_EQ(session.TakeDueReport(t0, out, &to), 0u);

  // A report compounded after a receiver report still counts; the first
  // one's port is kept for later reports from elsewhere.
  Bytes compound = rrOnly;
  compound.insert(compound.end(), sr.begin(), sr.end());
  EXPECT_TRUE(session.HandleDatagram(compound.data(), compound.size(), LoopbackAt(5001), t0));
  ASSERT_EQ(session.TakeDueReport(t0 + second / 2, out, &to), 68u);
  EXPECT_EQ(to.port, platform::HostToNet16(5001));
  EXPECT_EQ(Bytes(out, out + 68), ExpectedAnswer(session.OwnSsrc(), 9, RECEPTION_REPORT(), 32768,
                                                 longName.substr(0, 25)));

  // A flood: one report per interval at most, never two for one report.
  uint64_t last = t0 + second / 2;
  int reports = 0;
  for (uint64_t t = last + 1000; t < t0 + 60 * second; t += 1000) {
    session.HandleDatagram(sr.data(), sr.size(), LoopbackAt(uint16_t(6000 + t % 100)), t);
    if (session.TakeDueReport(t, out, &to) == 0) continue;
    EXPECT_GE(t - last, shortest);
    EXPECT_EQ(to.port, platform::HostToNet16(5001));
    EXPECT_EQ(session.TakeDueReport(t + 10 * second, out, &to), 0u);
    last = t;
    ++reports;
  }
  EXPECT_GE(reports, 8);
  EXPECT_LE(reports, 30);

  // The session's own word on the port wins.
  session.SetPeerRtcpPort(7001);
  session.HandleDatagram(sr.data(), sr.size(), LoopbackAt(5001), last + 10 * second);
  ASSERT_GT(session.TakeDueReport(last + 10 * second, out, &to), 0u);
  EXPECT_EQ(to.port, platform::HostToNet16(7001));
}

// Every length field tells the truth, whatever the length of the name.
TEST(RTCPSession, ReportCarriesTheFiguresAndANameOfAnyLength) {
  RECEPTION_REPORT figures;
  figures.fractionLost = 25;
  figures.cumulativeLost = -1;
  figures.extendedHighest = 65541;
  figures.jitter = 56;
  for (const std::string& name : {std::string("a"), std::string("ab"), std::string("abc"),
                                  std::string("camtest1"), std::string(25, 'h')}) {
    SCOPED_TRACE(name);
    uint8_t out[CRTCPSession::kReportSize];
    const size_t size =
        CRTCPSession::BuildReceiverReport(1, reinterpret_cast<const uint8_t*>(name.data()),
                                          name.size(), 0xCAFEF00Du, figures, 0xB2C3D4E5u, 4, out);
    EXPECT_EQ(Bytes(out, out + size), ExpectedAnswer(1, 0xCAFEF00Du, figures, 4, name));
  }
}

// What arrived, as the report block tells it (RFC 3550 6.4.1, A.1, A.8).
TEST(ReceptionStatistics, FiguresFollowWhatArrived) {
  struct Arrival {
    uint16_t sequence;
    uint32_t rtpTime;
    uint64_t arrivalUs;
  };
  // 900 ticks at 90 kHz are 10 ms: steady pacing has no jitter.
  auto steady = [](uint16_t first, int count, std::vector<uint16_t> skip = {}) {
    std::vector<Arrival> out;
    for (int i = 0; i < count; ++i) {
      const uint16_t seq = uint16_t(first + i);
      if (std::find(skip.begin(), skip.end(), seq) == skip.end()) {
        out.push_back({seq, uint32_t(i * 900), uint64_t(i) * 10000});
      }
    }
    return out;
  };
  std::vector<Arrival> late = steady(10, 5);
  late[4].arrivalUs += 10000;  // 900 ticks late: J grows by 900 / 16
  std::vector<Arrival> duplicated = steady(10, 5);
  duplicated.insert(duplicated.begin() + 3, duplicated[2]);
  std::vector<Arrival> jump = steady(10, 5);
  jump.push_back({40000, 4500, 50000});  // one stray: not taken
  // The figures: fraction lost, cumulative lost, extended highest, jitter.
  const struct {
    const char* name;
    std::vector<Arrival> arrivals;
    RECEPTION_REPORT want;
  } cases[] = {
      {"in order across the wrap", steady(65530, 12), {true, 0, 0, 65536 + 5, 0}},
      {"ten lost of a hundred",
       steady(100, 100, {110, 111, 112, 113, 114, 150, 151, 152, 153, 154}),
       {true, 25, 10, 199, 0}},
      {"one late arrival", late, {true, 0, 0, 14, 56}},
      {"a duplicate", duplicated, {true, 0, -1, 14, 0}},
      {"a stray far ahead", jump, {true, 0, 0, 14, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CReceptionStatistics stats;
    for (const Arrival& a : c.arrivals) stats.OnPacket(77, a.sequence, a.rtpTime, a.arrivalUs);
    const RECEPTION_REPORT r = stats.TakeReport(77);
    EXPECT_EQ(std::tie(r.valid, r.fractionLost, r.cumulativeLost, r.extendedHighest, r.jitter),
              std::tie(c.want.valid, c.want.fractionLost, c.want.cumulativeLost,
                       c.want.extendedHighest, c.want.jitter));
    // The fraction is per report: nothing new, nothing lost since.
    EXPECT_EQ(stats.TakeReport(77).fractionLost, 0);
    EXPECT_FALSE(stats.TakeReport(78).valid);
  }
}

}  // namespace
}  // namespace quenlix
