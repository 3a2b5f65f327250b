// Sliding-window mean kept by a running sum.
#pragma once

#include <cstdint>
#include <deque>

namespace quenlix {

template <class T>
class TStatisticsHelper {
 public:
  explicit TStatisticsHelper(uint32_t capacity = 1000) : capacity(capacity) {}
  virtual ~TStatisticsHelper() = default;

  void Add(T x) {
    while (!window.empty() && window.size() >= capacity) {
      sum -= double(window.front());
      window.pop_front();
    }
    window.push_back(x);
    sum += double(x);
  }
  double Mean() const { return window.empty() ? 0.0 : sum / double(window.size()); }
  uint32_t Count() const { return uint32_t(window.size()); }
  // The sum goes with the window, so a cleared helper can never report a
  // mean made of samples it no longer holds.
  void Clear() {
    window.clear();
    sum = 0.0;
  }

 private:
  std::deque<T> window;
  double sum = 0.0;
  uint32_t capacity;
};

}  // namespace quenlix
