#include "camsim_helpers.h"

#if QUENLIX_TEST_WITH_CAMSIM
#include <stdexcept>

namespace camtest {

TestCamera::TestCamera(const std::string& fixture, camsim::AuthMode auth, const std::string& user,
                       const std::string& password) {
  camsim::CamsimOptions options;
  options.fixture = fixture;
  options.auth = auth;
  options.user = user;
  options.password = password;
  core_.reset(new camsim::Camsim(options));
  std::string error;
  if (!core_->LoadFixture(&error)) throw std::runtime_error(error);
  server_.reset(new camsim::CHttpServer(*core_));
  port_ = server_->Start();
  if (port_ == 0) throw std::runtime_error("camsim did not start");
}

TestCamera::~TestCamera() { Stop(); }

void TestCamera::Stop() {
  if (server_) server_->Stop();
}

void TestCamera::SetFault(const std::string& fault) {
  camsim::FaultState state = core_->Fault();
  if (!camsim::ParseFault(fault, &state)) throw std::runtime_error("bad fault " + fault);
  core_->SetFault(state);
}

quenlix::DEVICE_INFO TestCamera::Device(const std::string& user, const std::string& password,
                                        uint32_t timeoutMs) const {
  quenlix::DEVICE_INFO info;
  info.address = "127.0.0.1";
  info.port = port_;
  info.userName = user;
  info.password = password;
  info.timeoutMs = timeoutMs;
  return info;
}

uint16_t ClosedPort() {
  TestCamera camera;
  const uint16_t port = camera.Port();
  camera.Stop();
  return port;
}

}  // namespace camtest
#endif
