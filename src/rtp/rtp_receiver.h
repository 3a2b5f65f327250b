// Checks and parses the RTP fixed header of every datagram on its port.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/socket.h"
#include "rtp/rtp_packet.h"
#include "rtp/udp_port.h"

namespace quenlix {

class CRTPReceiver;

class IRTPReceiverUser {
 public:
  virtual ~IRTPReceiverUser() = default;
  // packet points into the receive buffer; valid only during the call.
  virtual void OnRTPPacket(CRTPReceiver* receiver, const platform::SocketAddress& from,
                           const RTPPacket& packet) = 0;
  virtual void OnReceiveTimeout() = 0;
  virtual void OnReceiverClosed(CRTPReceiver* receiver) = 0;
};

class CRTPReceiver : public IUDPPortUser {
 public:
  // RTP datagrams are small; the port grows the buffer if one is not.
  static constexpr uint32_t kRtpBufferSize = 4096;

  // The kernel queue holds this long of the stream, so that a receive
  // thread kept off the processor for a moment (a disk flush, a busy
  // machine) loses nothing...
  static constexpr uint32_t kSocketBufferMs = 2000;
  // ...within reason: the queue is kernel memory, one per stream.
  static constexpr uint32_t kMaxSocketBuffer = 4u << 20;

  CRTPReceiver();
  ~CRTPReceiver() override;

  // The kernel receive queue for a stream of this many kbit/s; streams too
  // slow to need more keep the port's own size.
  static uint32_t SocketBufferForBitRate(uint32_t kbitPerSecond);
  // Sizes the port's kernel queue at its next Open; 0 when unknown.
  void SetStreamBitRate(uint32_t kbitPerSecond) {
    port.SetSocketBufferSize(SocketBufferForBitRate(kbitPerSecond));
  }

  // Parses in place: every pointer of the record points into data. False for
  // a datagram that is too short, of another version, or whose CSRC list or
  // header extension runs past its end.
  static bool ParsePacket(const uint8_t* data, size_t length, RTPPacket* packet);

  // Set before the port opens and cleared before it closes, so that no
  // callback reaches an owner that is going away.
  void SetUser(IRTPReceiverUser* newUser) { user.store(newUser); }
  IRTPReceiverUser* GetUser() const { return user.load(); }

  CUDPPort& Port() { return port; }

  void OnDataReceived(CUDPPort* from, const platform::SocketAddress& address, const uint8_t* data,
                      int32_t length) override;
  void OnReceiveTimeout() override;
  void OnPortClosed(CUDPPort* closed) override;

 private:
  CUDPPort port;
  std::atomic<IRTPReceiverUser*> user{nullptr};
};

}  // namespace quenlix
