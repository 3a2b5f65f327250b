// What the I/O tests share: a driver that hands out a camera's address and
// I/O counts, an event sink that records what arrives, and the camera
// simulator's HTTP server on a loopback port.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "camsim.h"
#include "fake_driver.h"
#include "http_server.h"
#include "quenlix/driver.h"
#include "quenlix/io.h"
#include "wait_for.h"

namespace iotest {

using FakeDriver = testhost::FakeDriver;

struct IoEvent {
  bool failure;
  uint32_t input;
  uint32_t state;
  bool operator==(const IoEvent& o) const {
    return failure == o.failure && input == o.input && state == o.state;
  }
};

inline void PrintTo(const IoEvent& e, std::ostream* os) {
  if (e.failure) {
    *os << "Failure";
  } else {
    *os << "Change(" << e.input << ", " << e.state << ")";
  }
}

inline IoEvent Change(uint32_t input, uint32_t state) { return {false, input, state}; }
inline IoEvent Failure() { return {true, 0, 0}; }

class RecordingSink : public quenlix::IIOEventSink {
 public:
  void Reserved0() override {}
  void OnInputChanged(uint32_t input, uint32_t state) override { Add({false, input, state}); }
  void OnIOFailure() override { Add({true, 0, 0}); }

  std::vector<IoEvent> Events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  size_t Count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_.size();
  }
  // Waits until at least n events have arrived; false after timeoutMs.
  bool WaitForCount(size_t n, uint32_t timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                        [&] { return events_.size() >= n; });
  }

 private:
  void Add(IoEvent e) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(e);
    }
    cv_.notify_all();
  }

  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  std::vector<IoEvent> events_;
};

class CamsimServer {
 public:
  explicit CamsimServer(camsim::CamsimOptions options = camsim::CamsimOptions())
      : core_(std::move(options)), http_(core_) {
    port_ = http_.Start();
  }
  ~CamsimServer() { http_.Stop(); }

  uint16_t Port() const { return port_; }
  camsim::CIoSim& Io() { return http_.Io(); }
  camsim::Camsim& Core() { return core_; }

  // Every recorded CGI request target containing text.
  std::vector<std::string> Requests(const std::string& text) const {
    std::vector<std::string> out;
    for (const std::string& r : core_.Requests()) {
      if (r.find(text) != std::string::npos) out.push_back(r);
    }
    return out;
  }

  void Configure(FakeDriver& driver, uint32_t timeoutMs) const {
    driver.info.address = "127.0.0.1";
    driver.info.port = port_;
    driver.info.timeoutMs = timeoutMs;
  }

 private:
  camsim::Camsim core_;
  camsim::CHttpServer http_;
  uint16_t port_ = 0;
};

}  // namespace iotest
