// The camera tests' simulator: a fixture and its authentication, started.
#pragma once

#include <string>

#if QUENLIX_TEST_WITH_CAMSIM
#include "sim_camera.h"

namespace camtest {

class TestCamera : public testhost::SimCamera {
 public:
  explicit TestCamera(const std::string& fixture = "siqura_pal_h264",
                      camsim::AuthMode auth = camsim::AuthMode::kNone,
                      const std::string& user = "admin", const std::string& password = "secret")
      : SimCamera(Options(fixture, auth, user, password)) {}

 private:
  static camsim::CamsimOptions Options(const std::string& fixture, camsim::AuthMode auth,
                                       const std::string& user, const std::string& password) {
    camsim::CamsimOptions options;
    options.fixture = fixture;
    options.auth = auth;
    options.user = user;
    options.password = password;
    return options;
  }
};

using testhost::ClosedPort;

}  // namespace camtest
#endif
