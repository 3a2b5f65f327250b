// The exported capability query: one query thread at a time per loaded
// library, reading one camera's properties and handing them to the host.
#include "camera/capability_query.h"

#include <atomic>
#include <memory>
#include <new>

#include "camera/tavrik_camera_properties.h"
#include "platform/platform.h"
#include "platform/thread_end.h"
#include "quenlix/capability.h"
#include "thread/thread_stacks.h"

namespace quenlix {

namespace {

namespace platform = quenlix::platform;

// What the thread needs, copied at start so that the host thread may change
// the module state (Uninit clears it) without racing the running query.
struct QUERY_ARGS {
  DEVICE_INFO deviceInfo;
  ICapabilityQueryCallback* callback = nullptr;
  ICapabilityResults* results = nullptr;
  bool answered = false;  // the callback was told how the query ended
};

std::atomic<ICapabilityQueryCallback*> queryCallback{nullptr};
std::atomic<bool> queryOption{false};
std::atomic<ICapabilityResults*> queryResults{nullptr};
std::atomic<CTavrikCameraProperties*> queryProperties{nullptr};
// Set by Terminate or Uninit; seen by a thread that publishes its properties
// object only after the request to abort came.
std::atomic<bool> abortRequested{false};
platform::Thread queryThread = nullptr;  // host thread only

// Ends the properties object's work: no further parsing step, and the HTTP
// request in progress (if any) fails soon.
void StopProperties(CTavrikCameraProperties* properties, bool cancelTransfer) {
  if (properties == nullptr) return;
  properties->Abort();
  if (cancelTransfer) properties->CancelTransfer();
}

void ReportError(QUERY_ARGS& args, uint32_t level, const char* message) {
  args.answered = true;
  args.callback->OnQueryError(level, message);
}

uint32_t RunQuery(QUERY_ARGS& args) {
  if (args.callback == nullptr) return 0;
  uint32_t level = 3;
  CTavrikCameraProperties* properties = new (std::nothrow) CTavrikCameraProperties(args.deviceInfo);
  queryProperties.store(properties);
  if (properties == nullptr) {
    ReportError(args, level, "Failed to create camera properties object");
    return 0;
  }
  if (abortRequested.load()) properties->Abort();
  if (!properties->ReadProperties(level)) {
    ReportError(args, level, "Failed to get camera properties");
    return 0;
  }
  if (!properties->SaveResults(args.results)) {
    ReportError(args, level, "Failed to save capability query results");
    return 0;
  }
  args.answered = true;
  args.callback->OnQueryDone();
  return 1;
}

struct THREAD_CALL {
  QUERY_ARGS* args;
  uint32_t result;
};

uint32_t QueryThread(void* arg) {
  // Owned here, so that a forced end that unwinds the stack frees it too.
  std::unique_ptr<QUERY_ARGS> args(static_cast<QUERY_ARGS*>(arg));
  if (!args) return 0;
  THREAD_CALL call{args.get(), 0};
  // An allocation failure inside the read (or a throwing host object) must
  // not escape the thread, nor leave a host waiting for an answer that never
  // comes.
  const bool completed = platform::CallSwallowingExceptions(
      [](void* ctx) {
        THREAD_CALL* c = static_cast<THREAD_CALL*>(ctx);
        c->result = RunQuery(*c->args);
      },
      &call);
  if (!completed && !args->answered && args->callback != nullptr) {
    platform::CallSwallowingExceptions(
        [](void* ctx) {
          ReportError(*static_cast<QUERY_ARGS*>(ctx), 3, "Failed to get camera properties");
        },
        args.get());
    return 0;
  }
  return call.result;
}

// Destroys the properties object of an ended query.
void ReleaseProperties() { delete queryProperties.exchange(nullptr); }

}  // namespace

bool CapabilityQueryExitCode(uint32_t* exitCode) {
  return queryThread != nullptr && platform::GetThreadExitCode(queryThread, exitCode);
}

}  // namespace quenlix

using quenlix::platform::WaitResult;

extern "C" {

int32_t QUENLIX_CDECL InitCapabilityQuery(quenlix::ICapabilityQueryCallback* callback,
                                          bool option) {
  quenlix::ICapabilityQueryCallback* expected = nullptr;
  if (!quenlix::queryCallback.compare_exchange_strong(expected, callback)) return 0;
  quenlix::queryOption.store(option);
  return 1;
}

int32_t QUENLIX_CDECL StartCapabilityQuery(const char* address, uint32_t port, const char* userName,
                                           const char* password,
                                           quenlix::ICapabilityResults* results) {
  using namespace quenlix;
  // One query at a time: a second start while the first still runs would
  // lose the first thread's handle and properties and mix up its results.
  if (queryThread != nullptr) {
    if (platform::WaitForThread(queryThread, 0) != WaitResult::kSignalled) return 0;
    platform::CloseThread(queryThread);
    queryThread = nullptr;
    ReleaseProperties();
  }
  queryResults.store(results);
  abortRequested.store(false);

  std::unique_ptr<QUERY_ARGS> args(new (std::nothrow) QUERY_ARGS);
  if (!args) return 0;
  args->deviceInfo.timeoutMs = kQueryTimeoutMs;
  args->deviceInfo.signalTimeoutMs = kQuerySignalTimeoutMs;
  args->deviceInfo.address = address != nullptr ? address : "";
  args->deviceInfo.port = static_cast<uint16_t>(port);
  args->deviceInfo.userName = userName != nullptr ? userName : "";
  args->deviceInfo.password = password != nullptr ? password : "";
  args->callback = queryCallback.load();
  args->results = results;

  queryThread =
      platform::StartThread(QueryThread, args.get(), nullptr, quenlix::thread::kHelperThreadStack);
  if (queryThread == nullptr) return 0;
  static_cast<void>(args.release());  // the query thread's now
  return 1;
}

int32_t QUENLIX_CDECL TerminateCapabilityQuery() {
  quenlix::abortRequested.store(true);
  quenlix::StopProperties(quenlix::queryProperties.load(), false);
  return 1;
}

int32_t QUENLIX_CDECL UninitCapabilityQuery() {
  using namespace quenlix;
  abortRequested.store(true);
  // Cancelling the transfer lets a thread stuck in a request end by itself
  // within the wait, so that the forced end below stays a last resort.
  StopProperties(queryProperties.load(), true);
  bool ended = true;
  if (queryThread != nullptr) {
    ended = platform::JoinOrTerminate(queryThread, kUninitWaitMs, kUninitWaitMs);
    queryThread = nullptr;
  }
  queryCallback.store(nullptr);
  queryResults.store(nullptr);
  // A thread that could not be ended may still use its properties object;
  // leaking it is safer than freeing it under that thread.
  if (ended) {
    ReleaseProperties();
  } else {
    queryProperties.store(nullptr);
  }
  return 1;
}

}  // extern "C"
