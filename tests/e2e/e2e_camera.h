// The simulated camera inside an end-to-end test process, and running the
// reference host as a separate process against it.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "sim_camera.h"
#include "stream_selection.h"

namespace e2e {

constexpr uint32_t kCameraFps = 25;

// The simulator with its RTSP server playing the clips the host asks for.
struct Camera : testhost::SimCamera {
  // Changes the RTSP server's options (faults, clip choice) before it starts.
  std::function<void(camsim::RtspOptions&)> tuneRtsp;

  explicit Camera(camsim::CamsimOptions options) : SimCamera(std::move(options)) {}

  bool Start() {
    camsim::RtspOptions o;
    o.framesPerSecond = kCameraFps;
    o.auth = core.Options().auth;
    o.user = core.Options().user;
    o.password = core.Options().password;
    o.clipFor = [this](const std::string& uri) {
      return camsim::SelectClipPath(E2E_MEDIA_DIR, core.Requests(), uri);
    };
    if (tuneRtsp) tuneRtsp(o);
    std::string error;
    return StartRtsp(o, &error);
  }
};

inline camsim::CamsimOptions DefaultOptions() {
  camsim::CamsimOptions o;
  o.httpPort = 0;
  return o;
}

struct ProcessRun {
  int status = -1;
  std::string output;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs a shell command; its exit status and output.
inline ProcessRun Shell(const std::string& command, const std::string& tag) {
  const std::string out = std::string(E2E_WORK_DIR) + "/" + tag + ".out";
  const std::string rc = std::string(E2E_WORK_DIR) + "/" + tag + ".rc";
  std::system(
      ("mkdir -p " E2E_WORK_DIR "; " + command + " >" + out + " 2>&1; echo $? >" + rc).c_str());
  ProcessRun run;
  run.output = ReadFile(out);
  run.status = std::atoi(ReadFile(rc).c_str());
  return run;
}

}  // namespace e2e
