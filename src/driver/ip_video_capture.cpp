#include "driver/ip_video_capture.h"

#include <utility>

namespace quenlix {

namespace {

constexpr const char kStartChannelName[] = "quenlix::CIPVideoCapture::StartChannel";
constexpr const char kReconfigureChannelName[] = "quenlix::CIPVideoCapture::ReconfigureChannel";

// Reads the host's objects in the order the host expects; false when one is
// missing.
bool ReadStreamSettings(IStreamSettings* settings, STREAM_SETTINGS* out) {
  if (settings == nullptr) return false;
  IStreamRate* rate = settings->GetRate();
  IStreamFormat* format = settings->GetFormat();
  if (rate == nullptr || format == nullptr) return false;
  IResolution* resolution = format->GetResolution();
  if (resolution == nullptr) return false;
  out->frameIntervalMs = rate->GetFrameInterval();
  out->quality = rate->GetQuality();
  out->width = resolution->GetWidth();
  out->height = resolution->GetHeight();
  return true;
}

}  // namespace

CIPVideoCapture::CIPVideoCapture(uint32_t slotCount, ICustomCreator* channelCreator, IDriver* logTo)
    : creator(channelCreator), channels(slotCount), log(logTo) {}

CIPVideoCapture::~CIPVideoCapture() {
  for (uint32_t index = 0; index < channels.size(); ++index) StopChannel(index);
}

uint32_t CIPVideoCapture::GetChannelCount() { return uint32_t(channels.size()); }

bool CIPVideoCapture::StartChannel(uint32_t index, IFrameSink* sink, IStreamSettings* settings) {
  if (index >= GetChannelCount()) return false;
  STREAM_SETTINGS stream;
  if (!ReadStreamSettings(settings, &stream)) {
    if (log != nullptr) {
      log->DebugMessage(kLevelError, "%s: Stream settings missing (channel %u)", kStartChannelName,
                        index);
    }
    return false;
  }
  // The codec channels divide by the frame interval.
  if (stream.frameIntervalMs == 0) {
    if (log != nullptr) {
      log->DebugMessage(kLevelError, "%s: Frame interval of 0 ms refused (channel %u)",
                        kStartChannelName, index);
    }
    return false;
  }
  StopChannel(index);
  OwnedObject<ICameraChannel> channel(creator != nullptr ? creator->CreateChannel(index, sink)
                                                         : nullptr);
  if (!channel) {
    if (log != nullptr) {
      log->DebugMessage(kLevelError,
                        "%s: No channel for codec type %u (channel %u): unknown codec or no memory",
                        kStartChannelName, log->GetCodecType(), index);
    }
    return false;
  }
  bool ok = channel->Start(stream);
  CLockGuard guard(&channelsLock);
  channels[index] = std::move(channel);
  return ok;
}

bool CIPVideoCapture::StopChannel(uint32_t index) {
  OwnedObject<ICameraChannel> channel;
  {
    CLockGuard guard(&channelsLock);
    if (index < channels.size()) channel = std::move(channels[index]);
  }
  if (!channel) return false;
  channel->Stop();
  return true;
}

bool CIPVideoCapture::ReconfigureChannel(uint32_t index, IResolution* resolution,
                                         uint32_t frameIntervalMs) {
  if (frameIntervalMs == 0 || resolution == nullptr) {
    if (log != nullptr) {
      log->DebugMessage(kLevelError, "%s: %s refused (channel %u)", kReconfigureChannelName,
                        resolution == nullptr ? "Missing resolution" : "Frame interval of 0 ms",
                        index);
    }
    return false;
  }
  ICameraChannel* channel = LookUp(index);
  if (channel == nullptr) return false;
  STREAM_SETTINGS stream;
  stream.frameIntervalMs = frameIntervalMs;
  stream.width = resolution->GetWidth();
  stream.height = resolution->GetHeight();
  return channel->Restart(stream);
}

bool CIPVideoCapture::GetChannelStatus(uint32_t index, uint32_t* state, uint32_t* code, char* text,
                                       uint32_t textSize) {
  if (code != nullptr) *code = 0;
  if (textSize > 0 && text != nullptr) text[0] = '\0';
  ICameraChannel* channel = LookUp(index);
  if (channel == nullptr) return false;
  uint32_t value = channel->GetState();
  if (state != nullptr) *state = value;
  return true;
}

ICameraChannel* CIPVideoCapture::LookUp(uint32_t index) {
  CLockGuard guard(&channelsLock);
  return index < channels.size() ? channels[index].get() : nullptr;
}

}  // namespace quenlix
