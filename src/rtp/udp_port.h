// One UDP socket bound to a local port, with a receive thread that hands
// every datagram to a user object.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"
#include "platform/socket.h"

namespace quenlix {

class CUDPPort;

class IUDPPortUser {
 public:
  virtual ~IUDPPortUser() = default;
  // data is the port's receive buffer, valid only during the call; length > 0.
  virtual void OnDataReceived(CUDPPort* port, const platform::SocketAddress& from,
                              const uint8_t* data, int32_t length) = 0;
  // The select time-out passed without a datagram.
  virtual void OnReceiveTimeout() = 0;
  // The port was closed, or its socket failed.
  virtual void OnPortClosed(CUDPPort* port) = 0;
};

enum PortOpenResult : uint32_t {
  kPortOpened = 1,
  kPortAlreadyOpen = 2,
  kPortSocketFailed = 5,
  kPortBindFailed = 6,
  kPortBufferRefused = 8,
  kPortThreadFailed = 9,
};

class CUDPPort {
 public:
  static constexpr uint32_t kDefaultBufferSize = 65536;
  static constexpr uint32_t kSelectTimeoutMs = 5000;

  CUDPPort();
  virtual ~CUDPPort();
  CUDPPort(const CUDPPort&) = delete;
  CUDPPort& operator=(const CUDPPort&) = delete;

  void SetUser(IUDPPortUser* newUser);
  bool IsOpen() const { return socketHandle.load() != platform::kInvalidSocket; }
  // port 0 binds an ephemeral port; LocalPort tells which.
  PortOpenResult Open(uint16_t port);
  // Always true. Waits for the receive thread unless called on it.
  bool Close();

  uint16_t LocalPort() const { return localPort.load(); }
  // Takes effect at the receive thread's next read.
  void SetBufferSize(uint32_t bytes) { bufferSize.store(bytes); }
  uint32_t BufferSize() const { return bufferSize.load(); }
  // The kernel receive queue asked for at the next Open. It never goes below
  // what the datagram buffer size implies (32 datagrams, at most 131070).
  void SetSocketBufferSize(uint32_t bytes) { socketBufferRequest.store(bytes); }
  uint32_t SocketBufferRequest() const;
  // What the system granted at Open, in its own reckoning; 0 while closed.
  int32_t SocketBufferSize() const { return socketBufferGranted.load(); }

 private:
  // The receive thread's own: a batch of datagram slots and their records.
  struct ReceiveSlots {
    uint8_t* bytes = nullptr;
    uint32_t slotSize = 0;
    platform::ReceivedDatagram* datagrams = nullptr;
  };

  static uint32_t ThreadEntry(void* self);
  void ReceiveLoop();
  bool ShouldRun(uint32_t myGeneration) const {
    return running.load() && generation.load() == myGeneration;
  }
  // Each returns false when the thread must end. WaitForData also tells
  // whether a read should follow.
  bool WaitForData(uint32_t myGeneration, platform::SocketHandle s, bool& readNow);
  bool ReceiveSome(uint32_t myGeneration, ReceiveSlots& slots, bool& mustWait);
  bool Deliver(uint32_t myGeneration, const ReceiveSlots& slots, int count);
  void WakeReceiveThread(uint16_t port);
  void CloseSocketLocked();

  platform::CriticalSection lock;
  std::atomic<IUDPPortUser*> user{nullptr};
  std::atomic<platform::SocketHandle> socketHandle{platform::kInvalidSocket};
  std::atomic<uint16_t> localPort{0};
  platform::Thread receiveThread = nullptr;
  uint32_t receiveThreadId = 0;
  std::atomic<uint32_t> bufferSize{kDefaultBufferSize};
  std::atomic<uint32_t> socketBufferRequest{0};
  std::atomic<int32_t> socketBufferGranted{0};
  uint32_t selectTimeoutMs = kSelectTimeoutMs;
  std::atomic<bool> running{false};
  // Reads are tried before waiting only on a non-blocking socket.
  std::atomic<bool> nonBlocking{false};
  // Counts opens, so that a thread left behind by a Close from its own
  // callback ends instead of serving the socket of a later Open.
  std::atomic<uint32_t> generation{0};
};

}  // namespace quenlix
