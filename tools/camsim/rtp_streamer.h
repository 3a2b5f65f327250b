// Sends one clip as RTP over UDP to a client's port pair, or interleaved on
// the client's RTSP connection when it asked for TCP, in a loop at a fixed
// frame rate, with RTCP sender reports once a second; counts the client's
// receiver reports and BYE from its RTCP port or channel. Faults: loss,
// reordering and duplication at given rates, bursts of loss, jitter, and a
// restart that changes SSRC, sequence and time base as a rebooted camera does.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include "packetizer.h"

namespace camsim {

struct StreamFaults {
  double lossRate = 0;       // share of packets not sent
  double reorderRate = 0;    // share of packets held back behind the next one
  double duplicateRate = 0;  // share of packets sent twice
  // Not 0: RTP goes to this port instead of the client's, as through a
  // firewall or NAT that loses it; RTSP and RTCP are untouched.
  uint16_t rtpToPort = 0;
  // The first fragment of each fragmented H.264 unit goes out as FU-B, a
  // packetization many receivers do not take.
  bool h264FuB = false;
  // Each packet waits a random 0 to 2 × jitterMs before it leaves, so that
  // its delay varies by ± jitterMs and later packets may overtake it.
  uint32_t jitterMs = 0;
  // Packets dropped in a row, once every kBurstIntervalMs from 2 s on.
  uint32_t burstLoss = 0;
  // Not 0: the session falls silent after this many frames, so that a load
  // run knows exactly what each receiver was sent.
  uint64_t frameLimit = 0;
};

// An RTSP connection that RTP and RTCP share with the replies: every write
// takes the mutex, so that a reply never lands inside a framed packet.
struct InterleavedLink {
  int fd = -1;
  std::mutex writeMutex;
  // Set when a write failed or stalled: the framing may be cut, so nothing
  // more is written and the connection is shut down.
  bool broken = false;
};

// Writes one '$' frame (channel, 16-bit length, packet) on link. False
// once the link is broken.
bool WriteInterleaved(InterleavedLink& link, uint8_t channel, const uint8_t* data, size_t size);

class CRtpStreamer {
 public:
  CRtpStreamer(const Clip& clip, uint32_t framesPerSecond, StreamFaults faults);
  ~CRtpStreamer();
  CRtpStreamer(const CRtpStreamer&) = delete;
  CRtpStreamer& operator=(const CRtpStreamer&) = delete;

  // Binds the RTP and RTCP sockets on bindAddress. False when it cannot.
  bool Open(const std::string& bindAddress);
  uint16_t RtpPort() const { return rtpPort_; }
  uint16_t RtcpPort() const { return rtcpPort_; }

  // Starts sending to the client; address in dotted form.
  bool Start(const std::string& clientAddress, uint16_t clientRtpPort, uint16_t clientRtcpPort);
  // Starts sending on the client's RTSP connection instead; needs no Open.
  bool StartInterleaved(std::shared_ptr<InterleavedLink> link, uint8_t rtpChannel,
                        uint8_t rtcpChannel);
  // One RTCP packet (compound or not) from the client.
  void OnRtcp(const uint8_t* data, size_t size);
  // Ends sending but keeps listening, so that a BYE after TEARDOWN is seen.
  void StopSending();
  void Stop();
  void Restart();

  uint32_t Ssrc() const { return ssrc_; }
  uint16_t NextSequence() const { return sequence_; }
  uint32_t TimeBase() const { return timeBase_; }
  uint64_t PacketsSent() const { return packetsSent_; }
  uint64_t FramesSent() const { return framesSent_; }
  uint64_t SenderReports() const { return senderReports_; }
  uint64_t ReceiverReports() const { return receiverReports_; }
  uint64_t Byes() const { return byes_; }
  // Monotonic milliseconds of the last receiver report, 0 before the first.
  uint64_t LastReceiverReportMs() const { return lastReceiverReportMs_; }

  static uint64_t NowMs();

 private:
  void SendLoop();
  void ReceiveLoop();
  void SendFrame(const ClipFrame& frame, uint32_t timestamp);
  void SendPacket(const RtpPayload& payload, uint32_t timestamp);
  void AppendPayload(const Bytes& payload, Bytes* packet) const;
  void SendWire(const Bytes& packet);
  // Sends now, or after delayMs through the delay thread.
  void Emit(Bytes packet, uint32_t delayMs);
  void DelayLoop();
  // Under mutex_: the packet in hand falls into a burst of loss.
  bool InBurst();
  // Under mutex_.
  uint32_t JitterDelay();
  void SendSenderReport();
  // RTCP to the client, by UDP or on the link.
  bool SendRtcp(const Bytes& packet);
  void NewIdentity();

  const Clip& clip_;
  const uint32_t framesPerSecond_;
  const StreamFaults faults_;
  int rtpSocket_ = -1;
  int rtcpSocket_ = -1;
  uint16_t rtpPort_ = 0;
  uint16_t rtcpPort_ = 0;
  uint32_t clientAddress_ = 0;  // network order
  uint16_t clientRtpPort_ = 0;
  uint16_t clientRtcpPort_ = 0;
  std::shared_ptr<InterleavedLink> link_;  // set: interleaved on the RTSP connection
  uint8_t rtpChannel_ = 0;
  uint8_t rtcpChannel_ = 1;

  std::mutex mutex_;  // identity, held-back packet, random source
  std::atomic<uint32_t> ssrc_{0};
  std::atomic<uint16_t> sequence_{0};
  std::atomic<uint32_t> timeBase_{0};
  uint64_t startMs_ = 0;
  uint64_t frameIndex_ = 0;
  Bytes heldBack_;
  std::mt19937 random_;
  uint64_t nextBurstMs_ = 0;
  uint32_t burstLeft_ = 0;

  // Packets waiting for their jitter delay, by the time they are due.
  std::mutex delayMutex_;
  std::condition_variable delayWake_;
  std::multimap<uint64_t, Bytes> delayed_;
  std::thread delayer_;

  std::atomic<bool> running_{false};
  std::atomic<bool> sending_{false};
  std::thread sender_;
  std::thread receiver_;
  std::atomic<uint64_t> packetsSent_{0};
  std::atomic<uint64_t> framesSent_{0};
  std::atomic<uint64_t> octetsSent_{0};
  std::atomic<uint64_t> senderReports_{0};
  std::atomic<uint64_t> receiverReports_{0};
  std::atomic<uint64_t> byes_{0};
  std::atomic<uint64_t> lastReceiverReportMs_{0};
};

}  // namespace camsim
