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

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

// SIGUSR1: the camera restarts its streams (new SSRC, sequence, time base).
volatile std::sig_atomic_t g_restart = 0;
void OnRestartSignal(int) { g_restart = 1; }

}  // namespace

int main(int argc, char** argv) {
  camsim::CamsimOptions options;
  std::string auth = "none";
  std::string fault = "none";

  CLI::App app{"camsim: camera simulator (HTTP CGI)"};
  app.add_option("--bind", options.bindAddress, "address to listen on")->capture_default_str();
  app.add_option("--http-port", options.httpPort, "HTTP port, 0 for any free port")
      ->capture_default_str();
  app.add_option("--fixture", options.fixture, "camera model: fixture name or file path")
      ->capture_default_str();
  app.add_option("--fixture-dir", options.fixtureDir, "directory of the fixture files")
      ->capture_default_str();
  app.add_option("--auth", auth, "none, basic or digest")->capture_default_str();
  app.add_option("--user", options.user, "user name the CGI accepts")->capture_default_str();
  app.add_option("--password", options.password, "password the CGI accepts")->capture_default_str();
  app.add_option("--request-log", options.requestLog, "file that receives each CGI request");
  app.add_option("--fault", fault,
                 "none, status:N, empty, slow:MS, noanswer, close or endless (changeable at "
                 "/camsim/fault?set=...)")
      ->capture_default_str();
  camsim::RtspOptions rtsp;
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
  app.add_option("--rtp-loss", rtsp.faults.stream.lossRate, "share of RTP packets dropped")
      ->check(CLI::Range(0.0, 1.0));
  app.add_option("--rtp-reorder", rtsp.faults.stream.reorderRate,
                 "share of RTP packets held back one place")
      ->check(CLI::Range(0.0, 1.0));
  app.add_option("--rtp-duplicate", rtsp.faults.stream.duplicateRate,
                 "share of RTP packets sent twice")
      ->check(CLI::Range(0.0, 1.0));
  app.add_option("--rtp-to-port", rtsp.faults.stream.rtpToPort,
                 "send RTP to this port instead of the client's, as a firewall or NAT that "
                 "loses it would");
  app.add_flag("--h264-fu-b", rtsp.faults.stream.h264FuB,
               "send the first fragment of each H.264 unit as FU-B, which many receivers refuse");
  app.add_option("--rtp-jitter", rtsp.faults.stream.jitterMs,
                 "each RTP packet delayed by a random 0 to 2 x MS, so its delay varies by +-MS "
                 "and later packets may overtake it");
  app.add_option("--rtp-burst", rtsp.faults.stream.burstLoss,
                 "RTP packets lost in a row, every 4 s from 2 s on");
  app.add_option("--session-frames", rtsp.faults.stream.frameLimit,
                 "frames each session sends before its RTP falls silent (0: no end); load "
                 "runs count against it");
  // Habits of other servers and cameras.
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
  std::string mediaDir;
  uint32_t rtspServers = 1;
  app.add_option("--media-dir", mediaDir,
                 "directory of camera_<codec>_<w>x<h> clips; each stream plays the one its last "
                 "stream update asked for (enables RTSP)")
      ->check(CLI::ExistingDirectory);
  app.add_option("--streams", rtspServers,
                 "RTSP servers to run, on consecutive ports from --rtsp-port (or any free ports)")
      ->check(CLI::Range(1, 1000))
      ->capture_default_str();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help is not a failure; any option that does not hold is a usage error.
    return app.exit(e) == 0 ? 0 : kUsageError;
  }

  if (!camsim::ParseAuthMode(auth, &options.auth)) {
    std::fprintf(stderr, "camsim: unknown --auth \"%s\"\n", auth.c_str());
    return kUsageError;
  }
  if (!camsim::ParseFault(fault, &options.fault)) {
    std::fprintf(stderr, "camsim: unknown --fault \"%s\"\n", fault.c_str());
    return kUsageError;
  }

  camsim::Camsim core(options);
  std::string error;
  if (!core.LoadFixture(&error)) {
    std::fprintf(stderr, "camsim: %s\n", error.c_str());
    return 1;
  }
  camsim::CHttpServer http(core);
  const uint16_t port = http.Start();
  if (port == 0) {
    std::fprintf(stderr,
                 "camsim: cannot listen on %s:%u (in use, or not an address of this host)\n",
                 options.bindAddress.c_str(), unsigned(options.httpPort));
    return 1;
  }
  std::printf("camsim: http port %u\n", unsigned(port));
  std::fflush(stdout);

  rtsp.bindAddress = options.bindAddress;
  rtsp.auth = options.auth;
  rtsp.user = options.user;
  rtsp.password = options.password;
  if (!mediaDir.empty()) {
    rtsp.clipFor = [&core, mediaDir](const std::string& uri) {
      return camsim::SelectClipPath(mediaDir, core.Requests(), uri);
    };
  }
  std::vector<std::unique_ptr<camsim::CRtspServer>> rtspServerList;
  if (!rtsp.clipPath.empty() || !mediaDir.empty()) {
    for (uint32_t i = 0; i < rtspServers; ++i) {
      camsim::RtspOptions one = rtsp;
      if (rtsp.port != 0) one.port = uint16_t(rtsp.port + i);
      rtspServerList.push_back(std::make_unique<camsim::CRtspServer>(one));
      if (!rtspServerList.back()->Start(&error)) {
        std::fprintf(stderr, "camsim: %s\n", error.c_str());
        return 1;
      }
      std::printf("camsim: rtsp port %u\n", unsigned(rtspServerList.back()->Port()));
    }
    const unsigned rtspPort = rtspServerList.front()->Port();
    core.SetRtspPort(uint16_t(rtspPort));
    const char* host = options.bindAddress.c_str();
    std::printf(
        "camsim: streams rtsp://%s:%u/h264 (also h264_2), rtsp://%s:%u/jpeg, "
        "rtsp://%s:%u/mpeg4\n",
        host, rtspPort, host, rtspPort, host, rtspPort);
    std::printf(
        "camsim: record from it with\n  ipcap record --address %s --port %u%s%s%s%s "
        "--param 2=%u --codec h264 --seconds 10\n",
        host, unsigned(port), options.auth == camsim::AuthMode::kNone ? "" : " --user ",
        options.auth == camsim::AuthMode::kNone ? "" : options.user.c_str(),
        options.auth == camsim::AuthMode::kNone ? "" : " --password ",
        options.auth == camsim::AuthMode::kNone ? "" : options.password.c_str(), rtspPort);
    std::fflush(stdout);
  }

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGUSR1, OnRestartSignal);
  while (!g_stop) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (g_restart) {
      g_restart = 0;
      for (auto& server : rtspServerList) server->RestartCamera();
    }
  }
  for (auto& server : rtspServerList) {
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
  http.Stop();
  return 0;
}
