#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/platform.h"

namespace quenlix {
namespace platform {
namespace {

using Answer = int (*)();

TEST(Library, LoadsByWindowsNameAndFindsTheExport) {
  // POSIX finds libquenlixfixture.so beside the executable.
  Library library = LoadLibraryByName("quenlixfixture.dll");
  ASSERT_NE(library, nullptr);
  auto answer = reinterpret_cast<Answer>(GetLibrarySymbol(library, "QuenlixFixtureAnswer"));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  EXPECT_EQ(GetLibrarySymbol(library, "NoSuchExport"), nullptr);
  FreeLibrary(library);
}

TEST(Library, MissingLibraryIsNull) {
  EXPECT_EQ(LoadLibraryByName("quenlix_no_such_library.dll"), nullptr);
  EXPECT_EQ(LoadLibraryByName(""), nullptr);
  EXPECT_EQ(LoadLibraryByName(nullptr), nullptr);
}

struct VersionCase {
  const char* name;
  const char* module;
  bool found;
  uint16_t version[4];
};

class ModuleVersions : public ::testing::TestWithParam<VersionCase> {};

TEST_P(ModuleVersions, AreReadFromTheVersionResource) {
  const VersionCase& test = GetParam();
  uint16_t version[4] = {0xAAAA, 0xAAAA, 0xAAAA, 0xAAAA};
  ASSERT_EQ(GetModuleFileVersion(test.module, version), test.found);
  if (!test.found) return;
  for (int i = 0; i < 4; ++i) EXPECT_EQ(version[i], test.version[i]) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Library, ModuleVersions,
    ::testing::Values(VersionCase{"Pe32", "brannic.dll", true, {6, 3, 1, 2}},
                      VersionCase{"NameInOtherCase", "BRANNIC.DLL", true, {6, 3, 1, 2}},
                      VersionCase{"Pe32Plus", "brannic64.dll", true, {1, 65535, 256, 7}},
                      VersionCase{"NoVersionResource", "noversion.dll", false, {}},
                      VersionCase{"NotThere", "quenlix_absent.dll", false, {}}),
    [](const ::testing::TestParamInfo<VersionCase>& info) { return info.param.name; });

#if !defined(_WIN32)
TEST(Library, VersionSearchTriesTheLibraryPathBeforeTheExecutableDirectory) {
  const char* old = std::getenv("LD_LIBRARY_PATH");
  const std::string saved = old != nullptr ? old : "";
  const std::string path = "/nonexistent-quenlix::" + ExecutableDirectory() + "/ldpath";
  setenv("LD_LIBRARY_PATH", path.c_str(), 1);
  uint16_t version[4] = {};
  const bool found = GetModuleFileVersion("brannic.dll", version);
  if (old != nullptr) {
    setenv("LD_LIBRARY_PATH", saved.c_str(), 1);
  } else {
    unsetenv("LD_LIBRARY_PATH");
  }
  ASSERT_TRUE(found);
  EXPECT_EQ(version[0], 7);
  EXPECT_EQ(version[3], 1);
}
#endif

TEST(Library, ExecutableDirectoryHasNoTrailingSeparator) {
  const std::string dir = ExecutableDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_NE(dir.back(), '/');
  EXPECT_NE(dir.back(), '\\');
}

}  // namespace
}  // namespace platform
}  // namespace quenlix
