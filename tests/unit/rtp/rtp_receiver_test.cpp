#include "rtp/rtp_receiver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <tuple>
#include <vector>

#include "rtp_test_helpers.h"

namespace quenlix {
namespace {

using testing_rtp::LoopbackSocket;
using testing_rtp::WaitFor;
using Bytes = std::vector<uint8_t>;

// Marker set, payload type 96, sequence 0x1234, time 0xDEADBEEF, SSRC
// 0x01020304; then CC CSRC words, an extension of extWords words and payload
// bytes counting up from 0.
Bytes Datagram(uint8_t firstByte, uint8_t cc, bool extension, uint16_t extWords, size_t payload) {
  const uint8_t first = uint8_t(firstByte | cc | (extension ? 0x10 : 0));
  Bytes d = {first, 0xE0, 0x12, 0x34, 0xDE, 0xAD, 0xBE, 0xEF, 0x01, 0x02, 0x03, 0x04};
  for (uint8_t i = 0; i < cc; ++i) d.insert(d.end(), {0xC0, 0, 0, i});
  if (extension) {
    d.insert(d.end(), {0xBE, 0xDE, uint8_t(extWords >> 8), uint8_t(extWords)});
    d.insert(d.end(), size_t(extWords) * 4, 0xEE);
  }
  for (size_t i = 0; i < payload; ++i) d.push_back(uint8_t(i));
  return d;
}

Bytes Rtp(uint16_t sequence, const Bytes& payload) {
  Bytes d = payload;
  d.insert(d.begin(),
           {0x80, 96, uint8_t(sequence >> 8), uint8_t(sequence), 0, 0, 0, 0, 0, 0, 0, 7});
  return d;
}

TEST(RTPParse, HeaderTableAndEveryTruncation) {
  const struct {
    const char* name;
    Bytes in;
    bool valid;
    size_t payloadOffset;  // from the datagram's start
    uint16_t extensionLength;
  } cases[] = {
      {"header only", Datagram(0x80, 0, false, 0, 0), false, 0, 0},
      {"one payload byte", Datagram(0x80, 0, false, 0, 1), true, 12, 0},
      {"version 0", Datagram(0x00, 0, false, 0, 8), false, 0, 0},
      {"version 1", Datagram(0x40, 0, false, 0, 8), false, 0, 0},
      {"version 3", Datagram(0xC0, 0, false, 0, 8), false, 0, 0},
      {"15 CSRC complete", Datagram(0x80, 15, false, 0, 1), true, 72, 0},
      {"extension of 300 words", Datagram(0x80, 0, true, 300, 5), true, 12 + 4 + 1200, 300},
      {"CSRC and extension", Datagram(0x80, 3, true, 300, 5), true, 24 + 4 + 1200, 300},
      {"empty extension", Datagram(0x80, 0, true, 0, 2), true, 16, 0},
      {"padding kept in payload", Datagram(0xA0, 0, false, 0, 4), true, 12, 0},
      {"CSRC list without payload", Datagram(0x80, 2, false, 0, 0), true, 20, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Exactly sized, so that a read past the end is caught by the sanitizer.
    const Bytes data(c.in);
    RTPPacket packet;
    ASSERT_EQ(CRTPReceiver::ParsePacket(data.data(), data.size(), &packet), c.valid);
    if (!c.valid) continue;
    EXPECT_EQ(packet.payload, data.data() + c.payloadOffset);
    EXPECT_EQ(packet.payloadLength, data.size() - c.payloadOffset);
    EXPECT_EQ(packet.extensionLength, c.extensionLength);
    EXPECT_EQ(packet.csrcCount, data[0] & 0x0F);
    EXPECT_EQ(packet.csrcList, packet.csrcCount ? data.data() + 12 : nullptr);
    EXPECT_EQ(packet.extensionData,
              (data[0] & 0x10) ? data.data() + 16 + 4 * packet.csrcCount : nullptr);
    EXPECT_EQ(packet.padding, (data[0] & 0x20) != 0);
    EXPECT_EQ(std::make_tuple(packet.marker, packet.payloadType, packet.sequenceNumber,
                              packet.timestamp, packet.ssrc),
              std::make_tuple(true, 96, 0x1234, 0xDEADBEEFu, 0x01020304u));
  }
  // Each cut of a CSRC list or extension is dropped, nothing beyond it read.
  const Bytes full = Datagram(0x80, 2, true, 3, 6);
  const size_t headerLength = 12 + 8 + 4 + 12;
  for (size_t length = 0; length <= full.size(); ++length) {
    SCOPED_TRACE(length);
    const Bytes data(full.begin(), full.begin() + length);
    RTPPacket packet;
    const bool valid = CRTPReceiver::ParsePacket(data.data(), data.size(), &packet);
    EXPECT_EQ(valid, length >= headerLength);
    if (valid) {
      EXPECT_EQ(packet.payloadLength, length - headerLength);
    } else {
      EXPECT_EQ(packet.payload, nullptr);  // the record starts over on every parse
    }
  }
}

// Copies what it receives: the packet's pointers die with the callback.
class RecordingUser : public IRTPReceiverUser {
 public:
  struct Received {
    uint16_t sequence;
    uint32_t source;
    uint16_t sourcePort;  // host order
    Bytes payload;
  };
  void OnRTPPacket(CRTPReceiver*, const platform::SocketAddress& from,
                   const RTPPacket& packet) override {
    if (gate && Packets().size() == 1) gate();
    std::lock_guard<std::mutex> guard(mutex);
    packets.push_back({packet.sequenceNumber, from.address, platform::NetToHost16(from.port),
                       Bytes(packet.payload, packet.payload + packet.payloadLength)});
  }
  void OnReceiveTimeout() override {}
  void OnReceiverClosed(CRTPReceiver*) override { closed++; }
  std::vector<Received> Packets() {
    std::lock_guard<std::mutex> guard(mutex);
    return packets;
  }
  // Runs on the second packet, before it is recorded.
  std::function<void()> gate;
  std::mutex mutex;
  std::vector<Received> packets;
  std::atomic<int> closed{0};
};

// More datagrams than one batch read, queued while the first is in the
// callback: each arrives once, in order, with its own sender. Empty and
// unparsable ones among them are dropped without ending the thread; an
// oversized one is lost and grows the buffer, so that it fits next time.
TEST(RTPReceiver, QueuedBurstArrivesWholeInOrderWithEachSender) {
  RecordingUser user;  // outlives the receiver, which reports its close
  std::atomic<bool> sent{false};
  user.gate = [&] { WaitFor([&] { return sent.load(); }); };
  CRTPReceiver receiver;
  receiver.SetUser(&user);
  ASSERT_EQ(receiver.Port().Open(0), kPortOpened);
  EXPECT_EQ(receiver.Port().BufferSize(), CRTPReceiver::kRtpBufferSize);
  const uint16_t port = receiver.Port().LocalPort();
  LoopbackSocket cameras[2];

  constexpr uint16_t kBurst = 50;
  constexpr uint16_t kOversized = 20;
  const Bytes oversized = Rtp(kOversized, Bytes(CRTPReceiver::kRtpBufferSize, 0x55));
  for (uint16_t i = 0; i < kBurst; ++i) {
    const LoopbackSocket& camera = cameras[i % 2];
    if (i % 16 == 5) {
      camera.SendTo(port, {});
      camera.SendTo(port, Rtp(i, {}));
      camera.SendTo(port, {0x40, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 9});  // version 1
    }
    ASSERT_GT(camera.SendTo(port, i == kOversized ? oversized : Rtp(i, Bytes(100, uint8_t(i)))), 0);
    if (i == 0) {
      ASSERT_TRUE(WaitFor([&] { return user.Packets().size() == 1; }));
    }
  }
  sent = true;
  ASSERT_TRUE(WaitFor([&] { return user.Packets().size() == kBurst - 1u; }));
  for (uint16_t i = 0, at = 0; i < kBurst; ++i) {
    if (i == kOversized) continue;
    const RecordingUser::Received r = user.Packets().at(at++);
    EXPECT_EQ(r.sequence, i);
    EXPECT_EQ(r.source, testing_rtp::Loopback());
    EXPECT_EQ(r.sourcePort, cameras[i % 2].port()) << i;
    EXPECT_EQ(r.payload, Bytes(100, uint8_t(i)));
  }
  EXPECT_EQ(receiver.Port().BufferSize(), CRTPReceiver::kRtpBufferSize + 1024);
  cameras[0].SendTo(port, oversized);
  ASSERT_TRUE(WaitFor([&] { return user.Packets().size() == kBurst; }));
  EXPECT_EQ(user.Packets().back().payload, Bytes(CRTPReceiver::kRtpBufferSize, 0x55));

  // Only its own port's datagrams count.
  CUDPPort other;
  receiver.OnDataReceived(&other, platform::SocketAddress(), oversized.data(),
                          int32_t(oversized.size()));
  EXPECT_EQ(user.Packets().size(), kBurst);
  receiver.Port().Close();
  EXPECT_EQ(user.closed.load(), 1);
  EXPECT_FALSE(receiver.Port().IsOpen());
  EXPECT_EQ(receiver.Port().LocalPort(), 0);
}

// The kernel queue holds two seconds of the stream, between the port's own
// 131070 bytes and a cap. A port opens once, and not on a port in use.
TEST(RTPReceiver, PortOpensOnceWithAQueueForTheBitRate) {
  const struct {
    uint32_t kbps, request;
  } cases[] = {
      {0, 131070}, {512, 131070}, {4096, 1024000}, {100000, CRTPReceiver::kMaxSocketBuffer}};
  for (const auto& c : cases) {
    CRTPReceiver receiver;
    receiver.SetStreamBitRate(c.kbps);
    EXPECT_EQ(receiver.Port().SocketBufferRequest(), c.request) << c.kbps;
  }
  CRTPReceiver plain;
  CRTPReceiver fast;
  fast.SetStreamBitRate(4096);
  CUDPPort& port = plain.Port();
  ASSERT_EQ(port.Open(0), kPortOpened);
  ASSERT_EQ(fast.Port().Open(0), kPortOpened);
  // Wherever the system allows more than the floor at all.
  EXPECT_GT(fast.Port().SocketBufferSize(), port.SocketBufferSize());

  const uint16_t number = port.LocalPort();
  EXPECT_NE(number, 0);
  EXPECT_EQ(port.Open(0), kPortAlreadyOpen);
  EXPECT_EQ(port.LocalPort(), number);
  CUDPPort second;
  EXPECT_EQ(second.Open(number), kPortBindFailed);
  EXPECT_FALSE(second.IsOpen());
  EXPECT_TRUE(port.Close());
  EXPECT_TRUE(port.Close());  // closing a closed port is harmless
  EXPECT_EQ(second.Open(number), kPortOpened);
  EXPECT_EQ(second.LocalPort(), number);
}

// Closes its own port from the receive thread.
class SelfClosingUser : public IUDPPortUser {
 public:
  void OnDataReceived(CUDPPort* port, const platform::SocketAddress&, const uint8_t*,
                      int32_t) override {
    port->Close();
    closedFromCallback = true;
  }
  void OnReceiveTimeout() override {}
  void OnPortClosed(CUDPPort*) override { closedCount++; }
  std::atomic<bool> closedFromCallback{false};
  std::atomic<int> closedCount{0};
};

TEST(UDPPort, CloseFromInsideTheCallbackDoesNotWaitForItself) {
  CUDPPort port;
  SelfClosingUser user;
  port.SetUser(&user);
  ASSERT_EQ(port.Open(0), kPortOpened);
  LoopbackSocket camera;
  camera.SendTo(port.LocalPort(), {1, 2, 3});
  ASSERT_TRUE(WaitFor([&] { return user.closedFromCallback.load(); }));
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(user.closedCount.load(), 1);
  // The port can be used again once closed.
  EXPECT_EQ(port.Open(0), kPortOpened);
  port.SetUser(nullptr);
}

}  // namespace
}  // namespace quenlix
