// ipcap record against the simulator showing the habits of other RTSP
// servers and cameras: every picture recorded is the clip's own, in order.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_camera.h"

namespace {

using e2e::Camera;
using e2e::DefaultOptions;
using e2e::ProcessRun;
using e2e::Shell;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty()) out.push_back(line);
  }
  return out;
}

// The decoded pictures' checksums, in order.
std::vector<std::string> PictureHashes(const std::string& path, const std::string& tag) {
  const ProcessRun r = Shell("ffmpeg -nostdin -v error -i " + path + " -f framemd5 -", tag);
  std::vector<std::string> hashes;
  for (const std::string& line : Lines(r.output)) {
    if (line[0] == '#') continue;
    hashes.push_back(line.substr(line.rfind(',') + 1));
  }
  return hashes;
}

std::vector<size_t> KeyFrames(const std::string& path, const std::string& tag) {
  const ProcessRun r = Shell(
      "ffprobe -v error -select_streams v:0 -show_entries frame=key_frame "
      "-of csv=p=0 " +
          path,
      tag);
  std::vector<size_t> keys;
  const std::vector<std::string> lines = Lines(r.output);
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i][0] == '1') keys.push_back(i);
  }
  return keys;
}

// The decoder's reordering delay for the clips' B pictures, and then some.
constexpr size_t kReorderTail = 4;

struct HabitCase {
  const char* name;
  const char* clip;
  const char* codec;
  std::function<void(camsim::RtspOptions&)> set;
};

TEST(PeerHabits, EveryPictureArrivesAsTheClipHasIt) {
  const HabitCase cases[] = {
      {"no-sprop", "camera_h264_640x480.h264", "h264",
       [](camsim::RtspOptions& o) { o.habits.noSpropParameterSets = true; }},
      {"aud-sei-slices", "h264_high_640x480_slices.h264", "h264",
       [](camsim::RtspOptions& o) { o.habits.audAndSei = true; }},
      {"absolute-control", "camera_h264_320x240.h264", "h264",
       [](camsim::RtspOptions& o) { o.absoluteControl = true; }},
      {"content-base", "camera_h264_320x240.h264", "h264",
       [](camsim::RtspOptions& o) { o.contentBasePath = "/media/stream1/"; }},
      {"sdp-order", "camera_h264_320x240.h264", "h264",
       [](camsim::RtspOptions& o) { o.habits.peerSdpOrder = true; }},
      {"jpeg-tables-in-band", "jpeg_q76_420.mjpeg", "mjpeg",
       [](camsim::RtspOptions& o) { o.habits.jpegTablesInBand = true; }},
      {"jpeg-one-table", "jpeg_onetable_320x240.mjpeg", "mjpeg",
       [](camsim::RtspOptions& o) { o.habits.jpegOneTable = true; }},
  };
  for (const HabitCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string clip = std::string(E2E_MEDIA_DIR) + "/" + c.clip;
    Camera camera(DefaultOptions());
    camera.tuneRtsp = [&](camsim::RtspOptions& o) {
      o.clipFor = nullptr;
      o.clipPath = clip;
      c.set(o);
    };
    ASSERT_TRUE(camera.Start());
    const std::string tag = std::string("habit-") + c.name;
    const std::string out = std::string(E2E_WORK_DIR) + "/" + tag;
    const ProcessRun run =
        Shell(std::string("rm -rf ") + out +
                  "; LD_LIBRARY_PATH=" E2E_LIBRARY_PATH " " E2E_IPCAP
                  " record --library " E2E_LIBRARY " --port " +
                  std::to_string(camera.httpPort) +
                  " --param 2=" + std::to_string(camera.rtsp->Port()) + " --codec " + c.codec +
                  " --format raw --width 320 --height 240 --fps 25 --seconds 5 --out " + out,
              tag);
    ASSERT_EQ(run.status, 0) << run.output;

    const std::vector<std::string> source = PictureHashes(clip, tag + "-src");
    const std::vector<size_t> keys = KeyFrames(clip, tag + "-keys");
    const std::string media =
        out + "/stream0" + (std::string(c.codec) == "h264" ? ".h264" : ".mjpeg");
    const std::vector<std::string> recorded = PictureHashes(media, tag + "-rec");
    ASSERT_FALSE(source.empty());
    ASSERT_FALSE(keys.empty());
    // The camera plays its clip over and over: a run of it from a key frame.
    ASSERT_GE(recorded.size(), 25u) << run.output;
    // The last few pictures of a recording cut inside a group with B
    // pictures come out of the decoder in another order; they are left out.
    const size_t compared = recorded.size() - kReorderTail;
    const auto starts = [&](size_t k) {
      for (size_t i = 0; i < compared; ++i) {
        if (recorded[i] != source[(k + i) % source.size()]) return false;
      }
      return true;
    };
    bool found = false;
    for (size_t k : keys) found = found || starts(k);
    EXPECT_TRUE(found) << recorded.size() << " pictures, not a run of the clip's";
  }
}

}  // namespace
