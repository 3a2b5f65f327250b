#include "channels/base_camera_channel.h"

#include "platform/socket.h"
#include "platform/thread_end.h"
#include "thread/thread_stacks.h"

namespace quenlix {

namespace {

constexpr const char kSetCameraStateName[] = "quenlix::CBaseCameraChannel::SetCameraState";
// After a forced end, how long the worker gets to unwind before its handle
// is let go (POSIX ends it at its next wait).
constexpr uint32_t kForcedEndWaitMs = 1000;
constexpr uint32_t kAfterExceptionPauseMs = 1000;
constexpr const char kRunGuardedName[] = "quenlix::CBaseCameraChannel::RunGuarded";

}  // namespace

CBaseCameraChannel::CBaseCameraChannel(uint32_t index, IDriver* owner, IFrameSink* sink)
    : channelIndex(index),
      driver(owner),
      frameSink(sink),
      stopEvent(platform::CreateEvent(true, false)) {}

CBaseCameraChannel::~CBaseCameraChannel() {
  CBaseCameraChannel::Stop();
  if (stopEvent != nullptr) platform::CloseEvent(stopEvent);
}

bool CBaseCameraChannel::Start(const STREAM_SETTINGS& newSettings) {
  Stop();
  settings = newSettings;
  if (!socketsStarted) socketsStarted = platform::SocketsStartup();
  if (StartWorker()) return true;
  if (socketsStarted) {
    platform::SocketsCleanup();
    socketsStarted = false;
  }
  return false;
}

void CBaseCameraChannel::Stop() {
  BeginStop();
  SetState(CameraStopped);
  SetCameraState(false);
  StopWorker();
  if (socketsStarted) {
    platform::SocketsCleanup();
    socketsStarted = false;
  }
}

bool CBaseCameraChannel::Restart(const STREAM_SETTINGS& newSettings) {
  SetState(CameraStopped);
  StopWorker();
  // Only now: the old worker's receive thread reads the size until it ends.
  settings.frameIntervalMs = newSettings.frameIntervalMs;
  settings.width = newSettings.width;
  settings.height = newSettings.height;
  return StartWorker();
}

uint32_t CBaseCameraChannel::GetState() {
  CLockGuard guard(&stateLock);
  return state;
}

void CBaseCameraChannel::SetState(uint32_t value) {
  CLockGuard guard(&stateLock);
  state = value;
}

DEVICE_INFO CBaseCameraChannel::GetDeviceInfo() const {
  return driver != nullptr ? driver->GetDeviceInfo() : DEVICE_INFO();
}

void CBaseCameraChannel::SetCameraState(bool nowOnline) {
  CLockGuard guard(&onlineLock);
  if (nowOnline && stopping.load()) return;
  if (online.exchange(nowOnline) == nowOnline) return;
  if (driver == nullptr) return;
  std::string address = GetDeviceInfo().address;
  if (nowOnline) {
    driver->DebugMessage(kLevelInfo, "%s: Camera %s is online", kSetCameraStateName,
                         address.c_str());
    return;
  }
  switch (GetState()) {
    case CameraStopped:
      driver->DebugMessage(kLevelInfo, "%s: Camera %s is offline. Channel was stopped",
                           kSetCameraStateName, address.c_str());
      break;
    case CameraSignalLost:
      driver->DebugMessage(kLevelError, "%s: Signal was lost for camera %s (channel %u)",
                           kSetCameraStateName, address.c_str(), channelIndex);
      break;
    default:
      driver->DebugMessage(kLevelError, "%s: Camera %s is offline or failed", kSetCameraStateName,
                           address.c_str());
      break;
  }
}

void CBaseCameraChannel::BeginStop() {
  stopping.store(true);
  if (stopEvent != nullptr) platform::SetEvent(stopEvent);
}

void CBaseCameraChannel::StopWorker() {
  BeginStop();
  if (workerThread == nullptr) return;
  if (platform::IsCurrentThread(workerThread)) {
    platform::CloseThread(workerThread);
  } else {
    WakeWorker();
    uint64_t waitMs = 2ull * GetDeviceInfo().timeoutMs;
    if (waitMs >= platform::kInfinite) waitMs = platform::kInfinite - 1;
    platform::JoinOrTerminate(workerThread, uint32_t(waitMs), kForcedEndWaitMs);
  }
  workerThread = nullptr;
}

bool CBaseCameraChannel::StartWorker() {
  if (stopEvent != nullptr) platform::ResetEvent(stopEvent);
  stopping.store(false);
  PrepareWorker();
  workerThread = platform::StartThread(&CBaseCameraChannel::WorkerEntry, this, nullptr,
                                       quenlix::thread::kWorkerThreadStack);
  return workerThread != nullptr;
}

uint32_t CBaseCameraChannel::WorkerEntry(void* channel) {
  if (channel == nullptr) return kNoChannelExitCode;
  return static_cast<CBaseCameraChannel*>(channel)->RunGuarded();
}

uint32_t CBaseCameraChannel::RunGuarded() {
  struct RunCall {
    CBaseCameraChannel* channel;
    uint32_t result;
  } call{this, 0};
  // The last resort: nothing thrown on the worker may end the host's
  // process. The worker reports it and runs on after a cycle's pause; its
  // loop finds the stream in whatever state it was left and restarts it if
  // frames stay away.
  for (;;) {
    if (platform::CallSwallowingExceptions(
            [](void* c) {
              RunCall* r = static_cast<RunCall*>(c);
              r->result = r->channel->Run();
            },
            &call)) {
      return call.result;
    }
    platform::CallSwallowingExceptions(
        [](void* c) { static_cast<CBaseCameraChannel*>(c)->ReportWorkerException(); }, this);
    const platform::WaitResult wait = platform::WaitForEvent(stopEvent, kAfterExceptionPauseMs);
    if (wait != platform::WaitResult::kTimeout) return kWorkerExceptionExitCode;
  }
}

void CBaseCameraChannel::ReportWorkerException() {
  if (driver == nullptr) return;
  driver->DebugMessage(kLevelError, "%s: an exception interrupted the worker of channel %u",
                       kRunGuardedName, channelIndex);
}

void CBaseCameraChannel::TouchLastFrame() {
  CLockGuard guard(&frameTimeLock);
  lastFrameTime = platform::NowFileTime();
}

void CBaseCameraChannel::TouchAcceptedFrame() {
  CLockGuard guard(&frameTimeLock);
  lastFrameTime = lastAcceptedTime = platform::NowFileTime();
}

uint32_t CBaseCameraChannel::MsSinceLastFrame() {
  return MsSince(&CBaseCameraChannel::lastFrameTime);
}

uint32_t CBaseCameraChannel::MsSinceAcceptedFrame() {
  return MsSince(&CBaseCameraChannel::lastAcceptedTime);
}

uint32_t CBaseCameraChannel::MsSince(uint64_t CBaseCameraChannel::*fileTime) {
  uint64_t last;
  {
    CLockGuard guard(&frameTimeLock);
    last = this->*fileTime;
  }
  uint64_t now = platform::NowFileTime();
  // A clock set back must not look like hours without frames.
  if (now < last) return 0;
  return uint32_t((now - last) / platform::kFileTimeUnitsPerMs);
}

}  // namespace quenlix
