// The I/O object against the camera simulator's HTTP CGI on loopback.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fake_driver.h"
#include "io/digital_io.h"
#include "sim_camera.h"
#include "wait_for.h"

namespace {

using camsim::InputState;
using camsim::IoMode;
using quenlix::CDigitalIO;
using quenlix::CIOBase;
using testhost::WaitFor;
using Events = std::vector<std::string>;

constexpr uint32_t kInactive = CIOBase::kStateInactive;
constexpr uint32_t kActive = CIOBase::kStateActive;
constexpr uint32_t kClosed = 2;
const std::string kFailure = "failure";

std::string Change(uint32_t input, uint32_t state) {
  return std::to_string(input) + "=" + std::to_string(state);
}

class RecordingSink : public quenlix::IIOEventSink {
 public:
  void Reserved0() override {}
  void OnInputChanged(uint32_t input, uint32_t state) override { Add(Change(input, state)); }
  void OnIOFailure() override { Add(kFailure); }
  Events Get() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  size_t Count() const { return Get().size(); }
  bool WaitForCount(size_t n, uint32_t ms = 2000) const {
    return WaitFor([&] { return Count() >= n; }, ms);
  }

 private:
  void Add(const std::string& e) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(e);
  }
  mutable std::mutex mutex_;
  Events events_;
};

class DigitalIOTest : public ::testing::Test {
 protected:
  void Make(uint32_t inputs, uint32_t outputs, uint32_t periodMs, uint32_t timeoutMs = 5000) {
    driver.info = sim.Device("", "", timeoutMs);
    driver.inputs = inputs;
    driver.outputs = outputs;
    io.reset(new CDigitalIO(&driver));
    io->SetPeriodMs(periodMs);
  }
  bool StartWithSink() { return io->SetEventSink(&sink) && io->Start(); }
  Events Outputs() { return sim.Io().Outputs(); }
  size_t Polls() { return sim.Requests("checkactive=1").size(); }
  bool WaitForPolls(size_t n, uint32_t ms = 2000) {
    return WaitFor([&] { return Polls() >= n; }, ms);
  }

  testhost::SimCamera sim;
  testhost::FakeDriver driver;
  RecordingSink sink;
  std::unique_ptr<CDigitalIO> io;
};

TEST_F(DigitalIOTest, StartArmsPollsAndOpensOnceThenWritesChangesInOrder) {
  sim.Io().SetInput(2, InputState::kActive);
  Make(2, 2, 100);
  EXPECT_FALSE(io->SetOutput(0, kClosed));
  ASSERT_TRUE(StartWithSink());
  // The first poll runs on the input thread, reported like any later one.
  ASSERT_TRUE(sink.WaitForCount(2));
  ASSERT_TRUE(WaitFor([&] { return Outputs().size() == 2; }, 2000));
  EXPECT_EQ(sink.Get(), (Events{Change(0, kInactive), Change(1, kActive)}));
  EXPECT_EQ(sim.Requests("Trig=open"),
            (Events{"/siqura-cgi/admin/param.cgi?action=update&Input.I0.Trig=open",
                    "/siqura-cgi/admin/param.cgi?action=update&Input.I1.Trig=open"}));
  EXPECT_EQ(Outputs(), (Events{"Output.O0.Active=open", "Output.O1.Active=open"}));
  // A second Start on the running object neither arms nor opens again.
  EXPECT_FALSE(io->Start());
  EXPECT_TRUE(io->ThreadsRunning());
  ASSERT_TRUE(WaitForPolls(4, 3000));
  EXPECT_EQ(sink.Count(), 2u);
  EXPECT_EQ(sim.Requests("Trig=open").size(), 2u);
  EXPECT_EQ(Outputs().size(), 2u);

  sim.Io().ClearOutputs();
  // (0, 1) first: output 0 is open already. Index 5 is no output.
  const std::pair<uint32_t, uint32_t> burst[] = {
      {0, 1}, {0, kClosed}, {0, kClosed}, {1, kClosed}, {5, kClosed}, {0, 1}, {0, 1}, {1, 1}};
  for (const auto& b : burst) EXPECT_TRUE(io->SetOutput(b.first, b.second));
  Events expected = {"Output.O0.Active=closed", "Output.O1.Active=closed", "Output.O0.Active=open",
                     "Output.O1.Active=open"};
  ASSERT_TRUE(WaitFor([&] { return Outputs().size() >= expected.size(); }, 3000));
  // A marker change flushes the queue: everything before it has been done.
  EXPECT_TRUE(io->SetOutput(1, kClosed));
  expected.push_back("Output.O1.Active=closed");
  ASSERT_TRUE(WaitFor([&] { return Outputs().size() >= expected.size(); }, 3000));
  EXPECT_EQ(Outputs(), expected);
  EXPECT_TRUE(sim.Requests("Output.O5").empty());
  EXPECT_TRUE(io->Stop());
  EXPECT_FALSE(io->ThreadsRunning());
  EXPECT_EQ(io->InputState(1), CIOBase::kStateUnknown);
  EXPECT_FALSE(io->SetOutput(0, kClosed));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(Outputs(), expected);
}

TEST_F(DigitalIOTest, CameraFailureIsReportedOnceAndEverythingIsSentAfresh) {
  Make(2, 1, 50, 1000);
  ASSERT_TRUE(StartWithSink());
  ASSERT_TRUE(sink.WaitForCount(2));
  ASSERT_TRUE(WaitFor([&] { return !Outputs().empty(); }, 2000));
  // Unreachable for the polls: one report per outage, however many polls fail.
  sim.Io().SetMode(IoMode::kRefuse);
  ASSERT_TRUE(sink.WaitForCount(3));
  ASSERT_TRUE(WaitForPolls(Polls() + 3));
  EXPECT_EQ(sink.Get().back(), kFailure);
  EXPECT_EQ(sink.Count(), 3u);
  EXPECT_EQ(io->OutputState(0), CIOBase::kStateUnknown);
  // A failed output request is reported whether or not anything was known.
  EXPECT_TRUE(io->SetOutput(0, kClosed));
  ASSERT_TRUE(sink.WaitForCount(4));
  EXPECT_EQ(sink.Get()[3], kFailure);
  sim.Io().SetMode(IoMode::kAnswer);
  ASSERT_TRUE(sink.WaitForCount(6));
  const Events events = sink.Get();
  EXPECT_EQ(Events(events.begin() + 4, events.end()),
            (Events{Change(0, kInactive), Change(1, kInactive)}));
  // The value asked for during the outage is not taken as known.
  sim.Io().ClearOutputs();
  EXPECT_TRUE(io->SetOutput(0, kClosed));
  ASSERT_TRUE(WaitFor([&] { return !Outputs().empty(); }, 2000));
  EXPECT_EQ(Outputs(), Events{"Output.O0.Active=closed"});
}

// A camera that refuses the credentials has done nothing that was asked:
// each refused poll and output is a failure, under either scheme.
TEST(DigitalIORefused, WrongPasswordIsReportedAsFailure) {
  for (camsim::AuthMode mode : {camsim::AuthMode::kBasic, camsim::AuthMode::kDigest}) {
    SCOPED_TRACE(int(mode));
    camsim::CamsimOptions options;
    options.auth = mode;
    testhost::SimCamera sim(options);
    testhost::FakeDriver driver;
    driver.info = sim.Device("admin", "wrong", 2000);
    driver.inputs = 1;
    driver.outputs = 1;
    RecordingSink sink;
    CDigitalIO io(&driver);
    io.SetPeriodMs(50);
    ASSERT_TRUE(io.SetEventSink(&sink));
    ASSERT_TRUE(io.Start());
    // The first poll and the first output write, both refused.
    ASSERT_TRUE(sink.WaitForCount(2));
    EXPECT_EQ(sink.Get(), (Events{kFailure, kFailure}));
    EXPECT_TRUE(io.SetOutput(0, kClosed));
    ASSERT_TRUE(sink.WaitForCount(3));
    EXPECT_EQ(sink.Get().back(), kFailure);
    EXPECT_TRUE(io.Stop());
    // The 401 that comes back as a status is logged as the camera's refusal.
    const Events log = driver.Texts();
    const std::string refused =
        "1 quenlix::CDigitalIO::Request: Camera 127.0.0.1 refused I/O request "
        "\"/siqura-cgi/io/input.cgi?checkactive=1\" (status 401)";
    EXPECT_GT(std::count(log.begin(), log.end(), refused), 0);
  }
}

// Stop cancels what a hanging camera holds, which is not the camera's
// failure, and the object starts again with fresh requests once the camera
// answers. (How soon Start and Stop return: the fault matrix's io rows.)
TEST_F(DigitalIOTest, HangingCameraNeverHoldsStartOrStop) {
  sim.Io().SetMode(IoMode::kHang);
  Make(2, 2, 50, 5000);
  EXPECT_TRUE(StartWithSink());
  ASSERT_TRUE(WaitFor([&] { return !sim.Requests("Trig=open").empty(); }, 2000));
  ASSERT_TRUE(WaitFor([&] { return !Outputs().empty(); }, 2000));
  // Still held when Stop comes: past its grace, Stop cancels them.
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_TRUE(io->Stop());
  EXPECT_FALSE(io->ThreadsRunning());
  // The cancelled requests were not the camera's failure.
  EXPECT_EQ(sink.Count(), 0u);
  sim.Io().SetMode(IoMode::kAnswer);
  sim.Io().SetInput(2, InputState::kActive);
  ASSERT_TRUE(io->Start());
  ASSERT_TRUE(sink.WaitForCount(2));
  EXPECT_EQ(sink.Get(), (Events{Change(0, kInactive), Change(1, kActive)}));
}

// Input thread, output thread and host calls at once, while the camera keeps
// failing and recovering, at first without a sink; meant for the TSan build.
TEST_F(DigitalIOTest, ThreadsAndHostCallsTogetherUnderInjectedFailures) {
  Make(3, 2, 5, 1000);
  RecordingSink other;
  EXPECT_FALSE(io->SetEventSink(nullptr));
  ASSERT_TRUE(io->Start());
  for (uint32_t i = 1; i <= 200; ++i) {
    sim.Io().SetInput(1 + i % 3, i % 2 ? InputState::kActive : InputState::kInactive);
    sim.Io().SetMode(i % 5 == 4 ? IoMode::kRefuse : IoMode::kAnswer);
    io->SetOutput(i % 2, 1 + i % 3);
    io->InputState(i % 3);
    if (i % 50 == 0) io->SetEventSink(i % 100 ? &other : &sink);
    if (i % 80 == 0) {
      EXPECT_TRUE(io->Stop());
      EXPECT_TRUE(io->Start());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(7));
  }
  sim.Io().SetMode(IoMode::kAnswer);
  EXPECT_TRUE(io->Stop());
  EXPECT_FALSE(io->ThreadsRunning());
  EXPECT_GT(sink.Count() + other.Count(), 0u);
  // Once the camera answers steadily, a fresh start reports its true inputs.
  RecordingSink last;
  ASSERT_TRUE(io->SetEventSink(&last));
  ASSERT_TRUE(io->Start());
  for (uint32_t n = 1; n <= 3; ++n) {
    const uint32_t expected = sim.Io().Input(n) == InputState::kActive ? kActive : kInactive;
    EXPECT_TRUE(WaitFor([&] { return io->InputState(n - 1) == expected; }, 2000)) << n;
  }
}

}  // namespace
