#include "channels/stream_configuration.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "camera/resolution_tables.h"
#include "camera/text_helpers.h"

namespace quenlix {

namespace {

constexpr uint32_t kMsPerSecond = 1000;
// A stream whose rate the host left open is asked for at PAL's 25 fps.
constexpr uint32_t kDefaultFrameIntervalMs = 40;
constexpr uint32_t kMaxQuality = 100;
constexpr uint32_t kMjpegQfactorScale = 70;
constexpr const char* kFallbackName = "vga";
constexpr const char* kQuadVga = "quadvga";

constexpr uint32_t kH264Bitrates[] = {1024, 2048, 4096, 6144, 8192};
constexpr uint32_t kMpeg4Bitrates[] = {512, 1024, 2048, 4096, 6144, 8192};

struct SKIP_ENTRY {
  uint32_t framesPerSecond;
  uint32_t frameSkip;
};

constexpr SKIP_ENTRY kGroup1Skips[] = {{2, 3}, {3, 2}, {5, 1}, {6, 1}};
constexpr SKIP_ENTRY kGroup2QuadVgaSkips[] = {{1, 3}, {2, 2}, {3, 2}, {5, 1}, {6, 1}, {7, 1}};
constexpr SKIP_ENTRY kGroup2Skips[] = {{1, 3}, {2, 3}, {3, 3},  {5, 2},
                                       {6, 2}, {7, 2}, {12, 1}, {15, 1}};

// Absent counts as group 1; every other value than 1 and 2 is unknown (0).
int32_t GroupOf(int32_t cameraGroup) {
  if (cameraGroup == kNoValue || cameraGroup == 1) return 1;
  if (cameraGroup == 2) return 2;
  return 0;
}

// Quality beyond 100 would index past the tables' intent and, multiplied,
// could wrap round to a low value.
uint32_t ClampQuality(uint32_t quality) { return quality < kMaxQuality ? quality : kMaxQuality; }

template <size_t N>
uint32_t LookUpSkip(const SKIP_ENTRY (&table)[N], uint32_t framesPerSecond) {
  for (const SKIP_ENTRY& entry : table) {
    if (entry.framesPerSecond == framesPerSecond) return entry.frameSkip;
  }
  return 0;
}

bool IsName(const char* name, const char* wanted) { return std::strcmp(name, wanted) == 0; }

std::string H264Value(int32_t group, const char* name) {
  if (group == 1) {
    if (IsName(name, "1080p")) return "disable,1080p,disable";
    if (IsName(name, "720p")) return "720p,720p,disable";
    return FormatString("disable,720p,%s", name);
  }
  if (group == 2) return FormatString("%s,disable,%s,disable", name, name);
  return "vga,vga,disable,disable";
}

std::string MjpegValue(int32_t group, const char* name) {
  if (group == 1) {
    if (IsName(name, "1080p")) return "1080p,disable,disable";
    if (IsName(name, "720p")) return "720p,720p,disable";
    return FormatString("%s,720p,disable", name);
  }
  if (group == 2) return FormatString("%s,disable,%s,disable", name, name);
  return std::string();
}

}  // namespace

uint32_t FramesPerSecond(uint32_t frameIntervalMs) {
  if (frameIntervalMs == 0) frameIntervalMs = kDefaultFrameIntervalMs;
  const uint32_t f = kMsPerSecond / frameIntervalMs;
  return f > 0 ? f : 1;
}

const char* ResolutionName(uint32_t videoStandard, uint32_t width, uint32_t height) {
  const RESOLUTION_NAME* entry = FindResolutionBySize(videoStandard, width, height);
  return entry != nullptr ? entry->name : kFallbackName;
}

std::string ResolutionValue(StreamCodec codec, int32_t cameraGroup, const char* name) {
  const int32_t group = GroupOf(cameraGroup);
  switch (codec) {
    case StreamCodec::kH264:
      return H264Value(group, name);
    case StreamCodec::kMjpeg:
      return MjpegValue(group, name);
    case StreamCodec::kMpeg4:
      return FormatString("%s,%s,disable,disable", name, name);
  }
  return std::string();
}

uint32_t H264Bitrate(uint32_t quality) {
  uint32_t index = ClampQuality(quality) * 5 / 100;
  if (index > 4) index = 4;
  return kH264Bitrates[index];
}

uint32_t Mpeg4Bitrate(uint32_t quality) {
  uint32_t index = ClampQuality(quality) * 6 / 100;
  if (index > 5) index = 5;
  return kMpeg4Bitrates[index];
}

uint32_t ExpectedBitRateKbps(const STREAM_CONFIGURATION& config) {
  const STREAM_SETTINGS& s = config.settings;
  switch (config.codec) {
    case StreamCodec::kH264:
      return H264Bitrate(s.quality);
    case StreamCodec::kMpeg4:
      return Mpeg4Bitrate(s.quality);
    case StreamCodec::kMjpeg: {
      // Divided before the frame rate (at most 1000) multiplies, so that no
      // picture size the host can pass wraps around.
      const uint64_t kbitPerFrame = uint64_t(s.width) * s.height / 1000;
      return uint32_t(
          std::min<uint64_t>(kbitPerFrame * FramesPerSecond(s.frameIntervalMs), UINT32_MAX));
    }
  }
  return 0;
}

uint32_t MjpegQfactor(uint32_t quality) {
  const uint32_t q = ClampQuality(quality) * kMjpegQfactorScale / 100;
  return q != 0 ? q : 1;
}

uint32_t FrameSkip(int32_t cameraGroup, const char* name, uint32_t framesPerSecond) {
  switch (GroupOf(cameraGroup)) {
    case 1:
      return LookUpSkip(kGroup1Skips, framesPerSecond);
    case 2:
      return IsName(name, kQuadVga) ? LookUpSkip(kGroup2QuadVgaSkips, framesPerSecond)
                                    : LookUpSkip(kGroup2Skips, framesPerSecond);
    default:
      return 0;
  }
}

std::string BuildStreamUpdateRequest(const STREAM_CONFIGURATION& config) {
  const STREAM_SETTINGS& s = config.settings;
  const char* name = ResolutionName(config.videoStandard, s.width, s.height);
  const std::string value = ResolutionValue(config.codec, config.cameraGroup, name);
  const uint32_t f = FramesPerSecond(s.frameIntervalMs);
  const uint32_t skip = FrameSkip(config.cameraGroup, name, f);

  std::string request = kStreamUpdatePath;
  // Sent even when empty (an MJPEG camera of an unknown group), as such
  // cameras have always been asked.
  request += FormatString("&Image.I0.Appearance.Resolution=%s", value.c_str());
  switch (config.codec) {
    case StreamCodec::kH264:
      request += FormatString("&Image.I0.Appearance.H264Bitrate=%u", H264Bitrate(s.quality));
      request += FormatString("&Image.I0.Appearance.H264VideoKeyFrameInterval=%u", f);
      request += FormatString("&Image.I0.Appearance.H264_2VideoKeyFrameInterval=%u", f);
      request += FormatString("&Frameskip.H264=%u", skip);
      break;
    case StreamCodec::kMjpeg:
      request += FormatString("&Image.I0.Appearance.MjpegQfactor=%u", MjpegQfactor(s.quality));
      request += FormatString("&Frameskip.Mjpeg=%u", skip);
      break;
    case StreamCodec::kMpeg4:
      request += FormatString("&Image.I0.Appearance.Mpeg4Bitrate=%u", Mpeg4Bitrate(s.quality));
      request += FormatString("&Image.I0.Appearance.Mpeg4VideoKeyFrameInterval=%u", f);
      request += FormatString("&Frameskip.Mpeg4=%u", skip);
      break;
  }
  return request;
}

uint16_t RtspPortOf(int32_t customPort) {
  // Stored in 16 bits: anything else would silently name another port.
  if (customPort <= 0 || customPort > 65535) return kDefaultRtspPort;
  return uint16_t(customPort);
}

const char* StreamPathOf(StreamCodec codec, int32_t cameraGroup, const char* name) {
  switch (codec) {
    case StreamCodec::kMjpeg:
      return "jpeg";
    case StreamCodec::kMpeg4:
      return "mpeg4";
    case StreamCodec::kH264:
      break;
  }
  // A group-1 camera's main stream carries only 1080p or 720p; every other
  // size is configured on the second stream, so that is the one to play
  // (1280x960 included, although it is 1280 wide).
  if (GroupOf(cameraGroup) != 1) return "h264";
  const bool mainStream =
      name != nullptr && (std::strcmp(name, "1080p") == 0 || std::strcmp(name, "720p") == 0);
  return mainStream ? "h264" : "h264_2";
}

}  // namespace quenlix
