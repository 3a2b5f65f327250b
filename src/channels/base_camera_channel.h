// The base of every channel: the worker thread and its stop event, the stream
// state, the time of the last accepted frame, and the camera's online and
// offline reports to the host's log.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"
#include "quenlix/driver.h"
#include "quenlix/media.h"
#include "thread/recursive_lock.h"

namespace quenlix {

class CBaseCameraChannel : public ICameraChannel {
 public:
  QUENLIX_IMPLEMENTS_DESTRUCTOR()

  // Exit code of a worker started without a channel.
  static constexpr uint32_t kNoChannelExitCode = 0x123456;
  // Exit code of a worker stopped after an exception interrupted it.
  static constexpr uint32_t kWorkerExceptionExitCode = 0x123457;

  CBaseCameraChannel(uint32_t channelIndex, IDriver* driver, IFrameSink* frameSink);
  virtual ~CBaseCameraChannel();
  CBaseCameraChannel(const CBaseCameraChannel&) = delete;
  CBaseCameraChannel& operator=(const CBaseCameraChannel&) = delete;

  bool Start(const STREAM_SETTINGS& newSettings) override;
  void Stop() override;
  // Keeps the quality of the last Start.
  bool Restart(const STREAM_SETTINGS& newSettings) override;
  uint32_t GetState() override;
  void SetState(uint32_t value) override;
  // The worker's body; returns when stopEvent is signalled.
  virtual uint32_t Run() = 0;
  // Called while stopping, after stopEvent is signalled and before the wait:
  // whatever the worker may be blocked in is cut short here.
  virtual void WakeWorker() {}
  // Called before a worker starts: undoes what WakeWorker cut.
  virtual void PrepareWorker() {}

  STREAM_SETTINGS GetSettings() const { return settings; }
  uint32_t GetChannelIndex() const { return channelIndex; }
  bool IsOnline() const { return online.load(); }
  bool HasWorker() const { return workerThread != nullptr; }

 protected:
  void SetCameraState(bool nowOnline);
  void StopWorker();
  void TouchLastFrame();
  uint32_t MsSinceLastFrame();
  // The host's sink hears of a lost signal from the time of the last frame
  // it took; a restart of reception moves the last-frame time but not this.
  void TouchAcceptedFrame();
  uint32_t MsSinceAcceptedFrame();
  DEVICE_INFO GetDeviceInfo() const;

  bool socketsStarted = false;
  std::atomic<bool> online{false};
  CRecursiveLock stateLock;
  uint32_t state = CameraStopped;
  CRecursiveLock frameTimeLock;
  uint64_t lastFrameTime = 0;
  uint64_t lastAcceptedTime = 0;  // guarded by frameTimeLock
  uint32_t channelIndex;
  IDriver* driver;
  IFrameSink* frameSink;
  STREAM_SETTINGS settings;
  platform::Thread workerThread = nullptr;
  platform::Event stopEvent;

 private:
  static uint32_t WorkerEntry(void* channel);
  uint32_t RunGuarded();
  void ReportWorkerException();
  bool StartWorker();
  void BeginStop();
  uint32_t MsSince(uint64_t CBaseCameraChannel::*fileTime);

  // Serialises the online reports, so that a frame arriving while the channel
  // stops cannot report the camera online again after it was reported off.
  CRecursiveLock onlineLock;
  std::atomic<bool> stopping{false};
};

}  // namespace quenlix
