// The port and RTCP tests open sockets directly, outside any channel, so the
// sockets library is started once for the whole run (a no-op on POSIX).
#include <gtest/gtest.h>

#include "platform/socket.h"

namespace {

class SocketsEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_TRUE(quenlix::platform::SocketsStartup()); }
  void TearDown() override { quenlix::platform::SocketsCleanup(); }
};

[[maybe_unused]] ::testing::Environment* const kSockets =
    ::testing::AddGlobalTestEnvironment(new SocketsEnvironment);

}  // namespace
