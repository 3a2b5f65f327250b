// A camera that does not stream is explained in the host's log: each cause
// yields its line within 6 s, and only once, however often the driver
// retries.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "e2e_camera.h"
#include "faults/hostile_peer.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRunSeconds = 22;  // long enough for a second session after a signal loss
// The driver gives an HTTP request and an RTSP connect this long (the host
// cannot shorten it): a time-out's cause is that deadline passing.
constexpr int64_t kNetworkTimeoutMs = 40000;
constexpr int kTimeoutRunSeconds = 48;
#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer slows start-up several times over; that build looks for
// races here, and the native and ASan builds hold the 6 s. It also slows the
// simulator: a request waited 6 s for a server thread before the watcher saw
// it, long after the driver had sent it.
constexpr int64_t kWithinMs = 15000;
constexpr int64_t kCauseSeenLateMs = 15000;
#else
constexpr int64_t kWithinMs = 6000;
// The watcher sees a cause (a PLAY, a request) up to a poll and a lock late.
constexpr int64_t kCauseSeenLateMs = 500;
#endif

// A loopback port with nothing behind it: bound for a moment to learn it.
uint16_t ClosedTcpPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t n = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
  ::close(fd);
  return ntohs(a.sin_port);
}

// A UDP port that takes datagrams and never reads them: where a firewall
// sends the camera's RTP.
struct UdpHole {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  uint16_t port = 0;
  UdpHole() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
    port = ntohs(a.sin_port);
  }
  ~UdpHole() { ::close(fd); }
};

struct TimedLine {
  int64_t atMs;
  std::string text;
};

// Runs ipcap record for the seconds given, each output line stamped on arrival.
std::vector<TimedLine> RecordLines(int seconds, const std::string& args, Clock::time_point start) {
  const std::string command = std::string("LD_LIBRARY_PATH=" E2E_LIBRARY_PATH " " E2E_IPCAP
                                          " record --library " E2E_LIBRARY " --seconds ") +
                              std::to_string(seconds) + " " + args + " 2>&1";
  std::vector<TimedLine> lines;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return lines;
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
    std::string text(buffer);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    lines.push_back(
        {std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(),
         text});
  }
  ::pclose(pipe);
  return lines;
}

// When the cause comes: the run's start, the session's PLAY, or the
// driver's network deadline passing after its stream-update request (which
// comes just before the RTSP connect, so the bound holds for that too).
enum class CauseFrom { kStart, kPlay, kDeadline };
enum class RtspPort { kServed, kClosed, kSynDrop };

struct Case {
  const char* name;
  std::function<void(camsim::RtspOptions&)> tune;
  camsim::FaultState httpFault;
  bool closedHttp = false;
  RtspPort rtspPort = RtspPort::kServed;
  CauseFrom from = CauseFrom::kStart;
  std::string line;       // regex of the whole log line; {HTTP}, {RTSP} and {CLOSED} are filled in
  std::string args = "";  // more for ipcap
  camsim::AuthMode auth = camsim::AuthMode::kNone;
};

struct Outcome {
  std::vector<TimedLine> lines;
  int64_t playMs = -1;
  int64_t requestMs = -1;  // the first stream-update request
  uint16_t rtspPort = 0;
  uint16_t httpPort = 0;
  uint16_t closedPort = 0;
};

Outcome RunCase(const Case& c) {
  Outcome out;
  UdpHole hole;
  hostile::SynDropPort dropping;  // drops connection attempts: a connect times out
  camsim::CamsimOptions options = e2e::DefaultOptions();
  options.fault = c.httpFault;
  options.auth = c.auth;
  e2e::Camera camera(options);
  const uint16_t holePort = hole.port;
  camera.tuneRtsp = [&c, holePort](camsim::RtspOptions& o) {
    if (c.tune) c.tune(o);
    if (o.faults.stream.rtpToPort == 1) o.faults.stream.rtpToPort = holePort;
  };
  if (!camera.Start()) return out;
  out.rtspPort = camera.rtsp->Port();
  out.httpPort = camera.httpPort;
  out.closedPort = c.rtspPort == RtspPort::kSynDrop ? dropping.Port() : ClosedTcpPort();
  const std::string args =
      "-y --codec h264 --width 640 --height 480 --fps 25 --out " E2E_WORK_DIR "/lines-" +
      std::string(c.name) + " --port " +
      std::to_string(c.closedHttp ? out.closedPort : out.httpPort) + " --param 2=" +
      std::to_string(c.rtspPort == RtspPort::kServed ? out.rtspPort : out.closedPort) + " " +
      c.args;
  const int seconds = c.from == CauseFrom::kDeadline ? kTimeoutRunSeconds : kRunSeconds;
  std::atomic<bool> done{false};
  const Clock::time_point start = Clock::now();
  std::atomic<int64_t> playMs{-1};
  std::atomic<int64_t> requestMs{-1};
  std::thread watch([&] {
    while (!done.load()) {
      const int64_t now =
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
      if (playMs.load() < 0 && camera.rtsp->Stats().plays > 0) playMs = now;
      if (requestMs.load() < 0) {
        for (const std::string& target : camera.core.Requests()) {
          if (target.find("action=update") != std::string::npos) requestMs = now;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  out.lines = RecordLines(seconds, args, start);
  done = true;
  watch.join();
  out.playMs = playMs.load();
  out.requestMs = requestMs.load();
  return out;
}

std::string Fill(std::string pattern, const Outcome& o) {
  auto put = [&pattern](const std::string& key, const std::string& value) {
    for (size_t at = pattern.find(key); at != std::string::npos; at = pattern.find(key, at)) {
      pattern.replace(at, key.size(), value);
      at += value.size();
    }
  };
  put("{HTTP}", std::to_string(o.httpPort));
  put("{CLOSED}", std::to_string(o.closedPort));
  put("{RTSP}", std::to_string(o.rtspPort));
  return pattern;
}

TEST(FailureLines, EachSilentCauseIsToldOnceWithinSixSeconds) {
  const std::string step = "\\[error 1\\] quenlix::CBaseRTSPChannel::StartSession: ";
  const std::string url = "rtsp://127\\.0\\.0\\.1:{RTSP}/\\S+";
  const std::string http = "\\[error 1\\] quenlix::CCommonChannel::ConfigureStream: ";
  const std::string path = "/siqura-cgi/admin/param\\.cgi";
  camsim::FaultState status500;
  status500.mode = camsim::FaultMode::kStatus;
  status500.status = 500;
  camsim::FaultState silent;
  silent.mode = camsim::FaultMode::kNoAnswer;
  const auto noClip = [](camsim::RtspOptions& o) {
    o.clipFor = [](const std::string&) { return std::string(); };
  };
  const std::vector<Case> cases = {
      {"http-closed",
       nullptr,
       {},
       true,
       RtspPort::kServed,
       CauseFrom::kStart,
       http + "HTTP connection to 127\\.0\\.0\\.1:{CLOSED} refused or unreachable \\(GET " + path +
           "\\)"},
      {"http-silent", nullptr, silent, false, RtspPort::kServed, CauseFrom::kDeadline,
       http + "HTTP request GET " + path + " to 127\\.0\\.0\\.1:{HTTP} got no answer within 40 s"},
      {"http-credentials",
       nullptr,
       {},
       false,
       RtspPort::kServed,
       CauseFrom::kStart,
       http +
           "Camera 127\\.0\\.0\\.1:{HTTP} refused the HTTP credentials of user \"admin\" \\(GET " +
           path + "\\)",
       "--user admin --password wrong",
       camsim::AuthMode::kBasic},
      // A status the camera answers with keeps the line hosts already know.
      {"http-500", nullptr, status500, false, RtspPort::kServed, CauseFrom::kStart,
       "\\[error 1\\] quenlix::HUtils::RequestGetRD: 127\\.0\\.0\\.1:{HTTP} sent does not process "
       "request \"" +
           path + "\\?action=update&.*\", status code = 500"},
      {"rtsp-closed",
       nullptr,
       {},
       false,
       RtspPort::kClosed,
       CauseFrom::kStart,
       step + "RTSP connection to 127\\.0\\.0\\.1:{CLOSED} refused"},
      {"rtsp-syn-dropped",
       nullptr,
       {},
       false,
       RtspPort::kSynDrop,
       CauseFrom::kDeadline,
       step + "RTSP connection to 127\\.0\\.0\\.1:{CLOSED} timed out after 40 s"},
      {"describe-404",
       noClip,
       {},
       false,
       RtspPort::kServed,
       CauseFrom::kStart,
       step + "DESCRIBE " + url + " answered 404 Not Found"},
      {"play-454",
       [](camsim::RtspOptions& o) { o.faults.answer454 = true; },
       {},
       false,
       RtspPort::kServed,
       CauseFrom::kStart,
       step + "PLAY " + url + " answered 454 Session Not Found"},
      {"reply-cut",
       [](camsim::RtspOptions& o) { o.faults.closeMidReply = true; },
       {},
       false,
       RtspPort::kServed,
       CauseFrom::kStart,
       step + "DESCRIBE " + url + " got a reply cut off before its end"},
      {"firewalled",
       [](camsim::RtspOptions& o) { o.faults.stream.rtpToPort = 1; },
       {},
       false,
       RtspPort::kServed,
       CauseFrom::kPlay,
       "\\[error 1\\] quenlix::CBaseRTPChannel::Run: no RTP from 127\\.0\\.0\\.1 reaches UDP port "
       "\\d+: check firewalls and NAT between camera and recorder"},
      {"fu-b",
       [](camsim::RtspOptions& o) { o.faults.stream.h264FuB = true; },
       {},
       false,
       RtspPort::kServed,
       CauseFrom::kPlay,
       "\\[error 1\\] quenlix::CBaseRTPChannel::Run: RTP from 127\\.0\\.0\\.1 reaches UDP port "
       "\\d+ but every frame was dropped for 5 s \\(.*unsupported payload: \\d+.*\\)"},
  };
  // All at once: each waits out the same run time.
  std::vector<Outcome> outcomes(cases.size());
  std::vector<std::thread> runs;
  for (size_t i = 0; i < cases.size(); ++i) {
    runs.emplace_back([&, i] { outcomes[i] = RunCase(cases[i]); });
  }
  for (std::thread& t : runs) t.join();

  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const Outcome& o = outcomes[i];
    SCOPED_TRACE(c.name);
    ASSERT_NE(0, o.rtspPort) << "camera did not start";
    const std::regex expected(Fill(c.line, o));
    std::vector<TimedLine> hits;
    std::string all;
    for (const TimedLine& l : o.lines) {
      all += std::to_string(l.atMs) + " " + l.text + "\n";
      if (std::regex_match(l.text, expected)) hits.push_back(l);
    }
    EXPECT_EQ(1u, hits.size()) << Fill(c.line, o) << "\n" << all;
    if (hits.empty()) continue;
    int64_t causeMs = 0;
    if (c.from == CauseFrom::kPlay) {
      EXPECT_GE(o.playMs, 0) << "the session never played\n" << all;
      causeMs = o.playMs;
    } else if (c.from == CauseFrom::kDeadline) {
      EXPECT_GE(o.requestMs, 0) << "the stream was never requested\n" << all;
      causeMs = o.requestMs + kNetworkTimeoutMs;
    }
    EXPECT_LE(hits[0].atMs - causeMs, kWithinMs) << all;
    EXPECT_GE(hits[0].atMs, causeMs - kCauseSeenLateMs) << all;
  }
}

}  // namespace
