// The camera's stream configuration: the update request that sets the
// encoder before every start of reception, and the RTSP port and stream path
// the session then asks for. Pure functions of the requested stream and the
// camera's custom parameters, so they can be checked without a camera.
#pragma once

#include <cstdint>
#include <string>

#include "quenlix/driver.h"

namespace quenlix {

enum class StreamCodec : uint32_t {
  kMjpeg = 1,
  kMpeg4 = 2,
  kH264 = 3,
};

constexpr const char* kStreamUpdatePath = "/siqura-cgi/admin/param.cgi?action=update";
constexpr uint16_t kDefaultRtspPort = 554;

// What the request is built from. cameraGroup is custom parameter 4 as the
// driver reads it (kNoValue when absent).
struct STREAM_CONFIGURATION {
  StreamCodec codec = StreamCodec::kH264;
  STREAM_SETTINGS settings;
  uint32_t videoStandard = 0;
  int32_t cameraGroup = kNoValue;
};

// Frames per second the camera is asked for. A zero interval would divide by
// zero and an interval above a second would ask for key-frame interval 0, so
// 0 counts as 25 fps and the result is never below 1.
uint32_t FramesPerSecond(uint32_t frameIntervalMs);

// The picture size's name in the table of the video standard, "vga" when the
// size has no entry.
const char* ResolutionName(uint32_t videoStandard, uint32_t width, uint32_t height);

// The camera's comma-separated resolution list for this codec and group;
// empty for an MJPEG camera of unknown group (the parameter is then left out,
// see BuildStreamUpdateRequest).
std::string ResolutionValue(StreamCodec codec, int32_t cameraGroup, const char* name);

uint32_t H264Bitrate(uint32_t quality);
uint32_t Mpeg4Bitrate(uint32_t quality);
uint32_t MjpegQfactor(uint32_t quality);
// What the camera will send, in kbit/s: the configured bit rate, or for
// MJPEG, which has none, an estimate of one bit per pixel (a well-lit scene
// at middling quality) at the requested frame rate.
uint32_t ExpectedBitRateKbps(const STREAM_CONFIGURATION& config);
uint32_t FrameSkip(int32_t cameraGroup, const char* name, uint32_t framesPerSecond);

// The whole GET path of the stream update.
std::string BuildStreamUpdateRequest(const STREAM_CONFIGURATION& config);

// Custom parameter 2; the default port when absent or not a port number.
uint16_t RtspPortOf(int32_t customPort);

// "jpeg", "mpeg4", "h264", or "h264_2" for the second H.264 stream that a
// group-1 camera is configured to play every size but 1080p and 720p on;
// name is the requested size's resolution name.
const char* StreamPathOf(StreamCodec codec, int32_t cameraGroup, const char* name);

}  // namespace quenlix
