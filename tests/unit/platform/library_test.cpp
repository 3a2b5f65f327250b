#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace quenlix {
namespace platform {
namespace {

TEST(Library, LoadsByWindowsNameBesideTheExecutableAndFindsTheExport) {
  const std::string dir = ExecutableDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_NE(dir.back(), '/');
  EXPECT_NE(dir.back(), '\\');
  // POSIX finds libquenlixfixture.so beside the executable.
  Library library = LoadLibraryByName("quenlixfixture.dll");
  ASSERT_NE(library, nullptr);
  auto answer = reinterpret_cast<int (*)()>(GetLibrarySymbol(library, "QuenlixFixtureAnswer"));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  EXPECT_EQ(GetLibrarySymbol(library, "NoSuchExport"), nullptr);
  FreeLibrary(library);
  EXPECT_EQ(LoadLibraryByName("quenlix_no_such_library.dll"), nullptr);
  EXPECT_EQ(LoadLibraryByName(""), nullptr);
  EXPECT_EQ(LoadLibraryByName(nullptr), nullptr);
}

std::vector<uint16_t> ModuleVersion(const char* module) {
  uint16_t v[4] = {0xAAAA, 0xAAAA, 0xAAAA, 0xAAAA};
  if (!GetModuleFileVersion(module, v)) return {};
  return {v[0], v[1], v[2], v[3]};
}

TEST(Library, ModuleVersionsAreReadFromTheVersionResource) {
  const struct {
    const char* module;
    std::vector<uint16_t> version;  // empty: not found
  } cases[] = {
      {"brannic.dll", {6, 3, 1, 2}},
      {"BRANNIC.DLL", {6, 3, 1, 2}},
      {"brannic64.dll", {1, 65535, 256, 7}},
      {"noversion.dll", {}},
      {"quenlix_absent.dll", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(ModuleVersion(c.module), c.version) << c.module;
#if !defined(_WIN32)
  // The library path is searched before the executable's directory.
  const char* old = std::getenv("LD_LIBRARY_PATH");
  const std::string saved = old != nullptr ? old : "";
  setenv("LD_LIBRARY_PATH", ("/nonexistent-quenlix::" + ExecutableDirectory() + "/ldpath").c_str(),
         1);
  const std::vector<uint16_t> found = ModuleVersion("brannic.dll");
  if (old != nullptr) {
    setenv("LD_LIBRARY_PATH", saved.c_str(), 1);
  } else {
    unsetenv("LD_LIBRARY_PATH");
  }
  EXPECT_EQ(found, (std::vector<uint16_t>{7, 0, 0, 1}));
#endif
}

}  // namespace
}  // namespace platform
}  // namespace quenlix
