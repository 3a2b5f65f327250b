// fuzz-module: rtp
// The RTCP session's handling of one arbitrary datagram, from the camera or
// from a stranger (chosen by the first byte), without sockets.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "rtp/rtcp_session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  constexpr uint32_t kCamera = 0x0A00000Au;
  static quenlix::CRTCPSession session(kCamera);
  session.SetCname(std::string(size_t(data[0]) % 64, 'h'));
  quenlix::platform::SocketAddress from;
  from.address = (data[0] & 1) ? kCamera : kCamera + 1;
  std::vector<uint8_t> datagram(data + 1, data + size);
  uint8_t answer[quenlix::CRTCPSession::kReportSize + 1];
  answer[quenlix::CRTCPSession::kReportSize] = 0xA5;  // guard byte
  size_t length = session.HandleDatagram(datagram.data(), datagram.size(), from, answer);
  if (length != 0 && length != quenlix::CRTCPSession::kReportSize) std::abort();
  if (length != 0 && (from.address != kCamera || datagram.size() < 11)) std::abort();
  if (answer[quenlix::CRTCPSession::kReportSize] != 0xA5) std::abort();
  if (length != 0 && (answer[41] > 25 || answer[42 + answer[41]] != 0)) std::abort();
  return 0;
}
