// How a depacketizer hands a finished frame to its channel and learns the
// picture size the channel asked the camera for.
#pragma once

#include <cstdint>
#include <utility>

#include "quenlix/media.h"

namespace quenlix {

// Implemented by the RTP channel; no destructor slot, the channel's lifetime
// is its own business.
class IMediaParserClient {
 public:
  // The sample stays the depacketizer's, which releases it after the call.
  // True when the frame was taken.
  virtual bool OnFrame(IMediaSample* sample) = 0;
  // Width and height requested from the camera; (0, 0) before any start.
  virtual std::pair<uint32_t, uint32_t> GetResolution() = 0;

 protected:
  ~IMediaParserClient() = default;
};

}  // namespace quenlix
