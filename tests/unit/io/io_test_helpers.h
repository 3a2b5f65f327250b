// What the I/O tests share: the driver fake, an event sink that records
// what arrives, and the camera simulator on a loopback port.
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

#include "fake_driver.h"
#include "quenlix/driver.h"
#include "quenlix/io.h"
#include "sim_camera.h"
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

using CamsimServer = testhost::SimCamera;

}  // namespace iotest
