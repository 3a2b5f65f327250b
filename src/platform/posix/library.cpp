// Run-time libraries through the dynamic loader, and the file version of a PE
// module found on the library path.
#include <dirent.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/posix_wait.h"

namespace quenlix {
namespace platform {

namespace {

// A version resource sits in the first megabytes of any sane module; the
// bound keeps a stray huge file from being read whole.
constexpr long kMaxModuleFileSize = 64L * 1024 * 1024;
constexpr char kWindowsLibrarySuffix[] = ".dll";

bool HasDirectory(const std::string& name) { return name.find('/') != std::string::npos; }

// "Kelvardec.dll" -> "libKelvardec.so"; empty when the name has no stem.
std::string SharedObjectName(const std::string& name) {
  std::string stem = name;
  const size_t suffixLength = sizeof(kWindowsLibrarySuffix) - 1;
  if (stem.size() > suffixLength &&
      strcasecmp(stem.c_str() + stem.size() - suffixLength, kWindowsLibrarySuffix) == 0) {
    stem.resize(stem.size() - suffixLength);
  }
  if (stem.empty()) return std::string();
  return "lib" + stem + ".so";
}

void* Open(const std::string& name) {
  void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle != nullptr || HasDirectory(name)) return handle;
  return dlopen((ExecutableDirectory() + "/" + name).c_str(), RTLD_NOW | RTLD_LOCAL);
}

std::vector<std::string> VersionSearchDirectories() {
  std::vector<std::string> dirs;
  if (const char* path = getenv("LD_LIBRARY_PATH")) {
    std::string list(path);
    size_t start = 0;
    while (start <= list.size()) {
      size_t end = list.find(':', start);
      if (end == std::string::npos) end = list.size();
      // An empty entry would mean the working directory, which a host's
      // search would not look in for a module it has not loaded.
      if (end > start) dirs.push_back(list.substr(start, end - start));
      start = end + 1;
    }
  }
  dirs.push_back(ExecutableDirectory());
  return dirs;
}

bool IsRegularFile(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The exact name first; Windows file names ignore case, so then any entry of
// the directory that matches without regard to case.
std::string FindInDirectory(const std::string& dir, const std::string& name) {
  posix::CancellationPoint point;
  std::string exact = dir + "/" + name;
  if (IsRegularFile(exact)) return exact;
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) return std::string();
  std::string found;
  while (dirent* entry = readdir(listing)) {
    if (strcasecmp(entry->d_name, name.c_str()) != 0) continue;
    std::string candidate = dir + "/" + entry->d_name;
    if (IsRegularFile(candidate)) {
      found = candidate;
      break;
    }
  }
  closedir(listing);
  return found;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes) {
  posix::CancellationPoint point;
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  bool ok = false;
  if (fseek(file, 0, SEEK_END) == 0) {
    long size = ftell(file);
    if (size > 0 && size <= kMaxModuleFileSize && fseek(file, 0, SEEK_SET) == 0) {
      bytes->resize(static_cast<size_t>(size));
      ok = fread(bytes->data(), 1, bytes->size(), file) == bytes->size();
    }
  }
  fclose(file);
  return ok;
}

}  // namespace

Library LoadLibraryByName(const char* name) {
  if (name == nullptr || *name == '\0') return nullptr;
  void* handle = Open(name);
  if (handle == nullptr && !HasDirectory(name)) {
    std::string shared = SharedObjectName(name);
    if (!shared.empty()) handle = Open(shared);
  }
  return static_cast<Library>(handle);
}

void* GetLibrarySymbol(Library library, const char* symbol) {
  if (library == nullptr || symbol == nullptr) return nullptr;
  return dlsym(library, symbol);
}

void FreeLibrary(Library library) {
  if (library != nullptr) dlclose(library);
}

bool GetModuleFileVersion(const char* moduleName, uint16_t version[4]) {
  if (moduleName == nullptr || *moduleName == '\0' || version == nullptr) return false;
  std::string name(moduleName);
  std::string path;
  if (HasDirectory(name)) {
    if (IsRegularFile(name)) path = name;
  } else {
    for (const std::string& dir : VersionSearchDirectories()) {
      path = FindInDirectory(dir, name);
      if (!path.empty()) break;
    }
  }
  if (path.empty()) return false;
  std::vector<uint8_t> image;
  if (!ReadWholeFile(path, &image)) return false;
  return ReadPeFileVersion(image.data(), image.size(), version);
}

}  // namespace platform
}  // namespace quenlix
