// Run-time libraries and module file versions through the kernel and the
// version-information API. The version is read without loading the module.
#include <cstring>
#include <vector>

#include "platform/win32/win32_api.h"

namespace quenlix {
namespace platform {

Library LoadLibraryByName(const char* name) {
  if (name == nullptr || *name == '\0') return nullptr;
  return reinterpret_cast<Library>(::LoadLibraryA(name));
}

void* GetLibrarySymbol(Library library, const char* symbol) {
  if (library == nullptr || symbol == nullptr) return nullptr;
  FARPROC proc = ::GetProcAddress(reinterpret_cast<HMODULE>(library), symbol);
  void* address = nullptr;
  static_assert(sizeof(proc) == sizeof(address), "code and data pointers have one size");
  std::memcpy(&address, &proc, sizeof(address));
  return address;
}

void FreeLibrary(Library library) {
  if (library != nullptr) ::FreeLibrary(reinterpret_cast<HMODULE>(library));
}

bool GetModuleFileVersion(const char* moduleName, uint16_t version[4]) {
  if (moduleName == nullptr || *moduleName == '\0' || version == nullptr) return false;
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeA(moduleName, &ignored);
  if (size == 0) return false;
  std::vector<uint8_t> info(size);
  if (!::GetFileVersionInfoA(moduleName, 0, size, info.data())) return false;
  void* value = nullptr;
  UINT length = 0;
  char root[] = "\\";
  if (!::VerQueryValueA(info.data(), root, &value, &length) || value == nullptr ||
      length < sizeof(VS_FIXEDFILEINFO)) {
    return false;
  }
  VS_FIXEDFILEINFO fixed;
  std::memcpy(&fixed, value, sizeof(fixed));
  if (fixed.dwSignature != 0xFEEF04BDu) return false;
  version[0] = HIWORD(fixed.dwFileVersionMS);
  version[1] = LOWORD(fixed.dwFileVersionMS);
  version[2] = HIWORD(fixed.dwFileVersionLS);
  version[3] = LOWORD(fixed.dwFileVersionLS);
  return true;
}

}  // namespace platform
}  // namespace quenlix
