// A loopback UDP socket for the RTP transport tests.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/socket.h"
#include "wait_for.h"

namespace quenlix {
namespace testing_rtp {

using testhost::WaitFor;

inline uint32_t Loopback() { return platform::InetAddr("127.0.0.1"); }

inline platform::SocketAddress LoopbackAt(uint16_t port) {
  return platform::SocketAddress{Loopback(), platform::HostToNet16(port)};
}

// Bound to 127.0.0.1 on an ephemeral port.
class LoopbackSocket {
 public:
  LoopbackSocket() : handle(platform::CreateUdpSocket()) {
    platform::BindSocket(handle, Loopback(), 0);
  }
  ~LoopbackSocket() { platform::CloseSocket(handle); }
  uint16_t port() const { return platform::LocalPort(handle); }
  int SendTo(uint16_t port, const std::vector<uint8_t>& data) const {
    return platform::SendTo(handle, data.data(), data.size(), LoopbackAt(port));
  }
  // Empty when nothing arrives in time.
  std::vector<uint8_t> Receive(uint32_t timeoutMs) const {
    std::vector<uint8_t> buffer(65536);
    platform::SocketAddress from;
    const int n = platform::WaitReadable(handle, timeoutMs) == 1
                      ? platform::ReceiveFrom(handle, buffer.data(), buffer.size(), &from)
                      : 0;
    buffer.resize(n > 0 ? size_t(n) : 0);
    return buffer;
  }

  platform::SocketHandle handle;
};

}  // namespace testing_rtp
}  // namespace quenlix
