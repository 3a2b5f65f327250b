#include "rtp/rtcp_session.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rtp_test_helpers.h"

namespace quenlix {
namespace {

using testing_rtp::LoopbackSocket;

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
std::vector<uint8_t> ExpectedAnswer(uint32_t own, uint32_t sender, uint32_t lastSr,
                                    const std::string& name) {
  std::vector<uint8_t> rr = {0x81, 201, 0, 7};  // V=2 P=0 RC=1, PT=RR, length 7
  auto append = [&rr](const std::vector<uint8_t>& bytes) {
    rr.insert(rr.end(), bytes.begin(), bytes.end());
  };
  append(U32(own));           // SSRC of packet sender
  append(U32(sender));        // SSRC_1 of the reported source
  append({0, 0, 0, 0});       // fraction lost 0, cumulative lost 0
  append(U32(0));             // extended highest sequence number
  append(U32(0));             // interarrival jitter
  append(U32(lastSr));        // LSR
  append(U32(1));             // DLSR
  append({0x81, 202, 0, 8});  // V=2 SC=1, PT=SDES, length 8
  append(U32(own));
  append({1, uint8_t(name.size())});  // CNAME
  append(std::vector<uint8_t>(name.begin(), name.end()));
  rr.resize(68, 0);
  return rr;
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

TEST(RTCPSession, AnswersASenderReportByteForByteAndSaysByeAtTheEnd) {
  Session s(testing_rtp::Loopback());
  ASSERT_TRUE(s.Open());
  s.session.SetCname("camtest1");
  ASSERT_TRUE(s.session.StartThread());
  LoopbackSocket camera;

  camera.SendTo(s.number, SenderReport(0xCAFEF00Du));
  std::vector<uint8_t> answer = camera.Receive(3000);
  ASSERT_EQ(answer.size(), 68u);
  // LSR: the middle 32 bits of the 64-bit NTP time stamp.
  EXPECT_EQ(answer, ExpectedAnswer(s.session.OwnSsrc(), 0xCAFEF00Du, 0xB2C3D4E5u, "camtest1"));
  for (size_t i = 50; i < 68; ++i) EXPECT_EQ(answer[i], 0) << i;

  s.session.RequestStop();
  EXPECT_TRUE(s.session.Join());
  EXPECT_FALSE(s.session.IsRunning());
  std::vector<uint8_t> bye = camera.Receive(3000);
  std::vector<uint8_t> expectedBye = {0x81, 203, 0, 1};
  std::vector<uint8_t> own = U32(s.session.OwnSsrc());
  expectedBye.insert(expectedBye.end(), own.begin(), own.end());
  EXPECT_EQ(bye, expectedBye);
}

// Each round waits on a thread that has just begun its receive wait; without
// the wake every Join would wait out most of the receive time-out.
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

TEST(RTCPSession, ShortDatagramsAreIgnoredAndTheThreadKeepsAnswering) {
  Session s(testing_rtp::Loopback());
  ASSERT_TRUE(s.Open());
  ASSERT_TRUE(s.session.StartThread());
  LoopbackSocket camera;
  ASSERT_TRUE(testing_rtp::WaitFor([&] { return s.session.IsRunning(); }));

  camera.SendTo(s.number, {});
  camera.SendTo(s.number, std::vector<uint8_t>(10, 0x80));
  EXPECT_TRUE(camera.Receive(800).empty());
  EXPECT_TRUE(s.session.IsRunning());
  EXPECT_FALSE(s.session.IsStopRequested());

  // 11 bytes: answered; the bytes of the LSR that were not sent read as zero.
  std::vector<uint8_t> eleven = {0x80, 200, 0, 6, 1, 2, 3, 4, 5, 6, 0x77};
  camera.SendTo(s.number, eleven);
  std::vector<uint8_t> answer = camera.Receive(3000);
  ASSERT_EQ(answer.size(), 68u);
  EXPECT_EQ(std::vector<uint8_t>(answer.begin() + 8, answer.begin() + 12),
            (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(std::vector<uint8_t>(answer.begin() + 24, answer.begin() + 28),
            (std::vector<uint8_t>{0x77, 0, 0, 0}));
  s.session.RequestStop();
  s.session.Join();
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
  platform::SocketAddress from;
  from.address = testing_rtp::Loopback();
  const std::vector<uint8_t> sr = SenderReport(5);
  uint8_t answer[CRTCPSession::kReportSize];
  ASSERT_EQ(session.HandleDatagram(sr.data(), sr.size(), from, answer), 68u);
  EXPECT_EQ(answer[41], 25);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(answer + 42), 25), longName.substr(0, 25));
  EXPECT_EQ(answer[67], 0);  // end of the item list
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
