#include "driver_library.h"

#include <dlfcn.h>

#include <cstdlib>

namespace ipcap {

DriverLibrary::~DriverLibrary() {
  if (handle_ != nullptr) dlclose(handle_);
}

void* DriverLibrary::Symbol(const char* name) {
  void* p = dlsym(handle_, name);
  if (p == nullptr && error_.empty()) error_ = std::string("export missing: ") + name;
  return p;
}

bool DriverLibrary::Load(const std::string& path) {
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* why = dlerror();
    error_ = "cannot load " + path + ": " + (why != nullptr ? why : "unknown error");
    return false;
  }
  createIPCapture = reinterpret_cast<CreateIPCaptureFn>(Symbol("CreateIPCapture"));
  createIPCaptureEx = reinterpret_cast<CreateIPCaptureExFn>(Symbol("CreateIPCaptureEx"));
  deleteIPCapture = reinterpret_cast<DeleteIPCaptureFn>(Symbol("DeleteIPCapture"));
  deleteIPCaptureEx = reinterpret_cast<DeleteIPCaptureExFn>(Symbol("DeleteIPCaptureEx"));
  initCapabilityQuery = reinterpret_cast<InitCapabilityQueryFn>(Symbol("InitCapabilityQuery"));
  startCapabilityQuery = reinterpret_cast<StartCapabilityQueryFn>(Symbol("StartCapabilityQuery"));
  terminateCapabilityQuery =
      reinterpret_cast<TerminateCapabilityQueryFn>(Symbol("TerminateCapabilityQuery"));
  uninitCapabilityQuery =
      reinterpret_cast<UninitCapabilityQueryFn>(Symbol("UninitCapabilityQuery"));
  return createIPCapture != nullptr && deleteIPCapture != nullptr;
}

std::string DefaultLibraryPath() {
  const char* env = std::getenv("IPCAP_LIBRARY");
  if (env != nullptr && env[0] != '\0') return env;
  return IPCAP_DEFAULT_LIBRARY;
}

}  // namespace ipcap
