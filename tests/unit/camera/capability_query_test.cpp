// The four capability-query exports against the simulator.
#include "camera/capability_query.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "camsim_helpers.h"
#include "capability_helpers.h"
#include "platform/platform.h"
#include "quenlix/capability.h"

#if QUENLIX_TEST_WITH_CAMSIM

namespace {

using camtest::RecordingResults;
using camtest::TestCamera;

class RecordingCallback : public quenlix::ICapabilityQueryCallback {
 public:
  explicit RecordingCallback(RecordingResults* results = nullptr) : results_(results) {}
  void Reserved0() override { Note("Reserved0"); }
  void Reserved1() override { Note("Reserved1"); }
  void OnQueryDone() override {
    resultCallsAtDone = results_ != nullptr ? results_->Calls().size() : 0;
    Note("OnQueryDone");
  }
  void OnQueryError(uint32_t level, const char* message) override {
    Note("OnQueryError " + std::to_string(level) + " " + message);
    // A host that blocks in its callback holds the query thread here.
    while (blockInError.load()) quenlix::platform::SleepMs(20);
  }

  bool WaitForCall(uint32_t ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return !calls_.empty(); });
  }
  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

  size_t resultCallsAtDone = 0;
  std::atomic<bool> blockInError{false};

 private:
  void Note(const std::string& call) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      calls_.push_back(call);
    }
    cv_.notify_all();
  }

  RecordingResults* results_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> calls_;
};

class CapabilityQueryTest : public ::testing::Test {
 protected:
  void TearDown() override { UninitCapabilityQuery(); }

  // Waits for the thread to end and returns its exit code.
  uint32_t ExitCode() {
    uint32_t code = 99;
    for (int i = 0; i < 500 && !quenlix::CapabilityQueryExitCode(&code); ++i) {
      quenlix::platform::SleepMs(10);
    }
    return code;
  }
};

TEST_F(CapabilityQueryTest, SuccessfulQueryHandsEverythingOverBeforeDone) {
  TestCamera camera("siqura_pal_h264", camsim::AuthMode::kDigest, "admin", "secret");
  RecordingResults results;
  RecordingCallback callback(&results);
  ASSERT_EQ(InitCapabilityQuery(&callback, true), 1);
  ASSERT_EQ(StartCapabilityQuery("127.0.0.1", camera.Port(), "admin", "secret", &results), 1);
  ASSERT_TRUE(callback.WaitForCall(20000));
  EXPECT_EQ(ExitCode(), 1u);
  EXPECT_EQ(callback.Calls(), std::vector<std::string>{"OnQueryDone"});
  const std::vector<std::string> calls = results.Calls();
  EXPECT_EQ(callback.resultCallsAtDone, calls.size());
  EXPECT_EQ(results.CallsStartingWith("SetModelName"),
            std::vector<std::string>{"SetModelName Siqura HSD 621"});
  EXPECT_EQ(results.CallsStartingWith("AddResolution").size(), 5u);
  EXPECT_EQ(results.CallsStartingWith("AddInterval").size(), 4u);
  EXPECT_EQ(results.CallsStartingWith("Field 2"),
            std::vector<std::string>{"Field 2 " + std::to_string(camera.Port())});
  EXPECT_EQ(results.CallsStartingWith("Property 3 SetValue"),
            std::vector<std::string>{"Property 3 SetValue 4.12.3"});
  // Ends the query's kept-alive connection before the camera goes away.
  UninitCapabilityQuery();
}

TEST_F(CapabilityQueryTest, InitTwiceKeepsTheFirstCallback) {
  TestCamera camera;
  RecordingResults results;
  RecordingCallback first(&results), second(&results);
  ASSERT_EQ(InitCapabilityQuery(&first, false), 1);
  EXPECT_EQ(InitCapabilityQuery(&second, false), 0);
  ASSERT_EQ(StartCapabilityQuery("127.0.0.1", camera.Port(), "", "", &results), 1);
  ASSERT_TRUE(first.WaitForCall(20000));
  EXPECT_EQ(ExitCode(), 1u);
  EXPECT_TRUE(second.Calls().empty());
  // Ends the query's kept-alive connection before the camera goes away.
  UninitCapabilityQuery();
}

// A host object that throws ends the query with an error, not with silence.
class ThrowingResults : public RecordingResults {
 public:
  void SetModelName(const char*) override { throw std::bad_alloc(); }
};

// Both end with the one error and exit code 0: a camera of another brand
// (nothing handed over), and a results object that throws during the
// hand-over.
TEST_F(CapabilityQueryTest, FailedQueriesReportOneError) {
  for (bool throwing : {false, true}) {
    TestCamera camera(throwing ? "siqura_pal_h264" : "other_brand");
    RecordingResults plain;
    ThrowingResults thrower;
    RecordingResults* results = throwing ? &thrower : &plain;
    RecordingCallback callback(results);
    ASSERT_EQ(InitCapabilityQuery(&callback, false), 1);
    ASSERT_EQ(StartCapabilityQuery("127.0.0.1", camera.Port(), "", "", results), 1);
    ASSERT_TRUE(callback.WaitForCall(20000)) << throwing;
    EXPECT_EQ(ExitCode(), 0u);
    EXPECT_EQ(callback.Calls(),
              std::vector<std::string>{"OnQueryError 3 Failed to get camera properties"})
        << throwing;
    if (!throwing) {
      EXPECT_TRUE(results->Calls().empty());
    }
    // Ends the query's kept-alive connection before the camera goes away.
    UninitCapabilityQuery();
  }
}

TEST_F(CapabilityQueryTest, StartWithoutCallbackEndsAtOnce) {
  TestCamera camera;
  RecordingResults results;
  ASSERT_EQ(StartCapabilityQuery("127.0.0.1", camera.Port(), "", "", &results), 1);
  EXPECT_EQ(ExitCode(), 0u);
  EXPECT_TRUE(results.Calls().empty());
  EXPECT_TRUE(camera.Core().Requests().empty());
  // Ends the query's kept-alive connection before the camera goes away.
  UninitCapabilityQuery();
}

TEST_F(CapabilityQueryTest, SecondStartWhileRunningIsRefused) {
  TestCamera camera;
  camera.SetFault("slow:800");
  RecordingResults results, otherResults;
  RecordingCallback callback(&results);
  ASSERT_EQ(InitCapabilityQuery(&callback, false), 1);
  ASSERT_EQ(StartCapabilityQuery("127.0.0.1", camera.Port(), "", "", &results), 1);
  EXPECT_EQ(StartCapabilityQuery("127.0.0.1", camera.Port(), "", "", &otherResults), 0);
  ASSERT_TRUE(callback.WaitForCall(20000));
  EXPECT_EQ(ExitCode(), 1u);
  EXPECT_TRUE(otherResults.Calls().empty());
  EXPECT_FALSE(results.Calls().empty());
  // Once the first has ended, a new query may start.
  camera.SetFault("none");
  EXPECT_EQ(StartCapabilityQuery("127.0.0.1", camera.Port(), "", "", &otherResults), 1);
  EXPECT_EQ(ExitCode(), 1u);
  EXPECT_FALSE(otherResults.Calls().empty());
  // Ends the query's kept-alive connection before the camera goes away.
  UninitCapabilityQuery();
}

TEST_F(CapabilityQueryTest, TerminateDuringTheRequestSkipsParsingButSucceeds) {
  TestCamera camera("siqura_ntsc_h264");
  camera.SetFault("slow:1000");
  RecordingResults results;
  RecordingCallback callback(&results);
  ASSERT_EQ(InitCapabilityQuery(&callback, false), 1);
  ASSERT_EQ(StartCapabilityQuery("127.0.0.1", camera.Port(), "u", "p", &results), 1);
  // Wait until the request is at the camera, then abort.
  for (int i = 0; i < 500 && camera.Core().Requests().empty(); ++i) {
    quenlix::platform::SleepMs(5);
  }
  ASSERT_FALSE(camera.Core().Requests().empty());
  EXPECT_EQ(TerminateCapabilityQuery(), 1);
  ASSERT_TRUE(callback.WaitForCall(20000));
  EXPECT_EQ(callback.Calls(), std::vector<std::string>{"OnQueryDone"});
  EXPECT_EQ(results.CallsStartingWith("SetModelName"),
            std::vector<std::string>{"SetModelName Siqura BC 820 HD"});
  EXPECT_TRUE(results.CallsStartingWith("AddInterval").empty());
  EXPECT_TRUE(results.CallsStartingWith("AddResolution").empty());
  EXPECT_TRUE(results.CallsStartingWith("SetCapability 8").empty());
  EXPECT_EQ(results.CallsStartingWith("Property 2 SetValue"),
            std::vector<std::string>{"Property 2 SetValue 554"});  // the default, not 8554
  EXPECT_EQ(results.CallsStartingWith("Field").size(), 4u);
  // Ends the query's kept-alive connection before the camera goes away.
  UninitCapabilityQuery();
}

TEST_F(CapabilityQueryTest, UninitWhileTheRequestHangsEndsTheThreadAndCallsNothingLater) {
  TestCamera camera;
  camera.SetFault("noanswer");
  RecordingResults results;
  RecordingCallback callback(&results);
  ASSERT_EQ(InitCapabilityQuery(&callback, false), 1);
  ASSERT_EQ(StartCapabilityQuery("127.0.0.1", camera.Port(), "", "", &results), 1);
  for (int i = 0; i < 500 && camera.Core().Requests().empty(); ++i) {
    quenlix::platform::SleepMs(5);
  }
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(UninitCapabilityQuery(), 1);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  // Well inside the 40 s HTTP time-out.
  EXPECT_LT(elapsed, std::chrono::seconds(12));
  const size_t callsAtUninit = callback.Calls().size();
  const size_t resultsAtUninit = results.Calls().size();
  camera.SetFault("none");
  quenlix::platform::SleepMs(200);
  EXPECT_EQ(callback.Calls().size(), callsAtUninit);
  EXPECT_EQ(results.Calls().size(), resultsAtUninit);
}

TEST_F(CapabilityQueryTest, UninitEndsAThreadStuckInTheHostAfterItsWait) {
  TestCamera camera("other_brand");
  RecordingResults results;
  RecordingCallback callback(&results);
  callback.blockInError = true;
  ASSERT_EQ(InitCapabilityQuery(&callback, false), 1);
  ASSERT_EQ(StartCapabilityQuery("127.0.0.1", camera.Port(), "", "", &results), 1);
  ASSERT_TRUE(callback.WaitForCall(20000));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(UninitCapabilityQuery(), 1);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  // It waited its 5 s, then ended the thread instead of waiting for ever.
  EXPECT_GE(elapsed, std::chrono::milliseconds(quenlix::kUninitWaitMs - 100));
  EXPECT_LT(elapsed, std::chrono::milliseconds(3 * quenlix::kUninitWaitMs));
  callback.blockInError = false;
}

TEST_F(CapabilityQueryTest, UninitWithoutQueryOnlyDropsTheRegistration) {
  RecordingCallback first, second;
  ASSERT_EQ(InitCapabilityQuery(&first, false), 1);
  EXPECT_EQ(UninitCapabilityQuery(), 1);
  EXPECT_EQ(InitCapabilityQuery(&second, false), 1);
  EXPECT_TRUE(first.Calls().empty());
}

}  // namespace

#endif  // QUENLIX_TEST_WITH_CAMSIM
