#include "rtp/loopback_wake.h"

namespace quenlix {

namespace {
constexpr uint32_t kLoopbackHostOrder = 0x7F000001u;
}  // namespace

void SendLoopbackWake(uint16_t port, platform::SocketHandle from) {
  if (port == 0) return;
  const bool own = from == platform::kInvalidSocket;
  const platform::SocketHandle s = own ? platform::CreateUdpSocket() : from;
  if (s == platform::kInvalidSocket) return;
  platform::SocketAddress to;
  to.address = platform::HostToNet32(kLoopbackHostOrder);
  to.port = platform::HostToNet16(port);
  platform::SendTo(s, "", 0, to);
  if (own) platform::CloseSocket(s);
}

}  // namespace quenlix
