#include <cstring>

#include "media_fakes.h"

namespace quenlix {
namespace test {

namespace {
constexpr size_t kGuard = 64;
constexpr uint8_t kGuardByte = 0xA5;
}  // namespace

FakeSample::FakeSample(uint32_t type, uint32_t capacity, const char* source)
    : buffer(capacity + kGuard, kGuardByte) {
  record.allocatedType = type;
  record.capacity = capacity;
  record.source = source != nullptr ? source : "";
}

void FakeSample::SetTime(const SYSTEMTIME* time) {
  record.time = *time;
  record.timeSet = true;
}

DeliveredFrame FakeSample::Snapshot() const {
  DeliveredFrame out = record;
  const size_t n = std::min<size_t>(length, record.capacity);
  out.data.assign(buffer.begin(), buffer.begin() + n);
  if (length > record.capacity) out.data.clear();
  return out;
}

bool FakeSample::GuardIntact() const {
  for (size_t i = record.capacity; i < buffer.size(); ++i) {
    if (buffer[i] != kGuardByte) return false;
  }
  return true;
}

IMediaSample* FakeAllocator::Allocate(uint32_t typeCode, uint32_t capacity, const char* source) {
  if (refuse) return nullptr;
  ++outstanding;
  ++allocations;
  return new FakeSample(typeCode, capacity, source);
}

void FakeAllocator::Release(IMediaSample* sample) {
  auto* s = static_cast<FakeSample*>(sample);
  if (!s->GuardIntact()) guardsIntact = false;
  --outstanding;
  delete s;
}

FakeAllocator::~FakeAllocator() = default;

bool FakeClient::OnFrame(IMediaSample* sample) {
  frames.push_back(static_cast<FakeSample*>(sample)->Snapshot());
  return accept;
}

}  // namespace test
}  // namespace quenlix
