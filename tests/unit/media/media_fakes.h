// Host-side fakes for the depacketizer tests: a driver that hands out an
// allocator, samples that record what they were given, and a channel.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "media/media_parser_client.h"
#include "quenlix/driver.h"
#include "quenlix/media.h"

namespace quenlix {
namespace test {

struct DeliveredFrame {
  uint32_t type = 0;
  uint32_t allocatedType = 0;
  uint32_t capacity = 0;
  std::string source;
  std::vector<uint8_t> data;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t sizeClass = 0;
  SYSTEMTIME time{};
  bool timeSet = false;
};

class FakeSample : public IMediaSample {
 public:
  FakeSample(uint32_t type, uint32_t capacity, const char* source);
  void Reserved0() override {}
  void Reserved1() override {}
  uint8_t* GetBuffer() override { return buffer.data(); }
  void Reserved3() override {}
  void SetLength(uint32_t length) override { this->length = length; }
  void Reserved5() override {}
  void SetTime(const SYSTEMTIME* time) override;
  void Reserved7() override {}
  void Reserved8() override {}
  void Reserved9() override {}
  void SetType(uint32_t typeCode) override { record.type = typeCode; }
  void Reserved11() override {}
  void SetHeight(uint32_t height) override { record.height = height; }
  void Reserved13() override {}
  void SetWidth(uint32_t width) override { record.width = width; }
  void Reserved15() override {}
  void SetSizeClass(uint32_t sizeClass) override { record.sizeClass = sizeClass; }
  virtual ~FakeSample() = default;

  // The sample as the host would see it at delivery; guard bytes past the
  // capacity must be intact.
  DeliveredFrame Snapshot() const;
  bool GuardIntact() const;

 private:
  DeliveredFrame record;
  std::vector<uint8_t> buffer;
  uint32_t length = 0;
};

class FakeAllocator : public ISampleAllocator {
 public:
  void Reserved0() override {}
  void Reserved1() override {}
  IMediaSample* Allocate(uint32_t typeCode, uint32_t capacity, const char* source) override;
  void Reserved3() override {}
  void Reserved4() override {}
  void Reserved5() override {}
  void Release(IMediaSample* sample) override;
  virtual ~FakeAllocator();

  bool refuse = false;  // Allocate returns null
  int outstanding = 0;
  int allocations = 0;
  bool guardsIntact = true;
};

class FakeDriver : public IDriver {
 public:
  QUENLIX_IMPLEMENTS_DESTRUCTOR()
  explicit FakeDriver(ISampleAllocator* allocator) : allocator(allocator) {}
  virtual ~FakeDriver() = default;
  void DebugMessage(uint32_t, const char*, ...) override {}
  DEVICE_INFO GetDeviceInfo() override { return {}; }
  std::pair<uint32_t, uint32_t> GetIOCounts() override { return {0, 0}; }
  ISampleAllocator* GetSampleAllocator() override { return allocator; }
  uint32_t GetVariantFlag() override { return 0; }
  uint32_t GetCodecType() override { return 3; }
  uint32_t GetChannelCount() override { return 1; }
  std::string GetCustomString(uint32_t) override { return ""; }
  int32_t GetCustomInt(uint32_t) override { return kNoValue; }

  ISampleAllocator* allocator;
};

class FakeClient : public IMediaParserClient {
 public:
  bool OnFrame(IMediaSample* sample) override;
  std::pair<uint32_t, uint32_t> GetResolution() override { return resolution; }
  virtual ~FakeClient() = default;

  std::vector<DeliveredFrame> frames;
  bool accept = true;
  std::pair<uint32_t, uint32_t> resolution{0, 0};
};

// A parser wired to fakes.
struct Host {
  FakeAllocator allocator;
  FakeDriver driver{&allocator};
  FakeClient client;
};

}  // namespace test
}  // namespace quenlix
