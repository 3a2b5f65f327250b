#include "rtsp/rtsp_response_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quenlix {
namespace {

const std::string kSpsHex = "6742e01fda014016e952000003000200000300641e306540";
const std::string kPpsHex = "68ce3c80";
const std::string kSprop = "sprop-parameter-sets=Z0LgH9oBQBbpUgAAAwACAAADAGQeMGVA,aM48gA==";

const std::string kCameraSdp =
    "v=0\r\no=- 1 1 IN IP4 192.168.1.20\r\ns=Live\r\nt=0 0\r\n"
    "a=control:*\r\n"
    "m=audio 0 RTP/AVP 0\r\na=control:trackID=2\r\n"
    "m=video 0 RTP/AVP 96\r\nb=AS:2000\r\na=rtpmap:96 H264/90000\r\n"
    "a=fmtp:96 packetization-mode=1;profile-level-id=42e01f;" +
    kSprop + "\r\na=control:trackID=1\r\n";

const std::string kDescribeHead =
    "RTSP/1.0 200 OK\r\nCSeq: 2\r\nServer: RTSPServer/1.0\r\n"
    "Content-Base: rtsp://192.168.1.20:554/h264/\r\nContent-Type: application/sdp\r\n";
const std::string kUnauthorized = "RTSP/1.0 401 Unauthorized\r\n";

std::string WithBody(const std::string& head, const std::string& body) {
  return head + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string Ok200(const std::string& headers) { return "RTSP/1.0 200 OK\r\n" + headers + "\r\n"; }

std::string SetupReply(const std::string& transport) {
  return Ok200("Transport: " + transport + "\r\n");
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (uint8_t b : bytes) hex += std::string{kDigits[b >> 4], kDigits[b & 0xF]};
  return hex;
}

// Every field a reply can set, those still at their defaults left out.
std::string Fields(const CRTSPResponseParser& p) {
  std::string s = p.version + " " + std::to_string(p.statusCode) + " " + p.reason;
  const auto add = [&s](const char* key, const std::string& value) {
    if (!value.empty()) s += std::string(" ") + key + "=" + value;
  };
  const auto number = [](uint32_t n) { return n ? std::to_string(n) : std::string(); };
  add("cseq", number(p.cseq));
  add("type", p.contentType);
  add("length", number(p.contentLength));
  add("session", p.sessionId);
  add("timeout", number(p.sessionTimeout));
  add("base", p.contentBase);
  add("ports", p.serverRtpPort || p.serverRtcpPort
                   ? number(p.serverRtpPort) + "-" + number(p.serverRtcpPort)
                   : "");
  add("control", p.control);
  add("auth", number(uint32_t(p.authScheme)));
  add("realm", p.realm);
  add("nonce", p.nonce);
  add("sps", Hex(p.sps));
  add("pps", Hex(p.pps));
  return s;
}

// The replies are fed in order to one parser; the last one's result counts.
void ExpectParsed(const char* name, int method, bool ok, const std::string& fields,
                  const std::vector<std::string>& replies) {
  SCOPED_TRACE(name);
  CRTSPResponseParser parser;
  bool parsed = false;
  for (const std::string& reply : replies) parsed = parser.Parse(reply, method);
  EXPECT_EQ(ok, parsed);
  EXPECT_EQ(fields, Fields(parser));
}

// A DESCRIBE reply carrying sdp; fields are those after the Content-Length.
void ExpectSdp(const char* name, bool ok, const std::string& fields, const std::string& sdp) {
  ExpectParsed(name, kRtspDescribe, ok,
               "RTSP/1.0 200 OK length=" + std::to_string(sdp.size()) + fields,
               {WithBody("RTSP/1.0 200 OK\r\n", sdp)});
}

TEST(RTSPResponseParser, ReadsRepliesIntoFields) {
  const std::string describe = WithBody(kDescribeHead, kCameraSdp);
  const std::string noLength = kDescribeHead + "\r\n" + kCameraSdp;
  const std::string head = "RTSP/1.0 200 OK cseq=2 type=application/sdp";
  const std::string length = " length=" + std::to_string(kCameraSdp.size());
  const std::string base = " base=rtsp://192.168.1.20:554/h264/";
  const std::string described = head + length + base + " control=trackID=1";
  const std::string sets = " sps=" + kSpsHex + " pps=" + kPpsHex;
  const std::string video = "m=video 0 RTP/AVP 96\r\n";
  const std::string ok = "RTSP/1.0 200 OK";
  const std::string unauthorized = "RTSP/1.0 401 Unauthorized";
  ExpectParsed("DescribeOfCamera", kRtspDescribe, true, described + sets, {describe});
  ExpectParsed("ParameterSetsOnlyGrow", kRtspDescribe, true,
               described + " sps=" + kSpsHex + kSpsHex + " pps=" + kPpsHex + kPpsHex,
               {describe, describe});
  ExpectParsed("ContentLengthDoesNotCarryOver", kRtspDescribe, true, head + base,
               {WithBody("RTSP/1.0 200 OK\r\n", "hello"), noLength});
  ExpectParsed("SdpCutAtContentLength", kRtspDescribe, true, ok + " length=22",
               {"RTSP/1.0 200 OK\r\nContent-Length: 22\r\n\r\n" + video + "a=control:track1\r\n"});
  ExpectParsed("ContentLengthWithoutEmptyLine", kRtspDescribe, true, ok + " length=40",
               {"RTSP/1.0 200 OK\r\nContent-Length: 40\r\n"});
  ExpectSdp("LastSdpLineWithoutLineEnd", true, " control=track1", video + "a=control:track1");
  ExpectSdp("ControlWithEqualsSignInVideoSection", true, " control=rtsp://cam/h264/stream=0",
            video + "a=control:rtsp://cam/h264/stream=0\r\n");
  ExpectSdp("VideoControlWithoutValueFails", false, "", video + "a=control:\r\n");
  ExpectSdp("SingleParameterSetAddsNothing", true, "",
            video + "a=fmtp:96 sprop-parameter-sets=Z0LgH9oB\r\n");
  ExpectSdp("ParameterSetsBeforeOtherParameters", true, sets,
            video + "a=fmtp:96 " + kSprop + ";packetization-mode=1\r\n");
  // 300 and 256 bytes 0xAA: a parameter set larger than the 256-byte decode
  // buffer is dropped whole, without a byte written past the buffer.
  const std::string big = video + "a=fmtp:96 sprop-parameter-sets=";
  ExpectSdp("ParameterSetOverCapacityDropped", true, " pps=" + kPpsHex,
            big + std::string(400, 'q') + ",aM48gA==\r\n");
  ExpectSdp("ParameterSetAtCapacityKept", true, " sps=" + std::string(512, 'a') + " pps=" + kPpsHex,
            big + std::string(340, 'q') + "qg==,aM48gA==\r\n");
  ExpectParsed("SetupWithSessionTimeout", kRtspSetup, true,
               ok + " cseq=3 session=1A2B3C timeout=20 ports=6970-6971",
               {"RTSP/1.0 200 OK\r\nCSeq: 3\r\nServer: RTSPServer/1.0\r\n"
                "Transport: RTP/AVP;unicast;client_port=3556-3557;server_port=6970-6971\r\n"
                "Session: 1A2B3C;timeout=20\r\n\r\n"});
  ExpectParsed("SessionTimeoutZeroFallsBack", kRtspSetup, true,
               ok + " cseq=3 session=77 timeout=30",
               {Ok200("CSeq: 3\r\nSession: 77;timeout=0\r\n")});
  ExpectParsed("SessionNegativeTimeoutFallsBack", kRtspSetup, true, ok + " session=77 timeout=30",
               {Ok200("Session: 77;timeout=-5\r\n")});
  ExpectParsed("SessionWithoutParametersKeepsTimeout", kRtspOptions, true,
               ok + " cseq=4 session=9 timeout=60",
               {Ok200("Session: 9;timeout=60\r\n"), Ok200("CSeq: 4\r\nSession: 9\r\n")});
  ExpectParsed("SessionWithOtherParameterFails", kRtspSetup, false, ok,
               {Ok200("Session: 9;foo=1\r\n")});
  ExpectParsed("EmptySessionFails", kRtspSetup, false, ok, {Ok200("Session:\r\n")});
  ExpectParsed("OnePortStandsForAPair", kRtspSetup, true, ok + " ports=5000-5001",
               {SetupReply("RTP/AVP;unicast;server_port=5000;ssrc=1A2B")});
  ExpectParsed("PortsAmongOtherParameters", kRtspSetup, true, ok + " ports=5000-5003",
               {SetupReply("RTP/AVP;unicast;source=10.0.0.5;server_port=5000-5003;mode=play")});
  ExpectParsed("NoServerPorts", kRtspSetup, true, ok,
               {SetupReply("RTP/AVP;unicast;client_port=3556-3557")});
  ExpectParsed("LonePortWithoutPair", kRtspSetup, true, ok,
               {SetupReply("RTP/AVP;unicast;server_port=65535")});
  ExpectParsed("UnreadablePorts", kRtspSetup, true, ok,
               {SetupReply("RTP/AVP;unicast;server_port=x-y")});
  ExpectParsed(
      "PortsOutOfRangeKeepWhatWasKnown", kRtspSetup, true, ok + " ports=6970-6971",
      {SetupReply("RTP/AVP;server_port=6970-6971"), SetupReply("RTP/AVP;server_port=70000-70001")});
  ExpectParsed("StatusWithoutReasonFails", kRtspOptions, false, " 0 ",
               {"RTSP/1.0 200\r\nCSeq: 1\r\n\r\n"});
  ExpectParsed("NotFoundFailsButKeepsStatus", kRtspOptions, false, "RTSP/1.0 404 Not",
               {"RTSP/1.0 404 Not Found\r\nCSeq: 1\r\n\r\n"});
  ExpectParsed("UnreadableCSeqFails", kRtspOptions, false, ok, {Ok200("CSeq: x\r\n")});
  ExpectParsed("OverflowingCSeqFails", kRtspOptions, false, ok, {Ok200("CSeq: 99999999999\r\n")});
  ExpectParsed("LastHeaderWithoutLineEndIgnored", kRtspOptions, true, ok + " cseq=1",
               {"RTSP/1.0 200 OK\r\nCSeq: 1\r\nCSeq: 9"});
  ExpectParsed("BareLineEnds", kRtspOptions, true, ok + " cseq=6 session=5",
               {"RTSP/1.0 200 OK\nCSeq: 6\rSession: 5\n\n"});
  ExpectParsed("DigestChallenge", kRtspDescribe, true,
               unauthorized + " cseq=1 auth=2 realm=IP Camera nonce=a1b2c3d4",
               {kUnauthorized + "CSeq: 1\r\nWWW-Authenticate: Digest realm=\"IP Camera\", "
                                "nonce=\"a1b2c3d4\", stale=FALSE\r\n\r\n"});
  ExpectParsed(
      "RealmMentioningServerStillAChallenge", kRtspDescribe, true,
      unauthorized + " auth=2 realm=RTSP Server nonce=n1",
      {kUnauthorized + "WWW-Authenticate: Digest realm=\"RTSP Server\", nonce=\"n1\"\r\n\r\n"});
  ExpectParsed("DigestThenBasicEndsWithBasic", kRtspDescribe, true,
               unauthorized + " auth=1 realm=cam",
               {kUnauthorized + "WWW-Authenticate: Digest realm=\"cam\", nonce=\"n1\"\r\n"
                                "WWW-Authenticate: Basic realm=\"cam\"\r\n\r\n"});
  ExpectParsed("DigestWithoutNonceFails", kRtspDescribe, false, unauthorized + " auth=2 realm=cam",
               {kUnauthorized + "WWW-Authenticate: Digest realm=\"cam\"\r\n\r\n"});
  ExpectParsed("UnknownSchemeAccepted", kRtspDescribe, true, unauthorized,
               {kUnauthorized + "WWW-Authenticate: Negotiate abc\r\n\r\n"});
}

}  // namespace
}  // namespace quenlix
