#include "io/io_base.h"

#include <new>

namespace quenlix {

namespace {

constexpr const char* kOutputThreadName = "Digital Output thread";
constexpr const char* kInputThreadName = "Digital Input thread";
// How often Stop looks whether the requests in progress have ended.
constexpr uint32_t kStopPollMs = 5;
constexpr const char* kOnExceptionName = "quenlix::CIOBase::OnException";

}  // namespace

CIOBase::CIOBase(IDriver* driver) : driver(driver) {
  CTickerThread::SetPeriodMs(kInputPeriodMs);
  const uint32_t inputs = GetInputCount();
  for (uint32_t i = 0; i < inputs; ++i) inputStates[i] = kStateUnknown;
}

CIOBase::~CIOBase() { StopThreads(false); }

bool CIOBase::SetEventSink(IIOEventSink* sink) {
  if (sink == nullptr) return false;
  CLockGuard guard(&stateLock);
  eventSink = sink;
  return true;
}

uint32_t CIOBase::GetInputCount() { return driver != nullptr ? driver->GetIOCounts().first : 0; }

uint32_t CIOBase::GetOutputCount() { return driver != nullptr ? driver->GetIOCounts().second : 0; }

bool CIOBase::ThreadsRunning() const {
  return CWorkItemThread::HasThread() || CTickerThread::HasThread();
}

bool CIOBase::Start() {
  // Initializing again while the threads run would put a second thread on
  // each sender; a running object is left as it is.
  if (ThreadsRunning()) return false;
  // The camera is asked nothing on the host's thread: the opening output
  // writes are the output thread's first items, the arming and the first
  // poll the input thread's first work, and the host hears of the states
  // through its sink as it does later on.
  const bool outputStarted = CWorkItemThread::Start(kOutputThreadName) && QueueInitialOutputs();
  if (!CTickerThread::Start(kInputThreadName)) return false;
  return outputStarted;
}

bool CIOBase::QueueInitialOutputs() {
  const uint32_t outputs = GetOutputCount();
  for (uint32_t i = 0; i < outputs; ++i) {
    {
      CLockGuard guard(&stateLock);
      outputStates[i] = kOutputOpen;
    }
    if (!PostNew(new (std::nothrow) CWorkItem(i, kOutputOpen, true))) return false;
  }
  return true;
}

void CIOBase::OnStarted() { Initialize(); }

void CIOBase::OnException() {
  if (driver != nullptr) {
    driver->DebugMessage(kLevelError, "%s: an exception ended a request of the digital I/O",
                         kOnExceptionName);
  }
  ReportFailure();
}

bool CIOBase::Stop() { return StopThreads(true); }

bool CIOBase::StopThreads(bool renew) {
  platform::InterlockedWrite(&stopping, 1);
  // Queued changes are dropped now rather than after the wait below, and the
  // input thread is told to end after its current poll.
  CWorkItemThread::ClearQueue();
  if (CTickerThread::HasThread() && stopEvent != nullptr) platform::SetEvent(stopEvent);
  // A request that hangs would keep Stop for the full request time-out (and
  // a poll of several inputs for a multiple of it): past the grace it is
  // cancelled.
  const bool cancelled = !WaitForRequests(kStopGraceMs);
  if (cancelled) CancelRequests();
  CWorkItemThread::Stop();
  const bool ok = CTickerThread::Stop();
  if (cancelled && renew) RenewAfterCancel();
  ResetStates();
  platform::InterlockedWrite(&stopping, 0);
  return ok;
}

bool CIOBase::WaitForRequests(uint32_t timeoutMs) {
  const uint64_t deadline = platform::MonotonicMs() + timeoutMs;
  while (platform::InterlockedRead(&requestsInFlight) != 0) {
    if (platform::MonotonicMs() >= deadline) return false;
    platform::SleepMs(kStopPollMs);
  }
  return true;
}

bool CIOBase::BeginRequest() {
  // Counted before stopping is read: Stop sets stopping before it reads the
  // count, so either Stop sees this request or this request sees Stop.
  platform::InterlockedIncrement(&requestsInFlight);
  if (platform::InterlockedRead(&stopping) != 0) {
    platform::InterlockedDecrement(&requestsInFlight);
    return false;
  }
  return true;
}

bool CIOBase::PostNew(CWorkItem* created) {
  std::unique_ptr<CWorkItem> item(created);
  if (!item || !Post(item.get())) return false;
  static_cast<void>(item.release());  // the queue has it now
  return true;
}

void CIOBase::EndRequest() { platform::InterlockedDecrement(&requestsInFlight); }

bool CIOBase::SetOutput(uint32_t outputIndex, uint32_t value) {
  return PostNew(new (std::nothrow) CWorkItem(outputIndex, value));
}

void CIOBase::Initialize() {
  if (!PollInputs(GetInputCount())) ReportFailure();
}

void CIOBase::ResetStates() {
  const uint32_t inputs = GetInputCount();
  const uint32_t outputs = GetOutputCount();
  CLockGuard guard(&stateLock);
  inputStates.clear();
  outputStates.clear();
  for (uint32_t i = 0; i < outputs; ++i) outputStates[i] = kStateUnknown;
  for (uint32_t i = 0; i < inputs; ++i) inputStates[i] = kStateUnknown;
}

void CIOBase::ReportFailure() {
  CLockGuard guard(&stateLock);
  ResetStates();
  // A request that Stop cancelled is not the camera's failure, and Stop
  // forgets the states anyway.
  if (platform::InterlockedRead(&stopping) != 0) return;
  if (eventSink != nullptr) eventSink->OnIOFailure();
}

bool CIOBase::AnyStateKnown() {
  CLockGuard guard(&stateLock);
  for (const auto& entry : inputStates) {
    if (entry.second != kStateUnknown) return true;
  }
  for (const auto& entry : outputStates) {
    if (entry.second != kStateUnknown) return true;
  }
  return false;
}

void CIOBase::UpdateInput(uint32_t inputIndex, uint32_t state) {
  CLockGuard guard(&stateLock);
  auto it = inputStates.find(inputIndex);
  if (it == inputStates.end() || it->second == state) return;
  it->second = state;
  if (eventSink != nullptr) eventSink->OnInputChanged(inputIndex, state);
}

uint32_t CIOBase::InputState(uint32_t inputIndex) {
  CLockGuard guard(&stateLock);
  auto it = inputStates.find(inputIndex);
  return it == inputStates.end() ? kStateUnknown : it->second;
}

uint32_t CIOBase::OutputState(uint32_t outputIndex) {
  CLockGuard guard(&stateLock);
  auto it = outputStates.find(outputIndex);
  return it == outputStates.end() ? kStateUnknown : it->second;
}

void CIOBase::Tick() {
  // An unreachable camera is reported once per outage: when nothing is
  // known any more there is nothing left to forget.
  if (!PollInputs(GetInputCount()) && AnyStateKnown()) ReportFailure();
}

void CIOBase::Process(IWorkItem* item) {
  auto* change = static_cast<CWorkItem*>(item);
  {
    CLockGuard guard(&stateLock);
    auto it = outputStates.find(change->outputIndex);
    if (it == outputStates.end()) return;
    if (it->second == change->value && !change->initial) return;
    it->second = change->value;
  }
  bool ok = true;
  {
    CRequestScope request(*this);
    if (!request.Entered()) return;
    ok = WriteOutput(change->outputIndex, change->value);
  }
  if (!ok) ReportFailure();
}

}  // namespace quenlix
