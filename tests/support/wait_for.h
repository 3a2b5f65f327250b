// Polling wait for conditions that another thread makes true.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

namespace testhost {

// Polls until done() holds or the time is up; the result of the last poll,
// so that a condition met right at the deadline still counts.
inline bool WaitFor(const std::function<bool()>& done, uint32_t timeoutMs = 8000) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < until) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

}  // namespace testhost
