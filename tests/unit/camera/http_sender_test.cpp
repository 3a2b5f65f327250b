// CHttpSender and RequestGetRD against the camera simulator on loopback.
#include "camera/http_sender.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdarg>
#include <string>
#include <thread>
#include <vector>

#include "camera/http_utils.h"
#include "camera/text_helpers.h"
#include "camsim_helpers.h"
#include "faults/hostile_peer.h"

#if QUENLIX_TEST_WITH_CAMSIM

namespace {

using camsim::AuthMode;
using camtest::TestCamera;
using quenlix::CResultDef;
using quenlix::HUtils::RequestGetRD;

constexpr const char* kList = "/siqura-cgi/admin/param.cgi?action=list";
constexpr const char* kUpdate = "/siqura-cgi/admin/param.cgi?action=update";

class RecordingSink : public IDebugMessage {
 public:
  QUENLIX_IMPLEMENTS_DESTRUCTOR()
  virtual ~RecordingSink() = default;
  void DebugMessage(uint32_t level, const char* format, ...) override {
    va_list args;
    va_start(args, format);
    levels.push_back(level);
    texts.push_back(quenlix::HUtils::FormatStringV(format, args));
    va_end(args);
  }
  std::vector<uint32_t> levels;
  std::vector<std::string> texts;
};

std::string Text(const std::vector<uint8_t>& body) {
  return std::string(reinterpret_cast<const char*>(body.data()));
}

std::string Address(const TestCamera& camera) {
  return "127.0.0.1:" + std::to_string(camera.Port());
}

TEST(HttpSenderTest, SuccessReadsTheWholeListAsZeroTerminatedText) {
  TestCamera camera;
  Web::CHttpSender sender(camera.Device("", ""));
  std::vector<uint8_t> body;
  const CResultDef outcome = RequestGetRD(kList, body, sender, true);
  EXPECT_EQ(outcome.code, 0u);
  EXPECT_EQ(outcome.level, 3u);
  EXPECT_EQ(outcome.text, "");
  EXPECT_EQ(sender.StatusCode(), 200u);
  const std::string list = camera.Core().ParameterList();
  ASSERT_EQ(body.size(), list.size() + 1);
  EXPECT_EQ(body.back(), 0);
  EXPECT_EQ(Text(body), list);
}

// The texts name the camera as "@" and the request as "#".
std::string Expand(std::string text, const std::string& address, const std::string& path = kList) {
  for (size_t at; (at = text.find('@')) != std::string::npos;) text.replace(at, 1, address);
  for (size_t at; (at = text.find('#')) != std::string::npos;) text.replace(at, 1, path);
  return text;
}

const char kRefused[] =
    "quenlix::HUtils::RequestGetRD: @ sent does not process request \"#\", status code = ";
const char kIncorrect[] =
    "quenlix::HUtils::RequestGetRD: incorrect response for request \"#\" from @";
const char kNotSent[] = "quenlix::HUtils::RequestGetRD: can not send request \"#\" to @";

TEST(HttpSenderTest, OutcomeCodesAndTexts) {
  struct Case {
    const char* name;
    const char* fault;
    bool readBody;
    uint32_t code;
    uint32_t level;
    std::string text;
  } cases[] = {
      {"500", "status:500", true, 6, 1, kRefused + std::string("500")},
      {"404 without body wanted", "status:404", false, 6, 1, kRefused + std::string("404")},
      {"204 with body wanted", "status:204", true, 10, 1, kIncorrect},
      {"empty body", "empty", true, 10, 1, kIncorrect},
      {"empty body not wanted", "empty", false, 0, 3, ""},
      {"closed after the headers", "close", true, 10, 1, kIncorrect},
      {"slow answer within the time-out", "slow:300", true, 0, 3, ""},
  };
  for (const Case& c : cases) {
    TestCamera camera;
    camera.SetFault(c.fault);
    Web::CHttpSender sender(camera.Device("", ""));
    std::vector<uint8_t> body;
    const CResultDef outcome = RequestGetRD(kList, body, sender, c.readBody);
    EXPECT_EQ(outcome.code, c.code) << c.name;
    EXPECT_EQ(outcome.level, c.level) << c.name;
    EXPECT_EQ(outcome.text, Expand(c.text, Address(camera))) << c.name;
  }
}

TEST(HttpSenderTest, UnreachableCameraIsNotSent) {
  struct Case {
    const char* address;
    uint16_t port;
    uint32_t error;
  } cases[] = {{"127.0.0.1", camtest::ClosedPort(), quenlix::platform::kHttpErrorCannotConnect},
               // RFC 6761: never resolves
               {"camera.invalid", 80, quenlix::platform::kHttpErrorNameNotResolved}};
  for (const Case& c : cases) {
    quenlix::DEVICE_INFO info;
    info.address = c.address;
    info.port = c.port;
    info.timeoutMs = 2000;
    Web::CHttpSender sender(info);
    std::vector<uint8_t> body;
    const CResultDef outcome = RequestGetRD(kList, body, sender, true);
    EXPECT_EQ(outcome.code, 9u) << c.address;
    EXPECT_EQ(outcome.level, 4u) << c.address;
    EXPECT_EQ(outcome.text,
              Expand(kNotSent, std::string(c.address) + ":" + std::to_string(c.port)));
    EXPECT_EQ(sender.LastError(), c.error) << c.address;
  }
}

TEST(HttpSenderTest, NoAnswerEndsAfterTheTimeOutNotLater) {
  TestCamera camera;
  camera.SetFault("noanswer");
  Web::CHttpSender sender(camera.Device("", "", 800));
  std::vector<uint8_t> body;
  const auto start = std::chrono::steady_clock::now();
  const CResultDef outcome = RequestGetRD(kList, body, sender, true);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(outcome.code, 9u);
  EXPECT_EQ(sender.LastError(), quenlix::platform::kHttpErrorTimeout);
  // It must give up because of the time-out (not earlier), and must not
  // hang for the simulator's own hold time.
  EXPECT_GE(elapsed, std::chrono::milliseconds(700));
  EXPECT_LT(elapsed, std::chrono::seconds(20));
  camera.SetFault("none");
}

TEST(HttpSenderTest, CredentialsAndTheLearnedScheme) {
  struct Case {
    const char* name;
    AuthMode auth;
    const char* user;
    const char* password;
    uint32_t code, level, scheme;
  } cases[] = {
      {"Basic accepted: Basic went out first and was enough", AuthMode::kBasic, "admin", "secret",
       0, 3, 0},
      // The 401 offers Basic, the scheme already used: no retry, Send fails.
      {"Basic wrong password", AuthMode::kBasic, "admin", "wrong", 9, 4, 1},
      {"no user name sends no credentials", AuthMode::kBasic, "", "secret", 9, 4, 1},
      {"Digest wrong password returns the status", AuthMode::kDigest, "admin", "wrong", 6, 1, 8},
  };
  for (const Case& c : cases) {
    TestCamera camera("siqura_pal_h264", c.auth, "admin", "secret");
    Web::CHttpSender sender(camera.Device(c.user, c.password));
    std::vector<uint8_t> body;
    const CResultDef outcome = RequestGetRD(kList, body, sender, true);
    EXPECT_EQ(outcome.code, c.code) << c.name;
    EXPECT_EQ(outcome.level, c.level) << c.name;
    EXPECT_EQ(sender.LearnedScheme(), c.scheme) << c.name;
    if (c.code == 6) {
      EXPECT_EQ(outcome.text, Expand(kRefused + std::string("401"), Address(camera))) << c.name;
    }
    if (c.code != 0) {
      EXPECT_TRUE(camera.Core().Requests().empty()) << c.name;
    }
  }
}

TEST(HttpSenderTest, DigestIsLearnedFromThe401AndKept) {
  TestCamera camera("siqura_pal_h264", AuthMode::kDigest, "admin", "secret");
  Web::CHttpSender sender(camera.Device("admin", "secret"));
  std::vector<uint8_t> body;
  EXPECT_EQ(RequestGetRD(kList, body, sender, true).code, 0u);
  EXPECT_EQ(sender.LearnedScheme(), 8u);
  EXPECT_EQ(Text(body), camera.Core().ParameterList());
  // Later requests go with Digest straight away.
  const std::string update = std::string(kUpdate) + "&Image.I0.Appearance.Resolution=d1";
  EXPECT_TRUE(quenlix::HUtils::HttpGetLogged(update, sender, nullptr));
  EXPECT_EQ(sender.LearnedScheme(), 8u);
  const std::vector<std::string> seen = camera.Core().Requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1], update);
}

TEST(HttpSenderTest, QueryIsSentExactlyAsGivenAndInOrder) {
  TestCamera camera("siqura_pal_h264", AuthMode::kDigest, "admin", "secret");
  Web::CHttpSender sender(camera.Device("admin", "secret"));
  const std::vector<std::string> paths = {
      std::string(kUpdate) + "&Image.I0.Appearance.Resolution=1280x720&Text=a%20b",
      std::string(kUpdate) + "&List=a,b;c&Path=/x/../y&Mark=%7e~!*'()",
      std::string(kUpdate) + "&Image.I0.RateControl.TargetBitrate=2048",
  };
  for (const std::string& p : paths)
    EXPECT_TRUE(quenlix::HUtils::HttpGetLogged(p, sender, nullptr));
  EXPECT_EQ(camera.Core().Requests(), paths);
}

TEST(HttpSenderTest, HttpGetLoggedReportsFailureTextThroughTheThrottle) {
  TestCamera camera;
  camera.SetFault("status:503");
  Web::CHttpSender sender(camera.Device("", ""));
  RecordingSink sink;
  const std::string path = std::string(kUpdate) + "&Text=100%25";  // a '%' is no format
  EXPECT_FALSE(quenlix::HUtils::HttpGetLogged(path, sender, &sink));
  ASSERT_EQ(sink.texts.size(), 1u);
  EXPECT_EQ(sink.levels[0], 1u);
  EXPECT_EQ(sink.texts[0], Expand(kRefused + std::string("503"), Address(camera), path));
  EXPECT_EQ(sink.repeatCount, 1u);
  sink.repeatCount = 14;  // the 15th failure is held back
  EXPECT_FALSE(quenlix::HUtils::HttpGetLogged(path, sender, &sink));
  EXPECT_EQ(sink.texts.size(), 1u);
}

TEST(HttpSenderTest, HttpGetLeavesTheRequestOpenAndSucceedsOnAnyStatus) {
  TestCamera camera;
  camera.SetFault("status:500");
  Web::CHttpSender sender(camera.Device("", ""));
  EXPECT_TRUE(quenlix::HUtils::HttpGet(sender, std::string(kUpdate) + "&Output.O0.Active=open"));
  EXPECT_EQ(sender.StatusCode(), 500u);
}

TEST(HttpSenderTest, EmptyPathIsNotSent) {
  TestCamera camera;
  Web::CHttpSender sender(camera.Device("", ""));
  Web::CHttpRequest request;
  EXPECT_FALSE(sender.Send(request));
  EXPECT_TRUE(camera.Core().Requests().empty());
}

// A body longer than any reply needs is read no further than the cap and
// fails the request; one cut off by a broken connection fails it too.
TEST(HttpSenderTest, OverlongOrCutBodiesFailTheRequest) {
  TestCamera camera;
  camera.SetFault("endless");
  Web::CHttpSender sender(camera.Device("", "", 10000));
  std::vector<uint8_t> body;
  CResultDef outcome = RequestGetRD(kList, body, sender, true);
  EXPECT_EQ(outcome.code, uint32_t(quenlix::ResultTooLarge));
  EXPECT_EQ(outcome.level, 1u);
  EXPECT_NE(outcome.text.find("is longer than 1048576 bytes"), std::string::npos) << outcome.text;
  EXPECT_EQ(body, std::vector<uint8_t>{0});
  EXPECT_LE(camera.Core().EndlessBytes(), 16u * Web::kMaxBodySize);

  hostile::PeerOptions cut;
  cut.behaviour = hostile::Behaviour::kTrickleBody;
  cut.intervalMs = 50;
  hostile::HostilePeer peer(cut);
  quenlix::DEVICE_INFO info = camera.Device("", "", 600);
  info.port = peer.Port();
  Web::CHttpSender trickled(info);
  outcome = RequestGetRD(kList, body, trickled, true);
  EXPECT_EQ(outcome.code, uint32_t(quenlix::ResultEmptyResponse)) << outcome.text;
  EXPECT_EQ(body, std::vector<uint8_t>{0});
}

// Headers or a body trickled a line at a time renew every per-step time-out;
// the request as a whole still ends at the sender's time-out.
TEST(HttpSenderTest, TrickledRepliesEndAtTheOverallDeadline) {
  for (hostile::Behaviour behaviour :
       {hostile::Behaviour::kTrickleHeaders, hostile::Behaviour::kTrickleBody}) {
    hostile::PeerOptions options;
    options.behaviour = behaviour;
    options.intervalMs = 100;
    hostile::HostilePeer peer(options);
    quenlix::DEVICE_INFO info;
    info.address = "127.0.0.1";
    info.port = peer.Port();
    info.timeoutMs = 800;
    Web::CHttpSender sender(info);
    std::vector<uint8_t> body;
    const auto start = std::chrono::steady_clock::now();
    const CResultDef outcome = RequestGetRD(kList, body, sender, true);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_NE(outcome.code, 0u);
    EXPECT_LT(elapsed, std::chrono::milliseconds(2500)) << int(behaviour);
  }
}

TEST(HttpSenderTest, ReceptionPausesWhileTheCallerDoesNotRead) {
  TestCamera camera;
  camera.SetFault("endless");
  Web::CHttpSender sender(camera.Device("", "", 10000));
  Web::CHttpRequest request;
  request.path = kList;
  ASSERT_TRUE(sender.Send(request));
  // Without reads the transfer must stall at what the sockets and a small
  // backend buffer hold, far below the body cap.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const uint64_t sent = camera.Core().EndlessBytes();
  EXPECT_LT(sent, 64u * 1024 * 1024);
  sender.CloseRequest();
}

TEST(HttpSenderTest, CancelEndsABlockedRequestSoonAndResumeUndoesIt) {
  TestCamera camera;
  camera.SetFault("noanswer");
  Web::CHttpSender sender(camera.Device("", "", 30000));
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    sender.Cancel();
  });
  const auto start = std::chrono::steady_clock::now();
  std::vector<uint8_t> body;
  CResultDef outcome = RequestGetRD(kList, body, sender, true);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  canceller.join();
  EXPECT_EQ(outcome.code, 9u);
  EXPECT_EQ(sender.LastError(), quenlix::platform::kHttpErrorCancelled);
  EXPECT_LT(elapsed, std::chrono::seconds(15));  // far below the 30 s time-out
  camera.SetFault("none");
  EXPECT_EQ(RequestGetRD(kList, body, sender, true).code, 9u);  // still cancelled
  sender.Resume();
  outcome = RequestGetRD(kList, body, sender, true);
  EXPECT_EQ(outcome.code, 0u) << outcome.text;
}

}  // namespace

#endif  // QUENLIX_TEST_WITH_CAMSIM
