// A recorder host as the platform's own compiler builds it, bound to every
// export through an import library. Built without a C or C++ runtime (this
// machine has none for that compiler), linked against the DLL's exports and
// never run: the link proves the names and the calling convention of the
// exports, the compile proves the headers need nothing a host lacks. The
// interfaces' slots under this compiler are scripts/abi_check.py's to hold:
// it implements every one of them and compares the tables.
#include "quenlix/capability.h"
#include "quenlix/ipcapture.h"

using namespace quenlix;

// The compiler refers to this from the tables of abstract classes.
extern "C" int __cdecl _purecall() { return 0; }

namespace {

class QueryCallback final : public ICapabilityQueryCallback {
 public:
  void Reserved0() override {}
  void Reserved1() override {}
  void OnQueryDone() override {}
  void OnQueryError(uint32_t, const char*) override {}
};

}  // namespace

extern "C" int __cdecl HostMain() {
  int failures = 0;
  ipcapture::IIPCaptureDriverEx* driver = CreateIPCaptureEx();
  if (driver == nullptr || driver->GetExtension() != nullptr) ++failures;
  DeleteIPCaptureEx(driver);
  DeleteIPCapture(CreateIPCapture());
  // And through the interface's own destructor slot, as a host's delete does.
  if (ipcapture::IIPCaptureDriver* plain = CreateIPCapture()) plain->DeletingDestructor(1);
  QueryCallback callback;
  if (InitCapabilityQuery(&callback, false) != 1) ++failures;
  // Without a results object the query ends in an error: enough for a link.
  if (StartCapabilityQuery("127.0.0.1", 80, "admin", "admin", nullptr) == 1) {
    TerminateCapabilityQuery();
  }
  UninitCapabilityQuery();
  return failures;
}
