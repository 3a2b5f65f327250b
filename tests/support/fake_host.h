// Small host objects for tests: a debug sink that keeps every line and a
// camera configuration; the samples come from fake_sample.h. Thread-safe
// where the driver calls them from several threads.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "fake_sample.h"
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

}  // namespace testhost
