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
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <locale>
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

// When a row's first expected line must come within kWithinMs of its cause:
// the run's start, the session's PLAY, or the driver's 40 s network deadline
// passing after its stream-update request (sent just before the RTSP
// connect, so the bound holds for that too).
enum Cause { kNone, kStart, kPlay, kDeadline };

struct TimedLine {
  int64_t atMs;
  std::string text;
};

struct Outcome {
  int status = -1;
  std::string text;
  std::vector<TimedLine> lines;
  int64_t ms = 0;                        // how long it ran
  int64_t causeMs[4] = {-1, 0, -1, -1};  // by Cause; -1: not seen
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
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
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

struct Frame {
  int64_t timeMs = 0, receivedMs = 0;
  uint32_t width = 0, height = 0;
};

inline std::vector<Frame> ReadIndex(const std::string& path) {
  std::vector<Frame> frames;
  std::istringstream in(ReadFile(path));
  std::string line, time, type, bytes, received;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    Frame f;
    fields >> time >> type >> bytes >> f.width >> f.height >> received;
    f.timeMs = ParseUtc(time);
    f.receivedMs = ParseUtc(received);
    frames.push_back(f);
  }
  return frames;
}

struct CameraOptions {
  camsim::CamsimOptions cgi;
  camsim::RtspOptions rtsp;
};
using CameraSetup = std::function<void(CameraOptions&)>;

inline CameraOptions Apply(const CameraSetup& setup) {
  CameraOptions o;
  o.rtsp.framesPerSecond = kCameraFps;
  if (setup) setup(o);
  o.rtsp.auth = o.cgi.auth;
  o.rtsp.user = o.cgi.user;
  o.rtsp.password = o.cgi.password;
  return o;
}

// The simulator with its RTSP server playing the clips the host asks for,
// unless the row gives its own.
struct Camera : testhost::SimCamera {
  explicit Camera(const CameraSetup& setup) : Camera(Apply(setup)) {}
  explicit Camera(CameraOptions o) : SimCamera(o.cgi) {
    if (!o.rtsp.clipFor && o.rtsp.clipPath.empty()) {
      o.rtsp.clipFor = [this](const std::string& uri) {
        return camsim::SelectClipPath(E2E_MEDIA_DIR, core.Requests(), uri);
      };
    }
    std::string error;
    if (!StartRtsp(o.rtsp, &error)) throw std::runtime_error(error);
  }
};

constexpr int kAnyStatus = -2;

struct Step {
  explicit Step(std::string command, int status = 0)
      : command(std::move(command)), status(status) {}
  Step& Has(std::vector<std::string> parts) {
    has = std::move(parts);
    return *this;
  }
  Step& Once(std::vector<std::string> lines, Cause from = kNone) {
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

  std::string command;           // {REC} {IPCAP} {LIB} {HTTP} {RTSP} {OUT} {WORK} ... are filled in
  int status;                    // or kAnyStatus
  std::vector<std::string> has;  // parts of the output; "!part": not there
  std::vector<std::string> once;        // regexes of whole output lines, each there once
  Cause cause = kNone;                  // of the first of them
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
  const std::pair<std::string, std::string> keys[] = {
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
      text.replace(at, key.size(), value);
    }
  }
  return text;
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

// Runs a step's command while watching the camera for the causes' times.
inline Outcome RunStep(Camera& camera, const std::string& command) {
  std::atomic<bool> done{false};
  std::atomic<int64_t> playMs{-1}, deadlineMs{-1};
  const Clock::time_point start = Clock::now();
  std::thread watch([&] {
    for (; !done.load(); std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
      if (playMs.load() < 0 && camera.rtsp->Stats().plays > 0) playMs = Since(start);
      if (deadlineMs.load() < 0 && !camera.Requests("action=update").empty()) {
        deadlineMs = Since(start) + kNetworkTimeoutMs;
      }
    }
  });
  Outcome run = Exec(command, start);
  done = true;
  watch.join();
  run.causeMs[kPlay] = playMs.load();
  run.causeMs[kDeadline] = deadlineMs.load();
  return run;
}

inline void CheckStep(const Step& step, const std::string& row, Camera& camera, uint16_t closed,
                      const Outcome& run) {
  std::string all;
  for (const TimedLine& l : run.lines) all += std::to_string(l.atMs) + " " + l.text + "\n";
  if (step.status != kAnyStatus) {
    EXPECT_EQ(run.status, step.status) << all;
  }
  for (const std::string& part : step.has) {
    const bool wanted = part[0] != '!';
    const std::string text = Fill(part.substr(wanted ? 0 : 1), row, camera, closed);
    EXPECT_EQ(run.text.find(text) != std::string::npos, wanted) << part << "\n" << all;
  }
  for (const std::string& pattern : step.once) {
    const std::regex line(Fill(pattern, row, camera, closed));
    std::vector<int64_t> hits;
    for (const TimedLine& l : run.lines) {
      if (std::regex_match(l.text, line)) hits.push_back(l.atMs);
    }
    EXPECT_EQ(hits.size(), 1u) << Fill(pattern, row, camera, closed) << "\n" << all;
    if (hits.empty() || step.cause == kNone || &pattern != &step.once[0]) continue;
    const int64_t causeMs = run.causeMs[step.cause];
    EXPECT_GE(causeMs, 0) << "the cause was never seen\n" << all;
    EXPECT_LE(hits[0] - causeMs, kWithinMs) << all;
    EXPECT_GE(hits[0], causeMs - kCauseSeenLateMs) << all;
  }
  if (step.facts) step.facts(camera, run);
}

// As many frames recorded as the camera sent, give or take slack.
inline void ExpectAllSent(size_t recorded, const Camera& camera, int64_t slack = 1) {
  const uint64_t sent = camera.rtsp->Stats().framesSent;
  EXPECT_LE(std::llabs(int64_t(recorded) - int64_t(sent)), slack) << "camera sent " << sent;
}

// Each row on a camera of its own, its steps in turn; rows side by side
// when parallel (for rows that mostly wait).
inline void RunRows(const std::vector<Row>& rows, bool parallel = false) {
  std::system("mkdir -p " E2E_WORK_DIR);
  const uint16_t closed = testhost::ClosedPort();
  // std::regex narrows characters through the locale's ctype, which fills a
  // cache on first use: fill it before rows compile their patterns in threads.
  const auto& ctype = std::use_facet<std::ctype<char>>(std::locale());
  for (int c = 1; c < 256; ++c) ctype.narrow(static_cast<char>(c), '\0');
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
