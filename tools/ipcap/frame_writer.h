// The recording's writer thread: frames are queued on the driver's receive
// threads and written to their files here, so that a slow disk or a slow
// reader of stdout never holds up the reception of a stream.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "quenlix/abi.h"

namespace ipcap {

class StreamRecorder;

// One frame as the driver delivered it, copied out of the host's sample.
struct QueuedFrame {
  StreamRecorder* recorder = nullptr;
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
  // What the queue may hold before frames are dropped: at 256 streams of
  // 4 Mbit/s about half a second of a disk that stands still.
  static constexpr size_t kDefaultQueueBytes = size_t(64) << 20;

  // stall: once a second the writer stands still this long, as writes do
  // while the page cache is written back (for tests and load runs).
  explicit FrameWriter(size_t queueBytes = kDefaultQueueBytes,
                       std::chrono::milliseconds stall = std::chrono::milliseconds(0));
  ~FrameWriter();
  FrameWriter(const FrameWriter&) = delete;
  FrameWriter& operator=(const FrameWriter&) = delete;

  // Never waits for the disk: false, with the frame dropped and counted,
  // when the queue holds no room for it.
  bool Push(QueuedFrame&& frame);
  // Writes everything still queued, then ends the thread.
  void Finish();

  uint64_t Dropped() const { return dropped_.load(); }
  size_t QueueBytes() const { return queueBytes_; }

 private:
  void Run();
  void StallEverySecond();

  const size_t queueBytes_;
  const std::chrono::milliseconds stall_;
  std::chrono::steady_clock::time_point nextStall_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<QueuedFrame> queue_;
  size_t queued_ = 0;  // bytes of frame data in queue_
  bool finishing_ = false;
  std::atomic<uint64_t> dropped_{0};
  std::thread thread_;
};

}  // namespace ipcap
