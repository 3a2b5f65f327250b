// The fault matrix: each row is a camera that misbehaves on purpose and the
// outcome a recorder must see. The reference host (ipcap) runs as a child
// process against the hostile peer, so that a crash, a hang, the time a
// stop takes, the peak memory and the CPU are those of a real host process.
// The figures of every row are printed as one table at the end. Where the
// camera behaves again during the run (the peer heals and relays to a
// simulated camera), frames must flow again within the recovery bound.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e_camera.h"
#include "faults/hostile_peer.h"

extern char** environ;

namespace {

using hostile::Behaviour;
using hostile::HostilePeer;
using hostile::PeerOptions;
using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

enum class Command { kRecord, kIo, kQuery };
enum class Rtsp { kClosed, kSynDrop, kWrongCSeq, kCamera };

// Any stop, Close or Uninit must return within this much, whatever the
// camera does.
constexpr int64_t kStopBoundMs = 2000;
// Launch, Open and the host's own bookkeeping around the run.
constexpr int64_t kHostOverheadMs = 1500;
constexpr int64_t kEarlyEndSlackMs = 500;
// Once the camera behaves again, its frames reach the host within this.
constexpr int64_t kResumeBoundMs = 8000;

struct Case {
  const char* name;
  Command command;
  uint32_t seconds;  // how long the host runs (record, io) or waits (query)
  PeerOptions http;
  Rtsp rtsp;
  const char* expectLine;       // must appear in the host's output ("" none)
  const char* forbidLine;       // must not appear ("" none)
  uint64_t maxPeakMb;           // 0: not bounded
  double maxCpuSeconds;         // 0: not bounded
  uint64_t addressSpaceKb = 0;  // the 32-bit check: a limit on the child's address space
  uint32_t healAtMs = 0;        // the camera behaves again this long after the start (0: never)
};

struct Figures {
  int status = -1;
  bool signalled = false;
  int64_t elapsedMs = 0;
  uint64_t peakKb = 0;
  double cpuSeconds = 0;
  std::string output;
  int64_t resumeMs = -1;  // from the heal to the first frame's arrival at the host
};

PeerOptions Http(Behaviour behaviour, std::string body = "OK\r\n", uint64_t hugeBytes = 0) {
  PeerOptions o;
  o.behaviour = behaviour;
  o.body = std::move(body);
  o.hugeBytes = hugeBytes;
  o.intervalMs = 1000;
  return o;
}

std::string Repeat(const std::string& line, size_t times) {
  std::string text;
  text.reserve(line.size() * times);
  for (size_t i = 0; i < times; ++i) text += line;
  return text;
}

constexpr uint64_t k300MB = 300ull * 1000 * 1000;

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

constexpr int kPeakPollMs = 20;

// VmHWM of a running process, in KiB; 0 when it cannot be read.
uint64_t PeakKb(const std::string& statusPath) {
  std::ifstream in(statusPath);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return uint64_t(std::atoll(line.c_str() + 6));
  }
  return 0;
}

// FAULTS_IPCAP and FAULTS_LIBRARY in the environment run the matrix against
// another build (an older one, to see the faults it mends).
std::string Setting(const char* name, const char* builtIn) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : builtIn;
}

std::vector<std::string> Arguments(const Case& c, uint16_t httpPort, uint16_t rtspPort) {
  const std::string seconds = std::to_string(c.seconds);
  std::vector<std::string> common = {"--address", "127.0.0.1",
                                     "--port",    std::to_string(httpPort),
                                     "--library", Setting("FAULTS_LIBRARY", FAULTS_LIBRARY)};
  std::vector<std::string> args = {Setting("FAULTS_IPCAP", FAULTS_IPCAP)};
  switch (c.command) {
    case Command::kRecord:
      args.insert(args.end(), {"record", "-y", "--seconds", seconds, "--out",
                               std::string(FAULTS_WORK_DIR) + "/rec", "--param",
                               "2=" + std::to_string(rtspPort)});
      break;
    case Command::kIo:
      args.insert(args.end(),
                  {"io", "--watch", "--seconds", seconds, "--inputs", "2", "--outputs", "1"});
      break;
    case Command::kQuery:
      args.insert(args.end(), {"query", "--wait", seconds});
      break;
  }
  args.insert(args.end(), common.begin(), common.end());
  return args;
}

// The host is started through the shell, so that the address-space limit is
// the one a person would set (ulimit -v), and spawned without a copy of this
// process: its peak memory is its own.
// during is called about every kPeakPollMs with the time since the start.
Figures RunHost(const Case& c, const std::vector<std::string>& args,
                const std::function<void(int64_t)>& during) {
  Figures f;
  const std::string out = std::string(FAULTS_WORK_DIR) + "/host.out";
  if (std::system("rm -rf " FAULTS_WORK_DIR "/rec && mkdir -p " FAULTS_WORK_DIR "/rec") != 0) {
    return f;
  }
  std::string script = "exec \"$@\"";
  if (c.addressSpaceKb != 0 && !kSanitized) {
    script = "ulimit -v " + std::to_string(c.addressSpaceKb) + " && " + script;
  }
  std::vector<std::string> all = {"/bin/sh", "-c", script, "sh"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (const std::string& a : all) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  const auto start = Clock::now();
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return f;
  // Polled while it runs: the kernel's own peak (ru_maxrss) would count the
  // pages this process had when the child was spawned.
  const std::string statusPath = "/proc/" + std::to_string(pid) + "/status";
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, WNOHANG, &usage) == 0) {
    during(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    f.peakKb = std::max(f.peakKb, PeakKb(statusPath));
    std::this_thread::sleep_for(std::chrono::milliseconds(kPeakPollMs));
  }
  f.elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  f.signalled = WIFSIGNALED(status);
  f.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  f.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  f.output = Slurp(out);
  return f;
}

const Case kCases[] = {
    {"HTTP headers trickled a line a second, record", Command::kRecord, 3,
     Http(Behaviour::kTrickleHeaders), Rtsp::kClosed, "", "", 0, 0},
    {"HTTP headers trickled a line a second, io", Command::kIo, 3, Http(Behaviour::kTrickleHeaders),
     Rtsp::kClosed, "", "", 0, 0},
    {"HTTP body trickled a byte a second, io", Command::kIo, 3, Http(Behaviour::kTrickleBody),
     Rtsp::kClosed, "", "", 0, 0},
    {"HTTP accepts and never answers, record", Command::kRecord, 5, Http(Behaviour::kSilent),
     Rtsp::kClosed, "", "", 0, 0},
    {"HTTP accepts and never answers, io", Command::kIo, 3, Http(Behaviour::kSilent), Rtsp::kClosed,
     "", "", 0, 0},
    {"HTTP accepts and never answers, query", Command::kQuery, 3, Http(Behaviour::kSilent),
     Rtsp::kClosed, "", "", 0, 0},
    {"RTSP port drops connection attempts, record", Command::kRecord, 3, Http(Behaviour::kAnswer),
     Rtsp::kSynDrop, "", "", 0, 0},
    {"RTSP 200 OK with the wrong CSeq, record", Command::kRecord, 3, Http(Behaviour::kAnswer),
     Rtsp::kWrongCSeq, "", "is online", 0, 0},
    {"300 MB parameter list, query", Command::kQuery, 10,
     Http(Behaviour::kHugeBody, "root.Brand.Brand=Siqura\r\n", k300MB), Rtsp::kClosed,
     "Failed to get camera properties", "", 200, 0},
    {"300 MB parameter list, query in a 600 MB address space", Command::kQuery, 10,
     Http(Behaviour::kHugeBody, "root.Brand.Brand=Siqura\r\n", k300MB), Rtsp::kClosed,
     "Failed to get camera properties", "", 200, 0, 600000},
    {"300 MB input reply, io", Command::kIo, 3,
     Http(Behaviour::kHugeBody, "Input1=active\r\n", k300MB), Rtsp::kClosed,
     "is longer than 1048576 bytes", "", 200, 0},
    {"300 MB input reply, io in a 600 MB address space", Command::kIo, 3,
     Http(Behaviour::kHugeBody, "Input1=active\r\n", k300MB), Rtsp::kClosed,
     "is longer than 1048576 bytes", "", 200, 0, 600000},
    // Just under the body cap, the old search took seconds of CPU on these.
    {"parameter list of 55k lines repeating a key without '='", Command::kQuery, 10,
     Http(Behaviour::kAnswer, Repeat("root.Brand.Brand\r\n", 55000)), Rtsp::kClosed,
     "Failed to get camera properties", "", 0, 1.0},
    {"parameter list of 1M lines repeating a key without '='", Command::kQuery, 10,
     Http(Behaviour::kAnswer, Repeat("root.Brand.Brand\r\n", 1000000)), Rtsp::kClosed,
     "Failed to get camera properties", "", 0, 1.0},
    {"input reply of 120k lines repeating a key without '='", Command::kIo, 3,
     Http(Behaviour::kAnswer, Repeat("Input1\r\n", 120000)), Rtsp::kClosed,
     "ipcap: 0 input change(s)", "", 0, 1.5},
    {"input reply 'XInput1=active'", Command::kIo, 3,
     Http(Behaviour::kAnswer, "XInput1=active\r\nXInput2=active\r\n"), Rtsp::kClosed,
     "ipcap: 0 input change(s)", "", 0, 0},
    // The camera behaves again 2 s into the run; the recording must resume.
    {"HTTP headers trickled, then behaves again, record", Command::kRecord, 11,
     Http(Behaviour::kTrickleHeaders), Rtsp::kCamera, "", "", 0, 0, 0, 2000},
    {"HTTP accepts and never answers, then behaves again, record", Command::kRecord, 11,
     Http(Behaviour::kSilent), Rtsp::kCamera, "", "", 0, 0, 0, 2000},
    {"RTSP port drops connection attempts, then behaves again, record", Command::kRecord, 11,
     Http(Behaviour::kAnswer), Rtsp::kSynDrop, "", "", 0, 0, 0, 2000},
    {"RTSP 200 OK with the wrong CSeq, then behaves again, record", Command::kRecord, 11,
     Http(Behaviour::kAnswer), Rtsp::kWrongCSeq, "", "", 0, 0, 0, 2000},
};

int64_t UtcMsNow() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The arrival time (UTC ms) of the first frame in the recording's index, the
// last column of its first frame line ("2026-12-08T05:53:07.049Z"); -1 when
// no frame was written.
int64_t FirstArrivalUtcMs() {
  std::ifstream in(FAULTS_WORK_DIR "/rec/stream0.index");
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::tm t{};
    int ms = 0;
    const char* arrival = line.c_str() + line.rfind(' ') + 1;
    if (std::sscanf(arrival, "%d-%d-%dT%d:%d:%d.%dZ", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour,
                    &t.tm_min, &t.tm_sec, &ms) != 7) {
      return -1;
    }
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    return int64_t(timegm(&t)) * 1000 + ms;
  }
  return -1;
}

class FaultMatrix : public ::testing::TestWithParam<Case> {
 public:
  static std::vector<std::string>& Rows() {
    static std::vector<std::string> rows;
    return rows;
  }
};

TEST_P(FaultMatrix, HostSurvivesAndStopsInTime) {
  const Case& c = GetParam();
  // The well-behaved camera the peers relay to once healed.
  std::unique_ptr<e2e::Camera> camera;
  if (c.healAtMs != 0 || c.rtsp == Rtsp::kCamera) {
    camera.reset(new e2e::Camera(e2e::DefaultOptions()));
    ASSERT_TRUE(camera->Start()) << "the simulated camera did not start";
  }
  HostilePeer http(c.http);
  std::unique_ptr<HostilePeer> rtsp;
  std::unique_ptr<hostile::SynDropPort> dropped;
  uint16_t rtspPort = 1;  // nothing listens on port 1 here: refused at once
  if (c.rtsp == Rtsp::kWrongCSeq) {
    rtsp.reset(new HostilePeer(Http(Behaviour::kRtspWrongCSeq)));
    rtspPort = rtsp->Port();
  } else if (c.rtsp == Rtsp::kSynDrop) {
    dropped.reset(new hostile::SynDropPort);
    rtspPort = dropped->Port();
  } else if (c.rtsp == Rtsp::kCamera) {
    rtspPort = camera->rtsp->Port();
  }
  int64_t healedUtcMs = -1;
  const auto heal = [&](int64_t elapsedMs) {
    if (c.healAtMs == 0 || healedUtcMs >= 0 || elapsedMs < int64_t(c.healAtMs)) return;
    http.Heal(camera->httpPort);
    if (dropped) {
      // The port is served again: connection attempts are answered.
      dropped.reset();
      rtsp.reset(new HostilePeer(Http(Behaviour::kAnswer), rtspPort));
    }
    if (rtsp) rtsp->Heal(camera->rtsp->Port());
    healedUtcMs = UtcMsNow();
  };
  Figures f = RunHost(c, Arguments(c, http.Port(), rtspPort), heal);
  const int64_t overMs = f.elapsedMs - int64_t(c.seconds) * 1000;
  const int64_t firstArrival = c.healAtMs != 0 ? FirstArrivalUtcMs() : -1;
  if (healedUtcMs >= 0 && firstArrival >= 0) f.resumeMs = firstArrival - healedUtcMs;

  char resume[32] = "-";
  if (c.healAtMs != 0) {
    std::snprintf(resume, sizeof resume, f.resumeMs >= 0 ? "%.1f" : "none", f.resumeMs / 1000.0);
  }
  char row[512];
  std::snprintf(row, sizeof row, "| %s | %d%s | %.1f | %lld | %llu | %.2f | %s |", c.name, f.status,
                f.signalled ? " (signal)" : "", f.elapsedMs / 1000.0, (long long)overMs,
                (unsigned long long)(f.peakKb / 1024), f.cpuSeconds, resume);
  Rows().push_back(row);
  if (std::getenv("FAULTS_VERBOSE") != nullptr) std::printf("%s\n", f.output.c_str());

  EXPECT_FALSE(f.signalled) << f.output;
  ASSERT_GE(f.status, 0) << "the host could not be started";
  EXPECT_NE(f.status, 127) << "the host could not be started";
  EXPECT_LE(overMs, kStopBoundMs + kHostOverheadMs) << f.output;
  // A host that gave up at once (a usage error, say) proves nothing.
  if (c.command != Command::kQuery) {
    EXPECT_GE(f.elapsedMs, int64_t(c.seconds) * 1000 - kEarlyEndSlackMs) << f.output;
  }
  if (*c.expectLine) {
    EXPECT_NE(f.output.find(c.expectLine), std::string::npos) << f.output;
  }
  if (*c.forbidLine) {
    EXPECT_EQ(f.output.find(c.forbidLine), std::string::npos) << f.output;
  }
  if (c.maxPeakMb != 0) {
    EXPECT_LE(f.peakKb / 1024, c.maxPeakMb);
  }
  if (c.maxCpuSeconds != 0) {
    EXPECT_LE(f.cpuSeconds, c.maxCpuSeconds);
  }
  EXPECT_EQ(f.output.find("terminate called"), std::string::npos) << f.output;
  if (c.healAtMs != 0) {
    EXPECT_GE(f.resumeMs, 0) << "no frame after the camera behaved again\n" << f.output;
    EXPECT_LE(f.resumeMs, kResumeBoundMs) << f.output;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, FaultMatrix, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return "Row" + std::to_string(info.index);
                         });

class PrintFigures : public ::testing::Environment {
 public:
  void TearDown() override {
    std::printf(
        "\n| case | exit | run s | past the run, ms | peak MB | CPU s | frames resume, s |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    for (const std::string& row : FaultMatrix::Rows()) std::printf("%s\n", row.c_str());
  }
};

const ::testing::Environment* const kFigures =
    ::testing::AddGlobalTestEnvironment(new PrintFigures);

}  // namespace
