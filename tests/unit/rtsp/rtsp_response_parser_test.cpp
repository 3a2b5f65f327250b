#include "rtsp/rtsp_response_parser.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "rtsp/base64.h"

namespace quenlix {
namespace {

constexpr int kDescribe = 1;
constexpr int kSetup = 2;
constexpr int kOptions = 5;

const std::vector<uint8_t> kSps = {0x67, 0x42, 0xe0, 0x1f, 0xda, 0x01, 0x40, 0x16,
                                   0xe9, 0x52, 0x00, 0x00, 0x03, 0x00, 0x02, 0x00,
                                   0x00, 0x03, 0x00, 0x64, 0x1e, 0x30, 0x65, 0x40};
const std::vector<uint8_t> kPps = {0x68, 0xce, 0x3c, 0x80};

std::string WithBody(const std::string& head, const std::string& body) {
  return head + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

const std::string kCameraSdp =
    "v=0\r\n"
    "o=- 1 1 IN IP4 192.168.1.20\r\n"
    "s=Live\r\n"
    "t=0 0\r\n"
    "a=control:*\r\n"
    "m=audio 0 RTP/AVP 0\r\n"
    "a=control:trackID=2\r\n"
    "m=video 0 RTP/AVP 96\r\n"
    "b=AS:2000\r\n"
    "a=rtpmap:96 H264/90000\r\n"
    "a=fmtp:96 packetization-mode=1;profile-level-id=42e01f;"
    "sprop-parameter-sets=Z0LgH9oBQBbpUgAAAwACAAADAGQeMGVA,aM48gA==\r\n"
    "a=control:trackID=1\r\n";

const std::string kDescribeHead =
    "RTSP/1.0 200 OK\r\n"
    "CSeq: 2\r\n"
    "Server: Siqura RTSPServer/1.0\r\n"
    "Content-Base: rtsp://192.168.1.20:554/h264/\r\n"
    "Content-Type: application/sdp\r\n";

struct Expect {
  bool ok = true;
  int32_t statusCode = 200;
  uint32_t cseq = 0;
  std::string sessionId;
  uint32_t sessionTimeout = 0;
  std::string control;
  int32_t authScheme = 0;
  std::string realm;
  std::string nonce;
  std::vector<uint8_t> sps;
  std::vector<uint8_t> pps;
};

struct Case {
  const char* name;
  std::vector<std::string> replies;  // fed in order to one parser; the last one's result counts
  int method;
  Expect out;
};

Expect E(std::function<void(Expect&)> f) {
  Expect e;
  f(e);
  return e;
}

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      {"DescribeOfCamera", {WithBody(kDescribeHead, kCameraSdp)}, kDescribe, E([](Expect& e) {
         e.cseq = 2;
         e.control = "trackID=1";
         e.sps = kSps;
         e.pps = kPps;
       })},
      {"SetupWithSessionTimeout",
       {"RTSP/1.0 200 OK\r\nCSeq: 3\r\nServer: Siqura RTSPServer/1.0\r\n"
        "Transport: RTP/AVP;unicast;client_port=3556-3557;server_port=6970-6971\r\n"
        "Session: 1A2B3C;timeout=20\r\n\r\n"},
       kSetup,
       E([](Expect& e) {
         e.cseq = 3;
         e.sessionId = "1A2B3C";
         e.sessionTimeout = 20;
       })},
      {"SessionTimeoutZeroFallsBack",
       {"RTSP/1.0 200 OK\r\nCSeq: 3\r\nSession: 77;timeout=0\r\n\r\n"},
       kSetup,
       E([](Expect& e) {
         e.cseq = 3;
         e.sessionId = "77";
         e.sessionTimeout = 30;
       })},
      {"SessionNegativeTimeoutFallsBack",
       {"RTSP/1.0 200 OK\r\nSession: 77;timeout=-5\r\n\r\n"},
       kSetup,
       E([](Expect& e) {
         e.sessionId = "77";
         e.sessionTimeout = 30;
       })},
      {"SessionWithoutParametersKeepsTimeout",
       {"RTSP/1.0 200 OK\r\nSession: 9;timeout=60\r\n\r\n",
        "RTSP/1.0 200 OK\r\nCSeq: 4\r\nSession: 9\r\n\r\n"},
       kOptions,
       E([](Expect& e) {
         e.cseq = 4;
         e.sessionId = "9";
         e.sessionTimeout = 60;
       })},
      {"SessionWithOtherParameterFails",
       {"RTSP/1.0 200 OK\r\nSession: 9;foo=1\r\n\r\n"},
       kSetup,
       E([](Expect& e) { e.ok = false; })},
      {"EmptySessionFails", {"RTSP/1.0 200 OK\r\nSession:\r\n\r\n"}, kSetup, E([](Expect& e) {
         e.ok = false;
       })},
      {"StatusWithoutReasonFails", {"RTSP/1.0 200\r\nCSeq: 1\r\n\r\n"}, kOptions, E([](Expect& e) {
         e.ok = false;
         e.statusCode = 0;
       })},
      {"NotFoundFailsButKeepsStatus",
       {"RTSP/1.0 404 Not Found\r\nCSeq: 1\r\n\r\n"},
       kOptions,
       E([](Expect& e) {
         e.ok = false;
         e.statusCode = 404;
       })},
      {"SessionNotFoundFails",
       {"RTSP/1.0 454 Session Not Found\r\nCSeq: 5\r\n\r\n"},
       kOptions,
       E([](Expect& e) {
         e.ok = false;
         e.statusCode = 454;
       })},
      {"UnreadableCSeqFails", {"RTSP/1.0 200 OK\r\nCSeq: x\r\n\r\n"}, kOptions, E([](Expect& e) {
         e.ok = false;
       })},
      {"OverflowingCSeqFails",
       {"RTSP/1.0 200 OK\r\nCSeq: 99999999999\r\n\r\n"},
       kOptions,
       E([](Expect& e) { e.ok = false; })},
      {"DigestChallenge",
       {"RTSP/1.0 401 Unauthorized\r\nCSeq: 1\r\n"
        "WWW-Authenticate: Digest realm=\"Siqura Camera\", nonce=\"a1b2c3d4\", "
        "stale=FALSE\r\n\r\n"},
       kDescribe,
       E([](Expect& e) {
         e.statusCode = 401;
         e.cseq = 1;
         e.authScheme = 2;
         e.realm = "Siqura Camera";
         e.nonce = "a1b2c3d4";
       })},
      {"RealmMentioningServerStillAChallenge",
       {"RTSP/1.0 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"RTSP Server\", "
        "nonce=\"n1\"\r\n\r\n"},
       kDescribe,
       E([](Expect& e) {
         e.statusCode = 401;
         e.authScheme = 2;
         e.realm = "RTSP Server";
         e.nonce = "n1";
       })},
      {"DigestThenBasicEndsWithBasic",
       {"RTSP/1.0 401 Unauthorized\r\n"
        "WWW-Authenticate: Digest realm=\"cam\", nonce=\"n1\"\r\n"
        "WWW-Authenticate: Basic realm=\"cam\"\r\n\r\n"},
       kDescribe,
       E([](Expect& e) {
         e.statusCode = 401;
         e.authScheme = 1;
         e.realm = "cam";
       })},
      {"DigestWithoutNonceFails",
       {"RTSP/1.0 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"cam\"\r\n\r\n"},
       kDescribe,
       E([](Expect& e) {
         e.ok = false;
         e.statusCode = 401;
         e.authScheme = 2;
         e.realm = "cam";
       })},
      {"UnknownSchemeAccepted",
       {"RTSP/1.0 401 Unauthorized\r\nWWW-Authenticate: Negotiate abc\r\n\r\n"},
       kDescribe,
       E([](Expect& e) { e.statusCode = 401; })},
      {"DescribeWithoutContentLengthSkipsSdp",
       {kDescribeHead + "\r\n" + kCameraSdp},
       kDescribe,
       E([](Expect& e) { e.cseq = 2; })},
      {"ContentLengthDoesNotCarryOver",
       {WithBody("RTSP/1.0 200 OK\r\n", "hello"), kDescribeHead + "\r\n" + kCameraSdp},
       kDescribe,
       E([](Expect& e) { e.cseq = 2; })},
      {"SdpCutAtContentLength",
       {"RTSP/1.0 200 OK\r\nContent-Length: 22\r\n\r\nm=video 0 RTP/AVP "
        "26\r\na=control:track1\r\n"},
       kDescribe,
       Expect()},
      {"LastSdpLineWithoutLineEnd",
       {WithBody("RTSP/1.0 200 OK\r\n", "m=video 0 RTP/AVP 26\r\na=control:track1")},
       kDescribe,
       E([](Expect& e) { e.control = "track1"; })},
      {"ControlWithEqualsSignInVideoSection",
       {WithBody("RTSP/1.0 200 OK\r\n",
                 "m=video 0 RTP/AVP 96\r\na=control:rtsp://cam/h264/stream=0\r\n")},
       kDescribe,
       E([](Expect& e) { e.control = "rtsp://cam/h264/stream=0"; })},
      {"VideoControlWithoutValueFails",
       {WithBody("RTSP/1.0 200 OK\r\n", "m=video 0 RTP/AVP 96\r\na=control:\r\n")},
       kDescribe,
       E([](Expect& e) { e.ok = false; })},
      {"SingleParameterSetAddsNothing",
       {WithBody("RTSP/1.0 200 OK\r\n",
                 "m=video 0 RTP/AVP 96\r\na=fmtp:96 sprop-parameter-sets=Z0LgH9oB\r\n")},
       kDescribe,
       Expect()},
      {"ParameterSetsBeforeOtherParameters",
       {WithBody("RTSP/1.0 200 OK\r\n",
                 "m=video 0 RTP/AVP 96\r\na=fmtp:96 "
                 "sprop-parameter-sets=Z0LgH9oBQBbpUgAAAwACAAADAGQeMGVA,aM48gA==;"
                 "packetization-mode=1\r\n")},
       kDescribe,
       E([](Expect& e) {
         e.sps = kSps;
         e.pps = kPps;
       })},
      {"LastHeaderWithoutLineEndIgnored",
       {"RTSP/1.0 200 OK\r\nCSeq: 1\r\nCSeq: 9"},
       kOptions,
       E([](Expect& e) { e.cseq = 1; })},
      {"BareLineFeeds", {"RTSP/1.0 200 OK\nCSeq: 6\nSession: 5\n\n"}, kOptions, E([](Expect& e) {
         e.cseq = 6;
         e.sessionId = "5";
       })},
      {"ContentLengthWithoutEmptyLine",
       {"RTSP/1.0 200 OK\r\nContent-Length: 40\r\n"},
       kDescribe,
       Expect()},
  };
  return cases;
}

class ParserTable : public ::testing::TestWithParam<Case> {};

TEST_P(ParserTable, ReadsReplyIntoFields) {
  const Case& c = GetParam();
  CRTSPResponseParser parser;
  bool ok = false;
  for (const std::string& reply : c.replies) ok = parser.Parse(reply, c.method);
  const Expect& e = c.out;
  EXPECT_EQ(e.ok, ok);
  EXPECT_EQ(e.statusCode, parser.statusCode);
  EXPECT_EQ(e.cseq, parser.cseq);
  EXPECT_EQ(e.sessionId, parser.sessionId);
  EXPECT_EQ(e.sessionTimeout, parser.sessionTimeout);
  EXPECT_EQ(e.control, parser.control);
  EXPECT_EQ(e.authScheme, parser.authScheme);
  EXPECT_EQ(e.realm, parser.realm);
  EXPECT_EQ(e.nonce, parser.nonce);
  EXPECT_EQ(e.sps, parser.sps);
  EXPECT_EQ(e.pps, parser.pps);
}

INSTANTIATE_TEST_SUITE_P(Replies, ParserTable, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return std::string(info.param.name);
                         });

// Where the camera listens for RTCP; a bad value leaves what was known.
TEST(RTSPResponseParser, TransportServerPorts) {
  struct Case {
    std::string transport;
    uint16_t rtp;
    uint16_t rtcp;
  };
  const Case cases[] = {
      {"RTP/AVP;unicast;client_port=3556-3557;server_port=6970-6971", 6970, 6971},
      {"RTP/AVP;unicast;server_port=5000;ssrc=1A2B", 5000, 5001},
      {"RTP/AVP;unicast;source=10.0.0.5;server_port=5000-5003;mode=play", 5000, 5003},
      {"RTP/AVP;unicast;client_port=3556-3557", 0, 0},
      {"RTP/AVP;unicast;server_port=65535", 0, 0},
      {"RTP/AVP;unicast;server_port=70000-70001", 0, 0},
      {"RTP/AVP;unicast;server_port=x-y", 0, 0},
  };
  for (const Case& c : cases) {
    CRTSPResponseParser parser;
    EXPECT_TRUE(parser.Parse(
        "RTSP/1.0 200 OK\r\nCSeq: 2\r\nTransport: " + c.transport + "\r\nSession: 1\r\n\r\n",
        kSetup))
        << c.transport;
    EXPECT_EQ(parser.serverRtpPort, c.rtp) << c.transport;
    EXPECT_EQ(parser.serverRtcpPort, c.rtcp) << c.transport;
  }
  CRTSPResponseParser parser;
  ASSERT_TRUE(parser.Parse(WithBody(kDescribeHead, kCameraSdp), kDescribe));
  EXPECT_EQ(parser.contentBase, "rtsp://192.168.1.20:554/h264/");
}

TEST(RTSPResponseParser, StatusLineFieldsAndContentType) {
  CRTSPResponseParser parser;
  ASSERT_TRUE(parser.Parse(WithBody(kDescribeHead, kCameraSdp), kDescribe));
  EXPECT_EQ("RTSP/1.0", parser.version);
  EXPECT_EQ("OK", parser.reason);
  EXPECT_EQ("application/sdp", parser.contentType);
  EXPECT_EQ(kCameraSdp.size(), parser.contentLength);
}

TEST(RTSPResponseParser, ParameterSetsOnlyGrow) {
  CRTSPResponseParser parser;
  const std::string reply = WithBody(kDescribeHead, kCameraSdp);
  ASSERT_TRUE(parser.Parse(reply, kDescribe));
  ASSERT_TRUE(parser.Parse(reply, kDescribe));
  std::vector<uint8_t> twice = kSps;
  twice.insert(twice.end(), kSps.begin(), kSps.end());
  EXPECT_EQ(twice, parser.sps);
}

// A parameter set longer than the decode buffer is dropped whole and nothing
// is written past the buffer (the address sanitizer watches); one that just
// fills it is kept.
TEST(RTSPResponseParser, ParameterSetsNeverOverflowTheirBuffer) {
  for (const size_t size : {CRTSPResponseParser::kParameterSetCapacity + 44,
                            CRTSPResponseParser::kParameterSetCapacity}) {
    const std::vector<uint8_t> set(size, 0xAB);
    std::vector<char> encoded(Base64EncodedLength(set.size()));
    size_t length = 0;
    ASSERT_TRUE(Base64Encode(set.data(), set.size(), encoded.data(), encoded.size(), &length));
    const std::string sdp = "m=video 0 RTP/AVP 96\r\na=fmtp:96 sprop-parameter-sets=" +
                            std::string(encoded.data(), length) + ",aM48gA==\r\n";
    CRTSPResponseParser parser;
    EXPECT_TRUE(parser.Parse(WithBody("RTSP/1.0 200 OK\r\n", sdp), kDescribe)) << size;
    EXPECT_EQ(size > CRTSPResponseParser::kParameterSetCapacity ? std::vector<uint8_t>() : set,
              parser.sps)
        << size;
    EXPECT_EQ(kPps, parser.pps) << size;
  }
}

TEST(RTSPResponseParser, ClassifiesHeadersByName) {
  struct {
    const char* line;
    int kind;
  } cases[] = {
      {"", kHeaderEmptyLine},
      {"cseq: 4", kHeaderCSeq},
      {"Accept-Ranges: npt", kHeaderAcceptRanges},
      {"X-Session-Info: 1", kHeaderNone},
      {"WWW-Authenticate: Basic realm=\"Server\"", kHeaderWwwAuthenticate},
      {"Date: Mon, 07 Dec 2026 01:00:00 GMT", kHeaderDate},
      {"no colon here", kHeaderNone},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.kind, CRTSPResponseParser::ClassifyHeader(c.line)) << c.line;
}

TEST(RTSPResponseParser, ReadLineNeverReturnsUnterminatedTail) {
  const std::string text = "a\r\nb\nc";
  size_t pos = 0;
  EXPECT_EQ("a", CRTSPResponseParser::ReadLine(text, &pos));
  EXPECT_EQ("b", CRTSPResponseParser::ReadLine(text, &pos));
  EXPECT_EQ("", CRTSPResponseParser::ReadLine(text, &pos));
  EXPECT_EQ(CRTSPResponseParser::kEndMark, pos);
  EXPECT_EQ("", CRTSPResponseParser::ReadLine(text, &pos));
}

TEST(RTSPTextHelpers, SplitList) {
  EXPECT_EQ((std::vector<std::string>{"a", "", "b"}), SplitList("a,,b,"));
  EXPECT_TRUE(SplitList("").empty());
}

}  // namespace
}  // namespace quenlix
