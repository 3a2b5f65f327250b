#include "io_sim.h"

#include <httplib.h>

#include <chrono>
#include <cstdlib>

#include "camsim.h"

namespace camsim {

namespace {

constexpr const char* kInputPath = "/siqura-cgi/io/input.cgi";
constexpr const char* kParamPath = "/siqura-cgi/admin/param.cgi";
constexpr const char* kOutputKey = "Output.O";
constexpr const char* kUpdateQuery = "action=update&";
// A held request re-checks whether the simulator is stopping this often.
constexpr uint32_t kHoldSliceMs = 50;
constexpr uint32_t kMaxHoldMs = 10 * 60 * 1000;
// Not a three-digit status: no HTTP client takes it for an answer.
constexpr int kBrokenStatus = 0;

bool ParseNumber(const std::string& text, uint32_t* value) {
  if (text.empty() || text.size() > 9 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  *value = uint32_t(std::strtoul(text.c_str(), nullptr, 10));
  return true;
}

const char* InputStateText(InputState state) {
  switch (state) {
    case InputState::kActive:
      return "active";
    case InputState::kMissing:
      return "missing";
    case InputState::kInactive:
      break;
  }
  return "inactive";
}

bool ParseInputState(const std::string& text, InputState* state) {
  if (text == "active") {
    *state = InputState::kActive;
  } else if (text == "inactive") {
    *state = InputState::kInactive;
  } else if (text == "missing") {
    *state = InputState::kMissing;
  } else {
    return false;
  }
  return true;
}

// What the control endpoints print for the camera's input number: the
// input as ipcap and the driver count it, from 0, so that the two tools'
// lines can be compared; the camera's own name follows.
std::string InputLine(uint32_t number, InputState state) {
  return "input " + std::to_string(number - 1) + " " + InputStateText(state) + " (Input" +
         std::to_string(number) + ")\n";
}

std::string QueryOf(const httplib::Request& req) {
  const size_t q = req.target.find('?');
  return q == std::string::npos ? std::string() : req.target.substr(q + 1);
}

void Text(httplib::Response& res, int status, const std::string& body) {
  res.status = status;
  res.set_content(body, "text/plain");
}

}  // namespace

bool ParseIoMode(const std::string& text, IoMode* mode) {
  if (text == "answer") {
    *mode = IoMode::kAnswer;
  } else if (text == "hang") {
    *mode = IoMode::kHang;
  } else if (text == "refuse") {
    *mode = IoMode::kRefuse;
  } else {
    return false;
  }
  return true;
}

std::string IoModeText(IoMode mode) {
  switch (mode) {
    case IoMode::kHang:
      return "hang";
    case IoMode::kRefuse:
      return "refuse";
    case IoMode::kAnswer:
      break;
  }
  return "answer";
}

bool CIoSim::SetInput(uint32_t number, InputState state) {
  if (number == 0 || number > kMaxInputs) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  inputs_[number] = state;
  return true;
}

InputState CIoSim::Input(uint32_t number) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = inputs_.find(number);
  return it == inputs_.end() ? InputState::kInactive : it->second;
}

void CIoSim::SetMode(IoMode mode) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    mode_ = mode;
  }
  changed_.notify_all();
}

IoMode CIoSim::Mode() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return mode_;
}

std::vector<std::string> CIoSim::Outputs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return outputs_;
}

void CIoSim::ClearOutputs() {
  std::lock_guard<std::mutex> lock(mutex_);
  outputs_.clear();
}

std::string CIoSim::InputReply(uint32_t number) const {
  const InputState state = Input(number);
  // The camera answers every poll with a status line; a garbled camera is
  // simulated by leaving out the input's own line.
  if (state == InputState::kMissing) return "OK\r\n";
  return "Input" + std::to_string(number) + "=" + InputStateText(state) + "\r\n";
}

void CIoSim::HoldWhileHanging() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kMaxHoldMs);
  std::unique_lock<std::mutex> lock(mutex_);
  while (mode_ == IoMode::kHang && !core_.Stopping() &&
         std::chrono::steady_clock::now() < deadline) {
    changed_.wait_for(lock, std::chrono::milliseconds(kHoldSliceMs));
  }
}

bool CIoSim::HandleCgi(const httplib::Request& req, httplib::Response& res) {
  const std::string query = QueryOf(req);
  const bool isInput = req.path == kInputPath;
  const bool isOutput = req.path == kParamPath && query.rfind(kUpdateQuery, 0) == 0 &&
                        query.find(kOutputKey) != std::string::npos;
  if (!isInput && !isOutput) return false;

  if (isOutput) {
    std::lock_guard<std::mutex> lock(mutex_);
    outputs_.push_back(query.substr(std::char_traits<char>::length(kUpdateQuery)));
  }
  switch (Mode()) {
    case IoMode::kHang:
      HoldWhileHanging();
      // Released: the held request still gets no answer.
      res.set_chunked_content_provider("text/plain",
                                       [](size_t, httplib::DataSink&) { return false; });
      return true;
    case IoMode::kRefuse:
      res.status = kBrokenStatus;
      return true;
    case IoMode::kAnswer:
      break;
  }
  if (isOutput) {
    Text(res, 200, "OK\r\n");
    return true;
  }
  uint32_t number = 0;
  if (!req.has_param("checkactive") || !ParseNumber(req.get_param_value("checkactive"), &number) ||
      number == 0 || number > kMaxInputs) {
    Text(res, 404, "");
    return true;
  }
  Text(res, 200, InputReply(number));
  return true;
}

void CIoSim::RegisterControl(httplib::Server& server) {
  server.Get("/camsim/input", [this](const httplib::Request& req, httplib::Response& res) {
    uint32_t input = 0;
    InputState state = InputState::kInactive;
    if (!req.has_param("input") || !ParseNumber(req.get_param_value("input"), &input) ||
        !req.has_param("state") || !ParseInputState(req.get_param_value("state"), &state) ||
        !SetInput(input + 1, state)) {
      Text(res, 400,
           "want input=0.." + std::to_string(kMaxInputs - 1) +
               "&state=active|inactive|missing (inputs count from 0, as ipcap's)\n");
      return;
    }
    Text(res, 200, InputLine(input + 1, state));
  });
  server.Get("/camsim/inputs", [this](const httplib::Request&, httplib::Response& res) {
    std::string out;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : inputs_) out += InputLine(entry.first, entry.second);
    Text(res, 200, out);
  });
  server.Get("/camsim/outputs", [this](const httplib::Request&, httplib::Response& res) {
    std::string out;
    for (const std::string& line : Outputs()) out += line + "\n";
    Text(res, 200, out);
  });
  server.Get("/camsim/outputs/clear", [this](const httplib::Request&, httplib::Response& res) {
    ClearOutputs();
    Text(res, 200, "ok\n");
  });
  server.Get("/camsim/io", [this](const httplib::Request& req, httplib::Response& res) {
    if (req.has_param("mode")) {
      IoMode mode = IoMode::kAnswer;
      if (!ParseIoMode(req.get_param_value("mode"), &mode)) {
        Text(res, 400, "want mode=answer|hang|refuse\n");
        return;
      }
      SetMode(mode);
    }
    Text(res, 200, IoModeText(Mode()) + "\n");
  });
}

}  // namespace camsim
