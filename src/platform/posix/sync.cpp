// Recursive critical sections and interlocked operations.
#include <pthread.h>

#include <new>

#include "platform/platform.h"

namespace quenlix {
namespace platform {

namespace {
pthread_mutex_t* Mutex(void* impl) { return static_cast<pthread_mutex_t*>(impl); }
}  // namespace

CriticalSection::CriticalSection() : impl_(nullptr) {
  auto* mutex = new pthread_mutex_t;
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  impl_ = mutex;
}

CriticalSection::~CriticalSection() {
  pthread_mutex_destroy(Mutex(impl_));
  delete Mutex(impl_);
}

void CriticalSection::Enter() { pthread_mutex_lock(Mutex(impl_)); }
void CriticalSection::Leave() { pthread_mutex_unlock(Mutex(impl_)); }
bool CriticalSection::TryEnter() { return pthread_mutex_trylock(Mutex(impl_)) == 0; }

int32_t InterlockedCompareExchange(volatile int32_t* target, int32_t exchange, int32_t comparand) {
  int32_t expected = comparand;
  __atomic_compare_exchange_n(target, &expected, exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return expected;  // holds the old value whether or not it matched
}

int32_t InterlockedExchange(volatile int32_t* target, int32_t value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

int32_t InterlockedIncrement(volatile int32_t* target) {
  return __atomic_add_fetch(target, 1, __ATOMIC_SEQ_CST);
}

int32_t InterlockedDecrement(volatile int32_t* target) {
  return __atomic_sub_fetch(target, 1, __ATOMIC_SEQ_CST);
}

int32_t InterlockedRead(const volatile int32_t* target) {
  return __atomic_load_n(target, __ATOMIC_SEQ_CST);
}

void InterlockedWrite(volatile int32_t* target, int32_t value) {
  __atomic_store_n(target, value, __ATOMIC_SEQ_CST);
}

}  // namespace platform
}  // namespace quenlix
