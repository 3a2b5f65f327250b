#include "rtsp/base_rtsp_client.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/socket.h"
#include "rtsp/md5.h"
#include "sockets_environment.h"

namespace quenlix {
namespace {

// A one-connection RTSP server on 127.0.0.1 that answers each request with
// the next scripted reply, sent in segments with pauses between them.
struct Segment {
  std::string bytes;
  uint32_t pauseMs = 0;  // before this segment
};

struct Reply {
  // Implicit, so that a script lists most replies as their text, sent whole.
  Reply(const std::string& text) : segments{{text, 0}} {}
  Reply(std::vector<Segment> parts, bool close) : segments(std::move(parts)), closeAfter(close) {}
  std::vector<Segment> segments;
  bool closeAfter = false;
};

class ScriptedServer {
 public:
  explicit ScriptedServer(std::vector<Reply> script) : script_(std::move(script)) {
    listener_ = platform::CreateTcpSocket();
    platform::BindSocket(listener_, platform::InetAddr("127.0.0.1"), 0);
    platform::ListenSocket(listener_, 1);
    port_ = platform::LocalPort(listener_);
    thread_ = std::thread([this] { Serve(); });
  }
  ~ScriptedServer() {
    Requests();
    platform::CloseSocket(listener_);
  }
  uint16_t port() const { return port_; }
  // Every request received, the ones after the script too (there should be
  // none); waits for the client to close the connection.
  const std::vector<std::string>& Requests() {
    if (thread_.joinable()) thread_.join();
    return requests_;
  }

 private:
  static constexpr uint32_t kWaitMs = 3000;

  void Serve() {
    if (platform::WaitReadable(listener_, kWaitMs) != 1) return;
    const platform::SocketHandle peer = platform::AcceptSocket(listener_, nullptr);
    if (peer == platform::kInvalidSocket) return;
    std::string buffer;
    char chunk[1024];
    for (bool open = true; open;) {
      const size_t end = buffer.find("\r\n\r\n");
      if (end == std::string::npos) {
        if (platform::WaitReadable(peer, kWaitMs) != 1) break;
        const int n = platform::ReceiveBytes(peer, chunk, sizeof chunk);
        if (n <= 0) break;
        buffer.append(chunk, size_t(n));
        continue;
      }
      requests_.push_back(buffer.substr(0, end + 4));
      buffer.erase(0, end + 4);
      if (requests_.size() > script_.size()) continue;
      const Reply& reply = script_[requests_.size() - 1];
      for (const Segment& segment : reply.segments) {
        if (segment.pauseMs) platform::SleepMs(segment.pauseMs);
        platform::SendBytes(peer, segment.bytes.data(), segment.bytes.size());
      }
      open = !reply.closeAfter;
    }
    platform::CloseSocket(peer);
  }

  std::vector<Reply> script_;
  platform::SocketHandle listener_ = platform::kInvalidSocket;
  uint16_t port_ = 0;
  std::thread thread_;
  std::vector<std::string> requests_;
};

const std::string kSdp =
    "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=Live\r\nt=0 0\r\n"
    "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"
    "a=fmtp:96 "
    "packetization-mode=1;sprop-parameter-sets=Z0LgH9oBQBbpUgAAAwACAAADAGQeMGVA,aM48gA==\r\n"
    "a=control:trackID=1\r\n";
const std::string kBasic = "WWW-Authenticate: Basic realm=\"cam\"";
const std::string kDigest = "WWW-Authenticate: Digest realm=\"cam\", nonce=\"abc\"";

std::string Ok(unsigned cseq, const std::string& extra = "", const std::string& body = "") {
  const std::string sdp = body.empty() ? "" : "Content-Type: application/sdp\r\n";
  return "RTSP/1.0 200 OK\r\nCSeq: " + std::to_string(cseq) + "\r\n" + extra + sdp +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string Challenge(unsigned cseq, const std::string& header) {
  return "RTSP/1.0 401 Unauthorized\r\nCSeq: " + std::to_string(cseq) + "\r\n" + header +
         "\r\n\r\n";
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
  return info;
}

// Every method's text, byte for byte, through a whole session; with Digest,
// after the challenge to the first DESCRIBE. A digest covers the URI of the
// request line, which for SETUP is the control URL: a camera that checks the
// two against each other refuses anything else.
TEST(RTSPClient, RequestsMatchTheirLayoutByteForByte) {
  const std::string realm = "IP Camera RTSP Server";  // into the hash whole, blanks and all
  const std::string nonce = "dcd98b7102dd2f0e8b11d0f600bfb0c093";
  const std::string ha1 = CMD5::HexDigest("user:" + realm + ":pass");
  const struct {
    std::string path;
    uint32_t scheme;
  } cases[] = {{"h264", kAuthNone}, {"", kAuthNone}, {"h264", kAuthBasic}, {"h264", kAuthDigest}};
  for (const auto& c : cases) {
    SCOPED_TRACE("path '" + c.path + "', scheme " + std::to_string(c.scheme));
    const bool digest = c.scheme == kAuthDigest;
    const unsigned first = digest ? 2 : 1;  // CSeq of the first request answered with 200
    std::vector<Reply> script = {Ok(first, "", kSdp),
                                 Ok(first + 1, "Session: 12345678;timeout=20\r\n"), Ok(first + 2),
                                 Ok(first + 3), Ok(first + 4)};
    if (digest) {
      script.insert(script.begin(), Challenge(1, "WWW-Authenticate: Digest realm=\"" + realm +
                                                     "\", nonce=\"" + nonce + "\""));
    }
    ScriptedServer server(script);
    CBaseRTSPClient client;
    RTSP_SESSION_INFO info = Info(server.port(), c.path);
    info.authScheme = digest ? uint32_t(kAuthNone) : c.scheme;
    ASSERT_TRUE(client.Connect(info));
    for (int method : {kRtspDescribe, kRtspSetup, kRtspPlay, kRtspOptions, kRtspTeardown}) {
      EXPECT_TRUE(client.SendRequest(method)) << CBaseRTSPClient::GetMethodName(method);
    }
    EXPECT_EQ(20000u, client.GetSessionTimeoutMs());
    std::vector<uint8_t> sps, pps;
    client.GetParameterSets(sps, pps);
    EXPECT_EQ(24u, sps.size());
    EXPECT_EQ(4u, pps.size());
    client.Disconnect();
    const std::string base = "rtsp://127.0.0.1:" + std::to_string(server.port()) + "/" + c.path;
    const std::string setupUrl = c.path.empty() ? base + "trackID=1" : base + "/trackID=1";
    const auto request = [&](const std::string& method, const std::string& uri, unsigned cseq,
                             const std::string& lines, bool answered = true) {
      std::string auth = c.scheme == kAuthBasic ? "Authorization: Basic dXNlcjpwYXNz\r\n" : "";
      if (digest && answered) {
        const std::string ha2 = CMD5::HexDigest(method + ":" + uri);
        auth = "Authorization: Digest username=\"user\", realm=\"" + realm + "\", nonce=\"" +
               nonce + "\", uri=\"" + uri + "\", response=\"" +
               CMD5::HexDigest(ha1 + ":" + nonce + ":" + ha2) + "\"\r\n";
      }
      return method + " " + uri + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\n" + lines +
             auth + "User-Agent: Quenlix\r\n\r\n";
    };
    const std::string session = "Session: 12345678\r\n";
    std::vector<std::string> expected = {
        request("DESCRIBE", base, first, "Accept: application/sdp\r\n"),
        request("SETUP", setupUrl, first + 1,
                "Transport: RTP/AVP/UDP;unicast;client_port=3556-3557\r\n"),
        request("PLAY", base, first + 2, session + "Range: npt=0.000-\r\n"),
        request("OPTIONS", base, first + 3, session),
        request("TEARDOWN", base, first + 4, session),
    };
    if (digest) {
      expected.insert(expected.begin(),
                      request("DESCRIBE", base, 1, "Accept: application/sdp\r\n", false));
    }
    EXPECT_EQ(expected, server.Requests());
  }
}

// An absolute control stands as it is, a relative one is resolved against
// the Content-Base; without one, against the request URL as cameras of this
// family expect it.
TEST(RTSPClient, ControlUrlResolution) {
  const std::string base = "rtsp://10.0.0.5:554/h264";
  const std::string live = "rtsp://10.0.0.5:8554/live/";
  const std::string absolute = "RTSP://other:5554/x/trackID=0";
  const auto resolve = [&base](const std::string& contentBase, const std::string& control) {
    return CBaseRTSPClient::ResolveControlUrl(base, false, contentBase, control);
  };
  EXPECT_EQ(base + "/trackID=1", resolve("", "trackID=1"));
  EXPECT_EQ("rtsp://10.0.0.5:554/trackID=1",
            CBaseRTSPClient::ResolveControlUrl("rtsp://10.0.0.5:554/", true, "", "trackID=1"));
  EXPECT_EQ(base + "/", resolve("", ""));
  EXPECT_EQ(base + "/trackID=1", resolve(base, "trackID=1"));
  EXPECT_EQ(absolute, resolve("", absolute));
  EXPECT_EQ("rtsp://10.0.0.5:8554/media/v", resolve(live, "/media/v"));
  EXPECT_EQ(live, resolve(live, "*"));
  EXPECT_EQ(base + "/trackID=1", resolve("not a url", "trackID=1"));
}

// Three OPTIONS, the first two answered by `first` and `second`.
void ExpectCSeqOutcome(const char* name, const std::string& first, const std::string& second,
                       bool secondOk, const char* session) {
  SCOPED_TRACE(name);
  ScriptedServer server({first, second, Ok(3)});
  CBaseRTSPClient client;
  RTSP_SESSION_INFO info = Info(server.port());
  info.receiveTimeoutMs = 500;
  ASSERT_TRUE(client.Connect(info));
  EXPECT_TRUE(client.SendRequest(kRtspOptions));
  EXPECT_EQ(secondOk, client.SendRequest(kRtspOptions));
  EXPECT_EQ(session, client.Parser().sessionId);
  EXPECT_TRUE(client.SendRequest(kRtspOptions));
  client.Disconnect();
  ASSERT_EQ(3u, server.Requests().size());
  EXPECT_NE(std::string::npos, server.Requests()[2].find("\r\nCSeq: 3\r\n"));
}

// A reply answers the request whose CSeq it carries: a late answer to an
// earlier request is passed over, any other CSeq fails the step, replies that
// came together are taken one per request, and the counter goes on from the
// requests sent.
TEST(RTSPClient, RepliesMatchTheirRequestsByCSeq) {
  const auto reply = [](unsigned cseq) {
    return Ok(cseq, "Session: s" + std::to_string(cseq) + "\r\n");
  };
  ExpectCSeqOutcome("no CSeq at all", reply(1), "RTSP/1.0 200 OK\r\nSession: s9\r\n\r\n", true,
                    "s9");
  ExpectCSeqOutcome("late answer then the right one", reply(1), reply(1) + reply(2), true, "s2");
  ExpectCSeqOutcome("only a late answer", reply(1), reply(1), false, "s1");
  ExpectCSeqOutcome("both in one segment", reply(1) + reply(2), "", true, "s2");
}

// The DESCRIBE reply cut at `at` (counted from the end when negative): the
// rest follows after a pause, or the camera closes the connection instead.
Reply Cut(int at, bool close) {
  const std::string text = Ok(1, "Session: 77;timeout=20\r\n", kSdp);
  const size_t cut = at < 0 ? text.size() - size_t(-at) : size_t(at);
  Reply reply({{text.substr(0, cut), 0}}, close);
  if (!close) reply.segments.push_back({text.substr(cut), 300});
  return reply;
}

// One DESCRIBE answered by reply; withinMs 0: not timed.
void ExpectReadOutcome(const char* name, const Reply& reply, RTSPFailure failure,
                       const char* control = "", uint32_t timeoutMs = 2000, uint32_t withinMs = 0,
                       bool stop = false) {
  SCOPED_TRACE(name);
  ScriptedServer server({reply});
  CBaseRTSPClient client;
  RTSP_SESSION_INFO info = Info(server.port());
  info.receiveTimeoutMs = timeoutMs;
  ASSERT_TRUE(client.Connect(info));
  const platform::Event stopEvent = platform::CreateEvent(true, stop);
  client.SetStopEvent(stopEvent);
  const uint64_t start = platform::MonotonicMs();
  EXPECT_EQ(failure == kRtspFailNone, client.SendRequest(kRtspDescribe));
  if (withinMs != 0) {
    EXPECT_LT(platform::MonotonicMs() - start, withinMs);
  }
  EXPECT_EQ(failure, client.LastFailure());
  EXPECT_EQ("", client.FailedStatus());
  EXPECT_EQ(control, client.Parser().control);
  EXPECT_EQ(failure == kRtspFailNone ? "77" : "", client.Parser().sessionId);
  platform::CloseEvent(stopEvent);
}

// A reply is read whole however the camera splits or paces it. One cut
// short fails the request; neither
// an endless reply nor a stop holds the client past the bounds.
TEST(RTSPClient, RepliesAreReadWholeOrFailWithinBounds) {
  ExpectReadOutcome("split in the status line", Cut(5, false), kRtspFailNone, "trackID=1");
  ExpectReadOutcome("split before the last bytes", Cut(-5, false), kRtspFailNone, "trackID=1");
  std::string longSdp = "m=video 0 RTP/AVP 96\r\n";
  for (int i = 0; i < 200; ++i) longSdp += "a=x-filler:" + std::string(40, 'f') + "\r\n";
  ExpectReadOutcome("long, in many reads", Ok(1, "Session: 77\r\n", longSdp + "a=control:t9\r\n"),
                    kRtspFailNone, "t9");
  ExpectReadOutcome("closed in the headers", Cut(30, true), kRtspReplyCut);
  // Past the size bound the client gives up at once, not at the time-out.
  const std::string head = "RTSP/1.0 200 OK\r\nCSeq: 1\r\n";
  ExpectReadOutcome("flood without an empty line", head + std::string(80000, 'x'), kRtspReplyCut,
                    "", 10000, 2500);
  ExpectReadOutcome("body beyond the bound",
                    head + "Content-Length: 999999\r\n\r\n" + std::string(70000, 'v'),
                    kRtspReplyCut, "", 10000, 2500);
  // The deadline is set once per reply; a trickle must not renew it.
  Reply drip({}, false);
  for (char c : head) drip.segments.push_back({std::string(1, c), 150});
  ExpectReadOutcome("one byte at a time", drip, kRtspReplyCut, "", 1000, 1900);
  ExpectReadOutcome("stop while waiting", Reply({{"", 1500}}, true), kRtspNoReply, "", 20000, 1000,
                    true);
}

// Without a connection nothing is sent.
TEST(RTSPClient, NothingIsSentWithoutAConnection) {
  CBaseRTSPClient idle;
  EXPECT_FALSE(idle.Transact(kRtspOptions));
  EXPECT_EQ(kRtspSendFailed, idle.LastFailure());
  EXPECT_EQ("", idle.BuildRequest(0));
}

// One DESCRIBE against a camera that answers from script; `authorized` marks
// each request it received: 1 when it carries credentials.
void ExpectChallengeOutcome(const char* name, uint32_t schemeInForce, const std::string& password,
                            bool ok, bool refused, RTSPFailure failure, uint32_t schemeAfter,
                            const std::string& authorized, const std::vector<Reply>& script) {
  SCOPED_TRACE(name);
  ScriptedServer server(script);
  CBaseRTSPClient client;
  RTSP_SESSION_INFO info = Info(server.port());
  info.authScheme = schemeInForce;
  info.password = password;
  ASSERT_TRUE(client.Connect(info));
  EXPECT_EQ(ok, client.SendRequest(kRtspDescribe));
  EXPECT_EQ(refused, client.CredentialsRefused());
  EXPECT_EQ(failure, client.LastFailure());
  EXPECT_EQ(schemeAfter, client.SessionInfo().authScheme);
  client.Disconnect();
  std::string sent;
  for (const std::string& request : server.Requests()) {
    sent += request.find("Authorization") != std::string::npos ? '1' : '0';
  }
  EXPECT_EQ(authorized, sent);
}

// A challenge is answered once, with the scheme it names; a 401 that stands
// after that is a refusal of the credentials, a repeat that gets no answer
// is not. A credential too long for its header line is not sent at all.
TEST(RTSPClient, ChallengesAreAnsweredOnce) {
  ExpectChallengeOutcome("basic answered", kAuthNone, "pass", true, false, kRtspFailNone,
                         kAuthBasic, "01", {Challenge(1, kBasic), Ok(2)});
  ExpectChallengeOutcome("basic refused", kAuthNone, "pass", false, true, kRtspFailNone, kAuthBasic,
                         "01", {Challenge(1, kBasic), Challenge(2, kBasic)});
  ExpectChallengeOutcome("basic in force not repeated", kAuthBasic, "pass", false, true,
                         kRtspFailNone, kAuthBasic, "1", {Challenge(1, kBasic)});
  ExpectChallengeOutcome("digest refused", kAuthNone, "pass", false, true, kRtspFailNone,
                         kAuthDigest, "01", {Challenge(1, kDigest), Challenge(2, kDigest)});
  ExpectChallengeOutcome("no challenge not repeated", kAuthNone, "pass", false, true, kRtspFailNone,
                         kAuthNone, "0", {Challenge(1, "X-Nothing: 1")});
  ExpectChallengeOutcome("repeat unanswered", kAuthNone, "pass", false, false, kRtspNoReply,
                         kAuthBasic, "01", {Challenge(1, kBasic), Reply({}, true)});
  ExpectChallengeOutcome("digest without password", kAuthNone, "", false, true, kRtspFailNone,
                         kAuthDigest, "00", {Challenge(1, kDigest), Challenge(2, kDigest)});
  // 85 bytes of user:password.
  ExpectChallengeOutcome("basic credential too long", kAuthBasic, std::string(80, 'p'), false,
                         false, kRtspUnreadable, kAuthBasic, "", {Ok(1)});
}

}  // namespace
}  // namespace quenlix
