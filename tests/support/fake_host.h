// Small host objects for tests: a debug sink that keeps every line, a camera
// configuration, a sample allocator and a frame sink. Thread-safe where the
// driver calls them from several threads.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "quenlix/config.h"
#include "quenlix/debug.h"
#include "quenlix/media.h"

namespace testhost {

struct LogLine {
  uint8_t level;
  std::string text;
  bool hadText;
};

class FakeDebugSink : public quenlix::IDebugSink {
 public:
  void Reserved0() override {}
  void Post(CDebugInfoIf* record) override {
    const char* text = record->GetText();
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back({record->GetLevel(), text != nullptr ? text : "", text != nullptr});
  }
  std::vector<LogLine> Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  size_t Count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<LogLine> lines_;
};

class FakeDeviceConfig : public quenlix::IDeviceConfig {
 public:
  void Reserved0() override {}
  void Reserved1() override {}
  const char* GetModelName() override { return modelName.c_str(); }
  uint32_t GetChannelCount() override { return channelCount; }
  void Reserved4() override {}
  uint32_t GetInputCount() override { return inputCount; }
  uint32_t GetOutputCount() override { return outputCount; }

  std::string modelName = "Siqura TestCam";
  uint32_t channelCount = 2;
  uint32_t inputCount = 1;
  uint32_t outputCount = 1;
};

class FakeNetworkConfig : public quenlix::INetworkConfig {
 public:
  void Reserved0() override {}
  const char* GetAddress() override { return address.c_str(); }
  uint16_t GetPort() override { return port; }
  void Reserved3() override {}
  uint32_t GetCodecType() override { return codecType; }
  const char* GetUserName() override { return userName.c_str(); }
  const char* GetPassword() override { return password.c_str(); }

  std::string address = "127.0.0.1";
  uint16_t port = 8080;
  uint32_t codecType = 3;
  std::string userName = "admin";
  std::string password = "secret";
};

class FakeCameraConfig : public quenlix::ICameraConfig {
 public:
  void Reserved0() override {}
  quenlix::IDeviceConfig* GetDevice() override { return withoutDevice ? nullptr : &device; }
  quenlix::INetworkConfig* GetNetwork() override { return withoutNetwork ? nullptr : &network; }
  void Reserved3() override {}
  const char* GetCustomParameter(uint32_t index) override {
    const auto it = custom.find(index);
    return it == custom.end() ? nullptr : it->second.c_str();
  }

  FakeDeviceConfig device;
  FakeNetworkConfig network;
  std::map<uint32_t, std::string> custom;
  bool withoutDevice = false;
  bool withoutNetwork = false;
};

// One sample as the host would keep it.
class FakeSample final : public quenlix::IMediaSample {
 public:
  FakeSample(uint32_t typeCode, uint32_t capacity) : type(typeCode), buffer(capacity) {}
  void Reserved0() override {}
  void Reserved1() override {}
  uint8_t* GetBuffer() override { return buffer.data(); }
  void Reserved3() override {}
  void SetLength(uint32_t n) override { length = n; }
  void Reserved5() override {}
  void SetTime(const quenlix::SYSTEMTIME* t) override { time = *t; }
  void Reserved7() override {}
  void Reserved8() override {}
  void Reserved9() override {}
  void SetType(uint32_t t) override { type = t; }
  void Reserved11() override {}
  void SetHeight(uint32_t h) override { height = h; }
  void Reserved13() override {}
  void SetWidth(uint32_t w) override { width = w; }
  void Reserved15() override {}
  void SetSizeClass(uint32_t c) override { sizeClass = c; }

  uint32_t type;
  std::vector<uint8_t> buffer;
  uint32_t length = 0;
  quenlix::SYSTEMTIME time{};
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t sizeClass = 0;
};

class FakeAllocator : public quenlix::ISampleAllocator {
 public:
  void Reserved0() override {}
  void Reserved1() override {}
  quenlix::IMediaSample* Allocate(uint32_t typeCode, uint32_t capacity,
                                  const char* source) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++allocations;
    lastCapacity = capacity;
    lastSource = source != nullptr ? source : "";
    if (refuse) return nullptr;
    ++outstanding;
    return new FakeSample(typeCode, capacity);
  }
  void Reserved3() override {}
  void Reserved4() override {}
  void Reserved5() override {}
  void Release(quenlix::IMediaSample* sample) override {
    std::lock_guard<std::mutex> lock(mutex_);
    --outstanding;
    delete static_cast<FakeSample*>(sample);
  }

  std::mutex mutex_;
  bool refuse = false;
  int allocations = 0;
  int outstanding = 0;
  uint32_t lastCapacity = 0;
  std::string lastSource;
};

// Keeps a copy of every delivered frame.
class FakeFrameSink : public quenlix::IFrameSink {
 public:
  struct Frame {
    uint32_t type;
    std::vector<uint8_t> data;
    quenlix::SYSTEMTIME time;
    uint32_t width, height, sizeClass;
  };
  void Reserved0() override {}
  bool Deliver(quenlix::IMediaSample* sample) override {
    auto* s = static_cast<FakeSample*>(sample);
    std::lock_guard<std::mutex> lock(mutex_);
    frames.push_back({s->type,
                      std::vector<uint8_t>(s->buffer.begin(), s->buffer.begin() + s->length),
                      s->time, s->width, s->height, s->sizeClass});
    return accept;
  }
  void Reserved2() override {}
  void OnSignalLost() override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++signalLost;
  }
  size_t FrameCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames.size();
  }

  std::mutex mutex_;
  bool accept = true;
  std::vector<Frame> frames;
  int signalLost = 0;
};

}  // namespace testhost
