// The depacketizer tests' host: the shared driver, samples and allocator,
// and a parser client that keeps what it is given.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "fake_driver.h"
#include "fake_sample.h"
#include "media/media_parser_client.h"

namespace quenlix {
namespace test {

using testhost::DeliveredFrame;

class FakeClient : public IMediaParserClient {
 public:
  bool OnFrame(IMediaSample* sample) override {
    frames.push_back(static_cast<testhost::FakeSample*>(sample)->Snapshot());
    return accept;
  }
  std::pair<uint32_t, uint32_t> GetResolution() override { return resolution; }
  virtual ~FakeClient() = default;

  std::vector<DeliveredFrame> frames;
  bool accept = true;
  std::pair<uint32_t, uint32_t> resolution{0, 0};
};

// A parser wired to fakes.
struct Host {
  testhost::FakeAllocator allocator;
  testhost::FakeDriver driver{&allocator};
  FakeClient client;
};

}  // namespace test
}  // namespace quenlix
