// The simulator's core: its options and the state its servers share (the
// camera model's parameter list, the fault switches, the request log).
// Protocol servers (HTTP here; RTSP and RTP beside it) take a Camsim&.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace camsim {

enum class AuthMode { kNone, kBasic, kDigest };

// What the CGI does instead of answering properly.
enum class FaultMode {
  kNone,
  kStatus,    // answers with faultStatus and no body
  kEmpty,     // 200 with an empty body
  kSlow,      // answers properly after delayMs
  kNoAnswer,  // reads the request and never answers
  kClose,     // sends the status line and headers, then closes the connection
  kEndless,   // 200 with a body that never ends (until the client goes away)
};

struct FaultState {
  FaultMode mode = FaultMode::kNone;
  int status = 500;
  uint32_t delayMs = 3000;
};

// "none", "status:500", "empty", "slow:3000", "noanswer", "close", "endless".
bool ParseFault(const std::string& text, FaultState* fault);
std::string FaultText(const FaultState& fault);
bool ParseAuthMode(const std::string& text, AuthMode* mode);

struct CamsimOptions {
  std::string bindAddress = "127.0.0.1";
  uint16_t httpPort = 0;                    // 0: any free port
  std::string fixture = "siqura_pal_h264";  // a name in the fixture directory, or a path
  std::string fixtureDir = CAMSIM_FIXTURE_DIR;
  AuthMode auth = AuthMode::kNone;
  std::string user = "admin";
  std::string password = "admin";
  std::string requestLog;  // file that every recorded request is appended to
  FaultState fault;
};

class Camsim {
 public:
  explicit Camsim(CamsimOptions options);

  // Reads the fixture into the parameter list. False with a message.
  bool LoadFixture(std::string* error);

  const CamsimOptions& Options() const { return options_; }
  // The parameter list as the camera sends it: "name=value" lines, CR LF.
  std::string ParameterList() const;
  // The RTSP port the parameter list reports, once the server has one.
  void SetRtspPort(uint16_t port);

  void SetFault(const FaultState& fault);
  FaultState Fault() const;
  // For a request held without an answer: waits until the fault is changed,
  // the simulator stops or maxMs pass.
  void WaitWhileNoAnswer(uint32_t maxMs);

  // Request targets exactly as received, in order.
  void RecordRequest(const std::string& target);
  std::vector<std::string> Requests() const;
  void ClearRequests();

  // Body bytes handed to clients by "endless" answers so far.
  void AddEndlessBytes(uint64_t n);
  uint64_t EndlessBytes() const;

  void Stop();
  bool Stopping() const;

 private:
  CamsimOptions options_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::string parameterList_;
  FaultState fault_;
  std::vector<std::string> requests_;
  bool stopping_ = false;
  uint64_t endlessBytes_ = 0;
};

}  // namespace camsim
