// The camera's digital inputs and outputs: input states that can be changed
// while the simulator runs, the output requests received in order, and a
// switch that makes the I/O requests go unanswered. Control endpoints under
// /camsim/ (never authenticated) number inputs from 0, as ipcap and the
// driver do; the camera's CGI names them from 1 ("Input1" is input 0):
//   GET /camsim/input?input=N&state=active|inactive|missing   sets input N;
//        "missing" makes the poll reply leave out the input's line
//   GET /camsim/inputs                 the states, "input N STATE (InputM)" one a line
//   GET /camsim/outputs                output requests received, in order, one a line
//        ("Output.O0.Active=closed")
//   GET /camsim/outputs/clear          empties that log
//   GET /camsim/io[?mode=answer|hang|refuse]   shows or sets the I/O switch
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace camsim {

class Camsim;

enum class InputState { kInactive, kActive, kMissing };

enum class IoMode {
  kAnswer,  // answers as the camera does
  kHang,    // reads the request and gives no answer until the mode changes
  kRefuse,  // answers with a broken status line: the client gets no status
};

bool ParseIoMode(const std::string& text, IoMode* mode);
std::string IoModeText(IoMode mode);

class CIoSim {
 public:
  static constexpr uint32_t kMaxInputs = 64;

  explicit CIoSim(Camsim& core) : core_(core) {}

  // number is the camera's own, from 1 (input 0 is "Input1"); false when
  // out of range.
  bool SetInput(uint32_t number, InputState state);
  InputState Input(uint32_t number) const;
  void SetMode(IoMode mode);
  IoMode Mode() const;
  std::vector<std::string> Outputs() const;
  void ClearOutputs();

  // The camera's own answer to an input poll for number: the CGI body.
  std::string InputReply(uint32_t number) const;

  // Registers the control endpoints on server.
  void RegisterControl(httplib::Server& server);
  // Answers req if it is an I/O request (input poll, output switch); false
  // leaves it to the caller. Called after authentication.
  bool HandleCgi(const httplib::Request& req, httplib::Response& res);

 private:
  void HoldWhileHanging();

  Camsim& core_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<uint32_t, InputState> inputs_;  // absent: inactive
  std::vector<std::string> outputs_;
  IoMode mode_ = IoMode::kAnswer;
};

}  // namespace camsim
