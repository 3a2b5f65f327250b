// ipcap's host objects: a debug sink that prints each line with its level,
// and a camera configuration made from the command line.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "quenlix/config.h"
#include "quenlix/debug.h"

namespace ipcap {

struct CameraOptions {
  std::string address = "127.0.0.1";
  uint16_t port = 80;
  std::string user;
  std::string password;
  std::string codec = "h264";  // h264, mjpeg or mpeg4
  std::string model = "Siqura camera";
  uint32_t streams = 1;
  uint32_t inputs = 0;
  uint32_t outputs = 0;
  std::map<uint32_t, std::string> params;  // custom parameters, from 1
};

// "h264" → 3, "mjpeg" → 1, "mpeg4" → 2; 0 for anything else.
uint32_t CodecTypeFromName(const std::string& name);
// Parses "N=VALUE" into params; false with a message when malformed.
bool ParseParam(const std::string& text, std::map<uint32_t, std::string>* params,
                std::string* error);

// What a command prints on stderr: kError only errors (the driver's level-1
// lines and ipcap's own failures), kInfo also the driver's other lines and
// progress, kDebug also ipcap's own details.
enum class LogLevel { kError, kInfo, kDebug };

// Prints the driver's lines on stderr (stdout carries a command's data) and
// keeps them with their arrival time for the recording's log file.
class ConsoleDebugSink : public quenlix::IDebugSink {
 public:
  explicit ConsoleDebugSink(LogLevel level = LogLevel::kInfo, std::string prefix = "")
      : level_(level), prefix_(std::move(prefix)) {}
  ~ConsoleDebugSink();
  void Reserved0() override {}
  void Post(CDebugInfoIf* record) override;

  // Writes the lines so far to path, each after its UTC time, and every
  // later one as it arrives; false when the file can not be made.
  bool AttachFile(const std::string& path);
  size_t LineCount() const;
  size_t ErrorCount() const { return errors_.load(); }
  // The driver's packet-loss lines (a minute's loss, a stream's totals).
  std::vector<std::string> ReceptionLines() const;

 private:
  LogLevel level_;
  std::string prefix_;
  mutable std::mutex mutex_;
  size_t count_ = 0;
  std::deque<std::string> pending_;  // "time line", until a file is attached
  std::deque<std::string> reception_;
  std::FILE* file_ = nullptr;
  std::atomic<size_t> errors_{0};
};

class OptionsCameraConfig : public quenlix::ICameraConfig,
                            public quenlix::IDeviceConfig,
                            public quenlix::INetworkConfig {
 public:
  explicit OptionsCameraConfig(const CameraOptions& options) : options_(options) {}

  // ICameraConfig
  void Reserved0() override {}
  quenlix::IDeviceConfig* GetDevice() override { return this; }
  quenlix::INetworkConfig* GetNetwork() override { return this; }
  void Reserved3() override {}
  const char* GetCustomParameter(uint32_t index) override;
  // IDeviceConfig
  void Reserved1() override {}
  const char* GetModelName() override { return options_.model.c_str(); }
  uint32_t GetChannelCount() override { return options_.streams; }
  void Reserved4() override {}
  uint32_t GetInputCount() override { return options_.inputs; }
  uint32_t GetOutputCount() override { return options_.outputs; }
  // INetworkConfig
  const char* GetAddress() override { return options_.address.c_str(); }
  uint16_t GetPort() override { return options_.port; }
  uint32_t GetCodecType() override { return CodecTypeFromName(options_.codec); }
  const char* GetUserName() override { return options_.user.c_str(); }
  const char* GetPassword() override { return options_.password.c_str(); }

 private:
  CameraOptions options_;
};

// The text printed for a message level.
const char* LevelName(uint8_t level);

}  // namespace ipcap
