#include "camsim.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace camsim {

namespace {

bool ParseNumber(const std::string& text, uint32_t* value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  *value = static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 10));
  return true;
}

std::string FixturePath(const CamsimOptions& options) {
  if (options.fixture.find('/') != std::string::npos) return options.fixture;
  return options.fixtureDir + "/" + options.fixture + ".txt";
}

}  // namespace

bool ParseFault(const std::string& text, FaultState* fault) {
  const size_t colon = text.find(':');
  const std::string mode = text.substr(0, colon);
  const std::string arg = colon == std::string::npos ? "" : text.substr(colon + 1);
  FaultState f = *fault;
  uint32_t n = 0;
  if (mode == "none") {
    f.mode = FaultMode::kNone;
  } else if (mode == "status") {
    if (!arg.empty() && (!ParseNumber(arg, &n) || n < 100 || n > 999)) return false;
    f.mode = FaultMode::kStatus;
    if (!arg.empty()) f.status = int(n);
  } else if (mode == "empty") {
    f.mode = FaultMode::kEmpty;
  } else if (mode == "slow") {
    if (!arg.empty() && !ParseNumber(arg, &n)) return false;
    f.mode = FaultMode::kSlow;
    if (!arg.empty()) f.delayMs = n;
  } else if (mode == "noanswer") {
    f.mode = FaultMode::kNoAnswer;
  } else if (mode == "close") {
    f.mode = FaultMode::kClose;
  } else if (mode == "endless") {
    f.mode = FaultMode::kEndless;
  } else {
    return false;
  }
  *fault = f;
  return true;
}

std::string FaultText(const FaultState& fault) {
  switch (fault.mode) {
    case FaultMode::kNone:
      return "none";
    case FaultMode::kStatus:
      return "status:" + std::to_string(fault.status);
    case FaultMode::kEmpty:
      return "empty";
    case FaultMode::kSlow:
      return "slow:" + std::to_string(fault.delayMs);
    case FaultMode::kNoAnswer:
      return "noanswer";
    case FaultMode::kClose:
      return "close";
    case FaultMode::kEndless:
      return "endless";
  }
  return "none";
}

bool ParseAuthMode(const std::string& text, AuthMode* mode) {
  if (text == "none") {
    *mode = AuthMode::kNone;
  } else if (text == "basic") {
    *mode = AuthMode::kBasic;
  } else if (text == "digest") {
    *mode = AuthMode::kDigest;
  } else {
    return false;
  }
  return true;
}

Camsim::Camsim(CamsimOptions options) : options_(std::move(options)), fault_(options_.fault) {}

bool Camsim::LoadFixture(std::string* error) {
  const std::string path = FixturePath(options_);
  std::ifstream in(path);
  if (!in) {
    if (error != nullptr) *error = "cannot read fixture " + path;
    return false;
  }
  // Fixture files hold one "name=value" per line; blank lines and lines
  // starting with '#' are notes for the reader.
  std::string list;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    list += line + "\r\n";
  }
  std::lock_guard<std::mutex> lock(mutex_);
  parameterList_ = list;
  return true;
}

std::string Camsim::ParameterList() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return parameterList_;
}

void Camsim::SetRtspPort(uint16_t port) {
  static const std::string kKey = "root.Network.RTSP.Port=";
  std::lock_guard<std::mutex> lock(mutex_);
  const size_t at = parameterList_.find(kKey);
  if (at == std::string::npos) return;
  const size_t value = at + kKey.size();
  const size_t end = parameterList_.find("\r\n", value);
  parameterList_.replace(value, end == std::string::npos ? std::string::npos : end - value,
                         std::to_string(port));
}

void Camsim::SetFault(const FaultState& fault) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    fault_ = fault;
  }
  changed_.notify_all();
}

FaultState Camsim::Fault() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return fault_;
}

void Camsim::WaitWhileNoAnswer(uint32_t maxMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, std::chrono::milliseconds(maxMs),
                    [this] { return stopping_ || fault_.mode != FaultMode::kNoAnswer; });
}

void Camsim::RecordRequest(const std::string& target) {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.push_back(target);
  if (!options_.requestLog.empty()) {
    std::ofstream log(options_.requestLog, std::ios::app);
    log << target << "\n";
  }
}

std::vector<std::string> Camsim::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void Camsim::ClearRequests() {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.clear();
}

void Camsim::AddEndlessBytes(uint64_t n) {
  std::lock_guard<std::mutex> lock(mutex_);
  endlessBytes_ += n;
}

uint64_t Camsim::EndlessBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return endlessBytes_;
}

void Camsim::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
}

bool Camsim::Stopping() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stopping_;
}

}  // namespace camsim
