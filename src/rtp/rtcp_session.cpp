#include "rtp/rtcp_session.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>

#include "rtp/loopback_wake.h"

namespace quenlix {

namespace {

constexpr uint8_t kVersion2OneItem = 0x81;  // version 2, no padding, count 1
constexpr uint8_t kReceiverReport = 201;
constexpr uint8_t kSourceDescription = 202;
constexpr uint8_t kGoodbye = 203;
constexpr uint8_t kCnameItem = 1;
constexpr uint16_t kReportWordsMinusOne = 7;
constexpr uint16_t kSdesWordsMinusOne = 8;
constexpr uint16_t kByeWordsMinusOne = 1;
constexpr size_t kReceiverReportSize = 32;
// Where the sender's SSRC and the middle of its NTP time sit in a report.
constexpr size_t kSenderSsrcOffset = 4;
constexpr size_t kLastSrOffset = 10;
constexpr uint32_t kDelaySinceLastSr = 1;
constexpr int kSocketBufferSize = 65536;
// A stuck thread gets this much longer to unwind once it was told to end.
constexpr uint32_t kForcedEndWaitMs = 1000;

inline void WriteU16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}
inline void WriteU32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

// Copies the bytes [offset, offset + 4) of a received packet that exist; the
// rest of out stays zero.
void CopyReceived(uint8_t* out, const uint8_t* received, size_t length, size_t offset) {
  if (length <= offset) return;
  std::memcpy(out, received + offset, std::min<size_t>(4, length - offset));
}

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
  thread = platform::StartThread(&CRTCPSession::ThreadProc, this, &threadId);
  if (thread == nullptr) threadId = 0;
  return thread != nullptr;
}

uint32_t CRTCPSession::ThreadProc(void* session) {
  return static_cast<CRTCPSession*>(session)->Run();
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
      continue;
    }
    size_t answerLength = HandleDatagram(buffer, size_t(n), from, answer);
    if (answerLength > 0) platform::SendTo(socketHandle, answer, answerLength, from);
  }
  if (socketHandle != platform::kInvalidSocket) {
    if (havePeer) {
      uint8_t bye[kByeSize];
      platform::SendTo(socketHandle, bye, BuildBye(ownSsrc, bye), lastPeer);
    }
    CloseSocket();
  }
  SetRunning(false);
  return 0;
}

size_t CRTCPSession::HandleDatagram(const uint8_t* data, size_t length,
                                    const platform::SocketAddress& from, uint8_t* answer) {
  if (length < kMinAnsweredSize || from.address != peerAddress) return 0;
  lastPeer = from;
  havePeer = true;
  return BuildReceiverReport(ownSsrc, cname, cnameLength, data, length, answer);
}

size_t CRTCPSession::BuildReceiverReport(uint32_t ownSsrc, const uint8_t* cname, size_t cnameLength,
                                         const uint8_t* received, size_t receivedLength,
                                         uint8_t* out) {
  std::memset(out, 0, kReportSize);
  out[0] = kVersion2OneItem;
  out[1] = kReceiverReport;
  WriteU16(out + 2, kReportWordsMinusOne);
  WriteU32(out + 4, ownSsrc);
  CopyReceived(out + 8, received, receivedLength, kSenderSsrcOffset);
  // Loss, highest sequence and jitter stay zero: no statistics are kept.
  CopyReceived(out + 24, received, receivedLength, kLastSrOffset);
  WriteU32(out + 28, kDelaySinceLastSr);

  uint8_t* sdes = out + kReceiverReportSize;
  sdes[0] = kVersion2OneItem;
  sdes[1] = kSourceDescription;
  WriteU16(sdes + 2, kSdesWordsMinusOne);
  WriteU32(sdes + 4, ownSsrc);
  sdes[8] = kCnameItem;
  size_t length = std::min(cnameLength, kMaxCnameLength);
  sdes[9] = uint8_t(length);
  std::memcpy(sdes + 10, cname, length);
  return kReportSize;
}

size_t CRTCPSession::BuildBye(uint32_t ssrc, uint8_t* out) {
  out[0] = kVersion2OneItem;
  out[1] = kGoodbye;
  WriteU16(out + 2, kByeWordsMinusOne);
  WriteU32(out + 4, ssrc);
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
