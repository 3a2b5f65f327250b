// Critical sections and interlocked operations of the kernel.
#include "platform/win32/win32_api.h"

namespace quenlix {
namespace platform {

namespace {
CRITICAL_SECTION* Section(void* impl) { return static_cast<CRITICAL_SECTION*>(impl); }
volatile LONG* AsLong(volatile int32_t* target) { return reinterpret_cast<volatile LONG*>(target); }
static_assert(sizeof(LONG) == sizeof(int32_t), "LONG is 32 bits on Windows");
}  // namespace

CriticalSection::CriticalSection() : impl_(new CRITICAL_SECTION) {
  ::InitializeCriticalSection(Section(impl_));
}

CriticalSection::~CriticalSection() {
  ::DeleteCriticalSection(Section(impl_));
  delete Section(impl_);
}

void CriticalSection::Enter() { ::EnterCriticalSection(Section(impl_)); }
void CriticalSection::Leave() { ::LeaveCriticalSection(Section(impl_)); }
bool CriticalSection::TryEnter() { return ::TryEnterCriticalSection(Section(impl_)) != 0; }

int32_t InterlockedCompareExchange(volatile int32_t* target, int32_t exchange, int32_t comparand) {
  return ::_InterlockedCompareExchange(AsLong(target), exchange, comparand);
}

int32_t InterlockedExchange(volatile int32_t* target, int32_t value) {
  return ::_InterlockedExchange(AsLong(target), value);
}

int32_t InterlockedIncrement(volatile int32_t* target) {
  return ::_InterlockedIncrement(AsLong(target));
}
int32_t InterlockedDecrement(volatile int32_t* target) {
  return ::_InterlockedDecrement(AsLong(target));
}

// An interlocked operation that changes nothing is a full-barrier read.
int32_t InterlockedRead(const volatile int32_t* target) {
  return ::_InterlockedCompareExchange(AsLong(const_cast<volatile int32_t*>(target)), 0, 0);
}

void InterlockedWrite(volatile int32_t* target, int32_t value) {
  ::_InterlockedExchange(AsLong(target), value);
}

}  // namespace platform
}  // namespace quenlix
