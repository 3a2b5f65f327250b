#include "host_objects.h"

#include <cstdio>
#include <cstdlib>

#include "frame_recorder.h"

namespace ipcap {

namespace {

constexpr size_t kMaxPendingLines = 10000;

}  // namespace

uint32_t CodecTypeFromName(const std::string& name) {
  if (name == "mjpeg") return 1;
  if (name == "mpeg4") return 2;
  if (name == "h264") return 3;
  return 0;
}

bool ParseParam(const std::string& text, std::map<uint32_t, std::string>* params,
                std::string* error) {
  const size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0) {
    *error = "--param wants N=VALUE, got \"" + text + "\"";
    return false;
  }
  char* end = nullptr;
  const unsigned long index = std::strtoul(text.c_str(), &end, 10);
  if (end != text.c_str() + eq || index == 0 || index > 1000) {
    *error = "--param index must be a number from 1, got \"" + text.substr(0, eq) + "\"";
    return false;
  }
  (*params)[uint32_t(index)] = text.substr(eq + 1);
  return true;
}

const char* LevelName(uint8_t level) {
  switch (level) {
    case 1:
      return "error";
    case 2:
      return "info";
    case 3:
      return "info";
    case 100:
      return "opened";
    default:
      return "level?";
  }
}

ConsoleDebugSink::~ConsoleDebugSink() {
  if (file_ != nullptr) std::fclose(file_);
}

void ConsoleDebugSink::Post(CDebugInfoIf* record) {
  const uint8_t level = record->GetLevel();
  const char* text = record->GetText();
  const std::string line = std::string("[") + LevelName(level) + " " + std::to_string(level) +
                           "] " + (text != nullptr ? text : "");
  const bool error = level == 1;
  if (error) ++errors_;
  const std::string stamped = FormatUtc(NowUtc()) + " " + line;
  std::lock_guard<std::mutex> lock(mutex_);
  ++count_;
  if (line.find(" packets lost in the last minute, ") != std::string::npos ||
      line.find(" packets received, ") != std::string::npos) {
    // One a stream and minute while loss lasts, and one a stream at its end.
    if (reception_.size() >= kMaxPendingLines) reception_.pop_front();
    reception_.push_back(line);
  }
  if (file_ != nullptr) {
    std::fprintf(file_, "%s\n", stamped.c_str());
    std::fflush(file_);
  } else {
    // A camera that never streams keeps reporting; only the latest lines
    // are kept for a recording that may still begin.
    if (pending_.size() >= kMaxPendingLines) pending_.pop_front();
    pending_.push_back(stamped);
  }
  if (error || level_ != LogLevel::kError) {
    std::fprintf(stderr, "%s%s\n", prefix_.c_str(), line.c_str());
    std::fflush(stderr);
  }
}

bool ConsoleDebugSink::AttachFile(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_ != nullptr) return true;
  file_ = std::fopen(path.c_str(), "w");
  if (file_ == nullptr) return false;
  for (const std::string& line : pending_) std::fprintf(file_, "%s\n", line.c_str());
  std::fflush(file_);
  pending_.clear();
  return true;
}

std::vector<std::string> ConsoleDebugSink::ReceptionLines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {reception_.begin(), reception_.end()};
}

size_t ConsoleDebugSink::LineCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return count_;
}

const char* OptionsCameraConfig::GetCustomParameter(uint32_t index) {
  const auto it = options_.params.find(index);
  return it == options_.params.end() ? nullptr : it->second.c_str();
}

}  // namespace ipcap
