// A task that runs beside ipcap record on the same open driver (the I/O
// command offers one for --io). A command registers it from a static
// initializer of its own file, so record needs no knowledge of it.
#pragma once

#include <CLI/CLI.hpp>

#include "quenlix/ipcapture.h"

namespace ipcap {

class IRecordCompanion {
 public:
  virtual ~IRecordCompanion() = default;
  // Adds the task's own options to record's command line.
  virtual void AddOptions(CLI::App& app) { (void)app; }
  // Called after the streams have started; false stops the recording.
  virtual bool Start(quenlix::ipcapture::IIPCaptureDriver* driver) = 0;
  // Called before the streams stop.
  virtual void Stop() = 0;
};

// The last registration wins; null clears it.
void SetRecordCompanion(IRecordCompanion* companion);
IRecordCompanion* GetRecordCompanion();

}  // namespace ipcap
