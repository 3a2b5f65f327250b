#include "channels/stream_configuration.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quenlix {
namespace {

constexpr int32_t kAbsent = kNoValue;

STREAM_CONFIGURATION Config(StreamCodec codec, uint32_t width, uint32_t height, uint32_t intervalMs,
                            uint32_t quality, int32_t group, uint32_t standard = 0) {
  STREAM_CONFIGURATION c;
  c.codec = codec;
  c.settings.width = width;
  c.settings.height = height;
  c.settings.frameIntervalMs = intervalMs;
  c.settings.quality = quality;
  c.cameraGroup = group;
  c.videoStandard = standard;
  return c;
}

// The request's parameters after the update path, one "key=value" each.
std::vector<std::string> Parameters(const std::string& request) {
  std::vector<std::string> out;
  const std::string prefix = kStreamUpdatePath;
  if (request.compare(0, prefix.size(), prefix) != 0) return {"<wrong path>"};
  size_t at = prefix.size();
  while (at < request.size()) {
    if (request[at] != '&') return {"<no ampersand>"};
    const size_t next = request.find('&', at + 1);
    out.push_back(request.substr(at + 1, next == std::string::npos ? next : next - at - 1));
    at = next == std::string::npos ? request.size() : next;
  }
  return out;
}

struct RequestCase {
  const char* name;
  STREAM_CONFIGURATION config;
  std::vector<std::string> expected;
};

TEST(StreamConfiguration, UpdateRequestCarriesParametersInOrder) {
  const RequestCase cases[] = {
      {"h264 vga pal 25fps q50 group1",
       Config(StreamCodec::kH264, 640, 480, 40, 50, 1),
       {"Image.I0.Appearance.Resolution=disable,720p,vga", "Image.I0.Appearance.H264Bitrate=4096",
        "Image.I0.Appearance.H264VideoKeyFrameInterval=25",
        "Image.I0.Appearance.H264_2VideoKeyFrameInterval=25", "Frameskip.H264=0"}},
      {"h264 1080p group1",
       Config(StreamCodec::kH264, 1920, 1080, 40, 100, 1),
       {"Image.I0.Appearance.Resolution=disable,1080p,disable",
        "Image.I0.Appearance.H264Bitrate=8192", "Image.I0.Appearance.H264VideoKeyFrameInterval=25",
        "Image.I0.Appearance.H264_2VideoKeyFrameInterval=25", "Frameskip.H264=0"}},
      {"h264 720p absent group",
       Config(StreamCodec::kH264, 1280, 720, 100, 0, kAbsent),
       {"Image.I0.Appearance.Resolution=720p,720p,disable", "Image.I0.Appearance.H264Bitrate=1024",
        "Image.I0.Appearance.H264VideoKeyFrameInterval=10",
        "Image.I0.Appearance.H264_2VideoKeyFrameInterval=10", "Frameskip.H264=0"}},
      {"h264 quadvga group1 2fps",
       Config(StreamCodec::kH264, 1280, 960, 500, 20, 1),
       {"Image.I0.Appearance.Resolution=disable,720p,quadvga",
        "Image.I0.Appearance.H264Bitrate=2048", "Image.I0.Appearance.H264VideoKeyFrameInterval=2",
        "Image.I0.Appearance.H264_2VideoKeyFrameInterval=2", "Frameskip.H264=3"}},
      {"h264 cif pal group2 5fps",
       Config(StreamCodec::kH264, 352, 288, 200, 79, 2),
       {"Image.I0.Appearance.Resolution=cif,disable,cif,disable",
        "Image.I0.Appearance.H264Bitrate=6144", "Image.I0.Appearance.H264VideoKeyFrameInterval=5",
        "Image.I0.Appearance.H264_2VideoKeyFrameInterval=5", "Frameskip.H264=2"}},
      {"h264 group3",
       Config(StreamCodec::kH264, 352, 288, 40, 50, 3),
       {"Image.I0.Appearance.Resolution=vga,vga,disable,disable",
        "Image.I0.Appearance.H264Bitrate=4096", "Image.I0.Appearance.H264VideoKeyFrameInterval=25",
        "Image.I0.Appearance.H264_2VideoKeyFrameInterval=25", "Frameskip.H264=0"}},
      {"mjpeg q0 group1",
       Config(StreamCodec::kMjpeg, 352, 288, 333, 0, 1),
       {"Image.I0.Appearance.Resolution=cif,720p,disable", "Image.I0.Appearance.MjpegQfactor=1",
        "Frameskip.Mjpeg=2"}},
      {"mjpeg q100 1080p",
       Config(StreamCodec::kMjpeg, 1920, 1080, 40, 100, 1),
       {"Image.I0.Appearance.Resolution=1080p,disable,disable",
        "Image.I0.Appearance.MjpegQfactor=70", "Frameskip.Mjpeg=0"}},
      {"mjpeg quadvga group2 7fps",
       Config(StreamCodec::kMjpeg, 1280, 960, 142, 50, 2),
       {"Image.I0.Appearance.Resolution=quadvga,disable,quadvga,disable",
        "Image.I0.Appearance.MjpegQfactor=35", "Frameskip.Mjpeg=1"}},
      {"mjpeg group3 sends an empty resolution",
       Config(StreamCodec::kMjpeg, 640, 480, 40, 50, 3),
       {"Image.I0.Appearance.Resolution=", "Image.I0.Appearance.MjpegQfactor=35",
        "Frameskip.Mjpeg=0"}},
      {"mpeg4 q100 any group",
       Config(StreamCodec::kMpeg4, 720, 576, 40, 100, 7),
       {"Image.I0.Appearance.Resolution=d1,d1,disable,disable",
        "Image.I0.Appearance.Mpeg4Bitrate=8192",
        "Image.I0.Appearance.Mpeg4VideoKeyFrameInterval=25", "Frameskip.Mpeg4=0"}},
      {"mpeg4 q50 group2 12fps",
       Config(StreamCodec::kMpeg4, 320, 240, 80, 50, 2),
       {"Image.I0.Appearance.Resolution=qvga,qvga,disable,disable",
        "Image.I0.Appearance.Mpeg4Bitrate=4096",
        "Image.I0.Appearance.Mpeg4VideoKeyFrameInterval=12", "Frameskip.Mpeg4=1"}},
      {"800x600 configures vga",
       Config(StreamCodec::kH264, 800, 600, 40, 50, 1),
       {"Image.I0.Appearance.Resolution=disable,720p,vga", "Image.I0.Appearance.H264Bitrate=4096",
        "Image.I0.Appearance.H264VideoKeyFrameInterval=25",
        "Image.I0.Appearance.H264_2VideoKeyFrameInterval=25", "Frameskip.H264=0"}},
      // A zero interval asks for 25 fps instead of dividing by zero.
      {"interval 0",
       Config(StreamCodec::kMpeg4, 352, 288, 0, 50, 1),
       {"Image.I0.Appearance.Resolution=cif,cif,disable,disable",
        "Image.I0.Appearance.Mpeg4Bitrate=4096",
        "Image.I0.Appearance.Mpeg4VideoKeyFrameInterval=25", "Frameskip.Mpeg4=0"}},
      // Slower than one frame a second still asks for a key frame per frame.
      {"interval 2000 ms group2",
       Config(StreamCodec::kH264, 352, 288, 2000, 50, 2),
       {"Image.I0.Appearance.Resolution=cif,disable,cif,disable",
        "Image.I0.Appearance.H264Bitrate=4096", "Image.I0.Appearance.H264VideoKeyFrameInterval=1",
        "Image.I0.Appearance.H264_2VideoKeyFrameInterval=1", "Frameskip.H264=3"}},
      // Quality past 100 is held at 100, also where the product would wrap.
      {"quality 4000000000 mjpeg",
       Config(StreamCodec::kMjpeg, 352, 288, 40, 4000000000u, 1),
       {"Image.I0.Appearance.Resolution=cif,720p,disable", "Image.I0.Appearance.MjpegQfactor=70",
        "Frameskip.Mjpeg=0"}},
      {"quality 200 mpeg4",
       Config(StreamCodec::kMpeg4, 352, 288, 40, 200, 1),
       {"Image.I0.Appearance.Resolution=cif,cif,disable,disable",
        "Image.I0.Appearance.Mpeg4Bitrate=8192",
        "Image.I0.Appearance.Mpeg4VideoKeyFrameInterval=25", "Frameskip.Mpeg4=0"}},
  };
  for (const RequestCase& c : cases) {
    EXPECT_EQ(Parameters(BuildStreamUpdateRequest(c.config)), c.expected) << c.name;
  }
}

TEST(StreamConfiguration, ResolutionNamesFollowTheVideoStandard) {
  // 720x576 is d1 only in PAL, 352x240 cif only in NTSC.
  EXPECT_STREQ(ResolutionName(0, 720, 576), "d1");
  EXPECT_STREQ(ResolutionName(1, 720, 576), "vga");
  EXPECT_STREQ(ResolutionName(1, 720, 480), "d1");
  EXPECT_STREQ(ResolutionName(1, 352, 240), "cif");
  EXPECT_STREQ(ResolutionName(0, 352, 240), "vga");
  EXPECT_STREQ(ResolutionName(0, 0, 0), "vga");
}

TEST(StreamConfiguration, BitrateBandEdges) {
  struct Case {
    uint32_t quality, h264, mpeg4;
  } cases[] = {{0, 1024, 512},           {16, 1024, 512},  {17, 1024, 1024},  {19, 1024, 1024},
               {20, 2048, 1024},         {33, 2048, 1024}, {34, 2048, 2048},  {40, 4096, 2048},
               {49, 4096, 2048},         {50, 4096, 4096}, {60, 6144, 4096},  {67, 6144, 6144},
               {80, 8192, 6144},         {84, 8192, 8192}, {100, 8192, 8192}, {101, 8192, 8192},
               {0xFFFFFFFFu, 8192, 8192}};
  for (const Case& c : cases) {
    EXPECT_EQ(H264Bitrate(c.quality), c.h264) << c.quality;
    EXPECT_EQ(Mpeg4Bitrate(c.quality), c.mpeg4) << c.quality;
  }
}

TEST(StreamConfiguration, ExpectedBitRate) {
  struct Case {
    StreamCodec codec;
    STREAM_SETTINGS settings;  // interval, quality, width, height
    uint32_t kbps;
  } cases[] = {
      {StreamCodec::kH264, {40, 50, 1280, 720}, 4096},
      {StreamCodec::kMpeg4, {40, 100, 1280, 720}, 8192},
      {StreamCodec::kMjpeg, {40, 50, 1280, 720}, 23025},  // a bit a pixel at 25 fps
      {StreamCodec::kMjpeg, {0, 50, 640, 480}, 7675},     // interval 0 counts as 25 fps
      {StreamCodec::kMjpeg, {1, 50, 0xFFFFFFFFu, 0xFFFFFFFFu}, 0xFFFFFFFFu},  // no wrap
  };
  for (const Case& c : cases) {
    STREAM_CONFIGURATION config;
    config.codec = c.codec;
    config.settings = c.settings;
    EXPECT_EQ(ExpectedBitRateKbps(config), c.kbps) << c.settings.width;
  }
}

TEST(StreamConfiguration, FrameSkipTables) {
  struct Case {
    int32_t group;
    const char* name;
    uint32_t fps, skip;
  } cases[] = {
      {1, "vga", 1, 0},     {1, "vga", 2, 3},       {1, "quadvga", 3, 2}, {1, "cif", 6, 1},
      {1, "cif", 7, 0},     {kAbsent, "cif", 2, 3}, {2, "quadvga", 1, 3}, {2, "quadvga", 3, 2},
      {2, "quadvga", 7, 1}, {2, "quadvga", 12, 0},  {2, "vga", 3, 3},     {2, "vga", 12, 1},
      {2, "vga", 15, 1},    {2, "vga", 25, 0},      {3, "vga", 2, 0},     {-1, "vga", 2, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FrameSkip(c.group, c.name, c.fps), c.skip)
        << c.group << " " << c.name << " " << c.fps;
  }
}

TEST(StreamConfiguration, PortAndPath) {
  EXPECT_EQ(RtspPortOf(kAbsent), 554);
  EXPECT_EQ(RtspPortOf(8554), 8554);
  // Out of the 16-bit range it would name some other port.
  EXPECT_EQ(RtspPortOf(70000), 554);
  EXPECT_EQ(RtspPortOf(0), 554);
  EXPECT_EQ(RtspPortOf(-5), 554);

  // A group-1 camera's main stream is 1080p or 720p; quadvga (1280x960) is
  // configured on the second stream and must be played from there.
  struct Case {
    StreamCodec codec;
    int32_t group;
    const char* name;
    const char* path;
  } cases[] = {
      {StreamCodec::kH264, 1, "1080p", "h264"},       {StreamCodec::kH264, 1, "720p", "h264"},
      {StreamCodec::kH264, 1, "quadvga", "h264_2"},   {StreamCodec::kH264, 1, "d1", "h264_2"},
      {StreamCodec::kH264, kAbsent, "vga", "h264_2"}, {StreamCodec::kH264, 2, "cif", "h264"},
      {StreamCodec::kH264, 2, "1080p", "h264"},       {StreamCodec::kH264, 3, "cif", "h264"},
      {StreamCodec::kMjpeg, 1, "vga", "jpeg"},        {StreamCodec::kMpeg4, 1, "vga", "mpeg4"},
  };
  for (const Case& c : cases) {
    EXPECT_STREQ(StreamPathOf(c.codec, c.group, c.name), c.path) << c.group << " " << c.name;
  }
}
}  // namespace
}  // namespace quenlix
