// A thread that calls Tick once per period until it is stopped.
#pragma once

#include "thread/simple_thread.h"

namespace quenlix {
namespace thread {

class CTickerThread : public CSimpleThread {
 public:
  static constexpr uint32_t kDefaultPeriodMs = 2000;

  void Run() override;
  ~CTickerThread() override;
  virtual void Tick() = 0;
  // Runs once on the new thread before the first period begins.
  virtual void OnStarted() {}

  bool Start(const std::string& name);
  // True when no thread runs; false when one runs without a stop event.
  bool Stop();

  void SetPeriodMs(uint32_t period) { periodMs = period; }
  uint32_t PeriodMs() const { return periodMs; }

 protected:
  platform::Event stopEvent = nullptr;
  uint32_t periodMs = kDefaultPeriodMs;
};

}  // namespace thread
}  // namespace quenlix
