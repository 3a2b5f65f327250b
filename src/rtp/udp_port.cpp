#include "rtp/udp_port.h"

#include <algorithm>
#include <new>

#include "rtp/loopback_wake.h"

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
  } else if (platform::SetReceiveBufferSize(s, int(std::min(kSocketBufferFactor * bufferSize.load(),
                                                            kMaxSocketBuffer))) != 0) {
    platform::CloseSocket(s);
    result = kPortBufferRefused;
  } else if (platform::BindSocket(s, 0, port) != 0) {
    platform::CloseSocket(s);
    result = kPortBindFailed;
  } else {
    nonBlocking.store(platform::SetNonBlocking(s, true) == 0);
    localPort.store(port != 0 ? port : platform::LocalPort(s));
    socketHandle.store(s);
    generation.fetch_add(1);
    running.store(true);
    receiveThread = platform::StartThread(&CUDPPort::ThreadEntry, this, &receiveThreadId);
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
  uint32_t allocated = 0;
  uint8_t* buffer = nullptr;
  bool mustWait = true;
  while (ShouldRun(myGeneration)) {
    if (!ReceiveOne(myGeneration, buffer, allocated, mustWait)) break;
  }
  // Nothing of the port may be touched here: it may be gone already.
  delete[] buffer;
}

bool CUDPPort::ReceiveOne(uint32_t myGeneration, uint8_t*& buffer, uint32_t& allocated,
                          bool& mustWait) {
  platform::SocketHandle s = socketHandle.load();
  if (s == platform::kInvalidSocket) {
    platform::SleepMs(kInvalidSocketPollMs);
    return true;
  }
  if (mustWait || !nonBlocking.load()) {
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
  }
  uint32_t wanted = bufferSize.load();
  if (buffer == nullptr || wanted > allocated || allocated - wanted > kShrinkSlack) {
    delete[] buffer;
    buffer = new (std::nothrow) uint8_t[wanted];
    allocated = buffer != nullptr ? wanted : 0;
    if (buffer == nullptr) return false;
  }
  platform::SocketAddress from;
  int n = platform::ReceiveFrom(s, buffer, allocated, &from);
  if (!ShouldRun(myGeneration)) return false;
  // While datagrams keep coming, read on without a select in between: it
  // would only say what the next read finds out anyway.
  mustWait = false;
  if (n > 0) {
    if (IUDPPortUser* u = user.load()) u->OnDataReceived(this, from, buffer, n);
    if (closedFromItsOwnThread == this) return false;
  } else if (n < 0) {
    if (platform::LastSocketError() == platform::kWsaEMSGSIZE) {
      bufferSize.fetch_add(kBufferGrowth);
    } else {
      mustWait = true;
    }
  }
  // An empty datagram (n == 0) carries nothing; ending the thread on it would
  // let any sender stop the stream.
  return true;
}

}  // namespace quenlix
