#include "frame_writer.h"

#include <utility>

#include "frame_recorder.h"

namespace ipcap {

FrameWriter::FrameWriter(size_t queueBytes, std::chrono::milliseconds stall)
    : queueBytes_(queueBytes),
      stall_(stall),
      nextStall_(std::chrono::steady_clock::now()),
      thread_([this] { Run(); }) {}

FrameWriter::~FrameWriter() { Finish(); }

bool FrameWriter::Push(QueuedFrame&& frame) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!finishing_ && queued_ + frame.data.size() <= queueBytes_) {
      queued_ += frame.data.size();
      queue_.push_back(std::move(frame));
      wake_.notify_one();
      return true;
    }
  }
  ++dropped_;
  return false;
}

void FrameWriter::Finish() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    finishing_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void FrameWriter::StallEverySecond() {
  if (stall_.count() <= 0) return;
  const auto now = std::chrono::steady_clock::now();
  if (now < nextStall_) return;
  std::this_thread::sleep_for(stall_);
  nextStall_ = now + std::chrono::seconds(1);
}

void FrameWriter::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return finishing_ || !queue_.empty(); });
    if (queue_.empty()) return;
    QueuedFrame frame = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    StallEverySecond();
    frame.recorder->Write(frame);
    const size_t size = frame.data.size();
    frame = QueuedFrame();  // the bytes go before the room is given back
    lock.lock();
    queued_ -= size;
  }
}

}  // namespace ipcap
