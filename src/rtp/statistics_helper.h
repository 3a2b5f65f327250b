// Sliding-window mean kept by a running sum.
#pragma once

#include <cstdint>
#include <vector>

namespace quenlix {

// The window is a ring of capacity samples, oldest first, made at the first
// sample: it takes a sample per frame on the receive thread, where a queue
// that gives back and takes memory as it moves would allocate every few
// dozen frames.
template <class T>
class TStatisticsHelper {
 public:
  // A window of 0 keeps the newest sample, as one of 1 does.
  explicit TStatisticsHelper(uint32_t capacity = 1000) : capacity(capacity == 0 ? 1 : capacity) {}
  virtual ~TStatisticsHelper() = default;

  void Add(T x) {
    if (ring.empty()) ring.resize(capacity);
    if (count == capacity) {
      sum -= double(ring[oldest]);
      ring[oldest] = x;
      oldest = (oldest + 1) % capacity;
    } else {
      ring[(oldest + count) % capacity] = x;
      ++count;
    }
    sum += double(x);
  }
  double Mean() const { return count == 0 ? 0.0 : sum / double(count); }
  uint32_t Count() const { return count; }
  // The sum goes with the window, so a cleared helper can never report a
  // mean made of samples it no longer holds.
  void Clear() {
    count = 0;
    oldest = 0;
    sum = 0.0;
  }

 private:
  std::vector<T> ring;
  uint32_t oldest = 0;
  uint32_t count = 0;
  double sum = 0.0;
  uint32_t capacity;
};

}  // namespace quenlix
