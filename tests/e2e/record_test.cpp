// ipcap record against the simulated camera: what arrives decodes, is
// counted, time-stamped and configured as the camera was asked, pictures of
// other servers' habits arrive as their clip has them, and a camera that
// does not stream is explained in the host's log, once.
#include <algorithm>
#include <cmath>
#include <filesystem>

#include "e2e_camera.h"
#include "faults/hostile_peer.h"
#include "platform/socket.h"

namespace {

using namespace e2e;
namespace platform = quenlix::platform;

const std::string kOnline =
    "\\[info 3\\] quenlix::CBaseCameraChannel::SetCameraState: Camera 127\\.0\\.0\\.1 is online";

// A command's output lines but the empty ones.
std::vector<std::string> Lines(const std::string& command) {
  std::vector<std::string> out;
  for (const TimedLine& l : Exec(command).lines) {
    if (!l.text.empty()) out.push_back(l.text);
  }
  return out;
}

// The lines ffprobe prints of a file's first video stream; at least one.
std::vector<std::string> Probe(const std::string& path, const std::string& entries) {
  const std::vector<std::string> out = Lines("ffprobe -v error -select_streams v:0 " + entries +
                                             " -of csv=p=0 " + path + " 2>/dev/null");
  return out.empty() ? std::vector<std::string>{""} : out;
}

// A stream's recording: more than atLeast frames, decodable, their times
// strictly increasing whole UTC stamps within a second of their arrival.
std::vector<Frame> ExpectStream(const std::string& base, const std::string& ext, size_t atLeast) {
  const std::vector<Frame> frames = ReadIndex(base + ".index");
  EXPECT_GT(frames.size(), atLeast) << base;
  const Outcome decode = Exec("ffmpeg -nostdin -v error -xerror -i " + base + ext + " -f null -");
  EXPECT_EQ(decode.status, 0) << decode.text;
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_GE(frames[i].timeMs, 0) << base << " frame " << i;
    EXPECT_LE(std::llabs(frames[i].timeMs - frames[i].receivedMs), 1000) << base << " frame " << i;
    if (i > 0) {
      EXPECT_GT(frames[i].timeMs, frames[i - 1].timeMs) << base << " frame " << i;
    }
  }
  return frames;
}

// A codec's recording: as many frames as the camera sent, of the size asked,
// the last stream update as given; a container carries each frame at its
// time, the first one's UTC time as its creation time (MP4: whole seconds)
// and plays at the camera's rate (whole-ms times may make it 299/12).
Row Codec(const std::string& name, const std::string& ext, const std::string& args, uint32_t width,
          uint32_t height, const std::string& update) {
  const auto facts = [=](Camera& camera, const Outcome&) {
    const std::vector<std::string> updates = camera.Requests("param.cgi?action=update&");
    ASSERT_FALSE(updates.empty());
    EXPECT_EQ(updates.back().substr(updates.back().find('&') + 1), update);
    const std::string base = OutDir(name) + "/stream0";
    const std::vector<Frame> frames = ExpectStream(base, ext, 10);
    ASSERT_FALSE(frames.empty());
    ExpectAllSent(frames.size(), camera);
    EXPECT_EQ(Probe(base + ext, "-count_frames -show_entries stream=nb_read_frames")[0],
              std::to_string(frames.size()));
    for (const Frame& f : frames) {
      EXPECT_EQ(f.width, width);
      EXPECT_EQ(f.height, height);
    }
    if (ext == ".mjpeg") return;
    const std::vector<std::string> packets = Probe(base + ext, "-show_entries packet=pts_time");
    ASSERT_EQ(packets.size(), frames.size());
    for (size_t i = 0; i < frames.size(); ++i) {
      EXPECT_EQ(std::llround(std::atof(packets[i].c_str()) * 1000),
                frames[i].timeMs - frames[0].timeMs)
          << "frame " << i;
    }
    const std::string created = Probe(base + ext, "-show_entries format_tags=creation_time")[0];
    const int64_t unit = ext == ".mp4" ? 1000 : 1;
    EXPECT_EQ(ParseUtc(created.substr(0, 23) + "Z") / unit, frames[0].timeMs / unit) << created;
    const std::string rate = Probe(base + ext, "-show_entries stream=r_frame_rate")[0];
    ASSERT_NE(rate.find('/'), std::string::npos) << rate;
    EXPECT_NEAR(std::atof(rate.c_str()) / std::atof(rate.c_str() + rate.find('/') + 1), kCameraFps,
                0.5)
        << rate;
  };
  return {name, nullptr, {Step("{REC} " + args + " --seconds 4").Once({kOnline}).Facts(facts)}};
}

// The decoder's reordering delay for the clips' B pictures, and then some:
// the last pictures of a recording cut inside such a group come out in
// another order and are left out.
constexpr size_t kReorderTail = 4;

// Every picture of a peer's habit arrives as the clip has it.
Row Habit(const std::string& name, const std::string& clip, const std::string& codec,
          std::function<void(camsim::RtspOptions&)> set) {
  const std::string path = E2E_MEDIA_DIR "/" + clip;
  const std::string ext = codec == "h264" ? ".h264" : ".mjpeg";
  const auto facts = [=](Camera&, const Outcome&) {
    const auto hashes = [](const std::string& media) {
      std::vector<std::string> out;
      for (const std::string& l :
           Lines("ffmpeg -nostdin -v error -i " + media + " -f framemd5 -")) {
        if (l[0] != '#') out.push_back(l.substr(l.rfind(',') + 1));
      }
      return out;
    };
    const std::vector<std::string> source = hashes(path);
    const std::vector<std::string> recorded = hashes(OutDir(name) + "/stream0" + ext);
    const std::vector<std::string> keys = Probe(path, "-show_entries frame=key_frame");
    ASSERT_FALSE(source.empty());
    // The camera plays its clip over and over: a run of it from a key frame.
    ASSERT_GE(recorded.size(), 25u);
    bool found = false;
    for (size_t k = 0; k < keys.size() && !found; ++k) {
      if (keys[k][0] != '1') continue;
      found = true;
      for (size_t i = 0; i + kReorderTail < recorded.size(); ++i) {
        found = found && recorded[i] == source[(k + i) % source.size()];
      }
    }
    EXPECT_TRUE(found) << recorded.size() << " pictures, not a run of the clip's";
  };
  return {name,
          [path, set](CameraOptions& o) {
            o.rtsp.clipPath = path;
            set(o.rtsp);
          },
          {Step("{REC} --codec " + codec +
                " --format raw --width 320 --height 240 --fps 25 --seconds 5")
               .Facts(facts)}};
}

TEST(Record, CodecsStreamsSlowDiskRestartAndPeerHabits) {
  int64_t restartMs = 0;
  RunRows({
      Codec("h264", ".mkv",
            "--codec h264 --width 640 --height 480 --fps 25 --quality 50 --param 4=1", 640, 480,
            "Image.I0.Appearance.Resolution=disable,720p,vga&Image.I0.Appearance.H264Bitrate=4096&"
            "Image.I0.Appearance.H264VideoKeyFrameInterval=25&"
            "Image.I0.Appearance.H264_2VideoKeyFrameInterval=25&Frameskip.H264=0"),
      Codec("mjpeg", ".mjpeg",
            "--codec mjpeg --format raw --width 352 --height 288 --fps 12 --quality 80 --param 4=2",
            352, 288,
            "Image.I0.Appearance.Resolution=cif,disable,cif,disable&"
            "Image.I0.Appearance.MjpegQfactor=56&Frameskip.Mjpeg=1"),
      Codec("mpeg4", ".mp4",
            "--codec mpeg4 --format mp4 --width 320 --height 240 --fps 5 --quality 100", 320, 240,
            "Image.I0.Appearance.Resolution=qvga,qvga,disable,disable&"
            "Image.I0.Appearance.Mpeg4Bitrate=8192&"
            "Image.I0.Appearance.Mpeg4VideoKeyFrameInterval=5&Frameskip.Mpeg4=1"),
      // Two streams on a disk that stands still 900 ms of every second:
      // reception goes on at the camera's pace (a stalled delivery would show
      // as a gap of most of a second in the arrival stamps) and no queued
      // frame is lost.
      {"slow-disk",
       nullptr,
       {Step("{REC} --codec h264 --streams 2 --width 352 --height 288 --seconds 6 "
             "--write-stall 900 --json")
            .Has({"\"dropped\": 0,"})
            .Facts([](Camera& camera, const Outcome&) {
              EXPECT_EQ(camera.rtsp->Stats().sessionsCreated, 2u);
              size_t total = 0;
              for (const char* stream : {"/stream0", "/stream1"}) {
                const std::vector<Frame> frames =
                    ExpectStream(OutDir("slow-disk") + stream, ".mkv", 50);
                total += frames.size();
                int64_t widestGap = 0;
                for (size_t i = 1; i < frames.size(); ++i) {
                  widestGap = std::max(widestGap, frames[i].receivedMs - frames[i - 1].receivedMs);
                }
                EXPECT_LT(widestGap, 500) << stream;
              }
              ExpectAllSent(total, camera, 2);
            })}},
      // Restarted once frames have flowed (after the 2 s port probe): a new
      // time base and sequence, frames resume by the next key frame, 1 s on.
      {"restart",
       nullptr,
       {Step("{REC} --codec h264 --seconds 7")
            .During([&restartMs](Camera& camera) {
              std::this_thread::sleep_for(std::chrono::milliseconds(4000));
              restartMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
              camera.rtsp->RestartCamera();
            })
            .Facts([&restartMs](Camera&, const Outcome&) {
              size_t before = 0, after = 0;
              for (const Frame& f : ExpectStream(OutDir("restart") + "/stream0", ".mkv", 35)) {
                (f.receivedMs < restartMs ? before : after)++;
              }
              EXPECT_GT(before, 10u);
              EXPECT_GT(after, 25u);
            })}},
      Habit("no-sprop", "camera_h264_640x480.h264", "h264",
            [](camsim::RtspOptions& o) { o.habits.noSpropParameterSets = true; }),
      Habit("aud-sei-slices", "h264_high_640x480_slices.h264", "h264",
            [](camsim::RtspOptions& o) { o.habits.audAndSei = true; }),
      Habit("content-base", "camera_h264_320x240.h264", "h264",
            [](camsim::RtspOptions& o) { o.contentBasePath = "/media/stream1/"; }),
      Habit("sdp-order", "camera_h264_320x240.h264", "h264",
            [](camsim::RtspOptions& o) { o.habits.peerSdpOrder = true; }),
      Habit("jpeg-tables-in-band", "jpeg_q76_420.mjpeg", "mjpeg",
            [](camsim::RtspOptions& o) { o.habits.jpegTablesInBand = true; }),
      Habit("jpeg-one-table", "jpeg_onetable_320x240.mjpeg", "mjpeg",
            [](camsim::RtspOptions& o) { o.habits.jpegOneTable = true; }),
  });
}

// Each cause of a camera that does not stream yields its line within 6 s,
// once however often the driver retries (22 s leave room for a second
// session after a signal loss). All side by side: they mostly wait.
TEST(Record, EachSilentCauseIsToldOnce) {
  hostile::SynDropPort dropping;  // drops connection attempts: a connect times out
  const platform::SocketHandle hole = platform::CreateUdpSocket();  // takes RTP, never reads
  platform::BindSocket(hole, platform::InetAddr("127.0.0.1"), 0);
  const uint16_t holePort = platform::LocalPort(hole);
  const std::string rec =
      "{IPCAP} record {LIB} -y --codec h264 --width 640 --height 480 --fps 25 "
      "--out {OUT} --port ";
  const std::string served = rec + "{HTTP} --param 2={RTSP} --seconds 22";
  const std::string step = "\\[error 1\\] quenlix::CBaseRTSPChannel::StartSession: ";
  const std::string url = "rtsp://127\\.0\\.0\\.1:{RTSP}/\\S+";
  const std::string http = "\\[error 1\\] quenlix::CCommonChannel::ConfigureStream: ";
  const std::string path = "/siqura-cgi/admin/param\\.cgi";
  const std::string rtp = "\\[error 1\\] quenlix::CBaseRTPChannel::Run: ";
  const std::string dropped = std::to_string(dropping.Port());
  const auto row = [](const char* name, const std::string& command, const std::string& line,
                      Cause cause, CameraSetup setup = nullptr) -> Row {
    return {name, setup, {Step(command, 1).Once({line}, cause)}};
  };
  const std::vector<Row> rows = {
      row("http-closed", rec + "{CLOSED} --param 2={RTSP} --seconds 22",
          http + "HTTP connection to 127\\.0\\.0\\.1:{CLOSED} refused or unreachable \\(GET " +
              path + "\\)",
          Cause::kStart),
      row("http-silent", rec + "{HTTP} --param 2={RTSP} --seconds 48",
          http + "HTTP request GET " + path +
              " to 127\\.0\\.0\\.1:{HTTP} got no answer within 40 s",
          Cause::kDeadline,
          [](CameraOptions& o) { o.cgi.fault.mode = camsim::FaultMode::kNoAnswer; }),
      row("http-credentials", served + " --user admin --password wrong",
          http +
              "Camera 127\\.0\\.0\\.1:{HTTP} refused the HTTP credentials of user \"admin\" "
              "\\(GET " +
              path + "\\)",
          Cause::kStart, [](CameraOptions& o) { o.cgi.auth = camsim::AuthMode::kBasic; }),
      // A status the camera answers with keeps the line hosts already know.
      row("http-500", served,
          "\\[error 1\\] quenlix::HUtils::RequestGetRD: 127\\.0\\.0\\.1:{HTTP} sent does not "
          "process request \"" +
              path + "\\?action=update&.*\", status code = 500",
          Cause::kStart,
          [](CameraOptions& o) {
            o.cgi.fault.mode = camsim::FaultMode::kStatus;
            o.cgi.fault.status = 500;
          }),
      row("rtsp-closed", rec + "{HTTP} --param 2={CLOSED} --seconds 22",
          step + "RTSP connection to 127\\.0\\.0\\.1:{CLOSED} refused", Cause::kStart),
      row("rtsp-syn-dropped", rec + "{HTTP} --param 2=" + dropped + " --seconds 48",
          step + "RTSP connection to 127\\.0\\.0\\.1:" + dropped + " timed out after 40 s",
          Cause::kDeadline),
      row("describe-404", served, step + "DESCRIBE " + url + " answered 404 Not Found",
          Cause::kStart,
          [](CameraOptions& o) {
            o.rtsp.clipFor = [](const std::string&) { return std::string(); };
          }),
      row("play-454", served, step + "PLAY " + url + " answered 454 Session Not Found",
          Cause::kStart, [](CameraOptions& o) { o.rtsp.faults.answer454 = true; }),
      row("reply-cut", served, step + "DESCRIBE " + url + " got a reply cut off before its end",
          Cause::kStart, [](CameraOptions& o) { o.rtsp.faults.closeMidReply = true; }),
      row("firewalled", served,
          rtp + "no RTP from 127\\.0\\.0\\.1 reaches UDP port \\d+: check firewalls and NAT "
                "between camera and recorder",
          Cause::kPlay,
          [holePort](CameraOptions& o) { o.rtsp.faults.stream.rtpToPort = holePort; }),
      row("fu-b", served,
          rtp + "RTP from 127\\.0\\.0\\.1 reaches UDP port \\d+ but every frame was dropped for "
                "5 s \\(.*unsupported payload: \\d+.*\\)",
          Cause::kPlay, [](CameraOptions& o) { o.rtsp.faults.stream.h264FuB = true; }),
      // A run without a frame leaves no file, not even its directory.
      {"credentials",
       [](CameraOptions& o) {
         o.cgi.auth = camsim::AuthMode::kDigest;
         o.cgi.password = "secret";
       },
       {Step("{REC} --codec h264 --user admin --password wrong --seconds 4", 1)
            .Has({"ipcap: no frame arrived", "!, streaming", "!is online"})
            .Facts([](Camera& camera, const Outcome&) {
              EXPECT_EQ(camera.rtsp->Stats().plays, 0u);
              EXPECT_FALSE(std::filesystem::exists(OutDir("credentials")));
            })}},
  };
  RunRows(rows, true);
  platform::CloseSocket(hole);
}

// Apart from the batch above: its stream must start, which a loaded machine
// running the batch beside it may delay past the DESCRIBE time-out.
TEST(Record, SilentStreamIsToldOnce) {
  const std::vector<Row> rows = {
      // The streaming service goes away while the CGI still answers: the
      // signal time-out (10 s) passes, each change is told once and the lost
      // camera is not logged as an ordinary stop; the host's OnSignalLost
      // comes after twice that, counted in the summary.
      {"silent",
       nullptr,
       {Step("{REC} --codec h264 --seconds 36")
            .Has({"!Channel was stopped"})
            .Once({kOnline,
                   "\\[error 1\\] quenlix::CBaseCameraChannel::SetCameraState: Signal "
                   "was lost for camera 127\\.0\\.0\\.1 \\(channel 0\\)"})
            .During([](Camera& camera) {
              std::this_thread::sleep_for(std::chrono::milliseconds(5000));
              camera.rtsp->Stop();
            })
            .Facts([](Camera&, const Outcome& run) {
              EXPECT_LT(run.text.find("is online"), run.text.find("Signal was lost"));
              EXPECT_TRUE(std::regex_search(run.text, std::regex(", [1-9][0-9]* signal lost")))
                  << run.text;
            })}},
  };
  RunRows(rows);
}

}  // namespace
