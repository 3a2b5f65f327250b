// Loopback sockets and waiting helpers shared by the RTP transport tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "wait_for.h"

namespace quenlix {
namespace testing_rtp {

using testhost::WaitFor;

inline uint32_t Loopback() { return platform::InetAddr("127.0.0.1"); }

inline platform::SocketAddress LoopbackAt(uint16_t port) {
  platform::SocketAddress to;
  to.address = Loopback();
  to.port = platform::HostToNet16(port);
  return to;
}

// A UDP socket bound to 127.0.0.1 on an ephemeral port.
class LoopbackSocket {
 public:
  LoopbackSocket() : handle(platform::CreateUdpSocket()) {
    if (handle != platform::kInvalidSocket) platform::BindSocket(handle, Loopback(), 0);
  }
  ~LoopbackSocket() {
    if (handle != platform::kInvalidSocket) platform::CloseSocket(handle);
  }
  LoopbackSocket(const LoopbackSocket&) = delete;
  LoopbackSocket& operator=(const LoopbackSocket&) = delete;

  bool ok() const { return handle != platform::kInvalidSocket; }
  uint16_t port() const { return platform::LocalPort(handle); }
  int SendTo(uint16_t port, const std::vector<uint8_t>& data) const {
    return platform::SendTo(handle, data.data(), data.size(), LoopbackAt(port));
  }
  // Empty when nothing arrives in time.
  std::vector<uint8_t> Receive(uint32_t timeoutMs) const {
    if (platform::WaitReadable(handle, timeoutMs) != 1) return {};
    std::vector<uint8_t> buffer(65536);
    platform::SocketAddress from;
    int n = platform::ReceiveFrom(handle, buffer.data(), buffer.size(), &from);
    buffer.resize(n > 0 ? size_t(n) : 0);
    return buffer;
  }

  platform::SocketHandle handle;
};

// An RTP datagram: version 2 header with the given fields and payload.
inline std::vector<uint8_t> MakeRtp(uint16_t sequence, uint32_t timestamp, uint32_t ssrc,
                                    const std::vector<uint8_t>& payload, bool marker = false,
                                    uint8_t payloadType = 96) {
  std::vector<uint8_t> d = {0x80,
                            uint8_t((marker ? 0x80 : 0) | payloadType),
                            uint8_t(sequence >> 8),
                            uint8_t(sequence),
                            uint8_t(timestamp >> 24),
                            uint8_t(timestamp >> 16),
                            uint8_t(timestamp >> 8),
                            uint8_t(timestamp),
                            uint8_t(ssrc >> 24),
                            uint8_t(ssrc >> 16),
                            uint8_t(ssrc >> 8),
                            uint8_t(ssrc)};
  d.insert(d.end(), payload.begin(), payload.end());
  return d;
}

}  // namespace testing_rtp
}  // namespace quenlix
