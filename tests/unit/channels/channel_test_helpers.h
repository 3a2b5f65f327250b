// What the channel tests share: the host's doubles and a frame sink.
#pragma once

#include <atomic>

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

}  // namespace testing_channels
}  // namespace quenlix
