// Socket shutdown, send buffer and blocking time-outs on Winsock.
#include <winsock2.h>

#include "platform/socket.h"

namespace quenlix {
namespace platform {

namespace {

int SetTimeoutOption(SocketHandle socket, int option, uint32_t timeoutMs) {
  DWORD value = timeoutMs;
  return setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, option,
                    reinterpret_cast<const char*>(&value), sizeof value) == 0
             ? 0
             : kSocketError;
}

}  // namespace

int ShutdownSocket(SocketHandle socket) {
  return shutdown(static_cast<SOCKET>(socket), SD_BOTH) == 0 ? 0 : kSocketError;
}

int SetSendBufferSize(SocketHandle socket, int bytes) {
  return setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_SNDBUF,
                    reinterpret_cast<const char*>(&bytes), sizeof bytes) == 0
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
