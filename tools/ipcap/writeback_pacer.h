// Hands the recordings' written data to the disk a little at a time, on a
// thread of its own. Left to itself the kernel holds a tenth of memory in
// dirty pages and then writes gigabytes back at once; at 256 streams that
// burst stalled the whole machine for a second (20,000 datagrams dropped at
// full sockets, and the writer threads fell 256 MiB behind). Starting the
// write-back from the writer threads instead made them wait for the disk's
// queue, so it runs here, where waiting holds up nothing else.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace ipcap {

class WritebackPacer {
 public:
  // The one pacer of the process; its thread starts with the first file.
  static WritebackPacer& Instance();
  ~WritebackPacer();
  WritebackPacer(const WritebackPacer&) = delete;
  WritebackPacer& operator=(const WritebackPacer&) = delete;

  // The pacer keeps a descriptor of its own, so the file may be closed
  // whenever its writer likes. Returns a key for Remove; 0 where the system
  // offers no way to start a write-back (nothing to do then).
  int Add(std::FILE* file);
  void Remove(int key);

 private:
  WritebackPacer() = default;
  void Run();

  static constexpr std::chrono::milliseconds kPeriod{250};

  std::mutex mutex_;
  std::condition_variable wake_;
  std::map<int, int> files_;  // key -> the pacer's own descriptor
  std::vector<int> closing_;  // descriptors of removed files, closed by Run
  int nextKey_ = 1;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace ipcap
