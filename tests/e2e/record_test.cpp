// ipcap record against the simulated camera: what arrives decodes, is
// counted, time-stamped and configured as the camera was asked, and the
// camera's failures show up as the host sees them.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e_camera.h"

namespace {

using e2e::Camera;
using e2e::DefaultOptions;
using e2e::ProcessRun;
using e2e::ReadFile;
using e2e::Shell;

constexpr const char* kUpdatePrefix = "/siqura-cgi/admin/param.cgi?action=update";

std::string OutDir(const std::string& tag) { return std::string(E2E_WORK_DIR) + "/" + tag; }

ProcessRun Record(const Camera& camera, const std::string& tag, const std::string& args) {
  std::system(("rm -rf " + OutDir(tag)).c_str());
  const std::string command = std::string("LD_LIBRARY_PATH=" E2E_LIBRARY_PATH " " E2E_IPCAP
                                          " record --library " E2E_LIBRARY) +
                              " --port " + std::to_string(camera.httpPort) +
                              " --param 2=" + std::to_string(camera.rtsp->Port()) + " --out " +
                              OutDir(tag) + " " + args;
  return Shell(command, tag);
}

struct Frame {
  int64_t timeMs = 0;
  std::string type;
  uint64_t bytes = 0;
  uint32_t width = 0, height = 0;
  int64_t receivedMs = 0;
};

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = unsigned(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + int64_t(doe) - 719468;
}

// "YYYY-MM-DDTHH:MM:SS.mmmZ" as milliseconds since 1970; -1 when malformed.
int64_t ParseUtc(const std::string& text) {
  int y, mo, d, h, mi, s, ms;
  if (text.size() != 24 || text.back() != 'Z' ||
      std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d", &y, &mo, &d, &h, &mi, &s, &ms) !=
          7) {
    return -1;
  }
  return ((DaysFromCivil(y, unsigned(mo), unsigned(d)) * 24 + h) * 60 + mi) * 60000 + s * 1000 + ms;
}

std::vector<Frame> ReadIndex(const std::string& path) {
  std::vector<Frame> frames;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string time, received;
    Frame f;
    fields >> time >> f.type >> f.bytes >> f.width >> f.height >> received;
    f.timeMs = ParseUtc(time);
    f.receivedMs = ParseUtc(received);
    frames.push_back(f);
  }
  return frames;
}

bool Decodes(const std::string& path, const std::string& tag) {
  return Shell("ffmpeg -nostdin -v error -xerror -i " + path + " -f null -", tag + "-decode")
             .status == 0;
}

int DecodedFrames(const std::string& path, const std::string& tag) {
  const ProcessRun r = Shell(
      "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
      "stream=nb_read_frames -of csv=p=0 " +
          path,
      tag + "-probe");
  return r.status == 0 ? std::atoi(r.output.c_str()) : -1;
}

// The update requests the camera received, each split into its parameters.
std::vector<std::vector<std::string>> UpdateRequests(const camsim::Camsim& core) {
  std::vector<std::vector<std::string>> out;
  for (const std::string& r : core.Requests()) {
    if (r.rfind(kUpdatePrefix, 0) != 0) continue;
    std::vector<std::string> params;
    std::istringstream s(r.substr(std::char_traits<char>::length(kUpdatePrefix)));
    std::string p;
    while (std::getline(s, p, '&')) {
      if (!p.empty()) params.push_back(p);
    }
    out.push_back(params);
  }
  return out;
}

// Frame times strictly increase, are whole UTC stamps and lie within a
// second of the wall clock at arrival.
void ExpectTimesSound(const std::vector<Frame>& frames, const std::string& what) {
  for (size_t i = 0; i < frames.size(); ++i) {
    ASSERT_GE(frames[i].timeMs, 0) << what << " frame " << i;
    EXPECT_LE(std::llabs(frames[i].timeMs - frames[i].receivedMs), 1000) << what << " frame " << i;
    if (i > 0) {
      EXPECT_GT(frames[i].timeMs, frames[i - 1].timeMs) << what << " frame " << i;
    }
  }
}

// The packet times of a container recording, in ms from its first.
std::vector<int64_t> PacketTimesMs(const std::string& path, const std::string& tag) {
  const ProcessRun r = Shell(
      "ffprobe -v error -select_streams v:0 -show_entries packet=pts_time "
      "-of csv=p=0 " +
          path + " 2>/dev/null",
      tag + "-packets");
  std::vector<int64_t> times;
  std::istringstream lines(r.output);
  std::string line;
  while (std::getline(lines, line)) times.push_back(std::llround(std::atof(line.c_str()) * 1000));
  return times;
}

std::string Probe(const std::string& path, const std::string& entry, const std::string& tag) {
  const ProcessRun r = Shell("ffprobe -v error -select_streams v:0 -show_entries " + entry +
                                 " -of default=nw=1:nk=1 " + path + " 2>/dev/null",
                             tag + "-" + entry.substr(entry.find('=') + 1));
  return r.output.substr(0, r.output.find('\n'));
}

// A container recording carries each indexed frame at its frame time, its
// first frame's UTC time as the file's creation time, and plays at the
// camera's rate.
void ExpectContainerMatchesIndex(const std::string& media, const std::vector<Frame>& frames,
                                 const std::string& tag) {
  const std::vector<int64_t> packets = PacketTimesMs(media, tag);
  ASSERT_EQ(packets.size(), frames.size());
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(packets[i], frames[i].timeMs - frames[0].timeMs) << "frame " << i;
  }
  // MP4 keeps whole seconds of it.
  const std::string created = Probe(media, "format_tags=creation_time", tag);
  const int64_t createdMs = ParseUtc(created.substr(0, 23) + "Z");
  const bool mp4 = media.substr(media.size() - 4) == ".mp4";
  EXPECT_EQ(mp4 ? createdMs / 1000 : createdMs, mp4 ? frames[0].timeMs / 1000 : frames[0].timeMs)
      << created;
  // Frame times are whole milliseconds, so the guessed rate may be a near
  // fraction such as 299/12.
  const std::string rate = Probe(media, "stream=r_frame_rate", tag);
  const size_t slash = rate.find('/');
  ASSERT_NE(slash, std::string::npos) << rate;
  EXPECT_NEAR(std::atof(rate.c_str()) / std::atof(rate.c_str() + slash + 1), e2e::kCameraFps, 0.5)
      << rate;
}

struct CodecCase {
  const char* codec;
  const char* extension;  // from the format: mkv by default
  const char* args;
  uint32_t width, height;
  std::vector<std::string> update;
};

TEST(Record, EachCodecRecordsDecodableTimedFramesAsConfigured) {
  const CodecCase cases[] = {
      {"h264",
       ".mkv",
       "--codec h264 --width 640 --height 480 --fps 25 --quality 50 --param 4=1",
       640,
       480,
       {"Image.I0.Appearance.Resolution=disable,720p,vga", "Image.I0.Appearance.H264Bitrate=4096",
        "Image.I0.Appearance.H264VideoKeyFrameInterval=25",
        "Image.I0.Appearance.H264_2VideoKeyFrameInterval=25", "Frameskip.H264=0"}},
      {"mjpeg",
       ".mjpeg",
       "--codec mjpeg --format raw --width 352 --height 288 --fps 12 --quality 80 --param 4=2",
       352,
       288,
       {"Image.I0.Appearance.Resolution=cif,disable,cif,disable",
        "Image.I0.Appearance.MjpegQfactor=56", "Frameskip.Mjpeg=1"}},
      {"mpeg4",
       ".mp4",
       "--codec mpeg4 --format mp4 --width 320 --height 240 --fps 5 --quality 100",
       320,
       240,
       {"Image.I0.Appearance.Resolution=qvga,qvga,disable,disable",
        "Image.I0.Appearance.Mpeg4Bitrate=8192", "Image.I0.Appearance.Mpeg4VideoKeyFrameInterval=5",
        "Frameskip.Mpeg4=1"}},
  };
  for (const CodecCase& c : cases) {
    SCOPED_TRACE(c.codec);
    Camera camera(DefaultOptions());
    ASSERT_TRUE(camera.Start());
    const std::string tag = std::string("codec-") + c.codec;
    const ProcessRun run = Record(camera, tag, std::string(c.args) + " --seconds 4");
    const uint64_t sent = camera.rtsp->Stats().framesSent;
    ASSERT_EQ(run.status, 0) << run.output;

    const std::vector<std::vector<std::string>> updates = UpdateRequests(camera.core);
    ASSERT_FALSE(updates.empty());
    EXPECT_EQ(updates.back(), c.update);

    const std::string media = OutDir(tag) + "/stream0" + c.extension;
    const std::vector<Frame> frames = ReadIndex(OutDir(tag) + "/stream0.index");
    ASSERT_GT(frames.size(), 10u);
    EXPECT_LE(std::llabs(int64_t(frames.size()) - int64_t(sent)), 1) << "camera sent " << sent;
    EXPECT_TRUE(Decodes(media, tag))
        << ReadFile(std::string(E2E_WORK_DIR) + "/" + tag + "-decode.out");
    EXPECT_EQ(DecodedFrames(media, tag), int(frames.size()));
    ExpectTimesSound(frames, c.codec);
    if (std::string(c.extension) != ".mjpeg") ExpectContainerMatchesIndex(media, frames, tag);
    for (const Frame& f : frames) {
      EXPECT_EQ(f.width, c.width);
      EXPECT_EQ(f.height, c.height);
    }
    EXPECT_NE(run.output.find("[info 3] quenlix::CBaseCameraChannel::SetCameraState: Camera "
                              "127.0.0.1 is online"),
              std::string::npos)
        << run.output;
  }
}

TEST(Record, TwoStreamsAtOnce) {
  Camera camera(DefaultOptions());
  ASSERT_TRUE(camera.Start());
  const ProcessRun run =
      Record(camera, "two", "--codec h264 --streams 2 --width 352 --height 288 --seconds 4");
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(camera.rtsp->Stats().sessionsCreated, 2u);
  const uint64_t sent = camera.rtsp->Stats().framesSent;
  size_t total = 0;
  for (int i = 0; i < 2; ++i) {
    const std::string base = OutDir("two") + "/stream" + std::to_string(i);
    const std::vector<Frame> frames = ReadIndex(base + ".index");
    EXPECT_GT(frames.size(), 10u) << i;
    EXPECT_TRUE(Decodes(base + ".mkv", "two-" + std::to_string(i)));
    ExpectTimesSound(frames, "stream " + std::to_string(i));
    total += frames.size();
  }
  EXPECT_LE(std::llabs(int64_t(total) - int64_t(sent)), 2) << "camera sent " << sent;
}

// A disk that stands still 900 ms of every second: reception goes on at the
// camera's pace and every queued frame is written before the files close.
TEST(Record, ASlowDiskHoldsUpNoStreamAndLosesNoQueuedFrame) {
  Camera camera(DefaultOptions());
  ASSERT_TRUE(camera.Start());
  const ProcessRun run = Record(camera, "slow-disk",
                                "--codec h264 --width 352 --height 288 --seconds 6 "
                                "--write-stall 900 --json");
  ASSERT_EQ(run.status, 0) << run.output;
  const uint64_t sent = camera.rtsp->Stats().framesSent;
  const std::vector<Frame> frames = ReadIndex(OutDir("slow-disk") + "/stream0.index");
  ASSERT_GT(frames.size(), 50u);
  EXPECT_LE(std::llabs(int64_t(frames.size()) - int64_t(sent)), 1) << "camera sent " << sent;
  EXPECT_NE(run.output.find("\"dropped\": 0,"), std::string::npos) << run.output;
  // Arrival is stamped as the driver delivers; a stalled delivery would show
  // as a gap of most of a second, then a burst.
  int64_t widestGap = 0;
  for (size_t i = 1; i < frames.size(); ++i) {
    widestGap = std::max(widestGap, frames[i].receivedMs - frames[i - 1].receivedMs);
  }
  EXPECT_LT(widestGap, 500);
  EXPECT_TRUE(Decodes(OutDir("slow-disk") + "/stream0.mkv", "slow-disk"));
}

TEST(Record, CameraRestartMidRecordingIsRecovered) {
  Camera camera(DefaultOptions());
  ASSERT_TRUE(camera.Start());
  ProcessRun run;
  std::thread host([&] { run = Record(camera, "restart", "--codec h264 --seconds 7"); });
  // The port probe takes 2 s; restart once frames have flowed for a while.
  std::this_thread::sleep_for(std::chrono::milliseconds(4000));
  const int64_t restartMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
  camera.rtsp->RestartCamera();
  host.join();
  ASSERT_EQ(run.status, 0) << run.output;
  const std::vector<Frame> frames = ReadIndex(OutDir("restart") + "/stream0.index");
  size_t before = 0, after = 0;
  for (const Frame& f : frames) (f.receivedMs < restartMs ? before : after)++;
  EXPECT_GT(before, 10u);
  // A new time base and sequence; frames resume at the latest at the next
  // key frame, one second later.
  EXPECT_GT(after, 25u) << run.output;
  EXPECT_TRUE(Decodes(OutDir("restart") + "/stream0.mkv", "restart"));
  ExpectTimesSound(frames, "restart");
}

TEST(Record, WrongCredentialsNeverStream) {
  camsim::CamsimOptions o = DefaultOptions();
  o.auth = camsim::AuthMode::kDigest;
  o.user = "admin";
  o.password = "secret";
  Camera camera(o);
  ASSERT_TRUE(camera.Start());
  const ProcessRun run =
      Record(camera, "credentials", "--codec h264 --user admin --password wrong --seconds 4");
  EXPECT_NE(run.status, 0);
  EXPECT_EQ(run.output.find(", streaming"), std::string::npos) << run.output;
  EXPECT_EQ(run.output.find("is online"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("ipcap: no frame arrived"), std::string::npos) << run.output;
  EXPECT_EQ(camera.rtsp->Stats().plays, 0u);
  // A run without a frame leaves no file, not even its directory.
  EXPECT_FALSE(std::filesystem::exists(OutDir("credentials")));
}

// The camera's streaming service goes away while its CGI still answers.
// Waits out the driver's fixed signal time-out (10 s) and twice that.
TEST(Record, SilentCameraIsReportedAsSignalLost) {
  Camera camera(DefaultOptions());
  ASSERT_TRUE(camera.Start());
  ProcessRun run;
  std::thread host([&] { run = Record(camera, "silent", "--codec h264 --seconds 36"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(5000));
  camera.rtsp->Stop();
  host.join();
  const std::string prefix = "quenlix::CBaseCameraChannel::SetCameraState: ";
  const std::string online = "[info 3] " + prefix + "Camera 127.0.0.1 is online\n";
  const std::string lost =
      "[error 1] " + prefix + "Signal was lost for camera 127.0.0.1 (channel 0)\n";
  const size_t atOnline = run.output.find(online);
  const size_t atLost = run.output.find(lost);
  ASSERT_NE(atOnline, std::string::npos) << run.output;
  ASSERT_NE(atLost, std::string::npos) << run.output;
  EXPECT_LT(atOnline, atLost);
  // Each change is reported once: no second online, no second loss, and the
  // lost camera is not logged as an ordinary stop.
  EXPECT_EQ(run.output.find(online, atOnline + 1), std::string::npos) << run.output;
  EXPECT_EQ(run.output.find(lost, atLost + 1), std::string::npos) << run.output;
  EXPECT_EQ(run.output.find("Channel was stopped"), std::string::npos) << run.output;
  // The host's OnSignalLost once frames have stayed away twice the time-out,
  // counted in the summary.
  EXPECT_TRUE(std::regex_search(run.output, std::regex(", [1-9][0-9]* signal lost"))) << run.output;
  EXPECT_EQ(run.status, 0);
}

}  // namespace
