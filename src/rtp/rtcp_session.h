// The RTCP companion of a channel's RTP port: answers the camera's reports
// with a receiver report and a CNAME, and says goodbye at the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "platform/socket.h"
#include "thread/recursive_lock.h"

namespace quenlix {

class CRTCPSession {
 public:
  static constexpr size_t kReportSize = 68;
  static constexpr size_t kByeSize = 8;
  static constexpr size_t kReceiveSize = 4096;
  // Shorter datagrams cannot be a report worth answering.
  static constexpr size_t kMinAnsweredSize = 11;
  static constexpr size_t kCnameAreaSize = 26;
  // The name and at least one zero byte (the end of the item list) must fit.
  static constexpr size_t kMaxCnameLength = kCnameAreaSize - 1;
  static constexpr uint32_t kSocketTimeoutMs = 500;
  static constexpr uint32_t kJoinTimeoutMs = 10000;

  // Only datagrams from peerAddress (IPv4, network byte order: the camera)
  // are answered, so the session cannot be used to reflect spoofed traffic.
  explicit CRTCPSession(uint32_t peerAddress);
  ~CRTCPSession();
  CRTCPSession(const CRTCPSession&) = delete;
  CRTCPSession& operator=(const CRTCPSession&) = delete;

  // Binds the socket and picks the SSRC and CNAME. False, with nothing left
  // open, when the socket cannot be made, bound or configured.
  bool Open(uint16_t port);
  // Starts Run on a thread of its own; false when no thread could be made.
  bool StartThread();
  static uint32_t ThreadProc(void* session);
  // The thread's body: answers reports until a stop is requested or the
  // socket fails, then sends BYE to the camera and closes the socket.
  uint32_t Run();

  void RequestStop();
  bool IsStopRequested();
  bool IsRunning();
  // Wakes the thread from its receive wait, so that a requested stop takes
  // effect at once. False when the thread had to be ended by force.
  bool Join();

  // The answer to one datagram, written to answer (kReportSize bytes of
  // room); 0 when it gets none. Remembers the peer for the BYE.
  size_t HandleDatagram(const uint8_t* data, size_t length, const platform::SocketAddress& from,
                        uint8_t* answer);
  // Shortened to kMaxCnameLength bytes.
  void SetCname(const std::string& name);

  static size_t BuildReceiverReport(uint32_t ownSsrc, const uint8_t* cname, size_t cnameLength,
                                    const uint8_t* received, size_t receivedLength, uint8_t* out);
  static size_t BuildBye(uint32_t ownSsrc, uint8_t* out);

  uint32_t OwnSsrc() const { return ownSsrc; }
  uint16_t CnameLength() const { return cnameLength; }
  int LastError() const { return lastError; }

 private:
  void SetRunning(bool value);
  void CloseSocket();
  void WakeThread();

  int lastError = 0;
  CRecursiveLock stopLock;
  CRecursiveLock runningLock;
  CRecursiveLock openLock;
  int32_t stopRequested = 0;
  int32_t threadRunning = 0;
  platform::SocketHandle socketHandle = platform::kInvalidSocket;
  uint16_t boundPort = 0;
  uint32_t ownSsrc = 0;
  platform::Thread thread = nullptr;
  uint32_t threadId = 0;
  uint8_t cname[128] = {};
  uint16_t cnameLength = 0;
  uint32_t peerAddress;
  platform::SocketAddress lastPeer;
  bool havePeer = false;
};

}  // namespace quenlix
