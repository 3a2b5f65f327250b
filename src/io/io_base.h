// The generic digital I/O object: the last known state of every input and
// output, the input thread that polls, the output thread that performs output
// changes one after another, and the reports to the host's event sink. The
// camera family fills in how an input is read and an output is written.
#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include "quenlix/abi.h"
#include "quenlix/driver.h"
#include "quenlix/io.h"
#include "thread/recursive_lock.h"
#include "thread/ticker_thread.h"
#include "thread/work_item_thread.h"

namespace quenlix {

class CIOBase : public ICaptureIOApi, public thread::CWorkItemThread, public thread::CTickerThread {
 public:
  QUENLIX_IMPLEMENTS_DESTRUCTOR()

  // Input states.
  static constexpr uint32_t kStateUnknown = 0;
  static constexpr uint32_t kStateInactive = 1;
  static constexpr uint32_t kStateActive = 2;
  // Output values: 1 opens, anything else closes; 0 in the map means unknown.
  static constexpr uint32_t kOutputOpen = 1;

  static constexpr uint32_t kInputPeriodMs = 2000;
  // How long Stop lets a request in progress finish on its own before it
  // cancels it: long enough for a camera that answers, far below the
  // requests' own time-out.
  static constexpr uint32_t kStopGraceMs = 1000;

  // One output change.
  class CWorkItem : public IWorkItem {
   public:
    CWorkItem(uint32_t outputIndex, uint32_t value, bool initial = false)
        : outputIndex(outputIndex), value(value), initial(initial) {}
    uint32_t outputIndex;
    uint32_t value;
    bool initial;  // Start's opening write: sent although the state says open
  };

  explicit CIOBase(IDriver* driver);
  // A derived class stops the threads in its own destructor, while what its
  // WriteOutput and PollInputs use still exists; this one only makes sure.
  ~CIOBase() override;
  CIOBase(const CIOBase&) = delete;
  CIOBase& operator=(const CIOBase&) = delete;

  // ICaptureIOApi
  bool SetEventSink(IIOEventSink* sink) override;
  bool Start() override;
  bool Stop() override;
  uint32_t GetInputCount() override;
  uint32_t GetOutputCount() override;
  bool SetOutput(uint32_t outputIndex, uint32_t value) override;

  // The first input requests, run on the input thread as it starts, so that
  // a camera that does not answer never holds the host's thread in Start.
  virtual void Initialize();
  virtual bool WriteOutput(uint32_t outputIndex, uint32_t value) = 0;
  // False when the camera could not be reached at all.
  virtual bool PollInputs(uint32_t count) = 0;

  // Forgets every state: 0 for each input and output below the counts.
  void ResetStates();

  // kStateUnknown for an index not in the map.
  uint32_t InputState(uint32_t inputIndex);
  uint32_t OutputState(uint32_t outputIndex);
  bool ThreadsRunning() const;

 protected:
  void Process(IWorkItem* item) override;
  void Tick() override;
  void OnStarted() override;
  // Both threads: the failure goes to the host's log, and the camera's state
  // is no longer known.
  void OnException() override;

  // Stores state for an input in the map and tells the sink when it changed.
  void UpdateInput(uint32_t inputIndex, uint32_t state);
  // Forgets every state and tells the sink, unless the object is stopping.
  void ReportFailure();

  // Every camera request is bracketed by these, so that Stop knows whether
  // one is in progress. BeginRequest is false once Stop has begun: the
  // request must then not be made.
  bool BeginRequest();
  void EndRequest();

  // BeginRequest for one scope; ended on every way out, an exception's too.
  class CRequestScope {
   public:
    explicit CRequestScope(CIOBase& io) : io(io), entered(io.BeginRequest()) {}
    ~CRequestScope() {
      if (entered) io.EndRequest();
    }
    CRequestScope(const CRequestScope&) = delete;
    CRequestScope& operator=(const CRequestScope&) = delete;
    bool Entered() const { return entered; }

   private:
    CIOBase& io;
    const bool entered;
  };

  // Stop's hooks for the requests of the family's senders: make those in
  // progress fail now, and (once the threads are gone) make the senders
  // usable again.
  virtual void CancelRequests() {}
  virtual void RenewAfterCancel() {}

  // Stops both threads and forgets the states; renew is false when the
  // object is going away.
  bool StopThreads(bool renew);

  IDriver* driver;
  IIOEventSink* eventSink = nullptr;
  std::map<uint32_t, uint32_t> inputStates;
  std::map<uint32_t, uint32_t> outputStates;

 private:
  bool WaitForRequests(uint32_t timeoutMs);
  // Marks every output open and queues the writes that make it so.
  bool QueueInitialOutputs();
  bool AnyStateKnown();
  // Queues a freshly made item; false, with the item freed, when it could
  // not be made or queued.
  bool PostNew(CWorkItem* created);

  // Guards eventSink and both maps. The input thread, the output thread's
  // failure path and the host all write them. Held while the sink is called,
  // so that the host sees changes and failures in the order the maps took
  // them; never held during a camera request.
  CRecursiveLock stateLock;
  volatile int32_t stopping = 0;
  volatile int32_t requestsInFlight = 0;
};

}  // namespace quenlix
