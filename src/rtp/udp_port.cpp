#include "rtp/udp_port.h"

#include <algorithm>
#include <new>

#include "rtp/loopback_wake.h"
#include "thread/thread_stacks.h"

namespace quenlix {

namespace {

// The kernel's receive queue holds this many datagrams of the buffer size...
constexpr uint64_t kSocketBufferFactor = 32;
// ...up to what older stacks accept (the signed 16-bit-times-two limit).
constexpr uint64_t kMaxSocketBuffer = 131070;
// A datagram cut at the buffer size is lost; the next read gets this much more.
constexpr uint32_t kBufferGrowth = 1024;
// Shrinking by less is not worth a reallocation.
constexpr uint32_t kShrinkSlack = 2048;
constexpr uint32_t kInvalidSocketPollMs = 100;
constexpr size_t kDrainChunk = 1024;
// Bounds the drain at close against a sender that never stops.
constexpr int kMaxDrainReads = 1024;
constexpr int kWsaNotInitialised = 10093;

// Errors after which the socket is of no further use. EBADF and ENOTSOCK are
// added to the usual three so that a socket gone bad cannot spin the thread.
bool IsFatalSelectError(int error) {
  switch (error) {
    case platform::kWsaEFAULT:
    case platform::kWsaENETDOWN:
    case kWsaNotInitialised:
    case platform::kWsaEBADF:
    case platform::kWsaENOTSOCK:
      return true;
    default:
      return false;
  }
}

// Set by a Close made from the receive thread's own callback: from then on
// the port may go away at any moment, so the thread must not touch it again.
thread_local const CUDPPort* closedFromItsOwnThread = nullptr;

}  // namespace

CUDPPort::CUDPPort() = default;

CUDPPort::~CUDPPort() { Close(); }

void CUDPPort::SetUser(IUDPPortUser* newUser) {
  lock.Enter();
  user.store(newUser);
  lock.Leave();
}

PortOpenResult CUDPPort::Open(uint16_t port) {
  lock.Enter();
  PortOpenResult result = kPortOpened;
  platform::SocketHandle s = platform::kInvalidSocket;
  if (IsOpen()) {
    result = kPortAlreadyOpen;
  } else if ((s = platform::CreateUdpSocket()) == platform::kInvalidSocket) {
    result = kPortSocketFailed;
  } else if (platform::SetReceiveBufferSize(s, int(SocketBufferRequest())) != 0) {
    platform::CloseSocket(s);
    result = kPortBufferRefused;
  } else if (platform::BindSocket(s, 0, port) != 0) {
    platform::CloseSocket(s);
    result = kPortBindFailed;
  } else {
    socketBufferGranted.store(platform::ReceiveBufferSize(s));
    nonBlocking.store(platform::SetNonBlocking(s, true) == 0);
    localPort.store(port != 0 ? port : platform::LocalPort(s));
    socketHandle.store(s);
    generation.fetch_add(1);
    running.store(true);
    receiveThread = platform::StartThread(&CUDPPort::ThreadEntry, this, &receiveThreadId,
                                          quenlix::thread::kReceiveThreadStack);
    if (receiveThread == nullptr) {
      receiveThreadId = 0;
      running.store(false);
      CloseSocketLocked();
      result = kPortThreadFailed;
    } else {
      platform::SetThreadPriority(receiveThread, platform::ThreadPriority::kAboveNormal);
    }
  }
  lock.Leave();
  return result;
}

uint32_t CUDPPort::SocketBufferRequest() const {
  const uint64_t forDatagrams = std::min(kSocketBufferFactor * bufferSize.load(), kMaxSocketBuffer);
  return uint32_t(std::max<uint64_t>(forDatagrams, socketBufferRequest.load()));
}

bool CUDPPort::Close() {
  lock.Enter();
  if (IsOpen()) {
    running.store(false);
    WakeReceiveThread(localPort.load());
    platform::ShutdownSocket(socketHandle.load());
    // The socket is closed only after the thread has let go of it, so the
    // thread never waits on a handle that the system may hand out again.
    if (receiveThread != nullptr) {
      if (platform::IsCurrentThread(receiveThread)) {
        closedFromItsOwnThread = this;
      } else {
        platform::WaitForThread(receiveThread, platform::kInfinite);
      }
      platform::CloseThread(receiveThread);
      receiveThread = nullptr;
      receiveThreadId = 0;
    }
    CloseSocketLocked();
    if (IUDPPortUser* u = user.load()) {
      try {
        u->OnPortClosed(this);
      } catch (...) {
        // A user's failure must not keep the port half closed.
      }
    }
  }
  lock.Leave();
  return true;
}

void CUDPPort::CloseSocketLocked() {
  platform::SocketHandle s = socketHandle.exchange(platform::kInvalidSocket);
  if (s == platform::kInvalidSocket) return;
  platform::SetNonBlocking(s, true);
  uint8_t scratch[kDrainChunk];
  for (int i = 0; i < kMaxDrainReads; ++i) {
    platform::SocketAddress from;
    if (platform::ReceiveFrom(s, scratch, sizeof scratch, &from) <= 0) break;
  }
  platform::CloseSocket(s);
  localPort.store(0);
  socketBufferGranted.store(0);
}

// Shutting down an unconnected UDP socket does not wake a blocked select on
// every system; an empty datagram to ourselves does, and the thread drops it
// because running is already clear.
void CUDPPort::WakeReceiveThread(uint16_t port) {
  if (receiveThread == nullptr || platform::IsCurrentThread(receiveThread)) return;
  SendLoopbackWake(port, socketHandle.load());
}

uint32_t CUDPPort::ThreadEntry(void* self) {
  // The last resort: nothing thrown while receiving may end the host's
  // process; the channel's signal watch restarts a stream that stopped.
  platform::CallSwallowingExceptions([](void* p) { static_cast<CUDPPort*>(p)->ReceiveLoop(); },
                                     self);
  return 0;
}

void CUDPPort::ReceiveLoop() {
  // Only a later Open changes it, and that follows a Close which either
  // joined this thread or was made from it.
  const uint32_t myGeneration = generation.load();
  ReceiveSlots slots;
  slots.datagrams = new (std::nothrow) platform::ReceivedDatagram[platform::kMaxReceiveBatch];
  bool mustWait = true;
  while (slots.datagrams != nullptr && ShouldRun(myGeneration)) {
    if (!ReceiveSome(myGeneration, slots, mustWait)) break;
  }
  // Nothing of the port may be touched here: it may be gone already.
  delete[] slots.bytes;
  delete[] slots.datagrams;
}

bool CUDPPort::WaitForData(uint32_t myGeneration, platform::SocketHandle s, bool& readNow) {
  readNow = false;
  int ready = platform::WaitReadable(s, selectTimeoutMs);
  if (!ShouldRun(myGeneration)) return false;
  if (ready == 0) {
    if (IUDPPortUser* u = user.load()) u->OnReceiveTimeout();
    return closedFromItsOwnThread != this;
  }
  if (ready < 0) {
    int error = platform::LastSocketError();
    if (IsFatalSelectError(error)) {
      if (IUDPPortUser* u = user.load()) u->OnPortClosed(this);
      return false;
    }
    if (error != platform::kWsaEINVAL) {
      platform::SleepMs(0);
      return true;
    }
  }
  readNow = true;
  return true;
}

bool CUDPPort::ReceiveSome(uint32_t myGeneration, ReceiveSlots& slots, bool& mustWait) {
  platform::SocketHandle s = socketHandle.load();
  if (s == platform::kInvalidSocket) {
    platform::SleepMs(kInvalidSocketPollMs);
    return true;
  }
  if (mustWait || !nonBlocking.load()) {
    bool readNow = false;
    if (!WaitForData(myGeneration, s, readNow)) return false;
    if (!readNow) return true;
  }
  const uint32_t wanted = bufferSize.load();
  if (slots.bytes == nullptr || wanted > slots.slotSize || slots.slotSize - wanted > kShrinkSlack) {
    delete[] slots.bytes;
    slots.bytes = new (std::nothrow) uint8_t[size_t(wanted) * platform::kMaxReceiveBatch];
    slots.slotSize = slots.bytes != nullptr ? wanted : 0;
    if (slots.bytes == nullptr) return false;
  }
  const int n = platform::ReceiveBatch(s, slots.bytes, slots.slotSize, platform::kMaxReceiveBatch,
                                       slots.datagrams);
  if (!ShouldRun(myGeneration)) return false;
  if (n <= 0) {
    // Nothing queued, or an error that the wait reports.
    mustWait = true;
    return true;
  }
  // A short batch emptied the queue, so the wait comes next; after a full
  // one, more is likely queued and a wait would only say so.
  mustWait = size_t(n) < platform::kMaxReceiveBatch;
  return Deliver(myGeneration, slots, n);
}

bool CUDPPort::Deliver(uint32_t myGeneration, const ReceiveSlots& slots, int count) {
  for (int i = 0; i < count; ++i) {
    const platform::ReceivedDatagram& d = slots.datagrams[i];
    if (d.truncated) {
      // Lost; the next read has room for a datagram of this kind.
      bufferSize.fetch_add(kBufferGrowth);
      continue;
    }
    // An empty datagram carries nothing; ending the thread on it would let
    // any sender stop the stream.
    if (d.length <= 0) continue;
    if (IUDPPortUser* u = user.load()) u->OnDataReceived(this, d.from, d.data, d.length);
    // After a Close from the callback the port may be gone: ask nothing of it.
    if (closedFromItsOwnThread == this) return false;
    if (!ShouldRun(myGeneration)) return false;
  }
  return true;
}

}  // namespace quenlix
