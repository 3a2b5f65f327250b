// The driver library loaded by file name, with its exports looked up as a
// recorder host does.
#pragma once

#include <string>

#include "quenlix/capability.h"
#include "quenlix/ipcapture.h"

namespace ipcap {

class DriverLibrary {
 public:
  DriverLibrary() = default;
  ~DriverLibrary();
  DriverLibrary(const DriverLibrary&) = delete;
  DriverLibrary& operator=(const DriverLibrary&) = delete;

  // False, with a reason in Error(), when the file or an export is missing.
  bool Load(const std::string& path);
  const std::string& Error() const { return error_; }

  CreateIPCaptureFn createIPCapture = nullptr;
  CreateIPCaptureExFn createIPCaptureEx = nullptr;
  DeleteIPCaptureFn deleteIPCapture = nullptr;
  DeleteIPCaptureExFn deleteIPCaptureEx = nullptr;
  InitCapabilityQueryFn initCapabilityQuery = nullptr;
  StartCapabilityQueryFn startCapabilityQuery = nullptr;
  TerminateCapabilityQueryFn terminateCapabilityQuery = nullptr;
  UninitCapabilityQueryFn uninitCapabilityQuery = nullptr;

 private:
  void* Symbol(const char* name);

  void* handle_ = nullptr;
  std::string error_;
};

// The library beside the tool's build, or $IPCAP_LIBRARY.
std::string DefaultLibraryPath();

}  // namespace ipcap
