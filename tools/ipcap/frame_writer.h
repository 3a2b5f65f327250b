// The recording's writer threads: frames are queued on the driver's receive
// threads and written to their files here, so that a slow disk or a slow
// reader of stdout never holds up the reception of a stream.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "quenlix/abi.h"

namespace ipcap {

class StreamRecorder;

// Raises the calling thread to the driver's receive priority where the
// process may (nice -5, or above normal on Windows), so that the threads
// that write the recordings get their share beside hundreds of receive
// threads.
void RaiseToReceivePriority();

// One frame as the driver delivered it, copied out of the host's sample.
struct QueuedFrame {
  StreamRecorder* recorder = nullptr;
  uint32_t stream = 0;  // picks the writer thread: a stream's frames stay in order
  std::vector<uint8_t> data;
  uint32_t typeCode = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  bool hasTime = false;
  quenlix::SYSTEMTIME time{};
  quenlix::SYSTEMTIME received{};  // arrival at ipcap, UTC
  double arrivalSeconds = 0;       // steady clock, for the rates
};

class FrameWriter {
 public:
  // What the queues may hold together before frames are dropped, at least
  // (QueueBytesFor gives the figure for a number of streams).
  static constexpr size_t kDefaultQueueBytes = size_t(256) << 20;
  // With more streams, about four seconds of a 4 Mbit/s stream each: at 256
  // streams the writers once stood still for more than two seconds. A 32-bit
  // host has no room for more than the default.
  static constexpr size_t kQueueBytesPerStream = size_t(2) << 20;
  static constexpr size_t kMaxQueueBytes = sizeof(void*) > 4 ? size_t(1) << 30 : kDefaultQueueBytes;
  static size_t QueueBytesFor(size_t streams);
  // One writer thread for this many streams. Each stream's receive thread
  // gets its share of a busy processor; a single writer for hundreds of them
  // got too little to keep up.
  static constexpr uint32_t kStreamsPerWriter = 16;
  static constexpr uint32_t kMaxWriters = 16;
  static uint32_t WritersFor(size_t streams);
  // How often a writer takes what its streams queued.
  static constexpr std::chrono::milliseconds kDrainPeriod{20};

  // stall: once a second each writer stands still this long, as writes do
  // while the page cache is written back (for tests and load runs).
  explicit FrameWriter(size_t queueBytes = kDefaultQueueBytes,
                       std::chrono::milliseconds stall = std::chrono::milliseconds(0),
                       uint32_t writers = 1);
  ~FrameWriter();
  FrameWriter(const FrameWriter&) = delete;
  FrameWriter& operator=(const FrameWriter&) = delete;

  // Never waits for the disk: false, with the frame dropped and counted,
  // when the queues hold no room for it.
  bool Push(QueuedFrame&& frame);
  // Writes everything still queued, then ends the threads.
  void Finish();

  uint64_t Dropped() const { return dropped_.load(); }
  size_t QueueBytes() const { return queueBytes_; }

 private:
  struct Lane {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<QueuedFrame> queue;
    bool finishing = false;
    std::chrono::steady_clock::time_point nextStall;
    std::thread thread;
  };

  void Run(Lane& lane);
  void StallEverySecond(Lane& lane);

  const size_t queueBytes_;
  const std::chrono::milliseconds stall_;
  std::atomic<size_t> queued_{0};  // bytes of frame data in all queues
  std::atomic<uint64_t> dropped_{0};
  std::vector<std::unique_ptr<Lane>> lanes_;
};

}  // namespace ipcap
