// The camera simulator inside a test process: its CGI over HTTP from
// construction on, its RTSP server when a test starts it, all on loopback
// ports and stopped when it goes.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "camsim.h"
#include "http_server.h"
#include "quenlix/driver.h"
#include "rtsp_server.h"

namespace testhost {

class SimCamera {
 public:
  // Throws where the fixture does not load or the server does not start.
  explicit SimCamera(camsim::CamsimOptions options = camsim::CamsimOptions())
      : core(std::move(options)), http(core) {
    std::string error;
    if (!core.LoadFixture(&error)) throw std::runtime_error(error);
    httpPort = http.Start();
    if (httpPort == 0) throw std::runtime_error("camsim did not start");
  }
  ~SimCamera() { Stop(); }
  SimCamera(const SimCamera&) = delete;
  SimCamera& operator=(const SimCamera&) = delete;

  bool StartRtsp(const camsim::RtspOptions& options, std::string* error) {
    rtsp = std::make_unique<camsim::CRtspServer>(options);
    return rtsp->Start(error);
  }
  void Stop() {
    if (rtsp) rtsp->Stop();
    core.Stop();
    http.Stop();
  }

  uint16_t Port() const { return httpPort; }
  camsim::Camsim& Core() { return core; }
  camsim::CIoSim& Io() { return http.Io(); }

  // Every recorded CGI request target containing text.
  std::vector<std::string> Requests(const std::string& text) const {
    std::vector<std::string> out;
    for (const std::string& r : core.Requests()) {
      if (r.find(text) != std::string::npos) out.push_back(r);
    }
    return out;
  }
  // A fault in the simulator's command-line form; throws where it does not parse.
  void SetFault(const std::string& fault) {
    camsim::FaultState state = core.Fault();
    if (!camsim::ParseFault(fault, &state)) throw std::runtime_error("bad fault " + fault);
    core.SetFault(state);
  }
  // A device info for this camera with the given credentials and time-out.
  quenlix::DEVICE_INFO Device(const std::string& user, const std::string& password,
                              uint32_t timeoutMs = 5000) const {
    quenlix::DEVICE_INFO info;
    info.address = "127.0.0.1";
    info.port = httpPort;
    info.userName = user;
    info.password = password;
    info.timeoutMs = timeoutMs;
    return info;
  }

  camsim::Camsim core;
  camsim::CHttpServer http;
  std::unique_ptr<camsim::CRtspServer> rtsp;
  uint16_t httpPort = 0;
};

// A loopback port on which nothing listens.
inline uint16_t ClosedPort() {
  SimCamera camera;
  const uint16_t port = camera.Port();
  camera.Stop();
  return port;
}

}  // namespace testhost
