// bench-module: thread
// The recursive lock beside std::recursive_mutex, uncontended and contended.
#include <benchmark/benchmark.h>

#include <mutex>

#include "thread/recursive_lock.h"

namespace {

quenlix::CRecursiveLock gLock;
std::recursive_mutex gMutex;
long gCounter = 0;

void BM_RecursiveLock(benchmark::State& state) {
  for (auto _ : state) {
    gLock.Enter();
    benchmark::DoNotOptimize(++gCounter);
    gLock.Leave();
  }
}

void BM_RecursiveLockNested(benchmark::State& state) {
  for (auto _ : state) {
    gLock.Enter();
    gLock.Enter();
    benchmark::DoNotOptimize(++gCounter);
    gLock.Leave();
    gLock.Leave();
  }
}

void BM_StdRecursiveMutex(benchmark::State& state) {
  for (auto _ : state) {
    gMutex.lock();
    benchmark::DoNotOptimize(++gCounter);
    gMutex.unlock();
  }
}

void BM_StdRecursiveMutexNested(benchmark::State& state) {
  for (auto _ : state) {
    gMutex.lock();
    gMutex.lock();
    benchmark::DoNotOptimize(++gCounter);
    gMutex.unlock();
    gMutex.unlock();
  }
}

}  // namespace

BENCHMARK(BM_RecursiveLock);
BENCHMARK(BM_RecursiveLock)->Threads(2)->Name("BM_RecursiveLock/contended");
BENCHMARK(BM_RecursiveLock)->Threads(4)->Name("BM_RecursiveLock/contended4");
BENCHMARK(BM_RecursiveLockNested);
BENCHMARK(BM_StdRecursiveMutex);
BENCHMARK(BM_StdRecursiveMutex)->Threads(2)->Name("BM_StdRecursiveMutex/contended");
BENCHMARK(BM_StdRecursiveMutex)->Threads(4)->Name("BM_StdRecursiveMutex/contended4");
BENCHMARK(BM_StdRecursiveMutexNested);

BENCHMARK_MAIN();
