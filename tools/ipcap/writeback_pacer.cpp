#include "writeback_pacer.h"

#include <vector>

#include "frame_writer.h"

#if defined(__linux__)
#include <fcntl.h>
#include <unistd.h>
#endif

namespace ipcap {

WritebackPacer& WritebackPacer::Instance() {
  static WritebackPacer pacer;
  return pacer;
}

WritebackPacer::~WritebackPacer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
#if defined(__linux__)
  for (const auto& file : files_) close(file.second);
  for (const int fd : closing_) close(fd);
#endif
}

int WritebackPacer::Add(std::FILE* file) {
#if defined(__linux__)
  const int own = fcntl(fileno(file), F_DUPFD_CLOEXEC, 0);
  if (own < 0) return 0;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
  files_[nextKey_] = own;
  return nextKey_++;
#else
  (void)file;  // elsewhere the system's own pacing stands
  return 0;
#endif
}

void WritebackPacer::Remove(int key) {
#if defined(__linux__)
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = files_.find(key);
  if (found == files_.end()) return;
  closing_.push_back(found->second);  // the pacer may be writing it back now
  files_.erase(found);
#else
  (void)key;
#endif
}

void WritebackPacer::Run() {
#if defined(__linux__)
  RaiseToReceivePriority();  // starved, it lets the kernel's own burst come back
  std::vector<int> own;
  std::unique_lock<std::mutex> lock(mutex_);
  while (!wake_.wait_for(lock, kPeriod, [this] { return stopping_; })) {
    // Only this thread closes the pacer's descriptors, between rounds, so
    // a writer closing its file never waits behind a write-back.
    for (const int fd : closing_) close(fd);
    closing_.clear();
    own.clear();
    for (const auto& file : files_) own.push_back(file.second);
    lock.unlock();
    for (const int fd : own) {
      sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);  // starts it; does not wait for it
    }
    lock.lock();
  }
#endif
}

}  // namespace ipcap
