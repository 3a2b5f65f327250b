// The I/O object against the camera simulator's HTTP CGI on loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "io/digital_io.h"
#include "io_test_helpers.h"

namespace {

using camsim::InputState;
using camsim::IoMode;
using iotest::Change;
using iotest::Failure;
using iotest::IoEvent;
using quenlix::CDigitalIO;
using quenlix::CIOBase;
using testhost::WaitFor;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kInactive = CIOBase::kStateInactive;
constexpr uint32_t kActive = CIOBase::kStateActive;
constexpr uint32_t kClosed = 2;

// With the requests held for a while already, a Stop that waited for them
// to time out would still take more than this; one that cancels them takes
// about its grace.
constexpr int64_t kStopBoundMs = 2500;
void HoldAWhile() { std::this_thread::sleep_for(std::chrono::milliseconds(1000)); }

int64_t MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

class DigitalIOTest : public ::testing::Test {
 protected:
  void Make(uint32_t inputs, uint32_t outputs, uint32_t periodMs, uint32_t timeoutMs = 5000) {
    ASSERT_NE(sim.Port(), 0);
    driver.info = sim.Device("", "", timeoutMs);
    driver.inputs = inputs;
    driver.outputs = outputs;
    io.reset(new CDigitalIO(&driver));
    io->SetPeriodMs(periodMs);
  }
  bool StartWithSink() { return io->SetEventSink(&sink) && io->Start(); }
  std::vector<std::string> Outputs() { return sim.Io().Outputs(); }

  iotest::CamsimServer sim;
  iotest::FakeDriver driver;
  iotest::RecordingSink sink;
  std::unique_ptr<CDigitalIO> io;
};

TEST_F(DigitalIOTest, StartArmsPollsAndOpensThenRepeatsNothing) {
  sim.Io().SetInput(2, InputState::kActive);
  Make(2, 1, 100);
  ASSERT_TRUE(StartWithSink());
  // The first poll runs on the input thread, reported like any later one.
  ASSERT_TRUE(sink.WaitForCount(2, 2000));
  ASSERT_TRUE(WaitFor([&] { return !Outputs().empty(); }, 2000));
  EXPECT_EQ(sink.Events(), (std::vector<IoEvent>{Change(0, kInactive), Change(1, kActive)}));
  EXPECT_EQ(
      sim.Requests("Trig=open"),
      (std::vector<std::string>{"/siqura-cgi/admin/param.cgi?action=update&Input.I0.Trig=open",
                                "/siqura-cgi/admin/param.cgi?action=update&Input.I1.Trig=open"}));
  EXPECT_EQ(Outputs(), (std::vector<std::string>{"Output.O0.Active=open"}));
  ASSERT_TRUE(WaitFor([&] { return sim.Requests("checkactive=1").size() >= 4; }, 3000));
  EXPECT_EQ(sink.Count(), 2u);
  EXPECT_TRUE(io->Stop());
  EXPECT_FALSE(io->ThreadsRunning());
  EXPECT_EQ(io->InputState(1), CIOBase::kStateUnknown);
}

TEST_F(DigitalIOTest, InputChangeArrivesWithinOnePeriodExactlyOnce) {
  const uint32_t period = 1000;
  Make(1, 0, period);
  ASSERT_TRUE(StartWithSink());
  ASSERT_TRUE(sink.WaitForCount(1, 2000));
  const auto changed = Clock::now();
  sim.Io().SetInput(1, InputState::kActive);
  ASSERT_TRUE(sink.WaitForCount(2, 3 * period));
  // One period until the next poll, plus that poll's own round trip.
  EXPECT_LE(MsSince(changed), int64_t(period) + 500);
  const size_t polls = sim.Requests("checkactive=1").size();
  ASSERT_TRUE(
      WaitFor([&] { return sim.Requests("checkactive=1").size() >= polls + 2; }, 3 * period));
  EXPECT_EQ(sink.Events(), (std::vector<IoEvent>{Change(0, kInactive), Change(0, kActive)}));
}

TEST_F(DigitalIOTest, OutputBurstArrivesInOrderWithRepeatsSkipped) {
  Make(0, 2, 100);
  ASSERT_TRUE(StartWithSink());
  ASSERT_TRUE(WaitFor([&] { return Outputs().size() == 2; }, 2000));
  sim.Io().ClearOutputs();
  // (0, 1) first: Start has already opened output 0. Index 5 is no output.
  const std::pair<uint32_t, uint32_t> burst[] = {
      {0, 1}, {0, kClosed}, {0, kClosed}, {1, kClosed}, {5, kClosed}, {0, 1}, {0, 1}, {1, 1}};
  for (const auto& b : burst) EXPECT_TRUE(io->SetOutput(b.first, b.second));
  const std::vector<std::string> expected = {"Output.O0.Active=closed", "Output.O1.Active=closed",
                                             "Output.O0.Active=open", "Output.O1.Active=open"};
  ASSERT_TRUE(WaitFor([&] { return Outputs().size() >= expected.size(); }, 3000));
  // A marker change flushes the queue: everything before it has been done.
  EXPECT_TRUE(io->SetOutput(1, kClosed));
  ASSERT_TRUE(WaitFor([&] { return Outputs().size() >= expected.size() + 1; }, 3000));
  std::vector<std::string> got = Outputs();
  got.pop_back();
  EXPECT_EQ(got, expected);
  EXPECT_TRUE(sim.Requests("Output.O5").empty());
}

TEST_F(DigitalIOTest, SetOutputOnlyWhileStarted) {
  Make(0, 1, 100);
  EXPECT_FALSE(io->SetOutput(0, kClosed));
  ASSERT_TRUE(StartWithSink());
  ASSERT_TRUE(WaitFor([&] { return !Outputs().empty(); }, 2000));
  ASSERT_TRUE(io->Stop());
  EXPECT_FALSE(io->SetOutput(0, kClosed));
  EXPECT_EQ(Outputs(), (std::vector<std::string>{"Output.O0.Active=open"}));
}

TEST_F(DigitalIOTest, CameraFailureIsReportedOnceAndEverythingIsSentAfresh) {
  Make(2, 1, 50, 1000);
  ASSERT_TRUE(StartWithSink());
  ASSERT_TRUE(sink.WaitForCount(2, 2000));
  ASSERT_TRUE(WaitFor([&] { return !Outputs().empty(); }, 2000));

  // Unreachable for the polls: one report per outage, however many polls fail.
  sim.Io().SetMode(IoMode::kRefuse);
  ASSERT_TRUE(sink.WaitForCount(3, 2000));
  const size_t refused = sim.Requests("checkactive=1").size();
  ASSERT_TRUE(WaitFor([&] { return sim.Requests("checkactive=1").size() >= refused + 3; }, 2000));
  EXPECT_EQ(sink.Events().back(), Failure());
  EXPECT_EQ(sink.Count(), 3u);
  EXPECT_EQ(io->OutputState(0), CIOBase::kStateUnknown);

  // A failed output request is reported whether or not anything was known.
  EXPECT_TRUE(io->SetOutput(0, kClosed));
  ASSERT_TRUE(sink.WaitForCount(4, 2000));
  EXPECT_EQ(sink.Events()[3], Failure());

  sim.Io().SetMode(IoMode::kAnswer);
  ASSERT_TRUE(sink.WaitForCount(6, 2000));
  const std::vector<IoEvent> events = sink.Events();
  EXPECT_EQ(std::vector<IoEvent>(events.begin() + 4, events.end()),
            (std::vector<IoEvent>{Change(0, kInactive), Change(1, kInactive)}));
  // The value asked for during the outage is not taken as known.
  sim.Io().ClearOutputs();
  EXPECT_TRUE(io->SetOutput(0, kClosed));
  ASSERT_TRUE(WaitFor([&] { return !Outputs().empty(); }, 2000));
  EXPECT_EQ(Outputs(), (std::vector<std::string>{"Output.O0.Active=closed"}));
}

// A camera that refuses the credentials has done nothing that was asked:
// each refused poll and output is a failure, under either scheme.
TEST(DigitalIORefused, WrongPasswordIsReportedAsFailure) {
  for (camsim::AuthMode mode : {camsim::AuthMode::kBasic, camsim::AuthMode::kDigest}) {
    SCOPED_TRACE(int(mode));
    camsim::CamsimOptions options;
    options.auth = mode;
    iotest::CamsimServer sim(options);
    ASSERT_NE(sim.Port(), 0);
    iotest::FakeDriver driver;
    driver.info = sim.Device("", "", 2000);
    driver.info.userName = "admin";
    driver.info.password = "wrong";
    driver.inputs = 1;
    driver.outputs = 1;
    iotest::RecordingSink sink;
    CDigitalIO io(&driver);
    io.SetPeriodMs(50);
    ASSERT_TRUE(io.SetEventSink(&sink));
    ASSERT_TRUE(io.Start());
    // The first poll and the first output write, both refused.
    ASSERT_TRUE(sink.WaitForCount(2, 2000));
    EXPECT_EQ(sink.Events(), (std::vector<IoEvent>{Failure(), Failure()}));
    EXPECT_TRUE(io.SetOutput(0, kClosed));
    ASSERT_TRUE(sink.WaitForCount(3, 2000));
    EXPECT_EQ(sink.Events().back(), Failure());
    EXPECT_TRUE(io.Stop());
  }
}

TEST_F(DigitalIOTest, ReplyWithoutTheInputsLineLeavesItsState) {
  sim.Io().SetInput(1, InputState::kMissing);
  Make(1, 0, 50);
  ASSERT_TRUE(StartWithSink());
  const size_t polls = sim.Requests("checkactive=1").size();
  ASSERT_TRUE(WaitFor([&] { return sim.Requests("checkactive=1").size() >= polls + 2; }, 2000));
  EXPECT_EQ(sink.Count(), 0u);
  EXPECT_EQ(io->InputState(0), CIOBase::kStateUnknown);

  sim.Io().SetInput(1, InputState::kInactive);
  ASSERT_TRUE(sink.WaitForCount(1, 2000));
  sim.Io().SetInput(1, InputState::kMissing);
  const size_t later = sim.Requests("checkactive=1").size();
  ASSERT_TRUE(WaitFor([&] { return sim.Requests("checkactive=1").size() >= later + 2; }, 2000));
  EXPECT_EQ(sink.Events(), (std::vector<IoEvent>{Change(0, kInactive)}));
  EXPECT_EQ(io->InputState(0), kInactive);
}

TEST_F(DigitalIOTest, StopWhileRequestsHangEndsWithinTheTimeoutAndStartsAgain) {
  Make(2, 1, 50, 5000);
  ASSERT_TRUE(StartWithSink());
  ASSERT_TRUE(sink.WaitForCount(2, 2000));
  sim.Io().SetMode(IoMode::kHang);
  EXPECT_TRUE(io->SetOutput(0, kClosed));
  ASSERT_TRUE(WaitFor([&] { return Outputs().size() == 2; }, 2000));
  HoldAWhile();
  const auto stopping = Clock::now();
  EXPECT_TRUE(io->Stop());
  EXPECT_LT(MsSince(stopping), kStopBoundMs);
  EXPECT_FALSE(io->ThreadsRunning());
  // The cancelled requests were not the camera's failure.
  EXPECT_EQ(sink.Count(), 2u);

  sim.Io().SetMode(IoMode::kAnswer);
  sim.Io().SetInput(2, InputState::kActive);
  ASSERT_TRUE(io->Start());
  ASSERT_TRUE(sink.WaitForCount(4, 2000));
  const std::vector<IoEvent> events = sink.Events();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[3], Change(1, kActive));
}

// A camera that holds every request never holds the host: Start asks it
// nothing on the host's thread, and Stop cancels what hangs.
TEST_F(DigitalIOTest, StartAndStopNeverWaitForAHangingCamera) {
  sim.Io().SetMode(IoMode::kHang);
  Make(2, 2, 50, 5000);
  auto start = Clock::now();
  EXPECT_TRUE(StartWithSink());
  EXPECT_LT(MsSince(start), 500);
  ASSERT_TRUE(WaitFor([&] { return !sim.Requests("Trig=open").empty(); }, 2000));
  start = Clock::now();
  EXPECT_TRUE(io->Stop());
  EXPECT_LT(MsSince(start), kStopBoundMs);
  EXPECT_EQ(sink.Count(), 0u);
  sim.Io().SetMode(IoMode::kAnswer);
}

TEST_F(DigitalIOTest, DestructionWithoutStopEndsBothThreads) {
  Make(1, 1, 50, 5000);
  ASSERT_TRUE(StartWithSink());
  ASSERT_TRUE(sink.WaitForCount(1, 2000));
  sim.Io().SetMode(IoMode::kHang);
  EXPECT_TRUE(io->SetOutput(0, kClosed));
  ASSERT_TRUE(WaitFor([&] { return Outputs().size() == 2; }, 2000));
  HoldAWhile();
  const auto destroying = Clock::now();
  quenlix::DestroyObject(static_cast<quenlix::ICaptureIOApi*>(io.release()));
  EXPECT_LT(MsSince(destroying), kStopBoundMs);
  const size_t count = sink.Count();
  sim.Io().SetMode(IoMode::kAnswer);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(sink.Count(), count);
}

TEST_F(DigitalIOTest, StartOnARunningObjectChangesNothing) {
  Make(1, 1, 100);
  ASSERT_TRUE(StartWithSink());
  ASSERT_TRUE(sink.WaitForCount(1, 2000));
  ASSERT_TRUE(WaitFor([&] { return !Outputs().empty(); }, 2000));
  const size_t arming = sim.Requests("Trig=open").size();
  EXPECT_FALSE(io->Start());
  EXPECT_TRUE(io->ThreadsRunning());
  EXPECT_EQ(sim.Requests("Trig=open").size(), arming);
  EXPECT_EQ(Outputs().size(), 1u);
}

TEST_F(DigitalIOTest, NoInputsNoOutputsSendsNothing) {
  Make(0, 0, 20);
  ASSERT_TRUE(StartWithSink());
  EXPECT_TRUE(io->ThreadsRunning());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(sim.Core().Requests().empty());
}

TEST_F(DigitalIOTest, WithoutASinkNothingBreaks) {
  Make(1, 1, 20, 1000);
  EXPECT_FALSE(io->SetEventSink(nullptr));
  ASSERT_TRUE(io->Start());
  sim.Io().SetInput(1, InputState::kActive);
  ASSERT_TRUE(WaitFor([&] { return io->InputState(0) == kActive; }, 2000));
  sim.Io().SetMode(IoMode::kRefuse);
  EXPECT_TRUE(io->SetOutput(0, kClosed));
  ASSERT_TRUE(WaitFor([&] { return io->InputState(0) == CIOBase::kStateUnknown; }, 2000));
  EXPECT_TRUE(io->Stop());
}

// Input thread, output thread and host calls at once, while the camera keeps
// failing and recovering; meant for the TSan build.
TEST_F(DigitalIOTest, ThreadsAndHostCallsTogetherUnderInjectedFailures) {
  Make(3, 2, 5, 1000);
  iotest::RecordingSink other;
  ASSERT_TRUE(StartWithSink());
  std::atomic<bool> done{false};
  std::thread camera([&] {
    for (uint32_t i = 0; !done; ++i) {
      sim.Io().SetInput(1 + i % 3, i % 2 ? InputState::kActive : InputState::kInactive);
      sim.Io().SetMode(i % 5 == 4 ? IoMode::kRefuse : IoMode::kAnswer);
      std::this_thread::sleep_for(std::chrono::milliseconds(7));
    }
    sim.Io().SetMode(IoMode::kAnswer);
  });
  const auto end = Clock::now() + std::chrono::milliseconds(1500);
  for (uint32_t i = 0; Clock::now() < end; ++i) {
    io->SetOutput(i % 2, 1 + i % 3);
    io->InputState(i % 3);
    if (i % 50 == 0) io->SetEventSink(i % 100 ? &other : &sink);
    if (i % 400 == 399) {
      EXPECT_TRUE(io->Stop());
      EXPECT_TRUE(io->Start());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  done = true;
  camera.join();
  EXPECT_TRUE(io->Stop());
  EXPECT_FALSE(io->ThreadsRunning());
  EXPECT_GT(sink.Count() + other.Count(), 0u);
  // Once the camera answers steadily, a fresh start reports its true inputs.
  iotest::RecordingSink last;
  ASSERT_TRUE(io->SetEventSink(&last));
  ASSERT_TRUE(io->Start());
  for (uint32_t n = 1; n <= 3; ++n) {
    const uint32_t expected = sim.Io().Input(n) == InputState::kActive ? kActive : kInactive;
    EXPECT_TRUE(WaitFor([&] { return io->InputState(n - 1) == expected; }, 2000)) << n;
  }
}

}  // namespace
