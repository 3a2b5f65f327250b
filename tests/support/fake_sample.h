// The host's samples and allocator: each sample records what the driver set
// and keeps guard bytes past its capacity, so that an overrun shows.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "quenlix/media.h"

namespace testhost {

// A sample as the host sees it when it is delivered.
struct DeliveredFrame {
  uint32_t type = 0;
  uint32_t allocatedType = 0;
  uint32_t capacity = 0;
  std::string source;
  std::vector<uint8_t> data;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t sizeClass = 0;
  quenlix::SYSTEMTIME time{};
  bool timeSet = false;
};

class FakeSample final : public quenlix::IMediaSample {
 public:
  static constexpr size_t kGuard = 64;
  static constexpr uint8_t kGuardByte = 0xA5;

  explicit FakeSample(uint32_t type = 0, uint32_t capacity = 16, const char* source = nullptr)
      : buffer_(capacity + kGuard, kGuardByte) {
    record_.allocatedType = type;
    record_.capacity = capacity;
    record_.source = source != nullptr ? source : "";
  }
  void Reserved0() override {}
  void Reserved1() override {}
  uint8_t* GetBuffer() override { return buffer_.data(); }
  void Reserved3() override {}
  void SetLength(uint32_t length) override { length_ = length; }
  void Reserved5() override {}
  void SetTime(const quenlix::SYSTEMTIME* time) override {
    record_.time = *time;
    record_.timeSet = true;
  }
  void Reserved7() override {}
  void Reserved8() override {}
  void Reserved9() override {}
  void SetType(uint32_t typeCode) override { record_.type = typeCode; }
  void Reserved11() override {}
  void SetHeight(uint32_t height) override { record_.height = height; }
  void Reserved13() override {}
  void SetWidth(uint32_t width) override { record_.width = width; }
  void Reserved15() override {}
  void SetSizeClass(uint32_t sizeClass) override { record_.sizeClass = sizeClass; }

  uint32_t Capacity() const { return record_.capacity; }
  uint32_t Length() const { return length_; }
  // A length past the capacity leaves the data empty.
  DeliveredFrame Snapshot() const {
    DeliveredFrame out = record_;
    if (length_ <= record_.capacity) out.data.assign(buffer_.begin(), buffer_.begin() + length_);
    return out;
  }
  bool GuardIntact() const {
    return std::all_of(buffer_.begin() + record_.capacity, buffer_.end(),
                       [](uint8_t b) { return b == kGuardByte; });
  }

 private:
  DeliveredFrame record_;
  std::vector<uint8_t> buffer_;
  uint32_t length_ = 0;
};

// Thread-safe: the driver allocates and releases from its channel threads.
class FakeAllocator : public quenlix::ISampleAllocator {
 public:
  void Reserved0() override {}
  void Reserved1() override {}
  quenlix::IMediaSample* Allocate(uint32_t typeCode, uint32_t capacity,
                                  const char* source) override {
    ++allocations;
    if (refuse) return nullptr;
    ++outstanding;
    return new FakeSample(typeCode, capacity, source);
  }
  void Reserved3() override {}
  void Reserved4() override {}
  void Reserved5() override {}
  void Release(quenlix::IMediaSample* sample) override {
    auto* s = static_cast<FakeSample*>(sample);
    if (!s->GuardIntact() || s->Length() > s->Capacity()) guardsIntact = false;
    --outstanding;
    delete s;
  }
  virtual ~FakeAllocator() = default;

  std::atomic<bool> refuse{false};  // Allocate returns null
  std::atomic<int> allocations{0};
  std::atomic<int> outstanding{0};
  std::atomic<bool> guardsIntact{true};  // no write or length past a capacity
};

}  // namespace testhost
