#include "channel_test_helpers.h"

#include <cstdlib>
#include <filesystem>
#include <new>

namespace {
std::atomic<int64_t> liveAllocations{0};
}  // namespace

// Counting replacements, so that a test can tell whether repeated start/stop
// cycles leave memory behind. Every form is replaced: a sanitizer's runtime
// provides the array and nothrow forms itself, and its free must not meet ours.
void* operator new(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  liveAllocations++;
  return p;
}
void operator delete(void* p) noexcept {
  if (p == nullptr) return;
  liveAllocations--;
  std::free(p);
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p != nullptr) liveAllocations++;
  return p;
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { operator delete(p); }

namespace quenlix {
namespace testing_channels {

int64_t LiveAllocations() { return liveAllocations.load(); }

int CountEntries(const char* directory) {
  std::error_code error;
  int count = 0;
  for (auto it = std::filesystem::directory_iterator(directory, error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    ++count;
  }
  return error ? -1 : count;
}

}  // namespace testing_channels
}  // namespace quenlix
