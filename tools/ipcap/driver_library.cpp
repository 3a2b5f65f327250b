#include "driver_library.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <cstdlib>

namespace ipcap {

namespace {

#if defined(_WIN32)
void* OpenLibrary(const std::string& path) {
  return reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
}
void CloseLibrary(void* handle) { FreeLibrary(static_cast<HMODULE>(handle)); }
void* LookUp(void* handle, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
}
std::string LoadError() { return "error " + std::to_string(GetLastError()); }
#else
void* OpenLibrary(const std::string& path) { return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); }
void CloseLibrary(void* handle) { dlclose(handle); }
void* LookUp(void* handle, const char* name) { return dlsym(handle, name); }
std::string LoadError() {
  const char* why = dlerror();
  return why != nullptr ? why : "unknown error";
}
#endif

}  // namespace

DriverLibrary::~DriverLibrary() {
  if (handle_ != nullptr) CloseLibrary(handle_);
}

void* DriverLibrary::Symbol(const char* name) {
  void* p = LookUp(handle_, name);
  if (p == nullptr && error_.empty()) error_ = std::string("export missing: ") + name;
  return p;
}

bool DriverLibrary::Load(const std::string& path) {
  handle_ = OpenLibrary(path);
  if (handle_ == nullptr) {
    error_ = "cannot load " + path + ": " + LoadError();
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
