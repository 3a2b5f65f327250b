// A camera simulator running inside the test process on a loopback port.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "quenlix/driver.h"

#if QUENLIX_TEST_WITH_CAMSIM
#include "camsim.h"
#include "http_server.h"

namespace camtest {

class TestCamera {
 public:
  explicit TestCamera(const std::string& fixture = "siqura_pal_h264",
                      camsim::AuthMode auth = camsim::AuthMode::kNone,
                      const std::string& user = "admin", const std::string& password = "secret");
  ~TestCamera();

  uint16_t Port() const { return port_; }
  camsim::Camsim& Core() { return *core_; }
  void SetFault(const std::string& fault);
  void Stop();

  // A device info for this camera with the given credentials and time-out.
  quenlix::DEVICE_INFO Device(const std::string& user, const std::string& password,
                              uint32_t timeoutMs = 5000) const;

 private:
  std::unique_ptr<camsim::Camsim> core_;
  std::unique_ptr<camsim::CHttpServer> server_;
  uint16_t port_ = 0;
};

// A loopback port on which nothing listens.
uint16_t ClosedPort();

}  // namespace camtest
#endif
