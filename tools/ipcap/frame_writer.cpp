#include "frame_writer.h"

#include <algorithm>
#include <utility>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include "frame_recorder.h"

namespace ipcap {

// The driver raises its receive threads above normal; a writer left at
// normal priority gets a third of a receive thread's share of a busy
// processor and falls behind hundreds of them. Best effort: a process that
// may not raise priorities writes at normal priority.
void RaiseToReceivePriority() {
#if defined(_WIN32)
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL);
#else
  setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), -5);
#endif
}

size_t FrameWriter::QueueBytesFor(size_t streams) {
  const size_t wanted = streams * kQueueBytesPerStream;
  return std::max(kDefaultQueueBytes, std::min(wanted, kMaxQueueBytes));
}

uint32_t FrameWriter::WritersFor(size_t streams) {
  const size_t writers = (streams + kStreamsPerWriter - 1) / kStreamsPerWriter;
  return uint32_t(std::max<size_t>(1, std::min<size_t>(kMaxWriters, writers)));
}

FrameWriter::FrameWriter(size_t queueBytes, std::chrono::milliseconds stall, uint32_t writers)
    : queueBytes_(queueBytes), stall_(stall) {
  for (uint32_t i = 0; i < std::max<uint32_t>(1, writers); ++i) {
    lanes_.push_back(std::make_unique<Lane>());
    Lane& lane = *lanes_.back();
    lane.nextStall = std::chrono::steady_clock::now();
    lane.thread = std::thread([this, &lane] { Run(lane); });
  }
}

FrameWriter::~FrameWriter() { Finish(); }

bool FrameWriter::Push(QueuedFrame&& frame) {
  const size_t size = frame.data.size();
  Lane& lane = *lanes_[frame.stream % lanes_.size()];
  {
    std::lock_guard<std::mutex> lock(lane.mutex);
    if (!lane.finishing && queued_.fetch_add(size) + size <= queueBytes_) {
      lane.queue.push_back(std::move(frame));  // the writer comes for it within kDrainPeriod
      return true;
    }
    if (!lane.finishing) queued_.fetch_sub(size);
  }
  ++dropped_;
  return false;
}

void FrameWriter::Finish() {
  for (auto& lane : lanes_) {
    std::lock_guard<std::mutex> lock(lane->mutex);
    lane->finishing = true;
    lane->wake.notify_one();
  }
  for (auto& lane : lanes_) {
    if (lane->thread.joinable()) lane->thread.join();
  }
}

void FrameWriter::StallEverySecond(Lane& lane) {
  if (stall_.count() <= 0) return;
  const auto now = std::chrono::steady_clock::now();
  if (now < lane.nextStall) return;
  std::this_thread::sleep_for(stall_);
  lane.nextStall = now + std::chrono::seconds(1);
}

void FrameWriter::Run(Lane& lane) {
  RaiseToReceivePriority();
  std::deque<QueuedFrame> batch;
  std::unique_lock<std::mutex> lock(lane.mutex);
  for (;;) {
    // Woken by the clock, not by each frame: a wake-up a frame cost every
    // stream a context switch a frame, at 256 streams 6,400 a second.
    lane.wake.wait_for(lock, kDrainPeriod, [&lane] { return lane.finishing; });
    const bool last = lane.finishing;
    batch.swap(lane.queue);
    lock.unlock();
    for (QueuedFrame& frame : batch) {
      StallEverySecond(lane);
      frame.recorder->Write(frame);
      const size_t size = frame.data.size();
      frame = QueuedFrame();  // the bytes go before the room is given back
      queued_.fetch_sub(size);
    }
    batch.clear();
    if (last) return;
    lock.lock();
  }
}

}  // namespace ipcap
