// A driver that logs nothing, has no camera settings and hands out the
// allocator it holds: enough for a depacketizer run by a benchmark or a
// fuzzer, where no channel and no camera exist.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "quenlix/driver.h"

namespace quenlix {
namespace support {

template <class Allocator>
class QuietDriver : public IDriver {
 public:
  QUENLIX_IMPLEMENTS_DESTRUCTOR()
  virtual ~QuietDriver() = default;
  void DebugMessage(uint32_t, const char*, ...) override {}
  DEVICE_INFO GetDeviceInfo() override { return {}; }
  std::pair<uint32_t, uint32_t> GetIOCounts() override { return {0, 0}; }
  ISampleAllocator* GetSampleAllocator() override { return &allocator; }
  uint32_t GetVariantFlag() override { return 0; }
  uint32_t GetCodecType() override { return 3; }
  uint32_t GetChannelCount() override { return 1; }
  std::string GetCustomString(uint32_t) override { return ""; }
  int32_t GetCustomInt(uint32_t) override { return kNoValue; }
  Allocator allocator;
};

}  // namespace support
}  // namespace quenlix
