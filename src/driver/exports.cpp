// The exported factory.
#include <new>

#include "driver/tavrik_ip_capture_driver.h"
#include "quenlix/ipcapture.h"

using quenlix::CTavrikIPCaptureDriver;
using quenlix::ipcapture::IIPCaptureDriver;
using quenlix::ipcapture::IIPCaptureDriverEx;

extern "C" {

QUENLIX_EXPORT IIPCaptureDriver* QUENLIX_CDECL CreateIPCapture() {
  return new (std::nothrow) CTavrikIPCaptureDriver();
}

QUENLIX_EXPORT IIPCaptureDriverEx* QUENLIX_CDECL CreateIPCaptureEx() {
  return new (std::nothrow) CTavrikIPCaptureDriver();
}

QUENLIX_EXPORT void QUENLIX_CDECL DeleteIPCapture(IIPCaptureDriver* driver) {
  quenlix::DestroyObject(driver);
}

QUENLIX_EXPORT void QUENLIX_CDECL DeleteIPCaptureEx(IIPCaptureDriverEx* driver) {
  quenlix::DestroyObject(driver);
}

}  // extern "C"
