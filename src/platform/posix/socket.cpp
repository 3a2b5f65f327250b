// Winsock-style sockets on BSD sockets. Failures leave a Winsock error number
// for LastSocketError; blocking calls and waits are cancellation points.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/posix_wait.h"
#include "platform/socket.h"

namespace quenlix {
namespace platform {

namespace {

thread_local int lastSocketError = 0;

struct ErrnoMapping {
  int errnoValue;
  int wsaError;
};

const ErrnoMapping kErrnoToWsa[] = {
    {EINTR, kWsaEINTR},
    {EBADF, kWsaENOTSOCK},  // Winsock's answer for a handle that is no (longer a) socket
    {EACCES, kWsaEACCES},
    {EPERM, kWsaEACCES},
    {EFAULT, kWsaEFAULT},
    {EINVAL, kWsaEINVAL},
    {EMFILE, kWsaEMFILE},
    {ENFILE, kWsaEMFILE},
    {EAGAIN, kWsaEWOULDBLOCK},
#if EWOULDBLOCK != EAGAIN
    {EWOULDBLOCK, kWsaEWOULDBLOCK},
#endif
    {EINPROGRESS, kWsaEINPROGRESS},
    {EALREADY, kWsaEALREADY},
    {ENOTSOCK, kWsaENOTSOCK},
    {EMSGSIZE, kWsaEMSGSIZE},
    {EADDRINUSE, kWsaEADDRINUSE},
    {EADDRNOTAVAIL, kWsaEADDRNOTAVAIL},
    {ENETDOWN, kWsaENETDOWN},
    {ENETUNREACH, kWsaENETUNREACH},
    {ECONNABORTED, kWsaECONNABORTED},
    {ECONNRESET, kWsaECONNRESET},
    {EPIPE, kWsaECONNRESET},  // writing to a connection the peer has closed
    {ENOBUFS, kWsaENOBUFS},
    {ENOMEM, kWsaENOBUFS},
    {EISCONN, kWsaEISCONN},
    {ENOTCONN, kWsaENOTCONN},
    {ESHUTDOWN, kWsaESHUTDOWN},
    {ETIMEDOUT, kWsaETIMEDOUT},
    {ECONNREFUSED, kWsaECONNREFUSED},
    {EHOSTUNREACH, kWsaEHOSTUNREACH},
    {EHOSTDOWN, kWsaEHOSTUNREACH},
};

int ToWsaError(int errnoValue) {
  for (const ErrnoMapping& mapping : kErrnoToWsa) {
    if (mapping.errnoValue == errnoValue) return mapping.wsaError;
  }
  return kWsaEINVAL;  // nothing closer; the driver only tells failure apart
}

int Fail(int wsaError) {
  lastSocketError = wsaError;
  return kSocketError;
}

int FailFromErrno() { return Fail(ToWsaError(errno)); }

int Descriptor(SocketHandle socket) {
  return socket > static_cast<SocketHandle>(INT_MAX) ? -1 : static_cast<int>(socket);
}

SocketHandle Create(int type) {
  int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    FailFromErrno();
    return kInvalidSocket;
  }
  return static_cast<SocketHandle>(fd);
}

sockaddr_in MakeAddress(uint32_t networkAddress, uint16_t hostPort) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = networkAddress;
  address.sin_port = htons(hostPort);
  return address;
}

int MilliBetween(const timespec& from, const timespec& to) {
  const long long ms = (static_cast<long long>(to.tv_sec) - from.tv_sec) * 1000 +
                       (to.tv_nsec - from.tv_nsec) / 1000000;
  return ms < 0 ? 0 : ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// poll for one socket, restarted after signals with the time that is left.
// Returns the revents, 0 on time-out, -1 on failure.
int PollOne(int fd, short events, uint32_t timeoutMs) {
  posix::CancellationPoint point;
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    int wait = -1;
    if (timeoutMs != kInfinite) {
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      const int spent = MilliBetween(start, now);
      wait = timeoutMs > static_cast<uint32_t>(spent) ? static_cast<int>(timeoutMs - spent) : 0;
      if (timeoutMs > static_cast<uint32_t>(INT_MAX)) wait = INT_MAX;
    }
    pollfd entry{fd, events, 0};
    int result = ::poll(&entry, 1, wait);
    if (result > 0) return entry.revents;
    if (result == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

int WaitFor(SocketHandle socket, short events, uint32_t timeoutMs) {
  int fd = Descriptor(socket);
  if (fd < 0) return Fail(kWsaENOTSOCK);
  int revents = PollOne(fd, events, timeoutMs);
  if (revents < 0) return FailFromErrno();
  if (revents & POLLNVAL) return Fail(kWsaENOTSOCK);
  // An error or hang-up makes the next call return at once, as select reports it.
  return revents != 0 ? 1 : 0;
}

}  // namespace

bool SocketsStartup() { return true; }
void SocketsCleanup() {}

SocketHandle CreateTcpSocket() { return Create(SOCK_STREAM); }
SocketHandle CreateUdpSocket() { return Create(SOCK_DGRAM); }

int CloseSocket(SocketHandle socket) {
  posix::CancellationPoint point;
  int fd = Descriptor(socket);
  if (fd < 0) return Fail(kWsaENOTSOCK);
  // Linux releases the descriptor even when close reports EINTR; retrying
  // could close a descriptor another thread has just opened.
  if (::close(fd) != 0 && errno != EINTR) return FailFromErrno();
  return 0;
}

int LastSocketError() { return lastSocketError; }

int BindSocket(SocketHandle socket, uint32_t address, uint16_t port) {
  sockaddr_in local = MakeAddress(address, port);
  if (::bind(Descriptor(socket), reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0)
    return FailFromErrno();
  return 0;
}

uint16_t LocalPort(SocketHandle socket) {
  sockaddr_in local{};
  socklen_t length = sizeof(local);
  if (::getsockname(Descriptor(socket), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    FailFromErrno();
    return 0;
  }
  return ntohs(local.sin_port);
}

int SetReceiveBufferSize(SocketHandle socket, int bytes) {
  const int fd = Descriptor(socket);
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes)) != 0) return FailFromErrno();
#ifdef SO_RCVBUFFORCE
  // Linux grants twice the request, capped silently at net.core.rmem_max.
  // Past the cap only a privileged process gets further; the others keep
  // what they were granted.
  if (ReceiveBufferSize(socket) / 2 < bytes) {
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof(bytes));
  }
#endif
  return 0;
}

int ReceiveBufferSize(SocketHandle socket) {
  int bytes = 0;
  socklen_t length = sizeof(bytes);
  if (::getsockopt(Descriptor(socket), SOL_SOCKET, SO_RCVBUF, &bytes, &length) != 0) {
    FailFromErrno();
    return -1;
  }
  return bytes;
}

int SetNonBlocking(SocketHandle socket, bool nonBlocking) {
  int fd = Descriptor(socket);
  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0) return FailFromErrno();
  flags = nonBlocking ? flags | O_NONBLOCK : flags & ~O_NONBLOCK;
  if (::fcntl(fd, F_SETFL, flags) != 0) return FailFromErrno();
  return 0;
}

int SetReuseAddress(SocketHandle socket, bool reuse) {
  int value = reuse ? 1 : 0;
  if (::setsockopt(Descriptor(socket), SOL_SOCKET, SO_REUSEADDR, &value, sizeof(value)) != 0)
    return FailFromErrno();
  return 0;
}

int ConnectSocket(SocketHandle socket, uint32_t address, uint16_t port) {
  posix::CancellationPoint point;
  sockaddr_in remote = MakeAddress(address, port);
  if (::connect(Descriptor(socket), reinterpret_cast<sockaddr*>(&remote), sizeof(remote)) == 0)
    return 0;
  // Winsock reports a connect under way as "would block".
  if (errno == EINPROGRESS) return Fail(kWsaEWOULDBLOCK);
  return FailFromErrno();
}

int ListenSocket(SocketHandle socket, int backlog) {
  if (::listen(Descriptor(socket), backlog) != 0) return FailFromErrno();
  return 0;
}

SocketHandle AcceptSocket(SocketHandle socket, SocketAddress* from) {
  posix::CancellationPoint point;
  sockaddr_in remote{};
  socklen_t length = sizeof(remote);
  int fd =
      ::accept4(Descriptor(socket), reinterpret_cast<sockaddr*>(&remote), &length, SOCK_CLOEXEC);
  if (fd < 0) {
    FailFromErrno();
    return kInvalidSocket;
  }
  if (from != nullptr) {
    from->address = remote.sin_addr.s_addr;
    from->port = remote.sin_port;
  }
  return static_cast<SocketHandle>(fd);
}

int WaitConnected(SocketHandle socket, uint32_t timeoutMs) {
  int fd = Descriptor(socket);
  if (fd < 0) {
    Fail(kWsaENOTSOCK);
    return -1;
  }
  int revents = PollOne(fd, POLLOUT, timeoutMs);
  if (revents < 0) {
    FailFromErrno();
    return -1;
  }
  if (revents == 0) return 0;
  int error = 0;
  socklen_t length = sizeof(error);
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
    FailFromErrno();
    return -1;
  }
  if (error != 0) {
    Fail(ToWsaError(error));
    return -1;
  }
  return 1;
}

int WaitReadable(SocketHandle socket, uint32_t timeoutMs) {
  return WaitFor(socket, POLLIN, timeoutMs);
}
int WaitWritable(SocketHandle socket, uint32_t timeoutMs) {
  return WaitFor(socket, POLLOUT, timeoutMs);
}

int SendBytes(SocketHandle socket, const void* data, size_t length) {
  posix::CancellationPoint point;
  if (length > static_cast<size_t>(INT_MAX)) length = INT_MAX;
  ssize_t sent = ::send(Descriptor(socket), data, length, MSG_NOSIGNAL);
  if (sent < 0) return FailFromErrno();
  return static_cast<int>(sent);
}

int ReceiveBytes(SocketHandle socket, void* buffer, size_t length) {
  posix::CancellationPoint point;
  if (length > static_cast<size_t>(INT_MAX)) length = INT_MAX;
  ssize_t received = ::recv(Descriptor(socket), buffer, length, 0);
  if (received < 0) return FailFromErrno();
  return static_cast<int>(received);
}

int SendTo(SocketHandle socket, const void* data, size_t length, const SocketAddress& to) {
  posix::CancellationPoint point;
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_addr.s_addr = to.address;
  remote.sin_port = to.port;
  ssize_t sent = ::sendto(Descriptor(socket), data, length, MSG_NOSIGNAL,
                          reinterpret_cast<sockaddr*>(&remote), sizeof(remote));
  if (sent < 0) return FailFromErrno();
  return static_cast<int>(sent);
}

int ReceiveFrom(SocketHandle socket, void* buffer, size_t length, SocketAddress* from) {
  posix::CancellationPoint point;
  if (length > static_cast<size_t>(INT_MAX)) length = INT_MAX;
  sockaddr_in remote{};
  socklen_t remoteLength = sizeof(remote);
  // MSG_TRUNC makes recvfrom return the datagram's real length.
  ssize_t received = ::recvfrom(Descriptor(socket), buffer, length, MSG_TRUNC,
                                reinterpret_cast<sockaddr*>(&remote), &remoteLength);
  if (received < 0) return FailFromErrno();
  if (from != nullptr) {
    from->address = remote.sin_addr.s_addr;
    from->port = remote.sin_port;
  }
  if (static_cast<size_t>(received) > length) return Fail(kWsaEMSGSIZE);
  return static_cast<int>(received);
}

namespace {
constexpr size_t kBatch = 16;
}  // namespace

const size_t kMaxReceiveBatch = kBatch;

int ReceiveBatch(SocketHandle socket, uint8_t* buffer, size_t slotSize, size_t count,
                 ReceivedDatagram* datagrams) {
  posix::CancellationPoint point;
  if (count == 0 || count > kBatch) return Fail(kWsaEINVAL);
  if (slotSize > static_cast<size_t>(INT_MAX)) slotSize = INT_MAX;
  mmsghdr messages[kBatch] = {};
  iovec slots[kBatch] = {};
  sockaddr_in sources[kBatch] = {};
  for (size_t i = 0; i < count; ++i) {
    slots[i].iov_base = buffer + i * slotSize;
    slots[i].iov_len = slotSize;
    messages[i].msg_hdr.msg_iov = &slots[i];
    messages[i].msg_hdr.msg_iovlen = 1;
    messages[i].msg_hdr.msg_name = &sources[i];
    messages[i].msg_hdr.msg_namelen = sizeof(sources[i]);
  }
  // Waits for the first datagram only (on a blocking socket) and takes the
  // rest of what is queued without waiting.
  const int received = ::recvmmsg(Descriptor(socket), messages, static_cast<unsigned>(count),
                                  MSG_WAITFORONE, nullptr);
  if (received < 0) return FailFromErrno();
  for (int i = 0; i < received; ++i) {
    ReceivedDatagram& d = datagrams[i];
    d.data = buffer + size_t(i) * slotSize;
    d.length = static_cast<int>(messages[i].msg_len);
    d.truncated = (messages[i].msg_hdr.msg_flags & MSG_TRUNC) != 0;
    d.from.address = sources[i].sin_addr.s_addr;
    d.from.port = sources[i].sin_port;
  }
  return received;
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
  posix::CancellationPoint point;
  if (name == nullptr || address == nullptr || *name == '\0') {
    Fail(kWsaHOST_NOT_FOUND);
    return false;
  }
  in_addr dotted{};
  if (::inet_aton(name, &dotted) != 0) {
    *address = dotted.s_addr;
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
  if (::gethostname(name, sizeof(name) - 1) != 0) {
    FailFromErrno();
    return std::string();
  }
  return name;
}

uint16_t HostToNet16(uint16_t value) { return htons(value); }
uint16_t NetToHost16(uint16_t value) { return ntohs(value); }
uint32_t HostToNet32(uint32_t value) { return htonl(value); }
uint32_t NetToHost32(uint32_t value) { return ntohl(value); }

}  // namespace platform
}  // namespace quenlix
