// A one-connection RTSP server on 127.0.0.1 that answers each request with
// the next scripted reply, sent in segments with pauses between them.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/socket.h"

namespace quenlix {
namespace testing_rtsp {

struct Segment {
  std::string bytes;
  uint32_t pauseMs = 0;  // before this segment
};

struct Reply {
  std::vector<Segment> segments;
  bool closeAfter = false;
};

using Responder = std::function<Reply(const std::string& request)>;

inline Reply Whole(const std::string& text) { return Reply{{{text, 0}}, false}; }

// "CSeq: <n>" of a request, or 0.
inline unsigned RequestCSeq(const std::string& request) {
  const size_t at = request.find("CSeq: ");
  return at == std::string::npos ? 0u : unsigned(std::stoul(request.substr(at + 6)));
}

class ScriptedServer {
 public:
  explicit ScriptedServer(std::vector<Responder> script) : script_(std::move(script)) {
    platform::SocketsStartup();
    listener_ = platform::CreateTcpSocket();
    platform::SetReuseAddress(listener_, true);
    platform::BindSocket(listener_, platform::InetAddr("127.0.0.1"), 0);
    platform::ListenSocket(listener_, 1);
    port_ = platform::LocalPort(listener_);
    thread_ = std::thread([this] { Serve(); });
  }
  ~ScriptedServer() {
    thread_.join();
    platform::CloseSocket(listener_);
    platform::SocketsCleanup();
  }
  uint16_t port() const { return port_; }
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  static constexpr uint32_t kWaitMs = 3000;

  void Serve() {
    if (platform::WaitReadable(listener_, kWaitMs) != 1) return;
    const platform::SocketHandle peer = platform::AcceptSocket(listener_, nullptr);
    if (peer == platform::kInvalidSocket) return;
    std::string buffer;
    bool open = true;
    for (const Responder& respond : script_) {
      const std::string request = ReadRequest(peer, &buffer);
      if (request.empty()) break;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
      }
      const Reply reply = respond(request);
      for (const Segment& segment : reply.segments) {
        if (segment.pauseMs) platform::SleepMs(segment.pauseMs);
        platform::SendBytes(peer, segment.bytes.data(), segment.bytes.size());
      }
      if (reply.closeAfter) {
        open = false;
        break;
      }
    }
    // Anything sent after the script is recorded too (it should be nothing).
    while (open) {
      const std::string extra = ReadRequest(peer, &buffer);
      if (extra.empty()) break;
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(extra);
    }
    platform::CloseSocket(peer);
  }

  static std::string ReadRequest(platform::SocketHandle peer, std::string* buffer) {
    for (;;) {
      const size_t end = buffer->find("\r\n\r\n");
      if (end != std::string::npos) {
        std::string request = buffer->substr(0, end + 4);
        buffer->erase(0, end + 4);
        return request;
      }
      if (platform::WaitReadable(peer, kWaitMs) != 1) return std::string();
      char chunk[1024];
      const int n = platform::ReceiveBytes(peer, chunk, sizeof chunk);
      if (n <= 0) return std::string();
      buffer->append(chunk, size_t(n));
    }
  }

  std::vector<Responder> script_;
  platform::SocketHandle listener_ = platform::kInvalidSocket;
  uint16_t port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> requests_;
};

}  // namespace testing_rtsp
}  // namespace quenlix
