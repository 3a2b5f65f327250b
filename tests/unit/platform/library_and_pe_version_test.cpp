#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
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

using Bytes = std::vector<uint8_t>;
using Version = std::vector<uint16_t>;  // empty: none read

Version ModuleVersion(const char* module) {
  uint16_t v[4] = {0xAAAA, 0xAAAA, 0xAAAA, 0xAAAA};
  if (!GetModuleFileVersion(module, v)) return {};
  return {v[0], v[1], v[2], v[3]};
}

// An absent library and the lower-case name are unit_driver's host cases.
TEST(Library, ModuleVersionsAreReadFromTheVersionResource) {
  EXPECT_EQ(ModuleVersion("BRANNIC.DLL"), (Version{6, 3, 1, 2}));
  EXPECT_EQ(ModuleVersion("brannic64.dll"), (Version{1, 65535, 256, 7}));
  EXPECT_EQ(ModuleVersion("noversion.dll"), Version{});
#if !defined(_WIN32)
  // The library path is searched before the executable's directory.
  const char* old = std::getenv("LD_LIBRARY_PATH");
  const std::string saved = old != nullptr ? old : "";
  setenv("LD_LIBRARY_PATH", ("/nonexistent-quenlix::" + ExecutableDirectory() + "/ldpath").c_str(),
         1);
  const Version found = ModuleVersion("brannic.dll");
  if (old != nullptr) {
    setenv("LD_LIBRARY_PATH", saved.c_str(), 1);
  } else {
    unsetenv("LD_LIBRARY_PATH");
  }
  EXPECT_EQ(found, (Version{7, 0, 0, 1}));
#endif
}

Bytes ReadFixture(const char* name) {
  std::ifstream file(ExecutableDirectory() + "/" + name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

uint32_t Get(const Bytes& b, size_t at, int width) {
  uint32_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = v << 8 | b[at + i];
  return v;
}

void Put(Bytes& b, size_t at, int width, uint32_t v) {
  for (int i = 0; i < width; ++i) b[at + i] = uint8_t(v >> (8 * i));
}

// Where the fields of the (trusted) fixture lie, found the plain way.
struct Layout {
  size_t zero = 0, pe = 0, coff = 0, optional = 0, resourceDirEntry = 0, sections = 0;
  size_t resourceSection = 0, resourceBase = 0, rootEntries = 0, names = 0, dataEntry = 0;
  size_t versionBlock = 0;
};

// File offset of an RVA; *header receives the header of its section.
size_t RvaToOffset(const Bytes& b, const Layout& l, uint32_t rva, size_t* header = nullptr) {
  for (size_t s = l.sections; s < l.sections + 40 * Get(b, l.coff + 2, 2); s += 40) {
    const uint32_t va = Get(b, s + 12, 4);
    if (rva < va || rva >= va + Get(b, s + 16, 4)) continue;
    if (header != nullptr) *header = s;
    return Get(b, s + 20, 4) + (rva - va);
  }
  return 0;
}

Layout Find(const Bytes& b) {
  Layout l;
  l.pe = Get(b, 0x3C, 4);
  l.coff = l.pe + 4;
  l.optional = l.coff + 20;
  l.resourceDirEntry = l.optional + (Get(b, l.optional, 2) == 0x20B ? 112 : 96) + 2 * 8;
  l.sections = l.optional + Get(b, l.coff + 16, 2);
  l.resourceBase = RvaToOffset(b, l, Get(b, l.resourceDirEntry, 4), &l.resourceSection);
  l.rootEntries = l.resourceBase + 16;
  l.names = l.resourceBase + (Get(b, l.rootEntries + 4, 4) & 0x7FFFFFFF);
  size_t dir = l.resourceBase;
  for (int level = 0; level < 3; ++level)
    dir = l.resourceBase + (Get(b, dir + 16 + 4, 4) & 0x7FFFFFFF);
  l.dataEntry = dir;
  l.versionBlock = RvaToOffset(b, l, Get(b, l.dataEntry, 4));
  return l;
}

Version Read(const Bytes& image) {
  uint16_t v[4] = {};
  if (!ReadPeFileVersion(image.data(), image.size(), v)) return {};
  return {v[0], v[1], v[2], v[3]};
}

// One edit of the PE32 fixture: a byte flipped, a field set (width 2 or 4),
// or a 32-bit field set to the file size less the value.
enum Edit { kFlip, kSet16, kSet32, kSet32FromEnd };

TEST(PeVersion, CorruptOrTruncatedImagesAreRefusedWithoutReadingOutside) {
  struct Case {
    const char* name;
    size_t Layout::*base;
    size_t offset;
    Edit edit;
    uint32_t value;
    bool reads;
  };
  const Case cases[] = {
      {"Intact", &Layout::zero, 0, kFlip, 0, true},
      {"NoMzSignature", &Layout::zero, 0, kFlip, 1, false},
      {"PeOffsetFarPastEnd", &Layout::zero, 0x3C, kSet32, 0xFFFFFFF0u, false},
      {"PeOffsetAtLastBytes", &Layout::zero, 0x3C, kSet32FromEnd, 2, false},
      {"NoPeSignature", &Layout::pe, 1, kFlip, 1, false},
      {"UnknownOptionalMagic", &Layout::optional, 0, kSet16, 0x107, false},
      {"OptionalHeaderPastEnd", &Layout::coff, 16, kSet16, 0xFFFF, false},
      {"TooFewDataDirectories", &Layout::optional, 92, kSet32, 2, false},
      {"NoResourceDirectory", &Layout::resourceDirEntry, 0, kSet32, 0, false},
      {"ResourceRvaInNoSection", &Layout::resourceDirEntry, 0, kSet32, 0x7FFFFFF0u, false},
      {"SectionTablePastEnd", &Layout::coff, 2, kSet16, 0xFFFF, false},
      {"RawDataPointerPastEnd", &Layout::resourceSection, 20, kSet32, 0xFFFFFF00u, false},
      {"HugeRawSizeIsClippedToTheFile", &Layout::resourceSection, 16, kSet32, ~0u, true},
      {"RootEntryCountPastEnd", &Layout::resourceBase, 14, kSet16, 0xFFFF, false},
      {"NoVersionType", &Layout::rootEntries, 0, kSet32, 17, false},
      {"VersionTypeIsAName", &Layout::rootEntries, 0, kSet32, 0x80000010u, false},
      {"SubdirectoryPastEnd", &Layout::rootEntries, 4, kSet32, 0xFFFFFFF0u, false},
      {"TypeEntryIsNoDirectory", &Layout::rootEntries, 7, kFlip, 0x80, false},
      {"DirectoryLoopsBackToRoot", &Layout::names, 20, kSet32, 0x80000000u, false},
      {"DataSizePastEnd", &Layout::dataEntry, 4, kSet32, 0x0FFFFFFFu, false},
      {"DataRvaInNoSection", &Layout::dataEntry, 0, kSet32, 0x7FFFFFF0u, false},
      {"BlockLengthPastData", &Layout::versionBlock, 0, kSet16, 0xFFFF, false},
      {"BlockTooShortForFixedInfo", &Layout::versionBlock, 0, kSet16, 60, false},
      {"ValueTooShort", &Layout::versionBlock, 2, kSet16, 10, false},
      {"WrongKey", &Layout::versionBlock, 6, kFlip, 1, false},
      {"WrongFixedInfoSignature", &Layout::versionBlock, 40, kFlip, 0xFF, false},
  };
  const Bytes original = ReadFixture("brannic.dll");
  ASSERT_FALSE(original.empty());
  const Layout layout = Find(original);
  ASSERT_EQ(Get(original, layout.versionBlock + 40, 4), 0xFEEF04BDu);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes image = original;
    const size_t at = layout.*c.base + c.offset;
    if (c.edit == kFlip) image[at] ^= uint8_t(c.value);
    if (c.edit == kSet16) Put(image, at, 2, c.value);
    if (c.edit == kSet32) Put(image, at, 4, c.value);
    if (c.edit == kSet32FromEnd) Put(image, at, 4, uint32_t(image.size() - c.value));
    EXPECT_EQ(Read(image), (c.reads ? Version{6, 3, 1, 2} : Version{}));
  }
  for (size_t size = 0; size < layout.versionBlock + 40 + 52; ++size) {
    // A copy of exactly that size, so a sanitizer sees any read past it.
    ASSERT_EQ(Read(Bytes(original.begin(), original.begin() + std::ptrdiff_t(size))), Version{})
        << size;
  }
  uint16_t version[4] = {};
  EXPECT_FALSE(ReadPeFileVersion(nullptr, 100, version));
  EXPECT_FALSE(ReadPeFileVersion(original.data(), original.size(), nullptr));
}

}  // namespace
}  // namespace platform
}  // namespace quenlix
