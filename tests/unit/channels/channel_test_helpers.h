// Host and driver fakes for the channel tests: a driver whose device info the
// test sets and whose log it reads, a frame sink, a sample and an allocator.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "quenlix/driver.h"
#include "quenlix/media.h"

namespace quenlix {
namespace testing_channels {

struct LogLine {
  uint32_t level;
  std::string text;
  bool operator==(const LogLine& o) const { return level == o.level && text == o.text; }
};

class FakeDriver : public IDriver {
 public:
  QUENLIX_IMPLEMENTS_DESTRUCTOR()
  FakeDriver();
  virtual ~FakeDriver() = default;

  void DebugMessage(uint32_t level, const char* format, ...) override;
  DEVICE_INFO GetDeviceInfo() override;
  std::pair<uint32_t, uint32_t> GetIOCounts() override { return {0, 0}; }
  ISampleAllocator* GetSampleAllocator() override { return nullptr; }
  uint32_t GetVariantFlag() override { return 0; }
  uint32_t GetCodecType() override { return 3; }
  uint32_t GetChannelCount() override { return 4; }
  std::string GetCustomString(uint32_t) override { return std::string(); }
  int32_t GetCustomInt(uint32_t) override { return kNoValue; }

  void SetTimes(uint32_t timeoutMs, uint32_t signalTimeoutMs);
  void SetAddress(const std::string& address);
  std::vector<LogLine> Lines();

 private:
  std::mutex mutex;
  DEVICE_INFO info;
  std::vector<LogLine> lines;
};

class FakeSink : public IFrameSink {
 public:
  void Reserved0() override {}
  bool Deliver(IMediaSample*) override {
    delivered++;
    return accept.load();
  }
  void Reserved2() override {}
  void OnSignalLost() override { signalLost++; }

  std::atomic<bool> accept{true};
  std::atomic<int> delivered{0};
  std::atomic<int> signalLost{0};
};

class FakeSample : public IMediaSample {
 public:
  void Reserved0() override {}
  void Reserved1() override {}
  uint8_t* GetBuffer() override { return buffer; }
  void Reserved3() override {}
  void SetLength(uint32_t) override {}
  void Reserved5() override {}
  void SetTime(const SYSTEMTIME*) override {}
  void Reserved7() override {}
  void Reserved8() override {}
  void Reserved9() override {}
  void SetType(uint32_t) override {}
  void Reserved11() override {}
  void SetHeight(uint32_t) override {}
  void Reserved13() override {}
  void SetWidth(uint32_t) override {}
  void Reserved15() override {}
  void SetSizeClass(uint32_t) override {}

  uint8_t buffer[16] = {};
};

// Live allocations through operator new in this test program.
int64_t LiveAllocations();
// Threads and open descriptors of the process; -1 where the system does not
// tell.
int CountThreads();
int CountDescriptors();

}  // namespace testing_channels
}  // namespace quenlix
