// bench-module: rtp
// Datagrams per second over loopback into a counting client: through
// CUDPPort + CRTPReceiver, and through a bare receive loop on the same
// traffic. The sender keeps at most kWindow datagrams in flight, so neither
// path loses any and the rate is what the receiving side sustains.
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/socket.h"
#include "rtp/rtp_receiver.h"

namespace {

using namespace quenlix;

constexpr size_t kDatagramSize = 1200;
constexpr uint64_t kWindow = 64;
constexpr int kSocketBuffer = 131070;

std::vector<uint8_t> MakeDatagram() {
  std::vector<uint8_t> d(kDatagramSize, 0x5A);
  d[0] = 0x80;
  d[1] = 96;
  return d;
}

platform::SocketAddress LoopbackAt(uint16_t port) {
  platform::SocketAddress to;
  to.address = platform::InetAddr("127.0.0.1");
  to.port = platform::HostToNet16(port);
  return to;
}

class CountingClient : public IRTPReceiverUser {
 public:
  void OnRTPPacket(CRTPReceiver*, const platform::SocketAddress&, const RTPPacket& p) override {
    bytes += p.payloadLength;
    received.fetch_add(1, std::memory_order_release);
  }
  void OnReceiveTimeout() override {}
  void OnReceiverClosed(CRTPReceiver*) override {}
  std::atomic<uint64_t> received{0};
  uint64_t bytes = 0;
};

// Sends one datagram per iteration, never more than kWindow ahead.
void Drive(benchmark::State& state, uint16_t port, const std::atomic<uint64_t>& received) {
  platform::SocketHandle sender = platform::CreateUdpSocket();
  const std::vector<uint8_t> datagram = MakeDatagram();
  const platform::SocketAddress to = LoopbackAt(port);
  uint64_t sent = 0;
  const uint64_t start = received.load();
  for (auto _ : state) {
    while (sent - (received.load(std::memory_order_acquire) - start) >= kWindow) {
      std::this_thread::yield();
    }
    platform::SendTo(sender, datagram.data(), datagram.size(), to);
    ++sent;
  }
  while (received.load() - start < sent) std::this_thread::yield();
  state.SetItemsProcessed(int64_t(sent));
  platform::CloseSocket(sender);
}

void BM_UdpPortAndRtpReceiver(benchmark::State& state) {
  CRTPReceiver receiver;
  CountingClient client;
  receiver.SetUser(&client);
  if (receiver.Port().Open(0) != kPortOpened) {
    state.SkipWithError("port did not open");
    return;
  }
  Drive(state, receiver.Port().LocalPort(), client.received);
  receiver.SetUser(nullptr);
  receiver.Port().Close();
}
BENCHMARK(BM_UdpPortAndRtpReceiver)->UseRealTime();

void BM_BareReceiveLoop(benchmark::State& state) {
  platform::SocketHandle s = platform::CreateUdpSocket();
  platform::SetReceiveBufferSize(s, kSocketBuffer);
  platform::BindSocket(s, 0, 0);
  uint16_t port = platform::LocalPort(s);
  std::atomic<uint64_t> received{0};
  std::atomic<bool> running{true};
  std::thread loop([&] {
    std::vector<uint8_t> buffer(CRTPReceiver::kRtpBufferSize);
    while (running.load()) {
      platform::SocketAddress from;
      if (platform::ReceiveFrom(s, buffer.data(), buffer.size(), &from) > 0) {
        received.fetch_add(1, std::memory_order_release);
      }
    }
  });
  Drive(state, port, received);
  running = false;
  platform::SocketHandle waker = platform::CreateUdpSocket();
  platform::SendTo(waker, "x", 1, LoopbackAt(port));
  loop.join();
  platform::CloseSocket(waker);
  platform::CloseSocket(s);
}
BENCHMARK(BM_BareReceiveLoop)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
