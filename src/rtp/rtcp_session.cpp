#include "rtp/rtcp_session.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>

#include "platform/byte_cursor.h"
#include "rtp/loopback_wake.h"
#include "thread/thread_stacks.h"

namespace quenlix {

namespace {

constexpr uint8_t kVersion2OneItem = 0x81;  // version 2, no padding, count 1
constexpr uint8_t kVersionMask = 0xC0;
constexpr uint8_t kVersion2 = 0x80;
constexpr uint8_t kSenderReport = 200;
constexpr uint8_t kReceiverReport = 201;
constexpr uint8_t kSourceDescription = 202;
constexpr uint8_t kGoodbye = 203;
constexpr uint8_t kCnameItem = 1;
constexpr uint16_t kReportWordsMinusOne = 7;
constexpr uint16_t kByeWordsMinusOne = 1;
constexpr size_t kReceiverReportSize = 32;
constexpr size_t kRtcpHeaderSize = 4;
constexpr size_t kWordSize = 4;
// SDES chunk: SSRC, then the CNAME item's type and length before the name.
constexpr size_t kChunkSsrcSize = 4;
constexpr size_t kItemHeaderSize = 2;
// A sender report's NTP time begins with the high half of its seconds,
// which the middle 32 bits (the last SR time echoed back) leave out.
constexpr size_t kNtpHighHalfSize = 2;
constexpr uint64_t kDelayUnitsPerSecond = 65536;
constexpr uint64_t kMicrosecondsPerSecond = 1000000;
constexpr uint32_t kCumulativeLostMask = 0xFFFFFF;
constexpr int kSocketBufferSize = 65536;
// A stuck thread gets this much longer to unwind once it was told to end.
constexpr uint32_t kForcedEndWaitMs = 1000;

// Errors after which the next receive may well succeed: the time-out (named
// differently by the backends), a signal, an ICMP "port unreachable" from an
// earlier answer, and a datagram larger than the buffer.
bool IsTransientError(int error) {
  switch (error) {
    case platform::kWsaETIMEDOUT:
    case platform::kWsaEWOULDBLOCK:
    case platform::kWsaEINTR:
    case platform::kWsaECONNRESET:
    case platform::kWsaEMSGSIZE:
      return true;
    default:
      return false;
  }
}

// Distinct per session even when several sessions open in the same second.
uint32_t RandomSsrc() {
  try {
    std::random_device device;
    return device();
  } catch (...) {
    auto ticks = std::chrono::high_resolution_clock::now().time_since_epoch().count();
    return uint32_t(ticks) ^ uint32_t(uint64_t(ticks) >> 32);
  }
}

}  // namespace

CRTCPSession::CRTCPSession(uint32_t peer) : peerAddress(peer) {}

CRTCPSession::~CRTCPSession() {
  if (thread != nullptr) {
    RequestStop();
    Join();
  }
  CloseSocket();
}

bool CRTCPSession::Open(uint16_t port) {
  if (socketHandle != platform::kInvalidSocket) return false;
  platform::SocketHandle s = platform::CreateUdpSocket();
  if (s == platform::kInvalidSocket) return false;
  bool ok = platform::BindSocket(s, 0, port) == 0 &&
            platform::SetReceiveBufferSize(s, kSocketBufferSize) == 0 &&
            platform::SetSendBufferSize(s, kSocketBufferSize) == 0 &&
            platform::SetReceiveTimeout(s, kSocketTimeoutMs) == 0 &&
            platform::SetSendTimeout(s, kSocketTimeoutMs) == 0;
  if (!ok) {
    lastError = platform::LastSocketError();
    platform::CloseSocket(s);
    return false;
  }
  CLockGuard guard(&openLock);
  socketHandle = s;
  boundPort = platform::LocalPort(s);
  {
    CLockGuard stopGuard(&stopLock);
    stopRequested = 0;
  }
  ownSsrc = RandomSsrc();
  randomState = RandomSsrc() | 1u;
  nextReportUs = NowUs() + NextIntervalUs(kMinIntervalUs / 2);
  std::string name = platform::HostName();
  SetCname(name.empty() ? std::string("default") : name);
  return true;
}

void CRTCPSession::SetCname(const std::string& name) {
  std::memset(cname, 0, sizeof cname);
  size_t length = std::min(name.size(), kMaxCnameLength);
  std::memcpy(cname, name.data(), length);
  cnameLength = uint16_t(length);
}

bool CRTCPSession::StartThread() {
  if (thread != nullptr || socketHandle == platform::kInvalidSocket) return false;
  thread = platform::StartThread(&CRTCPSession::ThreadProc, this, &threadId,
                                 quenlix::thread::kRtcpThreadStack);
  if (thread == nullptr) threadId = 0;
  return thread != nullptr;
}

uint32_t CRTCPSession::ThreadProc(void* session) {
  struct RunCall {
    CRTCPSession* session;
    uint32_t result;
  } call{static_cast<CRTCPSession*>(session), 0};
  // The last resort: nothing thrown here may end the host's process.
  platform::CallSwallowingExceptions(
      [](void* c) {
        RunCall* r = static_cast<RunCall*>(c);
        r->result = r->session->Run();
      },
      &call);
  return call.result;
}

uint32_t CRTCPSession::Run() {
  SetRunning(true);
  uint8_t buffer[kReceiveSize];
  uint8_t answer[kReportSize];
  while (!IsStopRequested()) {
    platform::SocketAddress from;
    int n = platform::ReceiveFrom(socketHandle, buffer, sizeof buffer, &from);
    if (n < 0) {
      lastError = platform::LastSocketError();
      if (!IsTransientError(lastError)) RequestStop();
    } else {
      HandleDatagram(buffer, size_t(n), from, NowUs());
    }
    // Also after a quiet wait: a report held back by the interval is sent
    // once the interval has passed.
    platform::SocketAddress to;
    const size_t answerLength = TakeDueReport(NowUs(), answer, &to);
    if (answerLength > 0) platform::SendTo(socketHandle, answer, answerLength, to);
  }
  if (socketHandle != platform::kInvalidSocket) {
    platform::SocketAddress to;
    if (Destination(&to)) {
      uint8_t bye[kByeSize];
      platform::SendTo(socketHandle, bye, BuildBye(ownSsrc, bye), to);
    }
    CloseSocket();
  }
  SetRunning(false);
  return 0;
}

uint64_t CRTCPSession::NowUs() {
  return uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count());
}

uint64_t CRTCPSession::NextIntervalUs(uint64_t minimumUs) {
  // xorshift: the draw needs no quality, only to differ between sessions.
  randomState ^= randomState << 13;
  randomState ^= randomState >> 17;
  randomState ^= randomState << 5;
  const double unit = double(randomState) / 4294967296.0;
  const double factor = kRandomizedMin + unit * (kRandomizedMax - kRandomizedMin);
  return uint64_t(double(minimumUs) * factor / kCompensation);
}

void CRTCPSession::SetPeerRtcpPort(uint16_t port) {
  CLockGuard guard(&peerLock);
  peerRtcpPort = port;
}

void CRTCPSession::OnRtpPacket(const RTPPacket& packet) {
  statistics.OnPacket(packet.ssrc, packet.sequenceNumber, packet.timestamp, NowUs());
}

bool CRTCPSession::Destination(platform::SocketAddress* to) {
  CLockGuard guard(&peerLock);
  // SocketAddress holds the port in network order, as it came.
  const uint16_t port =
      peerRtcpPort != 0 ? platform::HostToNet16(peerRtcpPort) : firstReportPortNet;
  if (port == 0) return false;
  to->address = peerAddress;
  to->port = port;
  return true;
}

bool CRTCPSession::HandleDatagram(const uint8_t* data, size_t length,
                                  const platform::SocketAddress& from, uint64_t nowUs) {
  if (from.address != peerAddress) return false;
  // The sender report may sit anywhere in a compound packet; a length field
  // that runs past the datagram ends the walk.
  ByteReader packets(data, length);
  while (packets.Remaining() >= kRtcpHeaderSize) {
    const uint8_t first = packets.U8();
    const uint8_t type = packets.U8();
    const size_t size = (size_t(packets.U16()) + 1) * kWordSize;
    if ((first & kVersionMask) != kVersion2) return false;
    ByteReader body(packets.Take(size - kRtcpHeaderSize), size - kRtcpHeaderSize);
    if (!packets.ok()) return false;
    if (type == kSenderReport && size >= kMinSenderReportSize) {
      CLockGuard guard(&peerLock);
      if (firstReportPortNet == 0) firstReportPortNet = from.port;
      reportPending = true;
      pendingSsrc = body.U32();
      body.Skip(kNtpHighHalfSize);
      pendingLastSr = body.U32();
      pendingArrivalUs = nowUs;
      return true;
    }
  }
  return false;
}

size_t CRTCPSession::TakeDueReport(uint64_t nowUs, uint8_t* out, platform::SocketAddress* to) {
  uint32_t ssrc = 0;
  uint32_t lastSr = 0;
  uint64_t arrivalUs = 0;
  {
    CLockGuard guard(&peerLock);
    if (!reportPending || nowUs < nextReportUs) return 0;
    reportPending = false;
    nextReportUs = nowUs + NextIntervalUs(kMinIntervalUs);
    ssrc = pendingSsrc;
    lastSr = pendingLastSr;
    arrivalUs = pendingArrivalUs;
  }
  if (!Destination(to)) return 0;
  const uint64_t delayUs = nowUs > arrivalUs ? nowUs - arrivalUs : 0;
  const uint32_t delay = uint32_t(delayUs * kDelayUnitsPerSecond / kMicrosecondsPerSecond);
  return BuildReceiverReport(ownSsrc, cname, cnameLength, ssrc, statistics.TakeReport(ssrc), lastSr,
                             delay, out);
}

size_t CRTCPSession::BuildReceiverReport(uint32_t ownSsrc, const uint8_t* cname, size_t cnameLength,
                                         uint32_t senderSsrc, const RECEPTION_REPORT& figures,
                                         uint32_t lastSr, uint32_t delaySinceLastSr, uint8_t* out) {
  // Zeros first: they pad the CNAME item to a whole word.
  std::memset(out, 0, kReportSize);
  ByteWriter report(out, kReportSize);
  report.U8(kVersion2OneItem).U8(kReceiverReport).U16(kReportWordsMinusOne).U32(ownSsrc);
  const uint32_t lost = uint32_t(figures.cumulativeLost) & kCumulativeLostMask;
  report.U32(senderSsrc).U8(figures.fractionLost).U24(lost).U32(figures.extendedHighest);
  report.U32(figures.jitter).U32(lastSr).U32(delaySinceLastSr);

  // The chunk ends with the CNAME item and at least one zero byte (the end
  // of the item list), padded to a whole word.
  const size_t length = std::min(cnameLength, kMaxCnameLength);
  const size_t items = kItemHeaderSize + length;
  const size_t chunk = kChunkSsrcSize + items + (kWordSize - items % kWordSize);
  const size_t sdesSize = kRtcpHeaderSize + chunk;
  report.U8(kVersion2OneItem).U8(kSourceDescription).U16(uint16_t(sdesSize / kWordSize - 1));
  report.U32(ownSsrc).U8(kCnameItem).U8(uint8_t(length)).Bytes(cname, length);
  return kReceiverReportSize + sdesSize;
}

size_t CRTCPSession::BuildBye(uint32_t ssrc, uint8_t* out) {
  ByteWriter(out, kByeSize).U8(kVersion2OneItem).U8(kGoodbye).U16(kByeWordsMinusOne).U32(ssrc);
  return kByeSize;
}

void CRTCPSession::RequestStop() {
  CLockGuard guard(&stopLock);
  stopRequested = 1;
}

bool CRTCPSession::IsStopRequested() {
  CLockGuard guard(&stopLock);
  return stopRequested != 0;
}

bool CRTCPSession::IsRunning() {
  CLockGuard guard(&runningLock);
  return threadRunning != 0;
}

void CRTCPSession::SetRunning(bool value) {
  CLockGuard guard(&runningLock);
  threadRunning = value ? 1 : 0;
}

// From a socket of its own: the session's socket belongs to the thread,
// which closes it on its way out. The thread drops the datagram as too short
// to answer. Without it a stop waits out the receive time-out, which adds up
// to a minute when a host stops a few hundred streams in turn.
void CRTCPSession::WakeThread() {
  if (IsStopRequested()) SendLoopbackWake(boundPort);
}

bool CRTCPSession::Join() {
  if (thread == nullptr) return true;
  if (!platform::IsCurrentThread(thread)) WakeThread();
  bool ended = true;
  if (platform::WaitForThread(thread, kJoinTimeoutMs) == platform::WaitResult::kTimeout &&
      IsRunning()) {
    platform::TerminateThread(thread, 0);
    platform::WaitForThread(thread, kForcedEndWaitMs);
    ended = false;
  }
  platform::CloseThread(thread);
  thread = nullptr;
  threadId = 0;
  return ended;
}

void CRTCPSession::CloseSocket() {
  if (socketHandle == platform::kInvalidSocket) return;
  platform::CloseSocket(socketHandle);
  socketHandle = platform::kInvalidSocket;
}

}  // namespace quenlix
