// The four capability-query exports against the simulator.
#include "camera/capability_query.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "capability_helpers.h"
#include "platform/platform.h"
#include "wait_for.h"

#if QUENLIX_TEST_WITH_CAMSIM

namespace {

using camtest::HostResults;
using camtest::Untouched;
using Calls = std::vector<std::string>;

class QueryCallback : public quenlix::ICapabilityQueryCallback {
 public:
  explicit QueryCallback(const HostResults* results = nullptr) : results_(results) {}
  void Reserved0() override {}
  void Reserved1() override {}
  void OnQueryDone() override {
    if (results_ != nullptr) heldAtDone = results_->Summary();
    Note("done");
  }
  void OnQueryError(uint32_t level, const char* message) override {
    Note("error " + std::to_string(level) + " " + message);
    // A host that blocks in its callback holds the query thread here.
    while (blockInError) quenlix::platform::SleepMs(20);
  }
  Calls Get() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  bool WaitForAnswer() {
    return testhost::WaitFor([&] { return !Get().empty(); }, 20000);
  }

  std::string heldAtDone;
  std::atomic<bool> blockInError{false};

 private:
  void Note(const std::string& call) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(call);
  }
  const HostResults* results_;
  std::mutex mutex_;
  Calls calls_;
};

class CapabilityQueryTest : public ::testing::Test {
 protected:
  // Ends the query's kept-alive connection before the camera goes away.
  void TearDown() override { UninitCapabilityQuery(); }

  void Sim(const std::string& fixture = "siqura_pal_h264",
           camsim::AuthMode auth = camsim::AuthMode::kNone) {
    camera.reset(new testhost::SimCamera(camtest::SimOptions(fixture, auth)));
  }
  int32_t Start(HostResults* to, const char* user = "", const char* password = "") {
    return StartCapabilityQuery("127.0.0.1", camera->Port(), user, password, to);
  }
  // Waits for the thread to end and returns its exit code.
  uint32_t ExitCode() {
    uint32_t code = 99;
    testhost::WaitFor([&] { return quenlix::CapabilityQueryExitCode(&code); }, 5000);
    return code;
  }

  std::unique_ptr<testhost::SimCamera> camera;
  HostResults results;
  QueryCallback callback{&results};
};

// One query at a time: a second start while the first runs is refused, and
// allowed once it has ended.
TEST_F(CapabilityQueryTest, SuccessfulQueryHandsEverythingOverBeforeDone) {
  Sim("siqura_pal_h264", camsim::AuthMode::kDigest);
  camera->SetFault("slow:800");
  QueryCallback second;
  HostResults other;
  ASSERT_EQ(InitCapabilityQuery(&callback, true), 1);
  EXPECT_EQ(InitCapabilityQuery(&second, false), 0);  // the first registration stays
  ASSERT_EQ(Start(&results, "admin", "secret"), 1);
  EXPECT_EQ(Start(&other, "admin", "secret"), 0);
  ASSERT_TRUE(callback.WaitForAnswer());
  EXPECT_EQ(ExitCode(), 1u);
  EXPECT_EQ(callback.Get(), Calls{"done"});
  EXPECT_TRUE(second.Get().empty());
  EXPECT_EQ(callback.heldAtDone, results.Summary());
  EXPECT_EQ(results.model, "Siqura HSD 621");
  EXPECT_EQ(results.fields[2].text, std::to_string(camera->Port()));
  EXPECT_EQ(other.Summary(), Untouched());
  camera->SetFault("none");
  EXPECT_EQ(Start(&other, "admin", "secret"), 1);
  EXPECT_EQ(ExitCode(), 1u);
  EXPECT_EQ(other.Summary(), results.Summary());
}

// A host object that throws ends the query with an error, not with silence.
class ThrowingResults : public HostResults {
 public:
  void SetModelName(const char*) override { throw std::bad_alloc(); }
};

// Both end with the one error and exit code 0: a camera of another brand
// (nothing handed over), and a results object that throws during the
// hand-over.
TEST_F(CapabilityQueryTest, FailedQueriesReportOneError) {
  for (bool throwing : {false, true}) {
    SCOPED_TRACE(throwing);
    Sim(throwing ? "siqura_pal_h264" : "other_brand");
    ThrowingResults thrower;
    HostResults* to = throwing ? &thrower : &results;
    QueryCallback answer;
    ASSERT_EQ(InitCapabilityQuery(&answer, false), 1);
    ASSERT_EQ(Start(to), 1);
    ASSERT_TRUE(answer.WaitForAnswer());
    EXPECT_EQ(ExitCode(), 0u);
    EXPECT_EQ(answer.Get(), Calls{"error 3 Failed to get camera properties"});
    if (!throwing) {
      EXPECT_EQ(results.Summary(), Untouched());
    }
    UninitCapabilityQuery();
  }
}

// Uninit without a query drops the registration: a later start has nobody
// to answer, so it asks the camera nothing and ends at once.
TEST_F(CapabilityQueryTest, StartWithoutCallbackEndsAtOnce) {
  Sim();
  ASSERT_EQ(InitCapabilityQuery(&callback, false), 1);
  EXPECT_EQ(UninitCapabilityQuery(), 1);
  ASSERT_EQ(Start(&results), 1);
  EXPECT_EQ(ExitCode(), 0u);
  EXPECT_EQ(results.Summary(), Untouched());
  EXPECT_TRUE(callback.Get().empty());
  EXPECT_TRUE(camera->Core().Requests().empty());
}

TEST_F(CapabilityQueryTest, TerminateDuringTheRequestSkipsParsingButSucceeds) {
  Sim("siqura_ntsc_h264");
  camera->SetFault("slow:1000");
  ASSERT_EQ(InitCapabilityQuery(&callback, false), 1);
  ASSERT_EQ(Start(&results, "u", "p"), 1);
  ASSERT_TRUE(testhost::WaitFor([&] { return !camera->Core().Requests().empty(); }, 2500));
  EXPECT_EQ(TerminateCapabilityQuery(), 1);
  ASSERT_TRUE(callback.WaitForAnswer());
  EXPECT_EQ(callback.Get(), Calls{"done"});
  EXPECT_EQ(results.model, "Siqura BC 820 HD");
  EXPECT_EQ(results.sizes, "");
  EXPECT_EQ(results.properties[2].value, "554");  // the default, not 8554
}

TEST_F(CapabilityQueryTest, UninitEndsAThreadStuckInTheHostAfterItsWait) {
  Sim("other_brand");
  callback.blockInError = true;
  ASSERT_EQ(InitCapabilityQuery(&callback, false), 1);
  ASSERT_EQ(Start(&results), 1);
  ASSERT_TRUE(callback.WaitForAnswer());
  // It waited its 5 s, then ended the thread instead of waiting for ever.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(UninitCapabilityQuery(), 1);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(quenlix::kUninitWaitMs - 100));
  EXPECT_LT(elapsed, std::chrono::milliseconds(3 * quenlix::kUninitWaitMs));
  callback.blockInError = false;
}

}  // namespace

#endif  // QUENLIX_TEST_WITH_CAMSIM
