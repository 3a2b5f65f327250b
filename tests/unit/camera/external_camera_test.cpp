// The HTTP client against a simulator started outside the test process, so
// that a build without the in-process simulator (the Windows test build,
// run under wine) still talks to a real server. Set
// QUENLIX_TEST_CAMERA_PORT (and QUENLIX_TEST_CAMERA_USER, _PASSWORD) to a
// camsim serving its default fixture on 127.0.0.1; skipped otherwise.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "camera/http_utils.h"
#include "camera/tavrik_camera_properties.h"
#include "camera/text_helpers.h"
#include "capability_helpers.h"
#include "platform/platform.h"
#include "quenlix/capability.h"

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

class ExternalCameraTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string port = Env("QUENLIX_TEST_CAMERA_PORT");
    if (port.empty()) GTEST_SKIP() << "QUENLIX_TEST_CAMERA_PORT not set";
    info.address = "127.0.0.1";
    info.port = static_cast<uint16_t>(std::atoi(port.c_str()));
    info.userName = Env("QUENLIX_TEST_CAMERA_USER");
    info.password = Env("QUENLIX_TEST_CAMERA_PASSWORD");
    info.timeoutMs = 10000;
  }
  quenlix::DEVICE_INFO info;
};

TEST_F(ExternalCameraTest, ReadsTheParameterList) {
  Web::CHttpSender sender(info);
  std::vector<uint8_t> body;
  const quenlix::CResultDef outcome =
      quenlix::HUtils::RequestGetRD(quenlix::kParameterListPath, body, sender, true);
  EXPECT_EQ(outcome.code, 0u) << outcome.text;
  ASSERT_FALSE(body.empty());
  const std::string text(reinterpret_cast<const char*>(body.data()));
  EXPECT_EQ(quenlix::GetKeyValue("root.Brand.Brand", "=", text, "\r\n"), "Siqura");
  // A second request on the same sender keeps what the first learned.
  const uint32_t learned = sender.LearnedScheme();
  EXPECT_TRUE(quenlix::HUtils::HttpGetLogged(
      "/siqura-cgi/admin/param.cgi?action=update&Image.I0.Appearance.Resolution=d1", sender,
      nullptr));
  EXPECT_EQ(sender.LearnedScheme(), learned);
}

TEST_F(ExternalCameraTest, WrongPasswordFails) {
  if (info.userName.empty()) GTEST_SKIP() << "camera without authentication";
  info.password += "-wrong";
  Web::CHttpSender sender(info);
  std::vector<uint8_t> body;
  EXPECT_NE(quenlix::HUtils::RequestGetRD(quenlix::kParameterListPath, body, sender, true).code,
            0u);
}

TEST_F(ExternalCameraTest, CapabilityQueryThroughTheExports) {
  camtest::RecordingResults results;
  struct Callback : quenlix::ICapabilityQueryCallback {
    void Reserved0() override {}
    void Reserved1() override {}
    void OnQueryDone() override { done = true; }
    void OnQueryError(uint32_t, const char* m) override {
      std::lock_guard<std::mutex> lock(mutex);
      error = m;
      failed = true;
    }
    std::atomic<bool> done{false};
    std::atomic<bool> failed{false};
    std::mutex mutex;
    std::string error;
  } callback;
  ASSERT_EQ(InitCapabilityQuery(&callback, false), 1);
  ASSERT_EQ(StartCapabilityQuery("127.0.0.1", info.port, info.userName.c_str(),
                                 info.password.c_str(), &results),
            1);
  // Uninit waits for the thread (5 s at most; the simulator answers at once).
  for (int i = 0; i < 200 && !callback.done && !callback.failed; ++i) {
    quenlix::platform::SleepMs(50);
  }
  EXPECT_EQ(UninitCapabilityQuery(), 1);
  // The thread has ended: its error text is safe to read.
  EXPECT_TRUE(callback.done) << callback.error;
  EXPECT_EQ(results.CallsStartingWith("SetModelName"),
            std::vector<std::string>{"SetModelName Siqura HSD 621"});
}

}  // namespace
