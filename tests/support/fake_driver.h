// The driver as its channels, parsers and I/O see it: settings the test
// sets, a sample allocator it hands out, and a log the test reads.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "quenlix/driver.h"

namespace testhost {

struct DriverLine {
  uint32_t level;
  std::string text;
  bool operator==(const DriverLine& o) const { return level == o.level && text == o.text; }
};

class FakeDriver : public quenlix::IDriver {
 public:
  QUENLIX_IMPLEMENTS_DESTRUCTOR()
  explicit FakeDriver(quenlix::ISampleAllocator* sampleAllocator = nullptr)
      : allocator(sampleAllocator) {
    info.address = "127.0.0.1";
    info.timeoutMs = 40000;
    info.signalTimeoutMs = 10000;
  }
  virtual ~FakeDriver() = default;

  void DebugMessage(uint32_t level, const char* format, ...) override {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::lock_guard<std::mutex> guard(mutex_);
    lines_.push_back({level, text});
  }
  quenlix::DEVICE_INFO GetDeviceInfo() override {
    std::lock_guard<std::mutex> guard(mutex_);
    return info;
  }
  std::pair<uint32_t, uint32_t> GetIOCounts() override { return {inputs, outputs}; }
  quenlix::ISampleAllocator* GetSampleAllocator() override { return allocator; }
  uint32_t GetVariantFlag() override { return variant; }
  uint32_t GetCodecType() override { return codecType; }
  uint32_t GetChannelCount() override { return channelCount; }
  std::string GetCustomString(uint32_t) override { return std::string(); }
  int32_t GetCustomInt(uint32_t index) override {
    const auto it = custom.find(index);
    return it == custom.end() ? quenlix::kNoValue : it->second;
  }

  // For changes while the driver's threads may be reading the device info.
  void SetTimes(uint32_t timeoutMs, uint32_t signalTimeoutMs) {
    std::lock_guard<std::mutex> guard(mutex_);
    info.timeoutMs = timeoutMs;
    info.signalTimeoutMs = signalTimeoutMs;
  }
  void SetAddress(const std::string& address) {
    std::lock_guard<std::mutex> guard(mutex_);
    info.address = address;
  }
  std::vector<DriverLine> Lines() {
    std::lock_guard<std::mutex> guard(mutex_);
    return lines_;
  }
  // Each line as "level text".
  std::vector<std::string> Texts() {
    std::vector<std::string> out;
    for (const DriverLine& line : Lines())
      out.push_back(std::to_string(line.level) + " " + line.text);
    return out;
  }

  // Set before the code under test runs.
  quenlix::DEVICE_INFO info;
  quenlix::ISampleAllocator* allocator;
  uint32_t inputs = 0;
  uint32_t outputs = 0;
  uint32_t variant = 0;
  uint32_t codecType = 3;
  uint32_t channelCount = 1;
  std::map<uint32_t, int32_t> custom;

 private:
  std::mutex mutex_;
  std::vector<DriverLine> lines_;
};

}  // namespace testhost
