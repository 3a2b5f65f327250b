// What the driver may ask of the operating system. This header, socket.h and
// http.h form the one contract; posix/ and win32/ implement it. Nothing
// outside src/platform/ includes a system header or tests a platform macro.
//
// Vocabulary is that of the Windows kernel the product runs on: handles,
// auto- and manual-reset events, waits with millisecond time-outs that end
// signalled, abandoned or timed out, file times (100 ns since 1601, UTC).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "quenlix/abi.h"

namespace quenlix {
namespace platform {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

enum class WaitResult {
  kSignalled,
  kAbandoned,  // Windows only: the owner of a waited mutex ended; treat as signalled
  kTimeout,
  kFailed,
};

// ---- Threads ---------------------------------------------------------------

struct ThreadRecord;
using Thread = ThreadRecord*;
using ThreadProc = uint32_t (*)(void* arg);

enum class ThreadPriority { kNormal, kAboveNormal, kHighest };

// Starts a thread running proc(arg) on a stack of stackBytes (Win32: the
// address space reserved for it; 0: the system's default). Sanitizer builds
// give the thread a few times more, as their frames are larger. Returns null
// when it cannot be started; *threadId (if given) receives its system id, the
// value CurrentThreadId returns on it. An exception escaping proc ends the
// process on both backends; use CallSwallowingExceptions inside proc to
// prevent that.
Thread StartThread(ThreadProc proc, void* arg, uint32_t* threadId, size_t stackBytes = 0);
// POSIX: best effort. Raising a thread above normal needs a privilege
// (CAP_SYS_NICE or an RLIMIT_NICE allowance); without it the thread keeps
// normal priority and the call still returns true. False only for a null
// handle or an ended thread.
bool SetThreadPriority(Thread thread, ThreadPriority priority);
// Waits for the thread to end. kSignalled once it has ended.
WaitResult WaitForThread(Thread thread, uint32_t timeoutMs);
// Exit code of an ended thread; false while it still runs.
bool GetThreadExitCode(Thread thread, uint32_t* exitCode);
// Ends a thread by force.
//   Win32: TerminateThread; the thread's stack is not unwound.
//   POSIX: the thread is cancelled at its next cancellation point (any wait,
//   sleep or socket call of this layer). Its stack is unwound, so destructors
//   run and locks held by RAII are released, but a thread that is busy
//   computing without a wait goes on until its next one. WaitForThread sees it
//   as ended, with the given exit code, only once it has unwound. A thread
//   that returns from proc after the request also ends with the given code.
//   True at once for a thread that has already ended (its code is kept).
bool TerminateThread(Thread thread, uint32_t exitCode);
// Releases the handle; the thread itself runs on if it has not ended.
void CloseThread(Thread thread);
// Small nonzero id, unique among running threads (POSIX: the kernel's tid).
uint32_t CurrentThreadId();
// Is the calling thread the one behind this handle?
bool IsCurrentThread(Thread thread);
// A cancellation point on POSIX.
void SleepMs(uint32_t ms);

// Runs fn(ctx) and swallows any exception it throws. Returns false when one
// was swallowed. On POSIX the unwinding of a forced thread end is let through.
bool CallSwallowingExceptions(void (*fn)(void*), void* ctx);

// ---- Events and waits --------------------------------------------------------

struct EventRecord;
using Event = EventRecord*;

// Null on failure.
Event CreateEvent(bool manualReset, bool initiallySignalled);
bool SetEvent(Event event);
bool ResetEvent(Event event);
void CloseEvent(Event event);
WaitResult WaitForEvent(Event event, uint32_t timeoutMs);

// ---- Critical sections -------------------------------------------------------

// A recursive mutex that the owning thread may enter again.
class CriticalSection {
 public:
  CriticalSection();
  ~CriticalSection();
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void Enter();
  void Leave();
  bool TryEnter();

 private:
  void* impl_;
};

// ---- Interlocked operations (full barriers) ---------------------------------

// Returns the value *target held before.
int32_t InterlockedCompareExchange(volatile int32_t* target, int32_t exchange, int32_t comparand);
int32_t InterlockedExchange(volatile int32_t* target, int32_t value);
// Return the new value.
int32_t InterlockedIncrement(volatile int32_t* target);
int32_t InterlockedDecrement(volatile int32_t* target);
// Plain loads and stores of shared words, without tearing or reordering.
int32_t InterlockedRead(const volatile int32_t* target);
void InterlockedWrite(volatile int32_t* target, int32_t value);

// ---- Time --------------------------------------------------------------------

// The current UTC time.
void GetSystemTime(SYSTEMTIME* time);
// File time: 100 ns units since 1601-01-01 UTC. False for an invalid date:
// year outside 1601..30827, month outside 1..12, a day the month does not
// have (leap years counted), hour >= 24, minute or second >= 60, ms >= 1000.
// wDayOfWeek is ignored on input and filled in on output.
bool SystemTimeToFileTime(const SYSTEMTIME& time, uint64_t* fileTime);
// False for a file time with the top bit set. Sub-millisecond units are dropped.
bool FileTimeToSystemTime(uint64_t fileTime, SYSTEMTIME* time);
// File-time units (100 ns) in a millisecond.
constexpr uint64_t kFileTimeUnitsPerMs = 10000;
// The current UTC time as a file time; 0 if the clock is outside the range
// SystemTimeToFileTime takes.
inline uint64_t NowFileTime() {
  SYSTEMTIME now;
  GetSystemTime(&now);
  uint64_t fileTime = 0;
  if (!SystemTimeToFileTime(now, &fileTime)) return 0;
  return fileTime;
}
// Milliseconds from an arbitrary start; never goes backwards.
uint64_t MonotonicMs();

// ---- Machine -----------------------------------------------------------------

uint32_t ProcessorCount();

// ---- Libraries ---------------------------------------------------------------

struct LibraryRecord;
using Library = LibraryRecord*;

// Loads a library by its Windows file name ("Kelvardec.dll") through the
// normal library search. POSIX: the name is tried as given, then as the
// matching shared object "lib<stem>.so" (libKelvardec.so), each through the
// dynamic loader's search path and then in the directory of the executable.
Library LoadLibraryByName(const char* name);
void* GetLibrarySymbol(Library library, const char* symbol);
void FreeLibrary(Library library);

// File version of a module found by the normal library search, read from its
// version resource (the fixed-file-info block), without loading it. POSIX:
// searched in the dynamic loader's path (LD_LIBRARY_PATH) and the directory
// of the executable (empty path entries are skipped), in each directory the
// exact name first and then a match without regard to case; a name with a
// '/' is taken as a path. The file is read as a PE image (at most 64 MiB).
// version[0..3] receive major, minor, build, revision.
bool GetModuleFileVersion(const char* moduleName, uint16_t version[4]);

// Portable: the fixed-file-info version of a PE image held in memory.
bool ReadPeFileVersion(const uint8_t* image, size_t size, uint16_t version[4]);

// ---- Environment -------------------------------------------------------------

// Directory of the running executable, without a trailing separator.
std::string ExecutableDirectory();

}  // namespace platform
}  // namespace quenlix
