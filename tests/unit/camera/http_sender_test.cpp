// CHttpSender and RequestGetRD against the camera simulator on loopback.
#include "camera/http_sender.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "camera/http_utils.h"
#include "capability_helpers.h"
#include "fake_driver.h"
#include "faults/hostile_peer.h"

#if QUENLIX_TEST_WITH_CAMSIM

namespace {

using camsim::AuthMode;
using quenlix::CResultDef;
using quenlix::HUtils::RequestGetRD;
using testhost::SimCamera;
using Clock = std::chrono::steady_clock;

constexpr const char* kList = "/siqura-cgi/admin/param.cgi?action=list";
constexpr const char* kUpdate = "/siqura-cgi/admin/param.cgi?action=update";

std::string Text(const std::vector<uint8_t>& body) {
  return std::string(reinterpret_cast<const char*>(body.data()));
}

const std::string kRefused =
    "quenlix::HUtils::RequestGetRD: @ sent does not process request \"#\", status code = ";
const char kIncorrect[] =
    "quenlix::HUtils::RequestGetRD: incorrect response for request \"#\" from @";
const char kNotSent[] = "quenlix::HUtils::RequestGetRD: can not send request \"#\" to @";

// The texts name the camera as "@" and the request as "#".
std::string Expand(std::string text, const std::string& address, const std::string& path = kList) {
  for (size_t at; (at = text.find('@')) != std::string::npos;) text.replace(at, 1, address);
  for (size_t at; (at = text.find('#')) != std::string::npos;) text.replace(at, 1, path);
  return text;
}

// A simulated camera with a fault, and a sender bound to it.
struct Rig {
  explicit Rig(const char* fault, uint32_t timeoutMs = 5000, AuthMode auth = AuthMode::kNone,
               const char* user = "", const char* password = "")
      : camera(camtest::SimOptions("siqura_pal_h264", auth)),
        sender(camera.Device(user, password, timeoutMs)) {
    camera.SetFault(fault);
  }
  CResultDef Get(bool readBody = true) { return RequestGetRD(kList, body, sender, readBody); }
  std::string Expand(const std::string& text, const std::string& path = kList) {
    return ::Expand(text, "127.0.0.1:" + std::to_string(camera.Port()), path);
  }

  SimCamera camera;
  Web::CHttpSender sender;
  std::vector<uint8_t> body;
};

// A reply read whole comes back as the list, zero-terminated; anything else
// is an outcome code, a log level and a text. With credentials, the scheme
// the sender learned from a 401 is kept.
TEST(HttpSenderTest, OutcomeCodesTextsAndCredentials) {
  const std::string kNotSentText = kNotSent;
  struct Case {
    const char* fault;
    bool readBody;
    uint32_t code, level;
    std::string text;
    uint32_t scheme = 0;
    AuthMode auth = AuthMode::kNone;
    const char* user = "";
    const char* password = "";
  } cases[] = {
      {"none", true, 0, 3, ""},
      {"slow:300", true, 0, 3, ""},  // within the time-out
      {"status:500", true, 6, 1, kRefused + "500"},
      {"status:404", false, 6, 1, kRefused + "404"},
      {"status:204", true, 10, 1, kIncorrect},
      {"empty", true, 10, 1, kIncorrect},
      {"empty", false, 0, 3, ""},
      {"close", true, 10, 1, kIncorrect},  // closed after the headers
      // Basic went out first and was enough.
      {"none", true, 0, 3, "", 0, AuthMode::kBasic, "admin", "secret"},
      // The 401 offers Basic, the scheme already used: no retry, Send fails.
      {"none", true, 9, 4, kNotSentText, 1, AuthMode::kBasic, "admin", "wrong"},
      {"none", true, 9, 4, kNotSentText, 1, AuthMode::kBasic, "", "secret"},
      {"none", true, 6, 1, kRefused + "401", 8, AuthMode::kDigest, "admin", "wrong"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.fault) + (c.readBody ? " read " : " unread ") +
                 std::to_string(int(c.auth)) + " " + c.user + ":" + c.password);
    Rig rig(c.fault, 5000, c.auth, c.user, c.password);
    const CResultDef outcome = rig.Get(c.readBody);
    EXPECT_EQ(outcome.code, c.code);
    EXPECT_EQ(outcome.level, c.level);
    EXPECT_EQ(outcome.text, rig.Expand(c.text));
    EXPECT_EQ(rig.sender.LearnedScheme(), c.scheme);
    if (c.auth != AuthMode::kNone) {
      EXPECT_EQ(rig.camera.Core().Requests().size(), c.code == 0 ? 1u : 0u);
    }
    if (c.code == 0 && c.readBody) {
      EXPECT_EQ(rig.sender.StatusCode(), 200u);
      const std::string list = rig.camera.Core().ParameterList();
      ASSERT_EQ(rig.body.size(), list.size() + 1);
      EXPECT_EQ(rig.body.back(), 0);
      EXPECT_EQ(Text(rig.body), list);
    }
  }
}

quenlix::DEVICE_INFO At(const char* address, uint16_t port, uint32_t timeoutMs) {
  quenlix::DEVICE_INFO info;
  info.address = address;
  info.port = port;
  info.timeoutMs = timeoutMs;
  return info;
}

TEST(HttpSenderTest, UnreachableCameraIsNotSent) {
  struct Case {
    const char* address;
    uint16_t port;
    uint32_t error;
  } cases[] = {{"127.0.0.1", testhost::ClosedPort(), quenlix::platform::kHttpErrorCannotConnect},
               // RFC 6761: never resolves
               {"camera.invalid", 80, quenlix::platform::kHttpErrorNameNotResolved}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    Web::CHttpSender sender(At(c.address, c.port, 2000));
    std::vector<uint8_t> body;
    const CResultDef outcome = RequestGetRD(kList, body, sender, true);
    EXPECT_EQ(outcome.code, 9u);
    EXPECT_EQ(outcome.level, 4u);
    EXPECT_EQ(outcome.text,
              Expand(kNotSent, std::string(c.address) + ":" + std::to_string(c.port)));
    EXPECT_EQ(sender.LastError(), c.error);
  }
}

// Digest is learned from the first 401 and kept: the later requests reach
// the camera at once, each exactly as given and in order. A request without
// a path is not sent at all.
TEST(HttpSenderTest, DigestIsLearnedOnceAndRequestsGoOutAsGiven) {
  Rig rig("none", 5000, AuthMode::kDigest, "admin", "secret");
  EXPECT_FALSE(rig.sender.Send(Web::CHttpRequest()));
  EXPECT_EQ(rig.Get().code, 0u);
  EXPECT_EQ(rig.sender.LearnedScheme(), 8u);
  EXPECT_EQ(Text(rig.body), rig.camera.Core().ParameterList());
  const std::vector<std::string> paths = {
      kList,
      std::string(kUpdate) + "&Image.I0.Appearance.Resolution=1280x720&Text=a%20b",
      std::string(kUpdate) + "&List=a,b;c&Path=/x/../y&Mark=%7e~!*'()",
      std::string(kUpdate) + "&Image.I0.RateControl.TargetBitrate=2048",
  };
  for (size_t i = 1; i < paths.size(); ++i) {
    EXPECT_TRUE(quenlix::HUtils::HttpGetLogged(paths[i], rig.sender, nullptr));
  }
  EXPECT_EQ(rig.sender.LearnedScheme(), 8u);
  EXPECT_EQ(rig.camera.Core().Requests(), paths);
}

// HttpGetLogged logs a failure's text (a '%' in it is no format) through the
// repeat throttle; HttpGet leaves the request open and succeeds on any status.
TEST(HttpSenderTest, FailureTextsGoThroughTheThrottle) {
  Rig rig("status:503");
  testhost::FakeDriver log;
  const std::string path = std::string(kUpdate) + "&Text=100%25";
  EXPECT_FALSE(quenlix::HUtils::HttpGetLogged(path, rig.sender, &log));
  EXPECT_EQ(log.Texts(), std::vector<std::string>{"1 " + rig.Expand(kRefused + "503", path)});
  EXPECT_EQ(log.repeatCount, 1u);
  log.repeatCount = 14;  // the 15th failure is held back
  EXPECT_FALSE(quenlix::HUtils::HttpGetLogged(path, rig.sender, &log));
  EXPECT_EQ(log.Texts().size(), 1u);
  EXPECT_TRUE(
      quenlix::HUtils::HttpGet(rig.sender, std::string(kUpdate) + "&Output.O0.Active=open"));
  EXPECT_EQ(rig.sender.StatusCode(), 503u);
}

// A body longer than any reply needs is read no further than the cap and
// fails the request.
TEST(HttpSenderTest, OverlongBodyFailsTheRequest) {
  Rig rig("endless", 10000);
  const CResultDef outcome = rig.Get();
  EXPECT_EQ(outcome.code, uint32_t(quenlix::ResultTooLarge));
  EXPECT_EQ(outcome.level, 1u);
  EXPECT_EQ(outcome.text,
            rig.Expand("quenlix::HUtils::RequestGetRD: response for request \"#\" from @ is "
                       "longer than 1048576 bytes"));
  EXPECT_EQ(rig.body, std::vector<uint8_t>{0});
  EXPECT_LE(rig.camera.Core().EndlessBytes(), 16u * Web::kMaxBodySize);
}

// Headers or a body trickled a line at a time renew every per-step time-out;
// the request as a whole still ends at the sender's time-out, and a body cut
// off there is no answer.
TEST(HttpSenderTest, TrickledRepliesEndAtTheOverallDeadline) {
  struct Case {
    hostile::Behaviour behaviour;
    uint32_t code;
    std::vector<uint8_t> body;  // a body is read only after headers
  } cases[] = {{hostile::Behaviour::kTrickleHeaders, quenlix::ResultNotSent, {}},
               {hostile::Behaviour::kTrickleBody, quenlix::ResultEmptyResponse, {0}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.behaviour));
    hostile::PeerOptions options;
    options.behaviour = c.behaviour;
    options.intervalMs = 100;
    hostile::HostilePeer peer(options);
    Web::CHttpSender sender(At("127.0.0.1", peer.Port(), 800));
    std::vector<uint8_t> body;
    const auto start = Clock::now();
    EXPECT_EQ(RequestGetRD(kList, body, sender, true).code, c.code);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500));
    EXPECT_EQ(body, c.body);
  }
}

// A camera that never answers: the request gives up at the time-out (not
// earlier, nor at the simulator's own hold time), or soon after a Cancel from
// another thread; a cancelled sender fails everything until Resume.
TEST(HttpSenderTest, NoAnswerEndsAtTheTimeOutOrOnCancel) {
  Rig rig("noanswer", 1500);
  auto start = Clock::now();
  EXPECT_EQ(rig.Get().code, 9u);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1400));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
  EXPECT_EQ(rig.sender.LastError(), quenlix::platform::kHttpErrorTimeout);
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    rig.sender.Cancel();
  });
  start = Clock::now();
  CResultDef outcome = rig.Get();
  const auto elapsed = Clock::now() - start;
  canceller.join();
  EXPECT_EQ(outcome.code, 9u);
  EXPECT_EQ(rig.sender.LastError(), quenlix::platform::kHttpErrorCancelled);
  EXPECT_LT(elapsed, std::chrono::milliseconds(1400));
  rig.camera.SetFault("none");
  EXPECT_EQ(rig.Get().code, 9u);
  rig.sender.Resume();
  outcome = rig.Get();
  EXPECT_EQ(outcome.code, 0u) << outcome.text;
}

}  // namespace

#endif  // QUENLIX_TEST_WITH_CAMSIM
