// bench-module: rtp
// Datagrams per second over loopback into a counting client: through
// CUDPPort + CRTPReceiver, one port or 256 at once as a recorder holds them,
// and through a bare receive loop on the same traffic. The sender keeps a
// bounded window of datagrams in flight, so no path loses any and the rate is
// what the receiving side sustains.
#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
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

// One per port; all count into one total.
class CountingClient : public IRTPReceiverUser {
 public:
  explicit CountingClient(std::atomic<uint64_t>& total) : received(total) {}
  void OnRTPPacket(CRTPReceiver*, const platform::SocketAddress&, const RTPPacket& p) override {
    bytes += p.payloadLength;
    received.fetch_add(1, std::memory_order_release);
  }
  void OnReceiveTimeout() override {}
  void OnReceiverClosed(CRTPReceiver*) override {}
  std::atomic<uint64_t>& received;
  uint64_t bytes = 0;
};

// Sends one datagram per iteration, never more than window ahead, burst
// datagrams to a port (as a camera sends a frame) before the next port.
void Drive(benchmark::State& state, const std::vector<uint16_t>& ports,
           const std::atomic<uint64_t>& received, uint64_t window = kWindow, uint64_t burst = 1) {
  platform::SocketHandle sender = platform::CreateUdpSocket();
  const std::vector<uint8_t> datagram = MakeDatagram();
  std::vector<platform::SocketAddress> to;
  for (uint16_t port : ports) to.push_back(LoopbackAt(port));
  uint64_t sent = 0;
  const uint64_t start = received.load();
  for (auto _ : state) {
    while (sent - (received.load(std::memory_order_acquire) - start) >= window) {
      std::this_thread::yield();
    }
    platform::SendTo(sender, datagram.data(), datagram.size(), to[(sent / burst) % to.size()]);
    ++sent;
  }
  while (received.load() - start < sent) std::this_thread::yield();
  state.SetItemsProcessed(int64_t(sent));
  platform::CloseSocket(sender);
}

// Arguments: ports, datagrams in flight, datagrams in a row to one port.
void BM_UdpPortAndRtpReceiver(benchmark::State& state) {
  const size_t count = size_t(state.range(0));
  std::atomic<uint64_t> received{0};
  std::vector<std::unique_ptr<CountingClient>> clients;
  std::vector<std::unique_ptr<CRTPReceiver>> receivers;
  std::vector<uint16_t> ports;
  for (size_t i = 0; i < count; ++i) {
    clients.push_back(std::make_unique<CountingClient>(received));
    receivers.push_back(std::make_unique<CRTPReceiver>());
    receivers.back()->SetUser(clients.back().get());
    if (receivers.back()->Port().Open(0) != kPortOpened) {
      state.SkipWithError("port did not open");
      return;
    }
    ports.push_back(receivers.back()->Port().LocalPort());
  }
  Drive(state, ports, received, uint64_t(state.range(1)), uint64_t(state.range(2)));
  for (auto& receiver : receivers) {
    receiver->SetUser(nullptr);
    receiver->Port().Close();
  }
}
// 256 ports take bursts of 8 (a small frame each) with up to 1024 datagrams
// in flight: well inside each port's queue, so none is lost.
BENCHMARK(BM_UdpPortAndRtpReceiver)
    ->Args({1, int64_t(kWindow), 1})
    ->Args({256, 1024, 8})
    ->UseRealTime();

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
  Drive(state, {port}, received);
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
