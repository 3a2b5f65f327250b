#include "rtp/rtcp_session.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rtp_test_helpers.h"

namespace quenlix {
namespace {

using testing_rtp::LoopbackSocket;

uint32_t U32Of(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}

std::vector<uint8_t> U32(uint32_t v) {
  return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

// A sender report as a camera sends it: header, sender SSRC, NTP time
// (seconds, fraction), RTP time, packet and octet counts, followed by an SDES.
std::vector<uint8_t> SenderReport(uint32_t ssrc) {
  std::vector<uint8_t> sr = {0x80, 200, 0x00, 0x06};
  for (uint32_t word : {ssrc, 0xE8A1B2C3u, 0xD4E5F607u, 0x00123456u, 1000u, 250000u}) {
    std::vector<uint8_t> bytes = U32(word);
    sr.insert(sr.end(), bytes.begin(), bytes.end());
  }
  std::vector<uint8_t> sdes = {0x81, 202, 0x00, 0x03};
  std::vector<uint8_t> s = U32(ssrc);
  sdes.insert(sdes.end(), s.begin(), s.end());
  sdes.insert(sdes.end(), {1, 3, 'c', 'a', 'm', 0});
  sr.insert(sr.end(), sdes.begin(), sdes.end());
  return sr;
}

// The receiver report and CNAME, field by field as RFC 3550 lays them out.
std::vector<uint8_t> ExpectedAnswer(uint32_t own, uint32_t sender, const RECEPTION_REPORT& f,
                                    uint32_t lastSr, uint32_t delay, const std::string& name) {
  std::vector<uint8_t> rr = {0x81, 201, 0, 7};  // V=2 P=0 RC=1, PT=RR, length 7
  auto append = [&rr](const std::vector<uint8_t>& bytes) {
    rr.insert(rr.end(), bytes.begin(), bytes.end());
  };
  append(U32(own));     // SSRC of packet sender
  append(U32(sender));  // SSRC_1 of the reported source
  append(U32(uint32_t(f.fractionLost) << 24 | (uint32_t(f.cumulativeLost) & 0xFFFFFF)));
  append(U32(f.extendedHighest));
  append(U32(f.jitter));
  append(U32(lastSr));  // LSR
  append(U32(delay));   // DLSR
  // SDES: one chunk, the CNAME item and a zero end byte, padded to a word.
  const size_t chunk = 4 + (2 + name.size() + 4) / 4 * 4;
  append({0x81, 202, 0, uint8_t(chunk / 4)});
  append(U32(own));
  append({1, uint8_t(name.size())});
  append(std::vector<uint8_t>(name.begin(), name.end()));
  rr.resize(32 + 4 + chunk, 0);
  return rr;
}

platform::SocketAddress From(uint16_t port) {
  platform::SocketAddress from;
  from.address = testing_rtp::Loopback();
  from.port = platform::HostToNet16(port);
  return from;
}

struct Session {
  explicit Session(uint32_t peer) : session(peer) {}
  bool Open() {
    for (uint16_t port = 41000; port < 41400; port += 2) {
      if (session.Open(port)) {
        number = port;
        return true;
      }
    }
    return false;
  }
  CRTCPSession session;
  uint16_t number = 0;
};

TEST(RTCPSession, AnswersASenderReportToTheCameraRtcpPortAndSaysByeThere) {
  Session s(testing_rtp::Loopback());
  ASSERT_TRUE(s.Open());
  s.session.SetCname("camtest1");
  LoopbackSocket camera;
  LoopbackSocket elsewhere;  // where the camera's report happens to come from
  s.session.SetPeerRtcpPort(camera.port());
  ASSERT_TRUE(s.session.StartThread());
  RTPPacket rtp;
  rtp.ssrc = 0xCAFEF00Du;
  rtp.sequenceNumber = 7;
  s.session.OnRtpPacket(rtp);

  elsewhere.SendTo(s.number, SenderReport(0xCAFEF00Du));
  // The first report waits for at most 2.5 s times 1.5 / 1.21828, plus a
  // receive wait.
  std::vector<uint8_t> answer = camera.Receive(4000);
  ASSERT_EQ(answer.size(), 52u);
  RECEPTION_REPORT figures;
  figures.extendedHighest = 7;
  // LSR: the middle 32 bits of the 64-bit NTP time stamp; DLSR as it was.
  const uint32_t delay = U32Of(answer, 28);
  EXPECT_EQ(answer, ExpectedAnswer(s.session.OwnSsrc(), 0xCAFEF00Du, figures, 0xB2C3D4E5u, delay,
                                   "camtest1"));
  EXPECT_LT(delay, 4u * 65536u);
  EXPECT_TRUE(elsewhere.Receive(300).empty());

  s.session.RequestStop();
  EXPECT_TRUE(s.session.Join());
  EXPECT_FALSE(s.session.IsRunning());
  std::vector<uint8_t> expectedBye = {0x81, 203, 0, 1};
  std::vector<uint8_t> own = U32(s.session.OwnSsrc());
  expectedBye.insert(expectedBye.end(), own.begin(), own.end());
  EXPECT_EQ(camera.Receive(3000), expectedBye);
}

// Driven with made-up times: which datagrams get a report, when, and where.
TEST(RTCPSession, AtMostOneReportPerSenderReportAndNoneBeforeTheInterval) {
  const uint64_t t0 = 1000000000;
  const uint64_t second = 1000000;
  // The shortest interval the randomization can give after the first report.
  const uint64_t shortest = uint64_t(double(CRTCPSession::kMinIntervalUs) *
                                     CRTCPSession::kRandomizedMin / CRTCPSession::kCompensation);
  CRTCPSession session(testing_rtp::Loopback());
  uint8_t out[CRTCPSession::kReportSize];
  platform::SocketAddress to;
  const std::vector<uint8_t> sr = SenderReport(9);

  // Nothing to answer yet, whatever the clock says.
  EXPECT_EQ(session.TakeDueReport(t0, out, &to), 0u);
  // Not reports: a receiver report alone, a short or a foreign datagram.
  const std::vector<uint8_t> rrOnly = {0x80, 201, 0, 1, 0, 0, 0, 9};
  EXPECT_FALSE(session.HandleDatagram(rrOnly.data(), rrOnly.size(), From(5001), t0));
  EXPECT_FALSE(session.HandleDatagram(sr.data(), 10, From(5001), t0));
  std::vector<uint8_t> badLength = sr;
  badLength[3] = 60;  // runs past the datagram
  EXPECT_FALSE(session.HandleDatagram(badLength.data(), badLength.size(), From(5001), t0));
  platform::SocketAddress stranger = From(5001);
  stranger.address = platform::InetAddr("127.0.0.2");
  EXPECT_FALSE(session.HandleDatagram(sr.data(), sr.size(), stranger, t0));
  EXPECT_EQ(session.TakeDueReport(t0, out, &to), 0u);

  // A report compounded after a receiver report still counts; the first
  // one's port is kept for later reports from elsewhere.
  std::vector<uint8_t> compound = rrOnly;
  compound.insert(compound.end(), sr.begin(), sr.end());
  EXPECT_TRUE(session.HandleDatagram(compound.data(), compound.size(), From(5001), t0));
  ASSERT_GT(session.TakeDueReport(t0 + second / 2, out, &to), 0u);
  EXPECT_EQ(to.port, platform::HostToNet16(5001));
  EXPECT_EQ(U32Of(std::vector<uint8_t>(out, out + 32), 28), 32768u);  // half a second

  // A flood: one report per interval at most, never two for one report.
  uint64_t last = t0 + second / 2;
  const uint64_t end = last + 60 * second;
  int reports = 0;
  for (uint64_t t = last + 1000; t < end; t += 1000) {
    session.HandleDatagram(sr.data(), sr.size(), From(uint16_t(6000 + t % 100)), t);
    if (session.TakeDueReport(t, out, &to) == 0) continue;
    EXPECT_GE(t - last, shortest);
    EXPECT_EQ(to.port, platform::HostToNet16(5001));
    EXPECT_EQ(session.TakeDueReport(t + 10 * second, out, &to), 0u);  // no second answer
    last = t;
    ++reports;
  }
  EXPECT_GE(reports, 8);
  EXPECT_LE(reports, 30);

  // The session's own word on the port wins.
  session.SetPeerRtcpPort(7001);
  session.HandleDatagram(sr.data(), sr.size(), From(5001), last + 10 * second);
  ASSERT_GT(session.TakeDueReport(last + 10 * second, out, &to), 0u);
  EXPECT_EQ(to.port, platform::HostToNet16(7001));
}

// Every length field tells the truth, whatever the length of the name.
TEST(RTCPSession, SourceDescriptionIsSizedToItsName) {
  for (const std::string& name : {std::string("a"), std::string("ab"), std::string("abc"),
                                  std::string("camtest1"), std::string(25, 'h')}) {
    SCOPED_TRACE(name);
    uint8_t out[CRTCPSession::kReportSize];
    const size_t size =
        CRTCPSession::BuildReceiverReport(1, reinterpret_cast<const uint8_t*>(name.data()),
                                          name.size(), 2, RECEPTION_REPORT(), 3, 4, out);
    ASSERT_EQ(size % 4, 0u);
    size_t at = 0;
    int packets = 0;
    while (at < size) {
      at += (size_t(out[at + 2] << 8 | out[at + 3]) + 1) * 4;
      ++packets;
    }
    EXPECT_EQ(at, size);
    EXPECT_EQ(packets, 2);
    EXPECT_EQ(out[41], name.size());
    EXPECT_EQ(out[42 + name.size()], 0);  // the end of the item list
    EXPECT_LT(42 + name.size(), size);
  }
}

TEST(RTCPSession, StopTakesEffectWithoutWaitingOutTheReceiveTimeOut) {
  constexpr int kRounds = 10;
  uint64_t joinMs = 0;
  for (int round = 0; round < kRounds; ++round) {
    Session s(testing_rtp::Loopback());
    ASSERT_TRUE(s.Open());
    ASSERT_TRUE(s.session.StartThread());
    platform::SleepMs(20);
    s.session.RequestStop();
    const uint64_t start = platform::MonotonicMs();
    EXPECT_TRUE(s.session.Join());
    joinMs += platform::MonotonicMs() - start;
    EXPECT_FALSE(s.session.IsRunning());
  }
  EXPECT_LT(joinMs, kRounds * CRTCPSession::kSocketTimeoutMs / 4);
}

TEST(RTCPSession, ReportsFromAnotherAddressGetNoAnswerAndNoBye) {
  Session s(platform::InetAddr("127.0.0.2"));  // the camera; the test sends from 127.0.0.1
  ASSERT_TRUE(s.Open());
  ASSERT_TRUE(s.session.StartThread());
  LoopbackSocket stranger;
  stranger.SendTo(s.number, SenderReport(1));
  EXPECT_TRUE(stranger.Receive(800).empty());
  s.session.RequestStop();
  EXPECT_TRUE(s.session.Join());
  EXPECT_TRUE(stranger.Receive(300).empty());
}

TEST(RTCPSession, LongHostNameIsShortenedSoTheItemAndItsEndFit) {
  CRTCPSession session(testing_rtp::Loopback());
  const std::string longName = "a-very-long-host-name-of-forty-characters";
  session.SetCname(longName);
  EXPECT_EQ(session.CnameLength(), 25);
  const std::vector<uint8_t> sr = SenderReport(5);
  ASSERT_TRUE(session.HandleDatagram(sr.data(), sr.size(), From(5001), 1));
  uint8_t answer[CRTCPSession::kReportSize];
  platform::SocketAddress to;
  ASSERT_EQ(session.TakeDueReport(1, answer, &to), 68u);
  EXPECT_EQ(answer[41], 25);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(answer + 42), 25), longName.substr(0, 25));
  EXPECT_EQ(answer[67], 0);  // end of the item list
}

// What arrived, as the report block tells it (RFC 3550 6.4.1, A.1, A.8).
TEST(ReceptionStatistics, FiguresFollowWhatArrived) {
  struct Arrival {
    uint16_t sequence;
    uint32_t rtpTime;
    uint64_t arrivalUs;
  };
  struct Case {
    const char* name;
    std::vector<Arrival> arrivals;
    uint32_t extendedHighest;
    int32_t cumulativeLost;
    uint8_t fractionLost;
    uint32_t jitter;
  };
  // 900 ticks at 90 kHz are 10 ms: steady pacing has no jitter.
  auto steady = [](uint16_t first, int count, std::vector<uint16_t> skip = {}) {
    std::vector<Arrival> out;
    for (int i = 0; i < count; ++i) {
      const uint16_t seq = uint16_t(first + i);
      bool skipped = false;
      for (uint16_t s : skip) skipped = skipped || s == seq;
      if (!skipped) out.push_back({seq, uint32_t(i * 900), uint64_t(i) * 10000});
    }
    return out;
  };
  std::vector<Arrival> late = steady(10, 5);
  late[4].arrivalUs += 10000;  // 900 ticks late: J grows by 900 / 16
  std::vector<Arrival> duplicated = steady(10, 5);
  duplicated.insert(duplicated.begin() + 3, duplicated[2]);
  std::vector<Arrival> jump = steady(10, 5);
  jump.push_back({40000, 4500, 50000});  // one stray: not taken
  const Case cases[] = {
      {"in order across the wrap", steady(65530, 12), 65536 + 5, 0, 0, 0},
      {"ten lost of a hundred",
       steady(100, 100, {110, 111, 112, 113, 114, 150, 151, 152, 153, 154}), 199, 10, 25, 0},
      {"one late arrival", late, 14, 0, 0, 56},
      {"a duplicate", duplicated, 14, -1, 0, 0},
      {"a stray far ahead", jump, 14, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CReceptionStatistics stats;
    for (const Arrival& a : c.arrivals) stats.OnPacket(77, a.sequence, a.rtpTime, a.arrivalUs);
    const RECEPTION_REPORT r = stats.TakeReport(77);
    EXPECT_TRUE(r.valid);
    EXPECT_EQ(r.extendedHighest, c.extendedHighest);
    EXPECT_EQ(r.cumulativeLost, c.cumulativeLost);
    EXPECT_EQ(r.fractionLost, c.fractionLost);
    EXPECT_EQ(r.jitter, c.jitter);
    // The fraction is per report: nothing new, nothing lost since.
    EXPECT_EQ(stats.TakeReport(77).fractionLost, 0);
    EXPECT_FALSE(stats.TakeReport(78).valid);
  }
}

TEST(RTCPSession, OpenPicksAHostCnameAndFailsOnAPortInUse) {
  Session first(testing_rtp::Loopback());
  ASSERT_TRUE(first.Open());
  std::string host = platform::HostName();
  EXPECT_EQ(first.session.CnameLength(),
            host.empty() ? 7u : std::min<size_t>(host.size(), CRTCPSession::kMaxCnameLength));
  CRTCPSession second(testing_rtp::Loopback());
  EXPECT_FALSE(second.Open(first.number));
  EXPECT_FALSE(second.StartThread());  // nothing to run on
}

TEST(RTCPSession, SessionsPickDifferentSsrcs) {
  CRTCPSession a(testing_rtp::Loopback());
  CRTCPSession b(testing_rtp::Loopback());
  ASSERT_TRUE(a.Open(0));
  ASSERT_TRUE(b.Open(0));
  // Seeding from the clock in seconds gave two sessions opened together one SSRC.
  EXPECT_NE(a.OwnSsrc(), b.OwnSsrc());
}

}  // namespace
}  // namespace quenlix
