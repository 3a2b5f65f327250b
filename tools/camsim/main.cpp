// camsim: a camera simulator for the driver's tests and demos.
#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "camsim.h"
#include "http_server.h"
#include "rtsp_server.h"
#include "stream_selection.h"

namespace {

constexpr int kUsageError = 2;
// ParseCommandLine's answer when the camera is to start.
constexpr int kContinue = -1;

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

// SIGUSR1: the camera restarts its streams (new SSRC, sequence, time base).
volatile std::sig_atomic_t g_restart = 0;
void OnRestartSignal(int) { g_restart = 1; }

struct CommandLine {
  camsim::CamsimOptions options;
  camsim::RtspOptions rtsp;
  std::string auth = "none";
  std::string fault = "none";
  std::string mediaDir;
  uint32_t rtspServers = 1;
};

void AddHttpOptions(CLI::App& app, CommandLine& line) {
  camsim::CamsimOptions& options = line.options;
  app.add_option("--bind", options.bindAddress, "address to listen on")->capture_default_str();
  app.add_option("--http-port", options.httpPort, "HTTP port, 0 for any free port")
      ->capture_default_str();
  app.add_option("--fixture", options.fixture, "camera model: fixture name or file path")
      ->capture_default_str();
  app.add_option("--fixture-dir", options.fixtureDir, "directory of the fixture files")
      ->capture_default_str();
  app.add_option("--auth", line.auth, "none, basic or digest")->capture_default_str();
  app.add_option("--user", options.user, "user name the CGI accepts")->capture_default_str();
  app.add_option("--password", options.password, "password the CGI accepts")->capture_default_str();
  app.add_option("--request-log", options.requestLog, "file that receives each CGI request");
  app.add_option("--fault", line.fault,
                 "none, status:N, empty, slow:MS, noanswer, close or endless (changeable at "
                 "/camsim/fault?set=...)")
      ->capture_default_str();
}

void AddRtspOptions(CLI::App& app, camsim::RtspOptions& rtsp) {
  app.add_option("--rtsp-port", rtsp.port, "RTSP port, 0 for any free port")->capture_default_str();
  app.add_option("--clip", rtsp.clipPath, "clip to stream (.h264, .mjpeg, .m4v); enables RTSP")
      ->check(CLI::ExistingFile);
  app.add_option("--fps", rtsp.framesPerSecond, "frames per second of the stream")
      ->capture_default_str();
  app.add_option("--session-timeout", rtsp.sessionTimeout, "RTSP session time-out, seconds")
      ->capture_default_str();
  app.add_option("--rtsp-split-ms", rtsp.faults.splitPauseMs,
                 "send each reply in two segments, this pause between");
  app.add_flag("--rtsp-always-401", rtsp.faults.always401, "refuse every RTSP request");
  app.add_flag("--rtsp-454", rtsp.faults.answer454, "answer 454 to every request naming a session");
  app.add_flag("--rtsp-close-mid-reply", rtsp.faults.closeMidReply,
               "close the connection inside each reply");
}

void AddRtpFaultOptions(CLI::App& app, camsim::StreamFaults& stream) {
  app.add_option("--rtp-loss", stream.lossRate, "share of RTP packets dropped")
      ->check(CLI::Range(0.0, 1.0));
  app.add_option("--rtp-reorder", stream.reorderRate, "share of RTP packets held back one place")
      ->check(CLI::Range(0.0, 1.0));
  app.add_option("--rtp-duplicate", stream.duplicateRate, "share of RTP packets sent twice")
      ->check(CLI::Range(0.0, 1.0));
  app.add_option("--rtp-to-port", stream.rtpToPort,
                 "send RTP to this port instead of the client's, as a firewall or NAT that "
                 "loses it would");
  app.add_flag("--h264-fu-b", stream.h264FuB,
               "send the first fragment of each H.264 unit as FU-B, which many receivers refuse");
  app.add_option("--rtp-jitter", stream.jitterMs,
                 "each RTP packet delayed by a random 0 to 2 x MS, so its delay varies by +-MS "
                 "and later packets may overtake it");
  app.add_option("--rtp-burst", stream.burstLoss,
                 "RTP packets lost in a row, every 4 s from 2 s on");
  app.add_option("--session-frames", stream.frameLimit,
                 "frames each session sends before its RTP falls silent (0: no end); load "
                 "runs count against it");
}

// Habits of other servers and cameras.
void AddHabitOptions(CLI::App& app, camsim::RtspOptions& rtsp) {
  app.add_flag("--no-sprop", rtsp.habits.noSpropParameterSets,
               "leave sprop-parameter-sets out of the SDP (the sets stay in band)");
  app.add_flag("--aud-sei", rtsp.habits.audAndSei,
               "begin each H.264 access unit with a delimiter and an SEI");
  app.add_flag("--sdp-peer-order", rtsp.habits.peerSdpOrder,
               "order the SDP's video section as other servers do");
  app.add_flag("--jpeg-tables-in-band", rtsp.habits.jpegTablesInBand,
               "send JPEG quantization tables in band (Q 255)");
  app.add_flag("--jpeg-one-table", rtsp.habits.jpegOneTable,
               "send one in-band JPEG table where a picture's two are equal");
  app.add_flag("--absolute-control", rtsp.absoluteControl,
               "name the track by its absolute URL; SETUP must use it");
  app.add_option("--content-base", rtsp.contentBasePath,
                 "answer DESCRIBE with this Content-Base path (e.g. /media/1/); SETUP must "
                 "resolve against it");
}

void AddServerOptions(CLI::App& app, CommandLine& line) {
  app.add_option("--media-dir", line.mediaDir,
                 "directory of camera_<codec>_<w>x<h> clips; each stream plays the one its last "
                 "stream update asked for (enables RTSP)")
      ->check(CLI::ExistingDirectory);
  app.add_option("--streams", line.rtspServers,
                 "RTSP servers to run, on consecutive ports from --rtsp-port (or any free ports)")
      ->check(CLI::Range(1, 1000))
      ->capture_default_str();
}

// kContinue, or the exit code when the command line ends the run.
int ParseCommandLine(int argc, char** argv, CommandLine* line) {
  CLI::App app{"camsim: camera simulator (HTTP CGI)"};
  AddHttpOptions(app, *line);
  AddRtspOptions(app, line->rtsp);
  AddRtpFaultOptions(app, line->rtsp.faults.stream);
  AddHabitOptions(app, line->rtsp);
  AddServerOptions(app, *line);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help is not a failure; any option that does not hold is a usage error.
    return app.exit(e) == 0 ? 0 : kUsageError;
  }
  if (!camsim::ParseAuthMode(line->auth, &line->options.auth)) {
    std::fprintf(stderr, "camsim: unknown --auth \"%s\"\n", line->auth.c_str());
    return kUsageError;
  }
  if (!camsim::ParseFault(line->fault, &line->options.fault)) {
    std::fprintf(stderr, "camsim: unknown --fault \"%s\"\n", line->fault.c_str());
    return kUsageError;
  }
  return kContinue;
}

// The running camera; members stop in reverse order, the RTSP servers first.
struct Camera {
  std::unique_ptr<camsim::Camsim> core;
  std::unique_ptr<camsim::CHttpServer> http;
  std::vector<std::unique_ptr<camsim::CRtspServer>> rtspServers;
  uint16_t httpPort = 0;
};

void PrintStreamUrls(const camsim::CamsimOptions& options, unsigned httpPort, unsigned rtspPort) {
  const char* host = options.bindAddress.c_str();
  const bool anonymous = options.auth == camsim::AuthMode::kNone;
  std::printf(
      "camsim: streams rtsp://%s:%u/h264 (also h264_2), rtsp://%s:%u/jpeg, "
      "rtsp://%s:%u/mpeg4\n",
      host, rtspPort, host, rtspPort, host, rtspPort);
  std::printf(
      "camsim: record from it with\n  ipcap record --address %s --port %u%s%s%s%s "
      "--param 2=%u --codec h264 --seconds 10\n",
      host, httpPort, anonymous ? "" : " --user ", anonymous ? "" : options.user.c_str(),
      anonymous ? "" : " --password ", anonymous ? "" : options.password.c_str(), rtspPort);
}

bool StartRtspServers(CommandLine& line, Camera* camera) {
  camsim::RtspOptions& rtsp = line.rtsp;
  rtsp.bindAddress = line.options.bindAddress;
  rtsp.auth = line.options.auth;
  rtsp.user = line.options.user;
  rtsp.password = line.options.password;
  if (!line.mediaDir.empty()) {
    camsim::Camsim* core = camera->core.get();
    rtsp.clipFor = [core, mediaDir = line.mediaDir](const std::string& uri) {
      return camsim::SelectClipPath(mediaDir, core->Requests(), uri);
    };
  }
  if (rtsp.clipPath.empty() && line.mediaDir.empty()) return true;
  std::string error;
  for (uint32_t i = 0; i < line.rtspServers; ++i) {
    camsim::RtspOptions one = rtsp;
    if (rtsp.port != 0) one.port = uint16_t(rtsp.port + i);
    camera->rtspServers.push_back(std::make_unique<camsim::CRtspServer>(one));
    if (!camera->rtspServers.back()->Start(&error)) {
      std::fprintf(stderr, "camsim: %s\n", error.c_str());
      return false;
    }
    std::printf("camsim: rtsp port %u\n", unsigned(camera->rtspServers.back()->Port()));
  }
  const unsigned rtspPort = camera->rtspServers.front()->Port();
  camera->core->SetRtspPort(uint16_t(rtspPort));
  PrintStreamUrls(line.options, camera->httpPort, rtspPort);
  std::fflush(stdout);
  return true;
}

// 0 when the camera runs, else the exit code.
int StartCamera(CommandLine& line, Camera* camera) {
  const camsim::CamsimOptions& options = line.options;
  camera->core = std::make_unique<camsim::Camsim>(options);
  std::string error;
  if (!camera->core->LoadFixture(&error)) {
    std::fprintf(stderr, "camsim: %s\n", error.c_str());
    return 1;
  }
  camera->http = std::make_unique<camsim::CHttpServer>(*camera->core);
  camera->httpPort = camera->http->Start();
  if (camera->httpPort == 0) {
    std::fprintf(stderr,
                 "camsim: cannot listen on %s:%u (in use, or not an address of this host)\n",
                 options.bindAddress.c_str(), unsigned(options.httpPort));
    return 1;
  }
  std::printf("camsim: http port %u\n", unsigned(camera->httpPort));
  std::fflush(stdout);
  return StartRtspServers(line, camera) ? 0 : 1;
}

// Until SIGINT or SIGTERM; then each RTSP server's count of what it served.
void Run(Camera& camera) {
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGUSR1, OnRestartSignal);
  while (!g_stop) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (g_restart) {
      g_restart = 0;
      for (auto& server : camera.rtspServers) server->RestartCamera();
    }
  }
  for (auto& server : camera.rtspServers) {
    const camsim::RtspStats stats = server->Stats();
    server->Stop();
    std::printf(
        "camsim: rtsp port %u: %llu session(s), %llu frame(s) sent, %llu dropped for want of "
        "keep-alives\n",
        unsigned(server->Port()), static_cast<unsigned long long>(stats.sessionsCreated),
        static_cast<unsigned long long>(stats.framesSent),
        static_cast<unsigned long long>(stats.dropped));
  }
  std::fflush(stdout);
  camera.http->Stop();
}

}  // namespace

int main(int argc, char** argv) {
  CommandLine line;
  const int parsed = ParseCommandLine(argc, argv, &line);
  if (parsed != kContinue) return parsed;
  Camera camera;
  const int started = StartCamera(line, &camera);
  if (started != 0) return started;
  Run(camera);
  return 0;
}
