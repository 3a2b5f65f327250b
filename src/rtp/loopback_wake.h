// Waking a thread that is blocked receiving on a local UDP port.
#pragma once

#include <cstdint>

#include "platform/socket.h"

namespace quenlix {

// Sends an empty datagram to 127.0.0.1:port, from `from` or, when that is
// kInvalidSocket, from a socket of its own. The receivers drop it as empty.
void SendLoopbackWake(uint16_t port, platform::SocketHandle from = platform::kInvalidSocket);

}  // namespace quenlix
