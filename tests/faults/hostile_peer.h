// A camera that misbehaves on purpose, on 127.0.0.1: an HTTP side that
// trickles, stalls, floods or answers with hostile text, and an RTSP side
// that answers with the wrong CSeq or drops connection attempts. Healed, the
// camera behaves again: the hostile connections end, as at a camera's
// restart, and new ones are relayed to a well-behaved camera.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/socket.h"

namespace hostile {

namespace platform = quenlix::platform;
using Socket = platform::SocketHandle;

enum Behaviour {
  kAnswer,          // 200 with the body given, then closes
  kTrickleHeaders,  // a status line, then one header line an interval, for ever
  kTrickleBody,     // headers promising a long body, then one byte an interval
  kSilent,          // reads requests and never answers
  kHugeBody,        // 200 with hugeBytes of the body text repeated, sent as fast as read
  kRtspWrongCSeq,   // RTSP 200 to every request, with a CSeq that is not the request's
};

struct PeerOptions {
  Behaviour behaviour = kAnswer;
  std::string body = "OK\r\n";
  uint64_t hugeBytes = 0;
  uint32_t intervalMs = 200;  // of the trickles
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

  uint16_t Port() const { return port_; }
  // From now on new connections are relayed to the camera at 127.0.0.1:to.
  void Heal(uint16_t to) {
    relayTo_ = to;
    healed_ = true;
  }

 private:
  static constexpr uint32_t kSliceMs = 50;
  static constexpr size_t kMaxRequest = 64 * 1024;
  static constexpr size_t kHugeBlock = 64 * 1024;

  void Accept() {
    while (!stop_) {
      if (platform::WaitReadable(listener_, kSliceMs) != 1) continue;
      const Socket peer = platform::AcceptSocket(listener_, nullptr);
      if (peer == platform::kInvalidSocket) continue;
      connections_.emplace_back([this, peer, relay = bool(healed_)] {
        relay ? Relay(peer) : Serve(peer);
        platform::CloseSocket(peer);
      });
    }
  }

  bool Ending() const { return stop_ || healed_; }

  // One request's head, or "" when the client went away or the peer stops.
  std::string ReadRequest(Socket peer, std::string* buffer) {
    size_t end;
    while ((end = buffer->find("\r\n\r\n")) == std::string::npos) {
      if (Ending() || buffer->size() > kMaxRequest) return std::string();
      const int ready = platform::WaitReadable(peer, kSliceMs);
      if (ready == 0) continue;
      char chunk[4096];
      const int n = ready == 1 ? platform::ReceiveBytes(peer, chunk, sizeof chunk) : -1;
      if (n <= 0) return std::string();
      buffer->append(chunk, size_t(n));
    }
    std::string request = buffer->substr(0, end + 4);
    buffer->erase(0, end + 4);
    return request;
  }

  // A relay sends on after the heal; the hostile side ends there.
  bool Send(Socket to, const char* data, size_t length, bool relaying = false) {
    for (size_t done = 0; done < length;) {
      if (relaying ? bool(stop_) : Ending()) return false;
      if (platform::WaitWritable(to, kSliceMs) != 1) continue;
      const int n = platform::SendBytes(to, data + done, length - done);
      if (n <= 0) return false;
      done += size_t(n);
    }
    return true;
  }
  bool Send(Socket to, const std::string& bytes) { return Send(to, bytes.data(), bytes.size()); }

  // Sleeps for the interval unless the peer stops first.
  bool Pause() {
    for (uint32_t waited = 0; waited < options_.intervalMs && !Ending(); waited += kSliceMs) {
      platform::SleepMs(kSliceMs);
    }
    return !Ending();
  }

  void Serve(Socket peer) {
    std::string buffer;
    for (std::string request; !(request = ReadRequest(peer, &buffer)).empty();) {
      switch (options_.behaviour) {
        case kSilent:
          continue;
        case kRtspWrongCSeq: {
          const size_t at = request.find("CSeq: ");
          const unsigned cseq =
              at == std::string::npos ? 0u : unsigned(std::atoi(&request[at + 6]));
          if (!Send(peer, "RTSP/1.0 200 OK\r\nCSeq: " + std::to_string(cseq + 5) +
                              "\r\nSession: 1;timeout=60\r\n\r\n")) {
            return;
          }
          continue;
        }
        case kAnswer:
          Send(peer, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(options_.body.size()) +
                         "\r\nConnection: close\r\n\r\n" + options_.body);
          return;
        case kTrickleHeaders:
          if (!Send(peer, "HTTP/1.1 200 OK\r\n")) return;
          for (int n = 0; Pause() && Send(peer, "X-Wait: " + std::to_string(n) + "\r\n"); ++n) {
          }
          return;
        case kTrickleBody:
          if (!Send(peer, "HTTP/1.1 200 OK\r\nContent-Length: 100000000\r\n\r\n")) return;
          while (Pause() && Send(peer, "x")) {
          }
          return;
        case kHugeBody: {
          std::string block;
          while (block.size() < kHugeBlock) block += options_.body;
          bool open = Send(peer, "HTTP/1.1 200 OK\r\nContent-Length: " +
                                     std::to_string(options_.hugeBytes) + "\r\n\r\n");
          for (uint64_t left = options_.hugeBytes; open && left > 0;) {
            const size_t n = size_t(std::min<uint64_t>(left, kHugeBlock));
            open = Send(peer, block.data(), n);
            left -= n;
          }
          return;
        }
      }
    }
  }

  // Copies both ways between the client and the camera until either closes.
  void Relay(Socket client) {
    const Socket camera = platform::CreateTcpSocket();
    if (platform::ConnectSocket(camera, platform::InetAddr("127.0.0.1"), relayTo_) == 0) {
      const Socket ends[2] = {client, camera};
      char chunk[16 * 1024];
      for (bool open = true; open && !stop_;) {
        for (int from = 0; from < 2 && open; ++from) {
          const int ready = platform::WaitReadable(ends[from], 5);
          if (ready == 0) continue;
          const int n = ready == 1 ? platform::ReceiveBytes(ends[from], chunk, sizeof chunk) : -1;
          open = n > 0 && Send(ends[1 - from], chunk, size_t(n), true);
        }
      }
    }
    platform::CloseSocket(camera);
  }

  const PeerOptions options_;
  Socket listener_ = platform::kInvalidSocket;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> healed_{false};
  std::atomic<uint16_t> relayTo_{0};
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
    for (Socket& s : fillers_) {
      s = platform::CreateTcpSocket();
      platform::SetNonBlocking(s, true);
      platform::ConnectSocket(s, platform::InetAddr("127.0.0.1"), port_);
    }
  }
  ~SynDropPort() {
    for (Socket s : fillers_) platform::CloseSocket(s);
    platform::CloseSocket(listener_);
    platform::SocketsCleanup();
  }
  uint16_t Port() const { return port_; }

 private:
  Socket listener_ = platform::kInvalidSocket;
  Socket fillers_[4];
  uint16_t port_ = 0;
};

}  // namespace hostile
