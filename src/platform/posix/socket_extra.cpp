// Socket shutdown, send buffer and blocking time-outs on BSD sockets.
#include <sys/socket.h>
#include <sys/time.h>

#include "platform/socket.h"

namespace quenlix {
namespace platform {

namespace {

int SetTimeoutOption(SocketHandle socket, int option, uint32_t timeoutMs) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeoutMs / 1000);
  tv.tv_usec = static_cast<suseconds_t>(timeoutMs % 1000) * 1000;
  return setsockopt(static_cast<int>(socket), SOL_SOCKET, option, &tv, sizeof tv) == 0
             ? 0
             : kSocketError;
}

}  // namespace

int ShutdownSocket(SocketHandle socket) {
  return shutdown(static_cast<int>(socket), SHUT_RDWR) == 0 ? 0 : kSocketError;
}

int SetSendBufferSize(SocketHandle socket, int bytes) {
  return setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) == 0
             ? 0
             : kSocketError;
}

int SetReceiveTimeout(SocketHandle socket, uint32_t timeoutMs) {
  return SetTimeoutOption(socket, SO_RCVTIMEO, timeoutMs);
}

int SetSendTimeout(SocketHandle socket, uint32_t timeoutMs) {
  return SetTimeoutOption(socket, SO_SNDTIMEO, timeoutMs);
}

}  // namespace platform
}  // namespace quenlix
