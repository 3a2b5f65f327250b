// camsim as a tool run by hand: its options are checked before it starts,
// a busy port is refused, what it prints is enough to record from it, and a
// player that asks for RTP on the RTSP connection gets it there.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "e2e_camera.h"

namespace {

using e2e::Shell;

TEST(CamsimTool, OptionsThatDoNotHoldAreUsageErrors) {
  const struct {
    const char* args;
    const char* says;
  } cases[] = {
      {"--rtp-loss 2", "--rtp-loss"},
      {"--rtp-duplicate -0.5", "--rtp-duplicate"},
      {"--media-dir /nonexistent/media", "/nonexistent/media"},
      {"--clip /nonexistent/clip.h264", "/nonexistent/clip.h264"},
      {"--auth kerberos", "--auth"},
  };
  for (const auto& c : cases) {
    const e2e::ProcessRun run =
        Shell(std::string("timeout 10 " E2E_CAMSIM " ") + c.args, "camsim-usage");
    EXPECT_EQ(2, run.status) << c.args << "\n" << run.output;
    EXPECT_NE(std::string::npos, run.output.find(c.says)) << c.args << "\n" << run.output;
  }
}

// A second simulator on the same port must fail, not share the port and
// take half of the first one's clients.
TEST(CamsimTool, BusyPortIsRefusedAndTheFirstOneKeepsServing) {
  e2e::Camera first(e2e::DefaultOptions());
  ASSERT_TRUE(first.Start());
  const std::string port = std::to_string(first.httpPort);
  const e2e::ProcessRun second =
      Shell("timeout 10 " E2E_CAMSIM " --http-port " + port, "camsim-busy");
  EXPECT_EQ(1, second.status) << second.output;
  EXPECT_NE(std::string::npos, second.output.find("cannot listen on 127.0.0.1:" + port))
      << second.output;
}

// What it prints at start names its real RTSP port, the stream URLs and a
// command to record with; its parameter list reports the same port.
TEST(CamsimTool, PrintsItsUrlsAndAReadyCommand) {
  const e2e::ProcessRun run = Shell(
      "(log=" E2E_WORK_DIR "/camsim-urls.log; timeout -s INT 20 " E2E_CAMSIM
      " --media-dir " E2E_MEDIA_DIR
      " >$log 2>&1 & pid=$!; "
      "for i in $(seq 100); do grep -q 'ipcap record' $log && break; sleep 0.1; done; cat $log; "
      "curl -s \"http://127.0.0.1:$(awk '/http port/ {print $4}' $log)"
      "/siqura-cgi/admin/param.cgi?action=list\" | grep RTSP.Port; kill -INT $pid; wait $pid)",
      "camsim-urls");
  const std::string& out = run.output;
  const size_t at = out.find("camsim: rtsp port ");
  ASSERT_NE(std::string::npos, at) << out;
  const std::string rtsp = std::to_string(std::atoi(out.c_str() + at + 18));
  EXPECT_NE(std::string::npos, out.find("rtsp://127.0.0.1:" + rtsp + "/h264")) << out;
  EXPECT_NE(std::string::npos, out.find("ipcap record --address 127.0.0.1 --port ")) << out;
  EXPECT_NE(std::string::npos, out.find("--param 2=" + rtsp + " --codec h264")) << out;
  EXPECT_NE(std::string::npos, out.find("root.Network.RTSP.Port=" + rtsp)) << out;
}

// A player behind a firewall asks for TCP: every codec's frames arrive
// framed on the RTSP connection, and its session ends with the connection.
TEST(CamsimTool, ServesRtpInterleavedOnTheRtspConnection) {
  if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "ffmpeg is not installed: cannot play the stream over TCP";
  }
  e2e::Camera camera(e2e::DefaultOptions());
  ASSERT_TRUE(camera.Start());
  const std::string base = "rtsp://127.0.0.1:" + std::to_string(camera.rtsp->Port()) + "/";
  constexpr int kFrames = 15;
  for (const char* stream : {"h264", "jpeg", "mpeg4"}) {
    const e2e::ProcessRun run =
        Shell(std::string("timeout 20 ffmpeg -nostdin -loglevel error -rtsp_transport tcp -i ") +
                  base + stream + " -frames:v " + std::to_string(kFrames) +
                  " -c copy -f framemd5 - | grep -c '^0,'",
              "camsim-tcp");
    EXPECT_EQ(kFrames, std::atoi(run.output.c_str())) << stream << "\n" << run.output;
  }
  bool askedForTcp = false;
  for (const std::string& request : camera.rtsp->Requests()) {
    askedForTcp |= request.rfind("SETUP", 0) == 0 &&
                   request.find("RTP/AVP/TCP;unicast;interleaved=0-1") != std::string::npos;
  }
  EXPECT_TRUE(askedForTcp);
  const camsim::RtspStats stats = camera.rtsp->Stats();
  EXPECT_EQ(3u, stats.plays);
  EXPECT_EQ(3u, stats.teardowns);
  EXPECT_GE(stats.framesSent, 3u * kFrames);
}

}  // namespace
