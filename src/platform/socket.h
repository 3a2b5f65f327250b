// Sockets, in the vocabulary of Windows Sockets 2: handles, IPv4 addresses in
// network byte order, and Winsock error numbers (POSIX maps errno to them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quenlix {
namespace platform {

using SocketHandle = uintptr_t;
constexpr SocketHandle kInvalidSocket = ~SocketHandle(0);
constexpr int kSocketError = -1;

// Winsock error numbers the driver tests for.
enum SocketErrorCode : int {
  kWsaEINTR = 10004,
  kWsaEBADF = 10009,
  kWsaEACCES = 10013,
  kWsaEFAULT = 10014,
  kWsaEINVAL = 10022,
  kWsaEMFILE = 10024,
  kWsaEWOULDBLOCK = 10035,
  kWsaEINPROGRESS = 10036,
  kWsaEALREADY = 10037,
  kWsaENOTSOCK = 10038,
  kWsaEMSGSIZE = 10040,
  kWsaEADDRINUSE = 10048,
  kWsaEADDRNOTAVAIL = 10049,
  kWsaENETDOWN = 10050,
  kWsaENETUNREACH = 10051,
  kWsaECONNABORTED = 10053,
  kWsaECONNRESET = 10054,
  kWsaENOBUFS = 10055,
  kWsaEISCONN = 10056,
  kWsaENOTCONN = 10057,
  kWsaESHUTDOWN = 10058,
  kWsaETIMEDOUT = 10060,
  kWsaECONNREFUSED = 10061,
  kWsaEHOSTUNREACH = 10065,
  kWsaHOST_NOT_FOUND = 11001,
};

// An IPv4 endpoint; both fields in network byte order.
struct SocketAddress {
  uint32_t address = 0;
  uint16_t port = 0;
};

// Reference-counted start and release of the sockets library (version 2.2).
// POSIX: always succeeds and does nothing else.
bool SocketsStartup();
void SocketsCleanup();

SocketHandle CreateTcpSocket();
SocketHandle CreateUdpSocket();
int CloseSocket(SocketHandle socket);
// Winsock error of the calling thread's last failed socket call.
int LastSocketError();

// address in network byte order (0 for any); port in host byte order.
int BindSocket(SocketHandle socket, uint32_t address, uint16_t port);
// Local port (host byte order) the socket is bound to, 0 on failure.
uint16_t LocalPort(SocketHandle socket);
// Asks for a kernel receive queue of bytes. Linux caps the request at
// net.core.rmem_max; a process allowed to (CAP_NET_ADMIN) then raises it past
// the cap, anyone else keeps what the cap allows. Fails only when the plain
// request is refused.
int SetReceiveBufferSize(SocketHandle socket, int bytes);
// The receive queue the system granted, in its own reckoning (Linux reports
// twice the request, the half it keeps for bookkeeping included); -1 on failure.
int ReceiveBufferSize(SocketHandle socket);
int SetNonBlocking(SocketHandle socket, bool nonBlocking);
int SetReuseAddress(SocketHandle socket, bool reuse);

// Connect; port in host order. On a socket made non-blocking first
// (SetNonBlocking): returns 0 when connected at once, else kSocketError with
// kWsaEWOULDBLOCK (in progress; then WaitConnected) or another error. On a
// blocking socket it waits for the outcome.
int ConnectSocket(SocketHandle socket, uint32_t address, uint16_t port);
// A listening TCP socket, for loopback servers in tests and tools.
int ListenSocket(SocketHandle socket, int backlog);
// Blocks (a cancellation point) unless non-blocking; from may be null.
SocketHandle AcceptSocket(SocketHandle socket, SocketAddress* from);
// After an in-progress connect: 1 connected, 0 not yet (time-out), -1 failed.
int WaitConnected(SocketHandle socket, uint32_t timeoutMs);

// Readiness of one socket: 1 readable, 0 time-out, kSocketError on failure.
int WaitReadable(SocketHandle socket, uint32_t timeoutMs);
int WaitWritable(SocketHandle socket, uint32_t timeoutMs);

// Return bytes transferred, or kSocketError.
int SendBytes(SocketHandle socket, const void* data, size_t length);
int ReceiveBytes(SocketHandle socket, void* buffer, size_t length);
int SendTo(SocketHandle socket, const void* data, size_t length, const SocketAddress& to);
// UDP only. A datagram larger than the buffer is cut and reports
// kWsaEMSGSIZE (POSIX reproduces this with MSG_TRUNC, which on a TCP socket
// would throw the bytes away instead).
int ReceiveFrom(SocketHandle socket, void* buffer, size_t length, SocketAddress* from);

// One datagram of a ReceiveBatch. A truncated one was longer than its slot
// and is lost; length is then the part that fitted.
struct ReceivedDatagram {
  const uint8_t* data = nullptr;
  int length = 0;
  bool truncated = false;
  SocketAddress from;
};
// Datagrams one ReceiveBatch call may return: POSIX reads several in one
// system call; Winsock has no such call, so it reads one.
extern const size_t kMaxReceiveBatch;
// UDP only. Reads what is queued, up to count (at most kMaxReceiveBatch)
// datagrams, into consecutive slots of slotSize bytes of buffer; waits for
// the first only on a blocking socket. Returns the number read (>= 1, in
// arrival order), or kSocketError (kWsaEWOULDBLOCK when nothing is queued).
int ReceiveBatch(SocketHandle socket, uint8_t* buffer, size_t slotSize, size_t count,
                 ReceivedDatagram* datagrams);

// Both directions, as shutdown(SD_BOTH). On an unconnected UDP socket the
// call may report an error yet still wake a receiver blocked on it (POSIX).
// These four leave LastSocketError as it was when they fail on POSIX.
int ShutdownSocket(SocketHandle socket);
int SetSendBufferSize(SocketHandle socket, int bytes);
// Blocking receive and send give up after this long. The receive then fails
// with kWsaETIMEDOUT (Win32) or kWsaEWOULDBLOCK (POSIX, where it is EAGAIN).
int SetReceiveTimeout(SocketHandle socket, uint32_t timeoutMs);
int SetSendTimeout(SocketHandle socket, uint32_t timeoutMs);

// inet_addr: dotted IPv4 text to network byte order; 0xFFFFFFFF when invalid.
uint32_t InetAddr(const char* text);
// Dotted text of a network-order address.
std::string InetNtoa(uint32_t address);
// Name or dotted text to an IPv4 address in network byte order.
bool ResolveHostName(const char* name, uint32_t* address);
std::string HostName();

uint16_t HostToNet16(uint16_t value);
uint16_t NetToHost16(uint16_t value);
uint32_t HostToNet32(uint32_t value);
uint32_t NetToHost32(uint32_t value);

}  // namespace platform
}  // namespace quenlix
