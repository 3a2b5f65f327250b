// Windows Sockets 2.
#include <cstdio>
#include <cstring>

#include "platform/socket.h"
#include "platform/win32/win32_api.h"

#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace quenlix {
namespace platform {

namespace {

constexpr WORD kWinsockVersion = MAKEWORD(2, 2);

SOCKET ToSocket(SocketHandle socket) { return static_cast<SOCKET>(socket); }

int Fail(int wsaError) {
  ::WSASetLastError(wsaError);
  return kSocketError;
}

int Result(int result) { return result == SOCKET_ERROR ? kSocketError : result; }

// Winsock limits send and receive lengths to int.
int ClampLength(size_t length) {
  return length > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(length);
}

sockaddr_in MakeAddress(uint32_t networkAddress, uint16_t hostPort) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = networkAddress;
  address.sin_port = htons(hostPort);
  return address;
}

timeval* ToTimeval(uint32_t timeoutMs, timeval* storage) {
  if (timeoutMs == kInfinite) return nullptr;
  storage->tv_sec = static_cast<long>(timeoutMs / 1000);
  storage->tv_usec = static_cast<long>(timeoutMs % 1000) * 1000;
  return storage;
}

int WaitFor(SocketHandle socket, bool write, uint32_t timeoutMs) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(ToSocket(socket), &set);
  timeval storage{};
  int result = ::select(0, write ? nullptr : &set, write ? &set : nullptr, nullptr,
                        ToTimeval(timeoutMs, &storage));
  if (result == SOCKET_ERROR) return kSocketError;
  return result > 0 ? 1 : 0;
}

}  // namespace

bool SocketsStartup() {
  // Winsock counts its own start-ups; every call is matched by a cleanup.
  WSADATA data{};
  if (::WSAStartup(kWinsockVersion, &data) != 0) return false;
  if (data.wVersion != kWinsockVersion) {
    ::WSACleanup();
    return false;
  }
  return true;
}

void SocketsCleanup() { ::WSACleanup(); }

SocketHandle CreateTcpSocket() {
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  return s == INVALID_SOCKET ? kInvalidSocket : static_cast<SocketHandle>(s);
}

SocketHandle CreateUdpSocket() {
  SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return kInvalidSocket;
  // Without this, an ICMP port-unreachable for an earlier send makes the
  // next receive fail with a reset, which would end an RTP or RTCP receive
  // loop when the far side's port is briefly closed.
  BOOL report = FALSE;
  DWORD returned = 0;
  ::WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof(report), nullptr, 0, &returned, nullptr,
             nullptr);
  return static_cast<SocketHandle>(s);
}

int CloseSocket(SocketHandle socket) { return Result(::closesocket(ToSocket(socket))); }

int LastSocketError() { return ::WSAGetLastError(); }

int BindSocket(SocketHandle socket, uint32_t address, uint16_t port) {
  sockaddr_in local = MakeAddress(address, port);
  return Result(::bind(ToSocket(socket), reinterpret_cast<sockaddr*>(&local), sizeof(local)));
}

uint16_t LocalPort(SocketHandle socket) {
  sockaddr_in local{};
  int length = sizeof(local);
  if (::getsockname(ToSocket(socket), reinterpret_cast<sockaddr*>(&local), &length) == SOCKET_ERROR)
    return 0;
  return ntohs(local.sin_port);
}

int SetReceiveBufferSize(SocketHandle socket, int bytes) {
  return Result(::setsockopt(ToSocket(socket), SOL_SOCKET, SO_RCVBUF,
                             reinterpret_cast<const char*>(&bytes), sizeof(bytes)));
}

int ReceiveBufferSize(SocketHandle socket) {
  int bytes = 0;
  int length = sizeof(bytes);
  if (::getsockopt(ToSocket(socket), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&bytes),
                   &length) == SOCKET_ERROR)
    return -1;
  return bytes;
}

int SetNonBlocking(SocketHandle socket, bool nonBlocking) {
  u_long mode = nonBlocking ? 1 : 0;
  return Result(::ioctlsocket(ToSocket(socket), FIONBIO, &mode));
}

int SetReuseAddress(SocketHandle socket, bool reuse) {
  BOOL value = reuse ? TRUE : FALSE;
  return Result(::setsockopt(ToSocket(socket), SOL_SOCKET, SO_REUSEADDR,
                             reinterpret_cast<const char*>(&value), sizeof(value)));
}

int ConnectSocket(SocketHandle socket, uint32_t address, uint16_t port) {
  sockaddr_in remote = MakeAddress(address, port);
  return Result(::connect(ToSocket(socket), reinterpret_cast<sockaddr*>(&remote), sizeof(remote)));
}

int ListenSocket(SocketHandle socket, int backlog) {
  return Result(::listen(ToSocket(socket), backlog));
}

SocketHandle AcceptSocket(SocketHandle socket, SocketAddress* from) {
  sockaddr_in remote{};
  int length = sizeof(remote);
  SOCKET accepted = ::accept(ToSocket(socket), reinterpret_cast<sockaddr*>(&remote), &length);
  if (accepted == INVALID_SOCKET) return kInvalidSocket;
  if (from != nullptr) {
    from->address = remote.sin_addr.s_addr;
    from->port = remote.sin_port;
  }
  return static_cast<SocketHandle>(accepted);
}

int WaitConnected(SocketHandle socket, uint32_t timeoutMs) {
  // A connect that fails is reported in the exception set, not the write set.
  fd_set writable, failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(ToSocket(socket), &writable);
  FD_SET(ToSocket(socket), &failed);
  timeval storage{};
  int result = ::select(0, nullptr, &writable, &failed, ToTimeval(timeoutMs, &storage));
  if (result == SOCKET_ERROR) return -1;
  if (result == 0) return 0;
  if (FD_ISSET(ToSocket(socket), &failed)) {
    int error = 0;
    int length = sizeof(error);
    if (::getsockopt(ToSocket(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                     &length) == 0) {
      Fail(error != 0 ? error : kWsaECONNREFUSED);
    }
    return -1;
  }
  return 1;
}

int WaitReadable(SocketHandle socket, uint32_t timeoutMs) {
  return WaitFor(socket, false, timeoutMs);
}
int WaitWritable(SocketHandle socket, uint32_t timeoutMs) {
  return WaitFor(socket, true, timeoutMs);
}

int SendBytes(SocketHandle socket, const void* data, size_t length) {
  return Result(::send(ToSocket(socket), static_cast<const char*>(data), ClampLength(length), 0));
}

int ReceiveBytes(SocketHandle socket, void* buffer, size_t length) {
  return Result(::recv(ToSocket(socket), static_cast<char*>(buffer), ClampLength(length), 0));
}

int SendTo(SocketHandle socket, const void* data, size_t length, const SocketAddress& to) {
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_addr.s_addr = to.address;
  remote.sin_port = to.port;
  return Result(::sendto(ToSocket(socket), static_cast<const char*>(data), ClampLength(length), 0,
                         reinterpret_cast<sockaddr*>(&remote), sizeof(remote)));
}

int ReceiveFrom(SocketHandle socket, void* buffer, size_t length, SocketAddress* from) {
  sockaddr_in remote{};
  int remoteLength = sizeof(remote);
  int received = ::recvfrom(ToSocket(socket), static_cast<char*>(buffer), ClampLength(length), 0,
                            reinterpret_cast<sockaddr*>(&remote), &remoteLength);
  const int error = received == SOCKET_ERROR ? ::WSAGetLastError() : 0;
  if (from != nullptr && (received != SOCKET_ERROR || error == WSAEMSGSIZE)) {
    from->address = remote.sin_addr.s_addr;
    from->port = remote.sin_port;
  }
  if (received == SOCKET_ERROR) return Fail(error);
  return received;
}

const size_t kMaxReceiveBatch = 1;

int ReceiveBatch(SocketHandle socket, uint8_t* buffer, size_t slotSize, size_t count,
                 ReceivedDatagram* datagrams) {
  if (count == 0) return Fail(WSAEINVAL);
  ReceivedDatagram& d = datagrams[0];
  d = ReceivedDatagram();
  d.data = buffer;
  const int received = ReceiveFrom(socket, buffer, slotSize, &d.from);
  if (received != kSocketError) {
    d.length = received;
    return 1;
  }
  // The part that fitted is not worth handing on: the caller drops it.
  if (::WSAGetLastError() != WSAEMSGSIZE) return kSocketError;
  d.length = ClampLength(slotSize);
  d.truncated = true;
  return 1;
}

uint32_t InetAddr(const char* text) {
  if (text == nullptr) return INADDR_NONE;
  return ::inet_addr(text);
}

std::string InetNtoa(uint32_t address) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&address);
  char text[16];
  std::snprintf(text, sizeof(text), "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
  return text;
}

bool ResolveHostName(const char* name, uint32_t* address) {
  if (name == nullptr || address == nullptr || *name == '\0') {
    Fail(kWsaHOST_NOT_FOUND);
    return false;
  }
  const uint32_t dotted = ::inet_addr(name);
  if (dotted != INADDR_NONE || std::strcmp(name, "255.255.255.255") == 0) {
    *address = dotted;
    return true;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (::getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) {
    Fail(kWsaHOST_NOT_FOUND);
    return false;
  }
  *address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  ::freeaddrinfo(found);
  return true;
}

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof(name) - 1) == SOCKET_ERROR) return std::string();
  return name;
}

uint16_t HostToNet16(uint16_t value) { return htons(value); }
uint16_t NetToHost16(uint16_t value) { return ntohs(value); }
uint32_t HostToNet32(uint32_t value) { return htonl(value); }
uint32_t NetToHost32(uint32_t value) { return ntohl(value); }

}  // namespace platform
}  // namespace quenlix
