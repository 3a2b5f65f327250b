// What the channel tests share: a frame sink, and counts of the process's
// threads, descriptors and allocations.
#pragma once

#include <atomic>
#include <cstdint>

#include "fake_driver.h"
#include "fake_sample.h"
#include "quenlix/driver.h"
#include "quenlix/media.h"
#include "wait_for.h"

namespace quenlix {
namespace testing_channels {

using FakeDriver = testhost::FakeDriver;
using FakeSample = testhost::FakeSample;
using LogLine = testhost::DriverLine;
using testhost::WaitFor;

class FakeSink : public IFrameSink {
 public:
  void Reserved0() override {}
  bool Deliver(IMediaSample*) override {
    delivered++;
    return accept.load();
  }
  void Reserved2() override {}
  void OnSignalLost() override { signalLost++; }

  std::atomic<bool> accept{true};
  std::atomic<int> delivered{0};
  std::atomic<int> signalLost{0};
};

// Live allocations through operator new in this test program.
int64_t LiveAllocations();
// Entries of /proc/self/task or /proc/self/fd; -1 where the system has none.
int CountEntries(const char* directory);

}  // namespace testing_channels
}  // namespace quenlix
