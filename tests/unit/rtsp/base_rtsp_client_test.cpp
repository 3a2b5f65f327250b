#include "rtsp/base_rtsp_client.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rtsp/md5.h"
#include "scripted_server.h"

namespace quenlix {
namespace {

using testing_rtsp::Reply;
using testing_rtsp::RequestCSeq;
using testing_rtsp::Responder;
using testing_rtsp::ScriptedServer;
using testing_rtsp::Segment;
using testing_rtsp::Whole;

const std::string kSdp =
    "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=Live\r\nt=0 0\r\n"
    "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"
    "a=fmtp:96 "
    "packetization-mode=1;sprop-parameter-sets=Z0LgH9oBQBbpUgAAAwACAAADAGQeMGVA,aM48gA==\r\n"
    "a=control:trackID=1\r\n";

std::string Ok(const std::string& request, const std::string& extra = "",
               const std::string& body = "") {
  std::string text = "RTSP/1.0 200 OK\r\nCSeq: " + std::to_string(RequestCSeq(request)) +
                     "\r\nServer: Siqura RTSPServer/1.0\r\n" + extra;
  if (!body.empty())
    text +=
        "Content-Type: application/sdp\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  return text + "\r\n" + body;
}

Responder OkWith(const std::string& extra = "", const std::string& body = "") {
  return [=](const std::string& request) { return Whole(Ok(request, extra, body)); };
}

Responder Challenge(const std::string& header) {
  return [=](const std::string& request) {
    return Whole("RTSP/1.0 401 Unauthorized\r\nCSeq: " + std::to_string(RequestCSeq(request)) +
                 "\r\n" + header + "\r\n\r\n");
  };
}

RTSP_SESSION_INFO Info(uint16_t port, const std::string& path = "h264") {
  RTSP_SESSION_INFO info;
  info.address = "127.0.0.1";
  info.port = port;
  info.path = path;
  info.clientRtpPort = 3556;
  info.clientRtcpPort = 3557;
  info.userName = "user";
  info.password = "pass";
  info.receiveTimeoutMs = 2000;
  return info;
}

struct TextCase {
  const char* name;
  std::string path;
  uint32_t authScheme;
};

class RequestTexts : public ::testing::TestWithParam<TextCase> {};

// Every method's text, byte for byte, through a whole session.
TEST_P(RequestTexts, MatchLayoutByteForByte) {
  const TextCase& c = GetParam();
  ScriptedServer server(
      {OkWith("", kSdp), OkWith("Session: 12345678;timeout=20\r\n"), OkWith(), OkWith(), OkWith()});
  CBaseRTSPClient client;
  RTSP_SESSION_INFO info = Info(server.port(), c.path);
  info.authScheme = c.authScheme;
  ASSERT_TRUE(client.Connect(info));
  for (int method : {kRtspDescribe, kRtspSetup, kRtspPlay, kRtspOptions, kRtspTeardown}) {
    EXPECT_TRUE(client.SendRequest(method)) << CBaseRTSPClient::GetMethodName(method);
  }
  client.Disconnect();
  const std::string base = "rtsp://127.0.0.1:" + std::to_string(server.port()) + "/" + c.path;
  const std::string setupUrl = c.path.empty() ? base + "trackID=1" : base + "/trackID=1";
  const std::string auth =
      c.authScheme == kAuthBasic ? "Authorization: Basic dXNlcjpwYXNz\r\n" : "";
  const std::string ua = "User-Agent: Quenlix\r\n\r\n";
  const std::vector<std::string> expected = {
      "DESCRIBE " + base + " RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n" + auth + ua,
      "SETUP " + setupUrl +
          " RTSP/1.0\r\nCSeq: 2\r\nTransport: RTP/AVP/UDP;unicast;client_port=3556-3557\r\n" +
          auth + ua,
      "PLAY " + base + " RTSP/1.0\r\nCSeq: 3\r\nSession: 12345678\r\nRange: npt=0.000-\r\n" + auth +
          ua,
      "OPTIONS " + base + " RTSP/1.0\r\nCSeq: 4\r\nSession: 12345678\r\n" + auth + ua,
      "TEARDOWN " + base + " RTSP/1.0\r\nCSeq: 5\r\nSession: 12345678\r\n" + auth + ua,
  };
  EXPECT_EQ(expected, server.Requests());
  EXPECT_EQ(20000u, client.GetSessionTimeoutMs());
  std::vector<uint8_t> sps, pps;
  client.GetParameterSets(sps, pps);
  EXPECT_EQ(24u, sps.size());
  EXPECT_EQ(4u, pps.size());
}

INSTANTIATE_TEST_SUITE_P(Methods, RequestTexts,
                         ::testing::Values(TextCase{"WithPath", "h264", kAuthNone},
                                           TextCase{"NoPath", "", kAuthNone},
                                           TextCase{"BasicWithPath", "h264", kAuthBasic}),
                         [](const ::testing::TestParamInfo<TextCase>& i) {
                           return std::string(i.param.name);
                         });

// RFC 2326 C.1.1: an absolute control stands as it is, a relative one is
// resolved against the Content-Base; without one, as cameras of this family
// expect it.
TEST(RTSPClient, ControlUrlResolution) {
  const std::string base = "rtsp://10.0.0.5:554/h264";
  struct Case {
    std::string requestBase;
    bool pathEmpty;
    std::string contentBase;
    std::string control;
    std::string want;
  };
  const Case cases[] = {
      {base, false, "", "trackID=1", base + "/trackID=1"},
      {"rtsp://10.0.0.5:554/", true, "", "trackID=1", "rtsp://10.0.0.5:554/trackID=1"},
      {base, false, "", "", base + "/"},
      {base, false, base + "/", "trackID=1", base + "/trackID=1"},
      {base, false, base, "trackID=1", base + "/trackID=1"},
      {base, false, "rtsp://10.0.0.5:8554/live/", "stream=0", "rtsp://10.0.0.5:8554/live/stream=0"},
      {base, false, "", "rtsp://10.0.0.5:554/h264/trackID=0", "rtsp://10.0.0.5:554/h264/trackID=0"},
      {base, false, base + "/", "RTSP://other:5554/x/trackID=0", "RTSP://other:5554/x/trackID=0"},
      {base, false, "rtsp://10.0.0.5:8554/live/", "/media/v", "rtsp://10.0.0.5:8554/media/v"},
      {base, false, "rtsp://10.0.0.5:8554/live/", "*", "rtsp://10.0.0.5:8554/live/"},
      {base, false, "not a url", "trackID=1", base + "/trackID=1"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(
        CBaseRTSPClient::ResolveControlUrl(c.requestBase, c.pathEmpty, c.contentBase, c.control),
        c.want)
        << c.contentBase << " + " << c.control;
  }
}

// The SETUP request line and the Digest URI both carry the resolved URL.
TEST(RTSPClient, AbsoluteControlGoesIntoSetupAsItIs) {
  const std::string sdp =
      "v=0\r\nm=video 0 RTP/AVP 26\r\na=control:rtsp://127.0.0.1:9/v/trackID=0\r\n";
  ScriptedServer server({OkWith("Content-Base: rtsp://127.0.0.1:9/v/\r\n", sdp),
                         OkWith("Transport: RTP/AVP;unicast;client_port=3556-3557;"
                                "server_port=6970-6971\r\nSession: 1\r\n")});
  CBaseRTSPClient client;
  ASSERT_TRUE(client.Connect(Info(server.port())));
  ASSERT_TRUE(client.SendRequest(kRtspDescribe));
  ASSERT_TRUE(client.SendRequest(kRtspSetup));
  ASSERT_EQ(server.Requests().size(), 2u);
  EXPECT_EQ(server.Requests()[1].rfind("SETUP rtsp://127.0.0.1:9/v/trackID=0 RTSP/1.0\r\n", 0), 0u);
  EXPECT_EQ(client.Parser().serverRtpPort, 6970);
  EXPECT_EQ(client.Parser().serverRtcpPort, 6971);
}

// A reply answers the request whose CSeq it carries: a late answer to an
// earlier request is passed over, any other CSeq fails the step, and the
// counter goes on from the requests sent.
TEST(RTSPClient, RepliesMatchTheirRequestsByCSeq) {
  const auto reply = [](unsigned cseq) {
    return "RTSP/1.0 200 OK\r\nCSeq: " + std::to_string(cseq) + "\r\nSession: s" +
           std::to_string(cseq) + "\r\n\r\n";
  };
  const struct {
    const char* name;
    std::string secondReply;  // to the second request, CSeq 2
    bool secondOk;
    const char* session;
  } cases[] = {
      {"matching", reply(2), true, "s2"},
      {"no CSeq at all", "RTSP/1.0 200 OK\r\nSession: s9\r\n\r\n", true, "s9"},
      {"camera's own number", reply(7), false, "s1"},
      {"late answer then the right one", reply(1) + reply(2), true, "s2"},
      {"only a late answer", reply(1), false, "s1"},
  };
  for (const auto& c : cases) {
    const std::string second = c.secondReply;
    ScriptedServer server({OkWith("Session: s1\r\n"),
                           [second](const std::string&) { return Whole(second); }, OkWith()});
    CBaseRTSPClient client;
    RTSP_SESSION_INFO info = Info(server.port());
    info.receiveTimeoutMs = 500;
    ASSERT_TRUE(client.Connect(info)) << c.name;
    EXPECT_TRUE(client.SendRequest(kRtspOptions)) << c.name;
    EXPECT_EQ(c.secondOk, client.SendRequest(kRtspOptions)) << c.name;
    EXPECT_EQ(c.session, client.Parser().sessionId) << c.name;
    client.SendRequest(kRtspOptions);
    client.Disconnect();
    const auto requests = server.Requests();
    ASSERT_EQ(3u, requests.size()) << c.name;
    EXPECT_EQ(3u, RequestCSeq(requests[2])) << c.name;
  }
}

// A stop during connect or while a reply is awaited ends the step within a
// fraction of a second, not at the time-outs.
TEST(RTSPClient, StopEventCutsConnectAndReplyWaits) {
  platform::Event stop = platform::CreateEvent(true, true);
  ASSERT_NE(nullptr, stop);
  // A listener whose backlog is full drops further connection attempts.
  platform::SocketsStartup();
  platform::SocketHandle listener = platform::CreateTcpSocket();
  platform::BindSocket(listener, platform::InetAddr("127.0.0.1"), 0);
  platform::ListenSocket(listener, 0);
  const uint16_t port = platform::LocalPort(listener);
  std::vector<platform::SocketHandle> fillers;
  for (int i = 0; i < 4; ++i) {
    platform::SocketHandle s = platform::CreateTcpSocket();
    platform::SetNonBlocking(s, true);
    platform::ConnectSocket(s, platform::InetAddr("127.0.0.1"), port);
    fillers.push_back(s);
  }
  CBaseRTSPClient dropped;
  dropped.SetStopEvent(stop);
  RTSP_SESSION_INFO info = Info(port);
  info.connectTimeoutMs = 20000;
  uint64_t start = platform::MonotonicMs();
  EXPECT_FALSE(dropped.Connect(info));
  EXPECT_LT(platform::MonotonicMs() - start, 1000u);

  ScriptedServer silent({[](const std::string&) { return Reply{{{"", 1500}}, true}; }});
  CBaseRTSPClient client;
  client.SetStopEvent(stop);
  platform::ResetEvent(stop);
  info = Info(silent.port());
  info.receiveTimeoutMs = 20000;
  ASSERT_TRUE(client.Connect(info));
  platform::SetEvent(stop);
  start = platform::MonotonicMs();
  EXPECT_FALSE(client.SendRequest(kRtspDescribe));
  EXPECT_LT(platform::MonotonicMs() - start, 1000u);
  client.Disconnect();
  for (platform::SocketHandle s : fillers) platform::CloseSocket(s);
  platform::CloseSocket(listener);
  platform::SocketsCleanup();
  platform::CloseEvent(stop);
}

struct SplitCase {
  const char* name;
  size_t at;  // where the DESCRIBE reply is cut; from the end when negative offset is wanted, see
              // below
};

class SplitReply : public ::testing::TestWithParam<SplitCase> {};

// The reply comes in two TCP segments with a pause; all of it must be read.
TEST_P(SplitReply, IsReadWhole) {
  const size_t at = GetParam().at;
  ScriptedServer server({[at](const std::string& request) {
    const std::string text = Ok(request, "Session: 77;timeout=20\r\n", kSdp);
    const size_t cut = at < text.size() ? at : text.size() - 5;
    return Reply{{{text.substr(0, cut), 0}, {text.substr(cut), 300}}, false};
  }});
  CBaseRTSPClient client;
  ASSERT_TRUE(client.Connect(Info(server.port())));
  EXPECT_TRUE(client.SendRequest(kRtspDescribe));
  EXPECT_EQ("trackID=1", client.Parser().control);
  EXPECT_EQ("77", client.Parser().sessionId);
  EXPECT_EQ(4u, client.Parser().pps.size());
}

INSTANTIATE_TEST_SUITE_P(Segments, SplitReply,
                         ::testing::Values(SplitCase{"InStatusLine", 5}, SplitCase{"InHeaders", 40},
                                           SplitCase{"InBody", 150},
                                           SplitCase{"BeforeLastBytes", 100000}),
                         [](const ::testing::TestParamInfo<SplitCase>& i) {
                           return std::string(i.param.name);
                         });

TEST(RTSPClient, LongReplyInManyReadsIsReadWhole) {
  std::string sdp = "m=video 0 RTP/AVP 96\r\n";
  for (int i = 0; i < 200; ++i) sdp += "a=x-filler:" + std::string(40, 'f') + "\r\n";
  sdp += "a=control:trackID=9\r\n";
  ScriptedServer server({OkWith("", sdp)});
  CBaseRTSPClient client;
  ASSERT_TRUE(client.Connect(Info(server.port())));
  EXPECT_TRUE(client.SendRequest(kRtspDescribe));
  EXPECT_EQ("trackID=9", client.Parser().control);
}

// A reply cut short by the camera closing fails its request.
TEST(RTSPClient, ConnectionClosedMidReplyFailsTheRequest) {
  for (const int method : {kRtspSetup, kRtspDescribe}) {
    // SETUP's reply ends inside the headers, DESCRIBE's inside the body.
    ScriptedServer server({[method](const std::string& request) {
      const std::string text = Ok(request, "", kSdp);
      return Reply{{{text.substr(0, method == kRtspSetup ? 30 : text.size() - 30), 0}}, true};
    }});
    CBaseRTSPClient client;
    ASSERT_TRUE(client.Connect(Info(server.port())));
    EXPECT_FALSE(client.SendRequest(method)) << method;
    EXPECT_EQ("", client.Parser().control) << method;
    EXPECT_EQ(kRtspReplyCut, client.LastFailure()) << method;
  }
}

// Two replies arriving in one segment are still taken one per request.
TEST(RTSPClient, RepliesInOneSegmentAreTakenInTurn) {
  ScriptedServer server({[](const std::string& request) {
    return Whole(Ok(request, "Session: 1;timeout=20\r\n") +
                 "RTSP/1.0 200 OK\r\nCSeq: 2\r\nSession: 2\r\n\r\n");
  }});
  CBaseRTSPClient client;
  ASSERT_TRUE(client.Connect(Info(server.port())));
  EXPECT_TRUE(client.SendRequest(kRtspSetup));
  EXPECT_EQ("1", client.Parser().sessionId);
  EXPECT_TRUE(client.SendRequest(kRtspOptions));
  EXPECT_EQ("2", client.Parser().sessionId);
}

// A camera that never ends its reply can hold the client neither past the
// size bound nor past the receive time-out, however it paces its bytes.
TEST(RTSPClient, EndlessReplyIsCutAtItsBounds) {
  const struct {
    const char* name;
    uint32_t timeoutMs;
    uint32_t endsWithinMs;
    Reply reply;
  } cases[] = {
      // Past the size bound the client gives up at once, not at the time-out.
      {"flood without an empty line", 10000, 2500,
       Reply{{{"RTSP/1.0 200 OK\r\nCSeq: 1\r\n" + std::string(80000, 'x'), 0}}, false}},
      {"header promising more body than the bound", 10000, 2500,
       Reply{{{"RTSP/1.0 200 OK\r\nCSeq: 1\r\nContent-Length: 999999\r\n\r\n" +
                   std::string(70000, 'v'),
               0}},
             false}},
      // The deadline is set once per reply; a trickle must not renew it.
      {"one byte at a time", 1000, 1900,
       [] {
         Reply drip;
         for (char c : std::string("RTSP/1.0 200 OK\r\nCSeq: 1\r\n"))
           drip.segments.push_back({std::string(1, c), 150});
         return drip;
       }()},
  };
  for (const auto& c : cases) {
    const Reply reply = c.reply;
    ScriptedServer server({[reply](const std::string&) { return reply; }});
    CBaseRTSPClient client;
    RTSP_SESSION_INFO info = Info(server.port());
    info.receiveTimeoutMs = c.timeoutMs;
    ASSERT_TRUE(client.Connect(info)) << c.name;
    const uint64_t start = platform::MonotonicMs();
    EXPECT_FALSE(client.SendRequest(kRtspDescribe)) << c.name;
    EXPECT_LT(platform::MonotonicMs() - start, c.endsWithinMs) << c.name;
    EXPECT_EQ("", client.Parser().control) << c.name;
    EXPECT_EQ(kRtspReplyCut, client.LastFailure()) << c.name;
  }
}

TEST(RTSPClient, SessionNotFoundFails) {
  ScriptedServer server({[](const std::string& r) {
    return Whole("RTSP/1.0 454 Session Not Found\r\nCSeq: " + std::to_string(RequestCSeq(r)) +
                 "\r\n\r\n");
  }});
  CBaseRTSPClient client;
  ASSERT_TRUE(client.Connect(Info(server.port())));
  EXPECT_FALSE(client.SendRequest(kRtspOptions));
  EXPECT_EQ(454, client.Parser().statusCode);
  EXPECT_FALSE(client.CredentialsRefused());
  EXPECT_EQ(kRtspBadStatus, client.LastFailure());
  EXPECT_EQ("454 Session Not Found", client.FailedStatus());
}

TEST(RTSPClient, BasicChallengeIsAnsweredOnce) {
  ScriptedServer server({Challenge("WWW-Authenticate: Basic realm=\"cam\""), OkWith("", kSdp)});
  CBaseRTSPClient client;
  ASSERT_TRUE(client.Connect(Info(server.port())));
  EXPECT_TRUE(client.SendRequest(kRtspDescribe));
  const auto requests = server.Requests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ(std::string::npos, requests[0].find("Authorization"));
  EXPECT_NE(std::string::npos,
            requests[1].find("\r\nAuthorization: Basic dXNlcjpwYXNz\r\nUser-Agent"));
  EXPECT_EQ(uint32_t(kAuthBasic), client.SessionInfo().authScheme);
}

// The camera refusing the repeated request must fail the step, not pass as
// success with status 401.
TEST(RTSPClient, RefusedCredentialsFailTheRequest) {
  const std::string basic = "WWW-Authenticate: Basic realm=\"cam\"";
  const std::string digest = "WWW-Authenticate: Digest realm=\"cam\", nonce=\"abc\"";
  const struct {
    const char* name;
    uint32_t schemeInForce;
    std::string challenge;
    size_t requestsSent;
  } cases[] = {
      {"BasicRepeatRefused", kAuthNone, basic, 2},
      {"BasicAlreadyInForceNotRepeated", kAuthBasic, basic, 1},
      {"DigestRepeatRefused", kAuthNone, digest, 2},
      {"NoChallengeNotRepeated", kAuthNone, "X-Nothing: 1", 1},
  };
  for (const auto& c : cases) {
    ScriptedServer server({Challenge(c.challenge), Challenge(c.challenge)});
    CBaseRTSPClient client;
    RTSP_SESSION_INFO info = Info(server.port());
    info.authScheme = c.schemeInForce;
    ASSERT_TRUE(client.Connect(info)) << c.name;
    EXPECT_FALSE(client.SendRequest(kRtspDescribe)) << c.name;
    EXPECT_TRUE(client.CredentialsRefused()) << c.name;
    client.Disconnect();
    EXPECT_EQ(c.requestsSent, server.Requests().size()) << c.name;
  }
}

// A repeat that gets no answer is a network failure, not a refusal: the
// host must not be told that the camera refused the credentials.
TEST(RTSPClient, UnansweredRepeatIsNoRefusal) {
  ScriptedServer server(
      {Challenge("WWW-Authenticate: Basic realm=\"cam\""), [](const std::string&) {
         return Reply{{}, true};
       }});
  CBaseRTSPClient client;
  ASSERT_TRUE(client.Connect(Info(server.port())));
  EXPECT_FALSE(client.SendRequest(kRtspDescribe));
  EXPECT_FALSE(client.CredentialsRefused());
  EXPECT_EQ(kRtspNoReply, client.LastFailure());
  EXPECT_EQ(2u, server.Requests().size());
}

std::string Field(const std::string& request, const std::string& name) {
  const size_t at = request.find(name + "=\"");
  if (at == std::string::npos) return std::string();
  const size_t start = at + name.size() + 2;
  return request.substr(start, request.find('"', start) - start);
}

// The server checks the digest the way a strict camera does: against the
// URI of the request line.
Responder DigestCheck(const std::string& realm, const std::string& nonce) {
  return [=](const std::string& request) {
    const std::string line = request.substr(0, request.find("\r\n"));
    const std::string method = line.substr(0, line.find(' '));
    const std::string uri = line.substr(method.size() + 1, line.rfind(' ') - method.size() - 1);
    const std::string ha1 = CMD5::HexDigest("user:" + realm + ":pass");
    const std::string ha2 = CMD5::HexDigest(method + ":" + uri);
    const bool good = Field(request, "uri") == uri && Field(request, "realm") == realm &&
                      Field(request, "username") == "user" &&
                      Field(request, "response") == CMD5::HexDigest(ha1 + ":" + nonce + ":" + ha2);
    if (!good)
      return Challenge("WWW-Authenticate: Digest realm=\"" + realm + "\", nonce=\"" + nonce +
                       "\"")(request);
    return Whole(Ok(request, method == "SETUP" ? "Session: 5;timeout=20\r\n" : "",
                    method == "DESCRIBE" ? kSdp : ""));
  };
}

TEST(RTSPClient, DigestSessionWithRealmHoldingBlanks) {
  const std::string realm = "Siqura RTSP Server";
  const std::string nonce = "dcd98b7102dd2f0e8b11d0f600bfb0c093";
  const Responder check = DigestCheck(realm, nonce);
  ScriptedServer server({check, check, check, check, check});
  CBaseRTSPClient client;
  ASSERT_TRUE(client.Connect(Info(server.port())));
  EXPECT_TRUE(client.SendRequest(kRtspDescribe));
  EXPECT_TRUE(client.SendRequest(kRtspSetup));
  EXPECT_TRUE(client.SendRequest(kRtspPlay));
  EXPECT_TRUE(client.SendRequest(kRtspTeardown));
  client.Disconnect();
  const auto requests = server.Requests();
  ASSERT_EQ(5u, requests.size());  // one challenge, then every request accepted at once
  EXPECT_EQ(std::string::npos, requests[0].find("Authorization"));
  const std::string base = "rtsp://127.0.0.1:" + std::to_string(server.port()) + "/h264";
  EXPECT_EQ(base, Field(requests[1], "uri"));
  EXPECT_EQ(base + "/trackID=1", Field(requests[2], "uri"));
}

TEST(RTSPClient, DigestWithEmptyPasswordSendsNoAuthorization) {
  const std::string digest = "WWW-Authenticate: Digest realm=\"cam\", nonce=\"abc\"";
  ScriptedServer server({Challenge(digest), Challenge(digest)});
  CBaseRTSPClient client;
  RTSP_SESSION_INFO info = Info(server.port());
  info.password = "";
  ASSERT_TRUE(client.Connect(info));
  EXPECT_FALSE(client.SendRequest(kRtspDescribe));
  client.Disconnect();
  const auto requests = server.Requests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ(std::string::npos, requests[1].find("Authorization"));
}

// 65 bytes of user:password go out on one header line; 85 do not fit and
// nothing is sent.
TEST(RTSPClient, BasicCredentialOnOneHeaderLineOrNotAtAll) {
  for (const size_t userLength : {60, 80}) {
    ScriptedServer server({OkWith()});
    CBaseRTSPClient client;
    RTSP_SESSION_INFO info = Info(server.port());
    info.userName = std::string(userLength, 'u');
    info.authScheme = kAuthBasic;
    ASSERT_TRUE(client.Connect(info));
    std::string credential;
    const bool fits = CBaseRTSPClient::MakeBasicCredentials(info.userName, "pass", &credential);
    EXPECT_EQ(fits, userLength == 60);
    EXPECT_EQ(fits, client.SendRequest(kRtspOptions)) << userLength;
    client.Disconnect();
    const auto requests = server.Requests();
    ASSERT_EQ(fits ? 1u : 0u, requests.size()) << userLength;
    if (fits) {
      EXPECT_NE(std::string::npos,
                requests[0].find("\r\nAuthorization: Basic " + credential + "\r\nUser-Agent: "));
    }
  }
}

TEST(RTSPClient, NoRequestWithoutConnectionOrMethod) {
  CBaseRTSPClient client;
  EXPECT_FALSE(client.Transact(kRtspOptions));
  EXPECT_EQ(kRtspSendFailed, client.LastFailure());
  EXPECT_EQ("", client.BuildRequest(9));
  EXPECT_EQ("", client.BuildRequest(0));
}

TEST(RTSPClient, RefusedConnectionFailsWithoutWaitingOutTheTimeout) {
  ASSERT_TRUE(platform::SocketsStartup());
  const platform::SocketHandle probe = platform::CreateTcpSocket();
  ASSERT_EQ(0, platform::BindSocket(probe, platform::InetAddr("127.0.0.1"), 0));
  const uint16_t port = platform::LocalPort(probe);
  platform::CloseSocket(probe);  // nothing listens there now
  CBaseRTSPClient client;
  RTSP_SESSION_INFO info = Info(port);
  info.connectTimeoutMs = 40000;
  const uint64_t start = platform::MonotonicMs();
  EXPECT_FALSE(client.Connect(info));
  EXPECT_LT(platform::MonotonicMs() - start, 20000u);
  EXPECT_FALSE(client.IsConnected());
  EXPECT_EQ(kRtspConnectRefused, client.LastFailure());
  platform::SocketsCleanup();
}

}  // namespace
}  // namespace quenlix
