// Preloaded into a process to find how deep each thread's stack went: every
// thread gets a stack of its own filled with a pattern, and at exit the
// lowest byte that no longer holds it gives the thread's high-water mark
// (a pattern rather than zeros, since code often writes zeros to the stack). Each line
// names the code that started the thread as module+offset, taken when the
// thread starts, since a library may be unloaded before the process ends
// (scripts/stack-usage turns them into function names).
#define _GNU_SOURCE
#include <dlfcn.h>
#include <execinfo.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

enum { kMaxThreads = 8192, kFrames = 5, kGuard = 4096, kPattern = 0xA5, kWhere = 1024 };
static const size_t kStackBytes = 8u << 20;

struct Probe {
  char* low;
  size_t size;
  char where[kWhere];
};

// Return addresses above this function, as module+offset.
static void Describe(char* where) {
  void* frames[kFrames];
  const int count = backtrace(frames, kFrames);
  size_t at = 0;
  where[0] = 0;
  for (int f = 1; f < count && at < kWhere; ++f) {
    Dl_info info;
    if (dladdr(frames[f], &info) != 0 && info.dli_fname != NULL) {
      at += (size_t)snprintf(where + at, kWhere - at, " %s+0x%lx", info.dli_fname,
                             (unsigned long)((char*)frames[f] - (char*)info.dli_fbase));
    } else {
      at += (size_t)snprintf(where + at, kWhere - at, " ?");
    }
  }
}

static struct Probe probes[kMaxThreads];
static int probeCount;
static pthread_mutex_t probeLock = PTHREAD_MUTEX_INITIALIZER;

typedef int (*CreateFn)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                   void* arg) {
  static CreateFn real;
  if (real == NULL) real = (CreateFn)dlsym(RTLD_NEXT, "pthread_create");
  char* map = mmap(NULL, kStackBytes + kGuard, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (map == MAP_FAILED) return real(thread, attr, start, arg);
  mprotect(map, kGuard, PROT_NONE);
  memset(map + kGuard, kPattern, kStackBytes);
  pthread_attr_t own;
  pthread_attr_init(&own);
  int detach = PTHREAD_CREATE_JOINABLE;
  if (attr != NULL) pthread_attr_getdetachstate(attr, &detach);
  pthread_attr_setdetachstate(&own, detach);
  pthread_attr_setstack(&own, map + kGuard, kStackBytes);
  pthread_mutex_lock(&probeLock);
  if (probeCount < kMaxThreads) {
    struct Probe* p = &probes[probeCount++];
    p->low = map + kGuard;
    p->size = kStackBytes;
    Describe(p->where);
  }
  pthread_mutex_unlock(&probeLock);
  const int result = real(thread, &own, start, arg);
  pthread_attr_destroy(&own);
  return result;
}

// Stacks are never unmapped, so every thread's mark is still there at exit.
__attribute__((destructor)) static void Report(void) {
  const char* path = getenv("STACK_PROBE_OUT");
  FILE* out = path != NULL ? fopen(path, "w") : stderr;
  if (out == NULL) return;
  for (int i = 0; i < probeCount; ++i) {
    const struct Probe* p = &probes[i];
    size_t untouched = 0;
    while (untouched < p->size && (unsigned char)p->low[untouched] == kPattern) ++untouched;
    fprintf(out, "%zu%s\n", p->size - untouched, p->where);
  }
  if (out != stderr) fclose(out);
}
