#include "channels/stream_configuration.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace quenlix {
namespace {

constexpr int32_t kAbsent = kNoValue;
constexpr StreamCodec kH264 = StreamCodec::kH264;
constexpr StreamCodec kMjpeg = StreamCodec::kMjpeg;
constexpr StreamCodec kMpeg4 = StreamCodec::kMpeg4;

// The parts of the stream update: resolution value, the codec's rate (bit
// rate or MJPEG Q factor), key-frame interval (frames per second) and frame
// skip. The request's layout around them is checked whole by e2e_record.
TEST(StreamConfiguration, UpdateRequestParts) {
  // Codec, settings (interval, quality, width, height), standard and group.
  const struct {
    STREAM_CONFIGURATION config;
    const char* resolution;
    uint32_t rate, fps, skip;
  } cases[] = {
      {{kH264, {40, 50, 640, 480}, 0, 1}, "disable,720p,vga", 4096, 25, 0},
      {{kH264, {40, 100, 1920, 1080}, 0, 1}, "disable,1080p,disable", 8192, 25, 0},
      {{kH264, {100, 0, 1280, 720}, 0, kAbsent}, "720p,720p,disable", 1024, 10, 0},
      {{kH264, {500, 20, 1280, 960}, 0, 1}, "disable,720p,quadvga", 2048, 2, 3},
      {{kH264, {200, 79, 352, 288}, 0, 2}, "cif,disable,cif,disable", 6144, 5, 2},
      {{kH264, {40, 50, 352, 288}, 0, 3}, "vga,vga,disable,disable", 4096, 25, 0},
      {{kMjpeg, {333, 0, 352, 288}, 0, 1}, "cif,720p,disable", 1, 3, 2},
      {{kMjpeg, {40, 100, 1920, 1080}, 0, 1}, "1080p,disable,disable", 70, 25, 0},
      {{kMjpeg, {142, 50, 1280, 960}, 0, 2}, "quadvga,disable,quadvga,disable", 35, 7, 1},
      {{kMjpeg, {40, 50, 640, 480}, 0, 3}, "", 35, 25, 0},  // sent empty
      {{kMpeg4, {40, 100, 720, 576}, 0, 7}, "d1,d1,disable,disable", 8192, 25, 0},
      {{kMpeg4, {80, 50, 320, 240}, 0, 2}, "qvga,qvga,disable,disable", 4096, 12, 1},
      // A zero interval asks for 25 fps instead of dividing by zero.
      {{kMpeg4, {0, 50, 352, 288}, 0, 1}, "cif,cif,disable,disable", 4096, 25, 0},
      // Slower than one frame a second still asks for a key frame per frame.
      {{kH264, {2000, 50, 352, 288}, 0, 2}, "cif,disable,cif,disable", 4096, 1, 3},
      // Quality past 100 is held at 100, also where the product would wrap.
      {{kMjpeg, {40, 4000000000u, 352, 288}, 0, 1}, "cif,720p,disable", 70, 25, 0},
  };
  for (const auto& c : cases) {
    const STREAM_SETTINGS& s = c.config.settings;
    const int32_t group = c.config.cameraGroup;
    const char* name = ResolutionName(c.config.videoStandard, s.width, s.height);
    const uint32_t fps = FramesPerSecond(s.frameIntervalMs);
    const uint32_t rate = c.config.codec == kH264    ? H264Bitrate(s.quality)
                          : c.config.codec == kMpeg4 ? Mpeg4Bitrate(s.quality)
                                                     : MjpegQfactor(s.quality);
    EXPECT_EQ(std::make_tuple(ResolutionValue(c.config.codec, group, name), rate, fps,
                              FrameSkip(group, name, fps)),
              std::make_tuple(std::string(c.resolution), c.rate, c.fps, c.skip))
        << c.resolution << " " << s.frameIntervalMs;
  }
}

TEST(StreamConfiguration, ResolutionNamesFollowTheVideoStandard) {
  // 720x576 is d1 only in PAL, 352x240 cif only in NTSC.
  const struct {
    uint32_t standard, width, height;
    const char* name;
  } cases[] = {{0, 720, 576, "d1"},  {1, 720, 576, "vga"}, {1, 720, 480, "d1"},
               {1, 352, 240, "cif"}, {0, 352, 240, "vga"}, {0, 0, 0, "vga"}};
  for (const auto& c : cases) {
    EXPECT_STREQ(ResolutionName(c.standard, c.width, c.height), c.name)
        << c.width << "x" << c.height;
  }
}

TEST(StreamConfiguration, BitrateBandEdges) {
  const struct {
    uint32_t quality, h264, mpeg4;
  } cases[] = {{0, 1024, 512},           {16, 1024, 512},  {17, 1024, 1024},  {19, 1024, 1024},
               {20, 2048, 1024},         {33, 2048, 1024}, {34, 2048, 2048},  {40, 4096, 2048},
               {49, 4096, 2048},         {50, 4096, 4096}, {60, 6144, 4096},  {67, 6144, 6144},
               {80, 8192, 6144},         {84, 8192, 8192}, {100, 8192, 8192}, {101, 8192, 8192},
               {0xFFFFFFFFu, 8192, 8192}};
  for (const auto& c : cases) {
    EXPECT_EQ(H264Bitrate(c.quality), c.h264) << c.quality;
    EXPECT_EQ(Mpeg4Bitrate(c.quality), c.mpeg4) << c.quality;
  }
}

TEST(StreamConfiguration, ExpectedBitRate) {
  const struct {
    STREAM_CONFIGURATION config;
    uint32_t kbps;
  } cases[] = {
      {{kH264, {40, 50, 1280, 720}}, 4096},
      {{kMpeg4, {40, 100, 1280, 720}}, 8192},
      {{kMjpeg, {40, 50, 1280, 720}}, 23025},                      // a bit a pixel at 25 fps
      {{kMjpeg, {0, 50, 640, 480}}, 7675},                         // interval 0 counts as 25 fps
      {{kMjpeg, {1, 50, 0xFFFFFFFFu, 0xFFFFFFFFu}}, 0xFFFFFFFFu},  // no wrap
  };
  for (const auto& c : cases)
    EXPECT_EQ(ExpectedBitRateKbps(c.config), c.kbps) << c.config.settings.width;
}

TEST(StreamConfiguration, FrameSkipTables) {
  const struct {
    int32_t group;
    const char* name;
    uint32_t fps, skip;
  } cases[] = {
      {1, "vga", 1, 0},     {1, "vga", 2, 3},       {1, "quadvga", 3, 2}, {1, "cif", 6, 1},
      {1, "cif", 7, 0},     {kAbsent, "cif", 2, 3}, {2, "quadvga", 1, 3}, {2, "quadvga", 3, 2},
      {2, "quadvga", 7, 1}, {2, "quadvga", 12, 0},  {2, "vga", 3, 3},     {2, "vga", 12, 1},
      {2, "vga", 15, 1},    {2, "vga", 25, 0},      {3, "vga", 2, 0},     {-1, "vga", 2, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FrameSkip(c.group, c.name, c.fps), c.skip)
        << c.group << " " << c.name << " " << c.fps;
  }
}

TEST(StreamConfiguration, PortAndPath) {
  // Out of the 16-bit range a port would name some other port.
  for (int32_t port : {kAbsent, 70000, 0, -5}) EXPECT_EQ(RtspPortOf(port), 554) << port;
  EXPECT_EQ(RtspPortOf(8554), 8554);
  // A group-1 camera's main stream is 1080p or 720p; quadvga (1280x960) is
  // configured on the second stream and must be played from there.
  const struct {
    StreamCodec codec;
    int32_t group;
    const char* name;
    const char* path;
  } cases[] = {
      {kH264, 1, "1080p", "h264"},       {kH264, 1, "720p", "h264"},
      {kH264, 1, "quadvga", "h264_2"},   {kH264, 1, "d1", "h264_2"},
      {kH264, kAbsent, "vga", "h264_2"}, {kH264, 2, "cif", "h264"},
      {kH264, 2, "1080p", "h264"},       {kH264, 3, "cif", "h264"},
      {kMjpeg, 1, "vga", "jpeg"},        {kMpeg4, 1, "vga", "mpeg4"},
  };
  for (const auto& c : cases) {
    EXPECT_STREQ(StreamPathOf(c.codec, c.group, c.name), c.path) << c.group << " " << c.name;
  }
}

}  // namespace
}  // namespace quenlix
