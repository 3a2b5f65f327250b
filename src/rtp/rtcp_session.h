// The RTCP companion of a channel's RTP port: answers the camera's sender
// reports with a receiver report of what actually arrived and a CNAME, at
// the pace RFC 3550 allows, and says goodbye at the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "platform/socket.h"
#include "rtp/reception_statistics.h"
#include "rtp/rtp_packet.h"
#include "thread/recursive_lock.h"

namespace quenlix {

class CRTCPSession {
 public:
  // The longest report: the receiver report and an SDES with the longest
  // CNAME kept; a shorter name gives a shorter SDES.
  static constexpr size_t kReportSize = 68;
  static constexpr size_t kByeSize = 8;
  static constexpr size_t kReceiveSize = 4096;
  // Header and sender info of a sender report.
  static constexpr size_t kMinSenderReportSize = 28;
  // RFC 3550 6.2: the minimum report interval, halved before the first
  // report, each interval drawn from [0.5, 1.5] times it and divided by
  // e - 3/2. Far above what the bandwidth share of a video stream allows, so
  // the minimum decides.
  static constexpr uint64_t kMinIntervalUs = 5000000;
  static constexpr double kRandomizedMin = 0.5;
  static constexpr double kRandomizedMax = 1.5;
  static constexpr double kCompensation = 1.21828;
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

  // The camera's RTCP port, from the session's SETUP reply. Reports and the
  // BYE go there and nowhere else; until it is known, to the port of the
  // camera's first sender report.
  void SetPeerRtcpPort(uint16_t port);  // host order
  // Every RTP packet of the camera, on the receive thread.
  void OnRtpPacket(const RTPPacket& packet);

  // Takes note of a sender report from the camera in a datagram that
  // arrived at nowUs (steady clock); true when it held one.
  bool HandleDatagram(const uint8_t* data, size_t length, const platform::SocketAddress& from,
                      uint64_t nowUs);
  // The receiver report due at nowUs, written to out (kReportSize bytes of
  // room) with its destination; 0 when none is due: at most one per sender
  // report, and none before the interval since the last one has passed.
  size_t TakeDueReport(uint64_t nowUs, uint8_t* out, platform::SocketAddress* to);
  // Shortened to kMaxCnameLength bytes.
  void SetCname(const std::string& name);

  // Report block for senderSsrc with the figures given; lastSr is the middle
  // of the sender report's NTP time, delaySinceLastSr in 1/65536 s.
  static size_t BuildReceiverReport(uint32_t ownSsrc, const uint8_t* cname, size_t cnameLength,
                                    uint32_t senderSsrc, const RECEPTION_REPORT& figures,
                                    uint32_t lastSr, uint32_t delaySinceLastSr, uint8_t* out);
  static size_t BuildBye(uint32_t ownSsrc, uint8_t* out);
  static uint64_t NowUs();

  uint32_t OwnSsrc() const { return ownSsrc; }
  uint16_t CnameLength() const { return cnameLength; }
  int LastError() const { return lastError; }

 private:
  void SetRunning(bool value);
  uint64_t NextIntervalUs(uint64_t minimumUs);
  bool Destination(platform::SocketAddress* to);
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
  CReceptionStatistics statistics;
  // Guards the peer port and the pending report between the threads.
  CRecursiveLock peerLock;
  uint16_t peerRtcpPort = 0;
  uint16_t firstReportPortNet = 0;  // network order
  bool reportPending = false;
  uint32_t pendingSsrc = 0;
  uint32_t pendingLastSr = 0;
  uint64_t pendingArrivalUs = 0;
  // The first report waits too; zero until Open sets it.
  uint64_t nextReportUs = 0;
  uint32_t randomState = 0x9E3779B9u;  // reseeded by Open; never 0
};

}  // namespace quenlix
