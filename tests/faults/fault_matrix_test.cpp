// The fault matrix: each row is a camera that misbehaves on purpose and the
// outcome a recorder must see. The reference host (ipcap) runs as a child
// process, so that a crash, a hang, the stop time, the peak memory and the
// CPU are those of a real host; each row prints its figures as a table row.
// Where the camera behaves again (the peer heals and relays to a simulated
// camera), frames must flow again within the recovery bound.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

#include "faults/hostile_peer.h"
#include "sim_camera.h"
#include "stream_selection.h"

extern char** environ;

namespace {

using namespace hostile;
using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

enum Command { kRecord, kIo, kQuery };
enum Rtsp { kClosed, kSynDrop, kWrongCSeq, kCamera };

// Any stop, Close or Uninit returns within 2 s whatever the camera does; on
// top come launch, Open and the host's own bookkeeping.
constexpr int64_t kPastRunMs = 2000 + 1500;
constexpr int64_t kEarlyEndSlackMs = 500;
constexpr int64_t kResumeBoundMs = 8000;  // from the camera behaving again to its first frame
constexpr int64_t kHealAtMs = 2000;
constexpr uint64_t kHugePeakMb = 200;  // for a 300 MB reply
constexpr uint64_t k300MB = 300ull * 1000 * 1000;
constexpr uint64_t k32BitKb = 600000;  // the address space of a 32-bit host

struct Case {
  const char* name;
  Command command;
  uint32_t seconds;  // how long the host runs (record, io) or waits (query)
  Behaviour http;
  Rtsp rtsp = kClosed;
  bool heals = false;     // the camera behaves again kHealAtMs into the run
  const char* line = "";  // must appear in the host's output; "!text": must not
  std::string body = "OK\r\n";
  uint64_t hugeBytes = 0;
  double maxCpuSeconds = 0;  // 0: not bounded
  bool in32Bit = false;
};

std::string Repeat(const std::string& line, size_t times) {
  std::string text;
  while (times-- > 0) text += line;
  return text;
}

const char kNoProperties[] = "Failed to get camera properties";
const char kTooLong[] = "is longer than 1048576 bytes";
const char kNoChange[] = "ipcap: 0 input change(s)";
const std::string kBrand = "root.Brand.Brand=Siqura\r\n";
const std::string kInput = "Input1=active\r\n";

const Case kCases[] = {
    {"HTTP headers trickled a line a second, record", kRecord, 3, kTrickleHeaders},
    {"HTTP headers trickled a line a second, io", kIo, 3, kTrickleHeaders},
    {"HTTP body trickled a byte a second, io", kIo, 3, kTrickleBody},
    {"HTTP accepts and never answers, record", kRecord, 5, kSilent},
    {"HTTP accepts and never answers, io", kIo, 3, kSilent},
    {"HTTP accepts and never answers, query", kQuery, 3, kSilent},
    {"RTSP port drops connection attempts, record", kRecord, 3, kAnswer, kSynDrop},
    {"RTSP 200 OK with the wrong CSeq, record", kRecord, 3, kAnswer, kWrongCSeq, false,
     "!is online"},
    {"300 MB parameter list, query", kQuery, 10, kHugeBody, kClosed, false, kNoProperties, kBrand,
     k300MB},
    {"300 MB parameter list, query in a 600 MB address space", kQuery, 10, kHugeBody, kClosed,
     false, kNoProperties, kBrand, k300MB, 0, true},
    {"300 MB input reply, io", kIo, 3, kHugeBody, kClosed, false, kTooLong, kInput, k300MB},
    {"300 MB input reply, io in a 600 MB address space", kIo, 3, kHugeBody, kClosed, false,
     kTooLong, kInput, k300MB, 0, true},
    // Just under the body cap, the old search took seconds of CPU on these.
    {"parameter list of 55k lines repeating a key without '='", kQuery, 10, kAnswer, kClosed, false,
     kNoProperties, Repeat("root.Brand.Brand\r\n", 55000), 0, 1.0},
    {"parameter list of 1M lines repeating a key without '='", kQuery, 10, kAnswer, kClosed, false,
     kNoProperties, Repeat("root.Brand.Brand\r\n", 1000000), 0, 1.0},
    {"input reply of 120k lines repeating a key without '='", kIo, 3, kAnswer, kClosed, false,
     kNoChange, Repeat("Input1\r\n", 120000), 0, 1.5},
    {"input reply 'XInput1=active'", kIo, 3, kAnswer, kClosed, false, kNoChange,
     "XInput1=active\r\nXInput2=active\r\n"},
    {"HTTP headers trickled, then behaves again, record", kRecord, 11, kTrickleHeaders, kCamera,
     true},
    {"HTTP accepts and never answers, then behaves again, record", kRecord, 11, kSilent, kCamera,
     true},
    {"RTSP port drops connection attempts, then behaves again, record", kRecord, 11, kAnswer,
     kSynDrop, true},
    {"RTSP 200 OK with the wrong CSeq, then behaves again, record", kRecord, 11, kAnswer,
     kWrongCSeq, true},
};

// The well-behaved camera the peers relay to once healed: the simulator
// with its RTSP server playing the clips the host asks for.
struct Camera : testhost::SimCamera {
  bool Start() {
    camsim::RtspOptions o;
    o.framesPerSecond = 25;
    o.auth = core.Options().auth;
    o.user = core.Options().user;
    o.password = core.Options().password;
    o.clipFor = [this](const std::string& uri) {
      return camsim::SelectClipPath(FAULTS_MEDIA_DIR, core.Requests(), uri);
    };
    std::string error;
    return StartRtsp(o, &error);
  }
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// FAULTS_IPCAP and FAULTS_LIBRARY in the environment run the matrix against
// another build (an older one, to see the faults it mends).
std::string Setting(const char* name, const char* builtIn) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : builtIn;
}

// The arrival time (UTC ms) of the first frame in the recording's index, the
// last column of its first frame line ("2026-12-08T05:53:07.049Z"); -1 when
// no frame was written.
int64_t FirstArrivalUtcMs() {
  std::ifstream in(FAULTS_WORK_DIR "/rec/stream0.index");
  std::string line;
  while (std::getline(in, line) && (line.empty() || line[0] == '#')) {
  }
  std::tm t{};
  int ms = 0;
  if (line.empty() ||
      std::sscanf(line.c_str() + line.rfind(' ') + 1, "%d-%d-%dT%d:%d:%d.%dZ", &t.tm_year,
                  &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min, &t.tm_sec, &ms) != 7) {
    return -1;
  }
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  return int64_t(timegm(&t)) * 1000 + ms;
}

class FaultMatrix : public ::testing::TestWithParam<Case> {};

TEST_P(FaultMatrix, HostSurvivesAndStopsInTime) {
  const Case& c = GetParam();
  std::unique_ptr<Camera> camera;
  if (c.rtsp == kCamera || c.heals) {
    camera.reset(new Camera);
    ASSERT_TRUE(camera->Start()) << "the simulated camera did not start";
  }
  HostilePeer http({c.http, c.body, c.hugeBytes, 1000});
  std::unique_ptr<HostilePeer> rtsp;
  std::unique_ptr<SynDropPort> dropped;
  uint16_t rtspPort = 1;  // nothing listens on port 1 here: refused at once
  if (c.rtsp == kWrongCSeq) {
    rtsp.reset(new HostilePeer({kRtspWrongCSeq}));
    rtspPort = rtsp->Port();
  } else if (c.rtsp == kSynDrop) {
    dropped.reset(new SynDropPort);
    rtspPort = dropped->Port();
  } else if (c.rtsp == kCamera) {
    rtspPort = camera->rtsp->Port();
  }
  int64_t healedUtcMs = -1;
  const auto heal = [&](int64_t elapsedMs) {
    if (!c.heals || healedUtcMs >= 0 || elapsedMs < kHealAtMs) return;
    http.Heal(camera->httpPort);
    if (dropped) {
      // The port is served again: connection attempts are answered.
      dropped.reset();
      rtsp.reset(new HostilePeer({}, rtspPort));
    }
    if (rtsp) rtsp->Heal(camera->rtsp->Port());
    healedUtcMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  };
  // The host is started through the shell, so that the address-space limit
  // is the one a person would set (ulimit -v), and spawned without a copy of
  // this process: its peak memory is its own.
  const std::string seconds = std::to_string(c.seconds);
  const std::string commands[] = {
      "record -y --seconds " + seconds +
          " --out " FAULTS_WORK_DIR "/rec --param 2=" + std::to_string(rtspPort),
      "io --watch --seconds " + seconds + " --inputs 2 --outputs 1", "query --wait " + seconds};
  std::string script = "rm -rf " FAULTS_WORK_DIR "/rec && mkdir -p " FAULTS_WORK_DIR "/rec && ";
  if (c.in32Bit && !kSanitized) script += "ulimit -v " + std::to_string(k32BitKb) + " && ";
  script += "exec " + Setting("FAULTS_IPCAP", FAULTS_IPCAP) + " " + commands[c.command] +
            " --address 127.0.0.1 --port " + std::to_string(http.Port()) + " --library " +
            Setting("FAULTS_LIBRARY", FAULTS_LIBRARY) + " >" FAULTS_WORK_DIR "/host.out 2>&1";
  const char* argv[] = {"sh", "-c", script.c_str(), nullptr};
  const auto start = Clock::now();
  const auto elapsedMs = [&] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  };
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ), 0)
      << "the host could not be started";
  // VmHWM polled while it runs: the kernel's own peak (ru_maxrss) would
  // count the pages this process had when the child was spawned.
  const std::string statusPath = "/proc/" + std::to_string(pid) + "/status";
  int wstatus = 0;
  rusage usage{};
  uint64_t peakKb = 0;
  while (wait4(pid, &wstatus, WNOHANG, &usage) == 0) {
    heal(elapsedMs());
    const std::string text = ReadFile(statusPath);
    const size_t at = text.find("VmHWM:");
    if (at != std::string::npos) peakKb = std::max(peakKb, uint64_t(std::atoll(&text[at + 6])));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const int64_t runMs = elapsedMs();
  const bool signalled = WIFSIGNALED(wstatus);
  const int status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  const double cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                            double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  const std::string output = ReadFile(FAULTS_WORK_DIR "/host.out");
  const int64_t overMs = runMs - int64_t(c.seconds) * 1000;
  const int64_t firstArrival = c.heals ? FirstArrivalUtcMs() : -1;
  const int64_t resumeMs = healedUtcMs >= 0 && firstArrival >= 0 ? firstArrival - healedUtcMs : -1;
  char resume[32] = "-";
  if (c.heals) {
    std::snprintf(resume, sizeof resume, resumeMs >= 0 ? "%.1f" : "none", resumeMs / 1000.0);
  }
  std::printf("| %s | %d%s | %.1f | %lld | %llu | %.2f | %s |\n", c.name, status,
              signalled ? " (signal)" : "", runMs / 1000.0, (long long)overMs,
              (unsigned long long)(peakKb / 1024), cpuSeconds, resume);
  EXPECT_FALSE(signalled) << output;
  EXPECT_NE(status, 127) << "the host could not be started";
  EXPECT_LE(overMs, kPastRunMs) << output;
  // A host that gave up at once (a usage error, say) proves nothing.
  EXPECT_TRUE(c.command == kQuery || overMs >= -kEarlyEndSlackMs) << output;
  const bool wanted = c.line[0] != '!';
  const char* line = wanted ? c.line : c.line + 1;
  EXPECT_TRUE(!*line || (output.find(line) != std::string::npos) == wanted) << output;
  EXPECT_TRUE(c.hugeBytes == 0 || peakKb / 1024 <= kHugePeakMb) << peakKb / 1024 << " MB";
  EXPECT_TRUE(c.maxCpuSeconds == 0 || cpuSeconds <= c.maxCpuSeconds) << cpuSeconds << " s";
  EXPECT_EQ(output.find("terminate called"), std::string::npos) << output;
  EXPECT_TRUE(!c.heals || (resumeMs >= 0 && resumeMs <= kResumeBoundMs))
      << "frames resumed " << resumeMs << " ms after the camera behaved again (-1: none)\n"
      << output;
}

INSTANTIATE_TEST_SUITE_P(Cases, FaultMatrix, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return "Row" + std::to_string(info.index);
                         });

}  // namespace
