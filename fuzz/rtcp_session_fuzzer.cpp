// fuzz-module: rtp
// The RTCP session's handling of one arbitrary datagram, from the camera or
// from a stranger (chosen by the first byte), and the report it then owes,
// without sockets. Time moves on by 0 to 15 s a datagram (the high bits of
// the first byte), so the pacing is reached too.
#include <cstdlib>
#include <string>
#include <vector>

#include "rtp/rtcp_session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  using quenlix::CRTCPSession;
  constexpr uint32_t kCamera = 0x0A00000Au;
  static CRTCPSession session(kCamera);
  static uint64_t nowUs = 0;
  nowUs += uint64_t(data[0] >> 4) * 1000000;
  session.SetCname(std::string(size_t(data[0]) % 64, 'h'));
  quenlix::platform::SocketAddress from;
  from.address = (data[0] & 1) ? kCamera : kCamera + 1;
  std::vector<uint8_t> datagram(data + 1, data + size);
  const bool held = session.HandleDatagram(datagram.data(), datagram.size(), from, nowUs);
  if (held && (from.address != kCamera || datagram.size() < CRTCPSession::kMinSenderReportSize)) {
    std::abort();
  }
  uint8_t answer[CRTCPSession::kReportSize + 1];
  answer[CRTCPSession::kReportSize] = 0xA5;  // guard byte
  quenlix::platform::SocketAddress to;
  const size_t length = session.TakeDueReport(nowUs, answer, &to);
  if (length > CRTCPSession::kReportSize) std::abort();
  if (answer[CRTCPSession::kReportSize] != 0xA5) std::abort();
  if (length != 0 && to.address != kCamera) std::abort();
  return 0;
}
