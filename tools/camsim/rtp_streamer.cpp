#include "rtp_streamer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "platform/byte_cursor.h"

namespace camsim {
namespace {

constexpr uint8_t kRtpVersion = 2;
constexpr size_t kRtpHeaderSize = 12;
constexpr uint32_t kClockRate = 90000;
constexpr uint8_t kRtcpSenderReport = 200;
constexpr uint8_t kRtcpReceiverReport = 201;
constexpr uint8_t kRtcpSourceDescription = 202;
constexpr uint8_t kRtcpBye = 203;
constexpr uint8_t kSdesCname = 1;
constexpr uint64_t kSenderReportIntervalMs = 1000;
constexpr uint64_t kNtpUnixOffset = 2208988800ull;  // seconds from 1900 to 1970
constexpr int kPollMs = 50;
constexpr uint64_t kFirstBurstMs = 2000;
constexpr uint64_t kBurstIntervalMs = 4000;
constexpr uint8_t kInterleavedMagic = '$';
constexpr size_t kInterleavedHeaderSize = 4;
// A client that reads nothing for this long loses its connection rather
// than stall the stream and every reply behind it.
constexpr int kInterleavedWriteMs = 2000;

using quenlix::ByteReader;
using quenlix::ByteWriter;

int BindUdp(const std::string& address, uint16_t* port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = ::inet_addr(address.c_str());
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    ::close(fd);
    return -1;
  }
  socklen_t length = sizeof local;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
  *port = ntohs(local.sin_port);
  return fd;
}

bool SendWithin(int fd, const uint8_t* data, size_t size, int timeoutMs) {
  while (size > 0) {
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return false;
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
    if (n <= 0) return false;
    data += n;
    size -= size_t(n);
  }
  return true;
}

}  // namespace

bool WriteInterleaved(InterleavedLink& link, uint8_t channel, const uint8_t* data, size_t size) {
  if (size > 0xFFFF) return false;
  std::lock_guard<std::mutex> lock(link.writeMutex);
  if (link.broken) return false;
  uint8_t header[kInterleavedHeaderSize];
  ByteWriter(header, sizeof header).U8(kInterleavedMagic).U8(channel).U16(uint16_t(size));
  const bool ok = SendWithin(link.fd, header, sizeof header, kInterleavedWriteMs) &&
                  SendWithin(link.fd, data, size, kInterleavedWriteMs);
  if (!ok) {
    link.broken = true;
    ::shutdown(link.fd, SHUT_RDWR);
  }
  return ok;
}

uint64_t CRtpStreamer::NowMs() {
  return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count());
}

CRtpStreamer::CRtpStreamer(const Clip& clip, uint32_t framesPerSecond, StreamFaults faults)
    : clip_(clip),
      framesPerSecond_(framesPerSecond ? framesPerSecond : 1),
      faults_(faults),
      random_(std::random_device{}()) {
  NewIdentity();
}

CRtpStreamer::~CRtpStreamer() {
  Stop();
  if (rtpSocket_ >= 0) ::close(rtpSocket_);
  if (rtcpSocket_ >= 0) ::close(rtcpSocket_);
}

bool CRtpStreamer::Open(const std::string& bindAddress) {
  rtpSocket_ = BindUdp(bindAddress, &rtpPort_);
  rtcpSocket_ = BindUdp(bindAddress, &rtcpPort_);
  return rtpSocket_ >= 0 && rtcpSocket_ >= 0;
}

void CRtpStreamer::NewIdentity() {
  ssrc_ = uint32_t(random_());
  sequence_ = uint16_t(random_());
  timeBase_ = uint32_t(random_());
  startMs_ = NowMs();
  frameIndex_ = 0;
  heldBack_.clear();
  nextBurstMs_ = startMs_ + kFirstBurstMs;
  burstLeft_ = 0;
}

bool CRtpStreamer::Start(const std::string& clientAddress, uint16_t clientRtpPort,
                         uint16_t clientRtcpPort) {
  if (running_ || rtpSocket_ < 0 || clip_.frames.empty()) return false;
  clientAddress_ = ::inet_addr(clientAddress.c_str());
  clientRtpPort_ = clientRtpPort;
  clientRtcpPort_ = clientRtcpPort;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    startMs_ = NowMs();
    frameIndex_ = 0;
    nextBurstMs_ = startMs_ + kFirstBurstMs;
    burstLeft_ = 0;
  }
  running_ = true;
  sending_ = true;
  sender_ = std::thread([this] { SendLoop(); });
  if (faults_.jitterMs > 0) delayer_ = std::thread([this] { DelayLoop(); });
  receiver_ = std::thread([this] { ReceiveLoop(); });
  return true;
}

bool CRtpStreamer::StartInterleaved(std::shared_ptr<InterleavedLink> link, uint8_t rtpChannel,
                                    uint8_t rtcpChannel) {
  if (running_ || !link || clip_.frames.empty()) return false;
  link_ = std::move(link);
  rtpChannel_ = rtpChannel;
  rtcpChannel_ = rtcpChannel;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    startMs_ = NowMs();
    frameIndex_ = 0;
  }
  running_ = true;
  sending_ = true;
  // The client's RTCP arrives on the RTSP connection; its reader hands it over.
  sender_ = std::thread([this] { SendLoop(); });
  return true;
}

void CRtpStreamer::StopSending() {
  sending_ = false;
  if (sender_.joinable()) sender_.join();
  delayWake_.notify_all();
  if (delayer_.joinable()) delayer_.join();
  std::lock_guard<std::mutex> lock(delayMutex_);
  delayed_.clear();
}

void CRtpStreamer::Stop() {
  running_ = false;
  StopSending();
  if (receiver_.joinable()) receiver_.join();
}

void CRtpStreamer::Restart() {
  std::lock_guard<std::mutex> lock(mutex_);
  NewIdentity();
}

void CRtpStreamer::SendLoop() {
  uint64_t nextReportMs = NowMs();
  bool saidDone = false;
  while (running_ && sending_) {
    uint64_t dueMs;
    const ClipFrame* frame;
    uint32_t timestamp;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      dueMs = startMs_ + frameIndex_ * 1000 / framesPerSecond_;
      frame = &clip_.frames[frameIndex_ % clip_.frames.size()];
      timestamp = timeBase_ + uint32_t(frameIndex_ * kClockRate / framesPerSecond_);
    }
    const uint64_t now = NowMs();
    if (now >= nextReportMs) {
      SendSenderReport();
      nextReportMs = now + kSenderReportIntervalMs;
    }
    if (faults_.frameLimit != 0 && framesSent_ >= faults_.frameLimit) {
      // Said once, so that a load run knows when every session is done.
      if (!saidDone) {
        saidDone = true;
        std::printf("camsim: a session sent its %llu frames\n",
                    static_cast<unsigned long long>(faults_.frameLimit));
        std::fflush(stdout);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
      continue;
    }
    if (now < dueMs) {
      std::this_thread::sleep_for(
          std::chrono::milliseconds(std::min<uint64_t>(dueMs - now, kPollMs)));
      continue;
    }
    SendFrame(*frame, timestamp);
    ++framesSent_;
    std::lock_guard<std::mutex> lock(mutex_);
    ++frameIndex_;
  }
}

void CRtpStreamer::SendFrame(const ClipFrame& frame, uint32_t timestamp) {
  for (const RtpPayload& payload : frame.packets) SendPacket(payload, timestamp);
}

void CRtpStreamer::SendPacket(const RtpPayload& payload, uint32_t timestamp) {
  Bytes packet;
  packet.reserve(kRtpHeaderSize + payload.bytes.size());
  ByteWriter(&packet)
      .U8(kRtpVersion << 6)
      .U8(uint8_t((payload.marker ? 0x80 : 0) | clip_.payloadType))
      .U16(sequence_++)
      .U32(timestamp)
      .U32(ssrc_);
  AppendPayload(payload.bytes, &packet);

  std::uniform_real_distribution<double> chance(0.0, 1.0);
  std::unique_lock<std::mutex> lock(mutex_);
  if (InBurst()) return;
  if (chance(random_) < faults_.lossRate) return;
  const bool duplicate = chance(random_) < faults_.duplicateRate;
  if (heldBack_.empty() && chance(random_) < faults_.reorderRate) {
    heldBack_ = std::move(packet);
    return;
  }
  Bytes held;
  held.swap(heldBack_);
  const uint32_t delay = JitterDelay();
  const uint32_t duplicateDelay = JitterDelay();
  const uint32_t heldDelay = JitterDelay();
  lock.unlock();
  if (duplicate) Emit(packet, duplicateDelay);
  Emit(std::move(packet), delay);
  if (!held.empty()) Emit(std::move(held), heldDelay);
}

bool CRtpStreamer::InBurst() {
  if (faults_.burstLoss == 0) return false;
  const uint64_t now = NowMs();
  if (now >= nextBurstMs_) {
    burstLeft_ = faults_.burstLoss;
    nextBurstMs_ = now + kBurstIntervalMs;
  }
  if (burstLeft_ == 0) return false;
  --burstLeft_;
  return true;
}

uint32_t CRtpStreamer::JitterDelay() {
  if (faults_.jitterMs == 0) return 0;
  return std::uniform_int_distribution<uint32_t>(0, 2 * faults_.jitterMs)(random_);
}

void CRtpStreamer::Emit(Bytes packet, uint32_t delayMs) {
  if (delayMs == 0 || !delayer_.joinable()) {
    SendWire(packet);
    return;
  }
  std::lock_guard<std::mutex> lock(delayMutex_);
  delayed_.emplace(NowMs() + delayMs, std::move(packet));
  delayWake_.notify_one();
}

void CRtpStreamer::DelayLoop() {
  std::unique_lock<std::mutex> lock(delayMutex_);
  while (sending_) {
    if (delayed_.empty()) {
      delayWake_.wait_for(lock, std::chrono::milliseconds(kPollMs));
      continue;
    }
    const auto first = delayed_.begin();
    const uint64_t now = NowMs();
    if (first->first > now) {
      delayWake_.wait_for(lock, std::chrono::milliseconds(first->first - now));
      continue;
    }
    Bytes packet = std::move(first->second);
    delayed_.erase(first);
    lock.unlock();
    SendWire(packet);
    lock.lock();
  }
}

void CRtpStreamer::AppendPayload(const Bytes& payload, Bytes* packet) const {
  constexpr uint8_t kTypeMask = 0x1F;
  constexpr uint8_t kFuA = 28;
  constexpr uint8_t kFuB = 29;
  constexpr uint8_t kStartBit = 0x80;
  const bool fuAStart =
      payload.size() > 2 && (payload[0] & kTypeMask) == kFuA && (payload[1] & kStartBit) != 0;
  if (!faults_.h264FuB || clip_.codec != ClipCodec::kH264 || !fuAStart) {
    packet->insert(packet->end(), payload.begin(), payload.end());
    return;
  }
  // FU-B: the FU-A indicator with type 29, the FU header, a decoding order
  // number, then the fragment.
  ByteWriter(packet)
      .U8(uint8_t((payload[0] & ~kTypeMask) | kFuB))
      .U8(payload[1])
      .U16(uint16_t(frameIndex_))
      .Bytes(payload.data() + 2, payload.size() - 2);
}

void CRtpStreamer::SendWire(const Bytes& packet) {
  if (link_) {
    if (WriteInterleaved(*link_, rtpChannel_, packet.data(), packet.size())) {
      ++packetsSent_;
      octetsSent_ += packet.size() - kRtpHeaderSize;
    }
    return;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = clientAddress_;
  to.sin_port = htons(faults_.rtpToPort != 0 ? faults_.rtpToPort : clientRtpPort_);
  if (::sendto(rtpSocket_, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to),
               sizeof to) > 0) {
    ++packetsSent_;
    octetsSent_ += packet.size() - kRtpHeaderSize;
  }
}

void CRtpStreamer::SendSenderReport() {
  const auto wall = std::chrono::system_clock::now().time_since_epoch();
  const uint64_t micros =
      uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(wall).count());
  const uint32_t ntpSeconds = uint32_t(micros / 1000000 + kNtpUnixOffset);
  const uint32_t ntpFraction = uint32_t((micros % 1000000) * 4294967296ull / 1000000);
  uint32_t rtpTime;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    rtpTime = timeBase_ + uint32_t((NowMs() - startMs_) * (kClockRate / 1000));
  }
  Bytes report;
  ByteWriter(&report)
      .U8(kRtpVersion << 6)
      .U8(kRtcpSenderReport)
      .U16(6)  // length in 32-bit words minus one
      .U32(ssrc_)
      .U32(ntpSeconds)
      .U32(ntpFraction)
      .U32(rtpTime)
      .U32(uint32_t(packetsSent_))
      .U32(uint32_t(octetsSent_));
  // SDES with the CNAME, padded to a word boundary with at least one zero.
  const std::string cname = "camsim";
  Bytes sdes;
  ByteWriter(&sdes)
      .U32(ssrc_)
      .U8(kSdesCname)
      .U8(uint8_t(cname.size()))
      .Bytes(reinterpret_cast<const uint8_t*>(cname.data()), cname.size());
  do sdes.push_back(0);
  while (sdes.size() % 4 != 0);
  ByteWriter(&report)
      .U8((kRtpVersion << 6) | 1)
      .U8(kRtcpSourceDescription)
      .U16(uint16_t(sdes.size() / 4))
      .Bytes(sdes);
  if (SendRtcp(report)) ++senderReports_;
}

bool CRtpStreamer::SendRtcp(const Bytes& packet) {
  if (link_) return WriteInterleaved(*link_, rtcpChannel_, packet.data(), packet.size());
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = clientAddress_;
  to.sin_port = htons(clientRtcpPort_);
  return ::sendto(rtcpSocket_, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to),
                  sizeof to) > 0;
}

void CRtpStreamer::ReceiveLoop() {
  uint8_t buffer[2048];
  while (running_) {
    pollfd p{rtcpSocket_, POLLIN, 0};
    if (::poll(&p, 1, kPollMs) <= 0) continue;
    const ssize_t n = ::recv(rtcpSocket_, buffer, sizeof buffer, 0);
    if (n <= 0) continue;
    OnRtcp(buffer, size_t(n));
  }
}

void CRtpStreamer::OnRtcp(const uint8_t* data, size_t size) {
  // Walk the compound packet.
  ByteReader in(data, size);
  while (in.Remaining() >= 4) {
    if (in.U8() >> 6 != kRtpVersion) break;
    const uint8_t type = in.U8();
    const size_t words = in.U16();
    if (type == kRtcpReceiverReport) {
      ++receiverReports_;
      lastReceiverReportMs_ = NowMs();
    }
    if (type == kRtcpBye) ++byes_;
    in.Skip(words * 4);
  }
}

}  // namespace camsim
