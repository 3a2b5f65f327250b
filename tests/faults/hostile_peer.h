// A camera that misbehaves on purpose, on 127.0.0.1: an HTTP side that
// trickles, stalls, floods or answers with hostile text, and an RTSP side
// that answers with the wrong CSeq or drops connection attempts. Each
// connection is served on a thread of its own until the client goes or the
// peer is destroyed. Healed, the camera behaves again: the hostile
// connections end, as at a camera's restart, and new ones are relayed to a
// well-behaved camera.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/socket.h"

namespace hostile {

namespace platform = quenlix::platform;

enum class Behaviour {
  kAnswer,          // 200 with the body given, then closes
  kTrickleHeaders,  // a status line, then one header line per interval, for ever
  kTrickleBody,     // headers promising a long body, then one byte per interval
  kSilent,          // reads the request and never answers
  kHugeBody,        // 200 with hugeBytes of the body text repeated, sent as fast as read
  kRtspWrongCSeq,   // RTSP 200 to every request, with a CSeq that is not the request's
};

struct PeerOptions {
  Behaviour behaviour = Behaviour::kAnswer;
  std::string body = "OK\r\n";
  uint64_t hugeBytes = 0;
  uint32_t intervalMs = 200;
};

class HostilePeer {
 public:
  // port 0: any free one.
  explicit HostilePeer(PeerOptions options, uint16_t port = 0) : options_(std::move(options)) {
    platform::SocketsStartup();
    listener_ = platform::CreateTcpSocket();
    platform::SetReuseAddress(listener_, true);
    platform::BindSocket(listener_, platform::InetAddr("127.0.0.1"), port);
    platform::ListenSocket(listener_, 64);
    port_ = platform::LocalPort(listener_);
    acceptor_ = std::thread([this] { Accept(); });
  }
  ~HostilePeer() {
    stop_ = true;
    acceptor_.join();
    for (std::thread& t : connections_) t.join();
    platform::CloseSocket(listener_);
    platform::SocketsCleanup();
  }
  HostilePeer(const HostilePeer&) = delete;
  HostilePeer& operator=(const HostilePeer&) = delete;

  uint16_t Port() const { return port_; }
  // From now on new connections are relayed to the camera at 127.0.0.1:to.
  void Heal(uint16_t to) {
    relayTo_ = to;
    healed_ = true;
  }
  uint64_t BytesSent() const { return sent_.load(); }
  uint32_t Requests() const { return requests_.load(); }

 private:
  static constexpr uint32_t kSliceMs = 50;
  static constexpr uint32_t kRelaySliceMs = 5;
  static constexpr size_t kMaxRequest = 64 * 1024;
  static constexpr size_t kHugeBlock = 64 * 1024;

  void Accept() {
    while (!stop_) {
      if (platform::WaitReadable(listener_, kSliceMs) != 1) continue;
      const platform::SocketHandle peer = platform::AcceptSocket(listener_, nullptr);
      if (peer == platform::kInvalidSocket) continue;
      const bool relay = healed_;
      connections_.emplace_back([this, peer, relay] {
        if (relay) {
          Relay(peer);
        } else {
          Serve(peer);
        }
        platform::CloseSocket(peer);
      });
    }
  }

  // One request's head, or "" when the client went away or the peer stops.
  std::string ReadRequest(platform::SocketHandle peer, std::string* buffer) {
    for (;;) {
      const size_t end = buffer->find("\r\n\r\n");
      if (end != std::string::npos) {
        std::string request = buffer->substr(0, end + 4);
        buffer->erase(0, end + 4);
        ++requests_;
        return request;
      }
      if (Ending() || buffer->size() > kMaxRequest) return std::string();
      const int ready = platform::WaitReadable(peer, kSliceMs);
      if (ready == 0) continue;
      if (ready != 1) return std::string();
      char chunk[4096];
      const int n = platform::ReceiveBytes(peer, chunk, sizeof chunk);
      if (n <= 0) return std::string();
      buffer->append(chunk, size_t(n));
    }
  }

  bool Send(platform::SocketHandle peer, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      if (Ending()) return false;
      if (platform::WaitWritable(peer, kSliceMs) != 1) continue;
      const int n = platform::SendBytes(peer, bytes.data() + done, bytes.size() - done);
      if (n <= 0) return false;
      done += size_t(n);
      sent_ += uint64_t(n);
    }
    return true;
  }

  // Sleeps for the interval unless the peer stops first.
  bool Pause() {
    for (uint32_t waited = 0; waited < options_.intervalMs; waited += kSliceMs) {
      if (Ending()) return false;
      platform::SleepMs(kSliceMs);
    }
    return !Ending();
  }

  bool Ending() const { return stop_ || healed_; }

  // Copies both ways between the client and the camera until either closes.
  void Relay(platform::SocketHandle client) {
    const platform::SocketHandle camera = platform::CreateTcpSocket();
    if (platform::ConnectSocket(camera, platform::InetAddr("127.0.0.1"), relayTo_) == 0) {
      const platform::SocketHandle ends[2] = {client, camera};
      char chunk[16 * 1024];
      for (bool open = true; open && !stop_;) {
        for (int from = 0; from < 2 && open; ++from) {
          const int ready = platform::WaitReadable(ends[from], kRelaySliceMs);
          if (ready == 0) continue;
          const int n = ready == 1 ? platform::ReceiveBytes(ends[from], chunk, sizeof chunk) : -1;
          open = n > 0 && SendAll(ends[1 - from], chunk, size_t(n));
        }
      }
    }
    platform::CloseSocket(camera);
  }

  static bool SendAll(platform::SocketHandle to, const char* data, size_t length) {
    for (size_t done = 0; done < length;) {
      const int n = platform::SendBytes(to, data + done, length - done);
      if (n <= 0) return false;
      done += size_t(n);
    }
    return true;
  }

  void Serve(platform::SocketHandle peer) {
    std::string buffer;
    if (options_.behaviour == Behaviour::kRtspWrongCSeq) {
      for (;;) {
        const std::string request = ReadRequest(peer, &buffer);
        if (request.empty()) return;
        const size_t at = request.find("CSeq: ");
        const unsigned cseq = at == std::string::npos ? 0u : unsigned(std::atoi(&request[at + 6]));
        if (!Send(peer, "RTSP/1.0 200 OK\r\nCSeq: " + std::to_string(cseq + 5) +
                            "\r\nSession: 1;timeout=60\r\n\r\n")) {
          return;
        }
      }
    }
    if (ReadRequest(peer, &buffer).empty()) return;
    switch (options_.behaviour) {
      case Behaviour::kAnswer:
        Send(peer, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(options_.body.size()) +
                       "\r\nConnection: close\r\n\r\n" + options_.body);
        return;
      case Behaviour::kTrickleHeaders:
        if (!Send(peer, "HTTP/1.1 200 OK\r\n")) return;
        for (uint32_t n = 0; Pause(); ++n) {
          if (!Send(peer, "X-Wait: " + std::to_string(n) + "\r\n")) return;
        }
        return;
      case Behaviour::kTrickleBody:
        if (!Send(peer, "HTTP/1.1 200 OK\r\nContent-Length: 100000000\r\n\r\n")) return;
        while (Pause()) {
          if (!Send(peer, "x")) return;
        }
        return;
      case Behaviour::kSilent:
        // Until the client closes or the peer stops.
        while (!Ending()) {
          const int ready = platform::WaitReadable(peer, kSliceMs);
          if (ready == 0) continue;
          char sink[1024];
          if (ready != 1 || platform::ReceiveBytes(peer, sink, sizeof sink) <= 0) return;
        }
        return;
      case Behaviour::kHugeBody: {
        if (!Send(peer, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(options_.hugeBytes) +
                            "\r\n\r\n")) {
          return;
        }
        std::string block;
        while (block.size() < kHugeBlock) block += options_.body;
        block.resize(kHugeBlock);
        for (uint64_t left = options_.hugeBytes; left > 0;) {
          const size_t n = size_t(left < block.size() ? left : block.size());
          if (!Send(peer, block.substr(0, n))) return;
          left -= n;
        }
        return;
      }
      case Behaviour::kRtspWrongCSeq:
        return;
    }
  }

  const PeerOptions options_;
  platform::SocketHandle listener_ = platform::kInvalidSocket;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> healed_{false};
  std::atomic<uint16_t> relayTo_{0};
  std::atomic<uint64_t> sent_{0};
  std::atomic<uint32_t> requests_{0};
  std::thread acceptor_;
  std::vector<std::thread> connections_;  // the acceptor's only
};

// A TCP port whose listener never accepts and whose backlog is full, so that
// further connection attempts get no answer at all, as from a camera behind
// a filter that drops them.
class SynDropPort {
 public:
  SynDropPort() {
    platform::SocketsStartup();
    listener_ = platform::CreateTcpSocket();
    platform::BindSocket(listener_, platform::InetAddr("127.0.0.1"), 0);
    platform::ListenSocket(listener_, 0);
    port_ = platform::LocalPort(listener_);
    for (int i = 0; i < kFillers; ++i) {
      platform::SocketHandle s = platform::CreateTcpSocket();
      platform::SetNonBlocking(s, true);
      platform::ConnectSocket(s, platform::InetAddr("127.0.0.1"), port_);
      fillers_.push_back(s);
    }
  }
  ~SynDropPort() {
    for (platform::SocketHandle s : fillers_) platform::CloseSocket(s);
    platform::CloseSocket(listener_);
    platform::SocketsCleanup();
  }
  SynDropPort(const SynDropPort&) = delete;
  SynDropPort& operator=(const SynDropPort&) = delete;
  uint16_t Port() const { return port_; }

 private:
  static constexpr int kFillers = 4;
  platform::SocketHandle listener_ = platform::kInvalidSocket;
  uint16_t port_ = 0;
  std::vector<platform::SocketHandle> fillers_;
};

}  // namespace hostile
