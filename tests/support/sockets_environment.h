// Starts the sockets library once for a whole test run (a no-op on POSIX),
// for test executables whose tests open sockets outside any channel. Include
// it from exactly one source file of the executable.
#pragma once

#include <gtest/gtest.h>

#include "platform/socket.h"

namespace testhost {

class SocketsEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_TRUE(quenlix::platform::SocketsStartup()); }
  void TearDown() override { quenlix::platform::SocketsCleanup(); }
};

[[maybe_unused]] inline ::testing::Environment* const kSocketsEnvironment =
    ::testing::AddGlobalTestEnvironment(new SocketsEnvironment);

}  // namespace testhost
