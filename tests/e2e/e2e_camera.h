// One runner for the end-to-end tables: the simulator inside the test
// process, one command (ipcap, camsim, ffmpeg) run against it as a separate
// process, and what each row expects of its exit code, its output lines and
// what it recorded.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim_camera.h"
#include "stream_selection.h"

namespace e2e {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kCameraFps = 25;

struct TimedLine {
  int64_t atMs;
  std::string text;
};

struct Outcome {
  int status = -1;
  std::string text;
  std::vector<TimedLine> lines;
  int64_t ms = 0;                       // how long it ran
  int64_t playMs = -1, requestMs = -1;  // first PLAY, first stream-update request
};

inline int64_t Since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Runs a shell command with stderr joined to stdout, each line stamped on arrival.
inline Outcome Exec(const std::string& command, Clock::time_point start = Clock::now()) {
  Outcome run;
  FILE* pipe = ::popen(("(" + command + ") 2>&1").c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
    run.text += buffer;
    std::string line(buffer);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    run.lines.push_back({Since(start), line});
  }
  const int status = ::pclose(pipe);
  run.ms = Since(start);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// "YYYY-MM-DDTHH:MM:SS.mmmZ" as milliseconds since 1970; -1 when malformed.
inline int64_t ParseUtc(const std::string& text) {
  std::tm t{};
  int ms = 0;
  if (text.size() != 24 || text.back() != 'Z' ||
      std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d", &t.tm_year, &t.tm_mon, &t.tm_mday,
                  &t.tm_hour, &t.tm_min, &t.tm_sec, &ms) != 7) {
    return -1;
  }
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  return int64_t(::timegm(&t)) * 1000 + ms;
}

using CameraSetup = std::function<void(camsim::CamsimOptions&, camsim::RtspOptions&)>;

// The simulator with its RTSP server playing the clips the host asks for.
struct Camera : testhost::SimCamera {
  static camsim::CamsimOptions Options(const CameraSetup& setup) {
    camsim::CamsimOptions o;
    o.httpPort = 0;
    camsim::RtspOptions unused;
    if (setup) setup(o, unused);
    return o;
  }
  explicit Camera(const CameraSetup& setup) : SimCamera(Options(setup)) {
    camsim::RtspOptions o;
    o.framesPerSecond = kCameraFps;
    o.auth = core.Options().auth;
    o.user = core.Options().user;
    o.password = core.Options().password;
    o.clipFor = [this](const std::string& uri) {
      return camsim::SelectClipPath(E2E_MEDIA_DIR, core.Requests(), uri);
    };
    camsim::CamsimOptions unused;
    if (setup) setup(unused, o);
    std::string error;
    if (!StartRtsp(o, &error)) throw std::runtime_error(error);
  }
};

// When a row's first expected line must come within kWithinMs of its cause:
// the run's start, the session's PLAY, or the driver's 40 s network deadline
// passing after its stream-update request (sent just before the RTSP
// connect, so the bound holds for that too).
enum class Cause { kNone, kStart, kPlay, kDeadline };

constexpr int kAnyStatus = -2;

struct Step {
  explicit Step(std::string command, int status = 0)
      : command(std::move(command)), status(status) {}
  Step& Has(std::vector<std::string> parts) {
    has = std::move(parts);
    return *this;
  }
  Step& HasNot(std::vector<std::string> parts) {
    hasNot = std::move(parts);
    return *this;
  }
  Step& Once(std::vector<std::string> lines, Cause from = Cause::kNone) {
    once = std::move(lines);
    cause = from;
    return *this;
  }
  Step& During(std::function<void(Camera&)> f) {
    during = std::move(f);
    return *this;
  }
  Step& Facts(std::function<void(Camera&, const Outcome&)> f) {
    facts = std::move(f);
    return *this;
  }

  std::string command;  // {REC} {IPCAP} {LIB} {HTTP} {RTSP} {OUT} {WORK} ... are filled in
  int status;           // or kAnyStatus
  std::vector<std::string> has, hasNot;  // parts of the output
  std::vector<std::string> once;         // regexes of whole output lines, each there once
  Cause cause = Cause::kNone;
  std::function<void(Camera&)> during;  // alongside the command
  std::function<void(Camera&, const Outcome&)> facts;
};

struct Row {
  std::string name;
  CameraSetup setup;
  std::vector<Step> steps;
};

inline std::string OutDir(const std::string& row) { return E2E_WORK_DIR "/" + row; }

inline std::string Fill(std::string text, const std::string& row, const Camera& camera,
                        uint16_t closedPort) {
  const std::pair<const char*, std::string> keys[] = {
      {"{REC}", "{IPCAP} record {LIB} --port {HTTP} --param 2={RTSP} --out {OUT}"},
      {"{IPCAP}", "LD_LIBRARY_PATH=" E2E_LIBRARY_PATH " " E2E_IPCAP},
      {"{LIB}", "--library " E2E_LIBRARY},
      {"{CAMSIM}", E2E_CAMSIM},
      {"{MEDIA}", E2E_MEDIA_DIR},
      {"{OUT}", OutDir(row)},
      {"{WORK}", E2E_WORK_DIR},
      {"{HTTP}", std::to_string(camera.httpPort)},
      {"{RTSP}", std::to_string(camera.rtsp->Port())},
      {"{CLOSED}", std::to_string(closedPort)},
  };
  for (const auto& [key, value] : keys) {
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at)) {
      text.replace(at, std::string(key).size(), value);
    }
  }
  return text;
}

// Runs a step's command while watching the camera for the causes' times.
inline Outcome RunStep(Camera& camera, const std::string& command) {
  std::atomic<bool> done{false};
  std::atomic<int64_t> playMs{-1}, requestMs{-1};
  const Clock::time_point start = Clock::now();
  std::thread watch([&] {
    while (!done.load()) {
      if (playMs.load() < 0 && camera.rtsp->Stats().plays > 0) playMs = Since(start);
      if (requestMs.load() < 0 && !camera.Requests("action=update").empty()) {
        requestMs = Since(start);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  Outcome run = Exec(command, start);
  done = true;
  watch.join();
  run.playMs = playMs.load();
  run.requestMs = requestMs.load();
  return run;
}

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer slows start-up and the simulator several times over; that
// build looks for races here, the others hold the 6 s.
constexpr int64_t kWithinMs = 15000, kCauseSeenLateMs = 15000;
#else
// The watcher sees a cause (a PLAY, a request) up to a poll and a lock late.
constexpr int64_t kWithinMs = 6000, kCauseSeenLateMs = 500;
#endif
constexpr int64_t kNetworkTimeoutMs = 40000;  // the driver's, for HTTP and RTSP connects

inline void CheckStep(const Step& step, const std::string& row, Camera& camera, uint16_t closed,
                      const Outcome& run) {
  std::string all;
  for (const TimedLine& l : run.lines) all += std::to_string(l.atMs) + " " + l.text + "\n";
  if (step.status != kAnyStatus) {
    EXPECT_EQ(run.status, step.status) << all;
  }
  for (const std::string& part : step.has) {
    EXPECT_NE(run.text.find(Fill(part, row, camera, closed)), std::string::npos) << part << "\n"
                                                                                 << all;
  }
  for (const std::string& part : step.hasNot) {
    EXPECT_EQ(run.text.find(part), std::string::npos) << part << "\n" << all;
  }
  for (const std::string& pattern : step.once) {
    const std::regex line(Fill(pattern, row, camera, closed));
    std::vector<int64_t> hits;
    for (const TimedLine& l : run.lines) {
      if (std::regex_match(l.text, line)) hits.push_back(l.atMs);
    }
    EXPECT_EQ(hits.size(), 1u) << Fill(pattern, row, camera, closed) << "\n" << all;
    if (hits.empty() || step.cause == Cause::kNone || &pattern != &step.once[0]) continue;
    int64_t causeMs = 0;
    if (step.cause == Cause::kPlay) {
      EXPECT_GE(run.playMs, 0) << "the session never played\n" << all;
      causeMs = run.playMs;
    } else if (step.cause == Cause::kDeadline) {
      EXPECT_GE(run.requestMs, 0) << "the stream was never requested\n" << all;
      causeMs = run.requestMs + kNetworkTimeoutMs;
    }
    EXPECT_LE(hits[0] - causeMs, kWithinMs) << all;
    EXPECT_GE(hits[0], causeMs - kCauseSeenLateMs) << all;
  }
  if (step.facts) step.facts(camera, run);
}

// Each row on a camera of its own, its steps in turn; rows side by side
// when parallel (for rows that mostly wait).
inline void RunRows(const std::vector<Row>& rows, bool parallel = false) {
  std::system("mkdir -p " E2E_WORK_DIR);
  const uint16_t closed = testhost::ClosedPort();
  std::vector<std::thread> threads;
  for (const Row& row : rows) {
    auto runRow = [&row, closed] {
      SCOPED_TRACE(row.name);
      Camera camera(row.setup);
      std::system(("rm -rf " + OutDir(row.name)).c_str());
      for (const Step& step : row.steps) {
        SCOPED_TRACE(step.command);
        std::thread during([&] {
          if (step.during) step.during(camera);
        });
        const Outcome run = RunStep(camera, Fill(step.command, row.name, camera, closed));
        during.join();
        CheckStep(step, row.name, camera, closed, run);
      }
    };
    if (parallel) {
      threads.emplace_back(runRow);
    } else {
      runRow();
    }
  }
  for (std::thread& t : threads) t.join();
}

}  // namespace e2e
