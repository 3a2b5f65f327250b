#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace quenlix {
namespace platform {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadFixture(const char* name) {
  std::ifstream file(ExecutableDirectory() + "/" + name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

uint32_t Get32(const Bytes& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
         uint32_t(b[at + 3]) << 24;
}
uint16_t Get16(const Bytes& b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }
void Put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}
void Put16(Bytes& b, size_t at, uint16_t v) {
  b[at] = uint8_t(v);
  b[at + 1] = uint8_t(v >> 8);
}

// Where the fields of the (trusted) fixture lie, found the plain way.
struct Layout {
  size_t pe = 0, coff = 0, optional = 0, sections = 0, resourceDirEntry = 0;
  uint16_t sectionCount = 0;
  size_t resourceBase = 0;  // file offset of the resource tree
  size_t rootEntries = 0, dataEntry = 0, versionBlock = 0;
};

size_t RvaToOffset(const Bytes& b, const Layout& l, uint32_t rva) {
  for (uint16_t i = 0; i < l.sectionCount; ++i) {
    size_t s = l.sections + i * 40;
    uint32_t va = Get32(b, s + 12), raw = Get32(b, s + 16), ptr = Get32(b, s + 20);
    if (rva >= va && rva < va + raw) return ptr + (rva - va);
  }
  return 0;
}

Layout Find(const Bytes& b) {
  Layout l;
  l.pe = Get32(b, 0x3C);
  l.coff = l.pe + 4;
  l.sectionCount = Get16(b, l.coff + 2);
  l.optional = l.coff + 20;
  const bool plus = Get16(b, l.optional) == 0x20B;
  l.resourceDirEntry = l.optional + (plus ? 112 : 96) + 2 * 8;
  l.sections = l.optional + Get16(b, l.coff + 16);
  l.resourceBase = RvaToOffset(b, l, Get32(b, l.resourceDirEntry));
  l.rootEntries = l.resourceBase + 16;
  size_t dir = l.resourceBase;
  for (int level = 0; level < 3; ++level)
    dir = l.resourceBase + (Get32(b, dir + 16 + 4) & 0x7FFFFFFF);
  l.dataEntry = dir;
  l.versionBlock = RvaToOffset(b, l, Get32(b, l.dataEntry));
  return l;
}

const uint16_t kExpected[4] = {6, 3, 1, 2};

TEST(PeVersion, ReadsBothImageKinds) {
  for (const char* name : {"brannic.dll", "brannic64.dll"}) {
    Bytes image = ReadFixture(name);
    ASSERT_FALSE(image.empty()) << name;
    uint16_t version[4] = {};
    EXPECT_TRUE(ReadPeFileVersion(image.data(), image.size(), version)) << name;
  }
  Bytes image = ReadFixture("brannic.dll");
  uint16_t version[4] = {};
  ASSERT_TRUE(ReadPeFileVersion(image.data(), image.size(), version));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(version[i], kExpected[i]);
}

TEST(PeVersion, EveryTruncationBeforeTheFixedInfoEndsIsRefused) {
  const Bytes image = ReadFixture("brannic.dll");
  ASSERT_FALSE(image.empty());
  const Layout l = Find(image);
  const size_t fixedInfoEnd = l.versionBlock + 40 + 52;
  ASSERT_EQ(Get32(image, l.versionBlock + 40), 0xFEEF04BDu);
  for (size_t size = 0; size < fixedInfoEnd; ++size) {
    // A copy of exactly that size, so a sanitizer sees any read past it.
    Bytes prefix(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(size));
    uint16_t version[4] = {};
    ASSERT_FALSE(ReadPeFileVersion(prefix.data(), prefix.size(), version)) << size;
  }
}

struct Corruption {
  const char* name;
  std::function<void(Bytes&, const Layout&)> apply;
  bool stillReads;
};

class CorruptImages : public ::testing::TestWithParam<Corruption> {};

TEST_P(CorruptImages, AreRefusedWithoutReadingOutside) {
  Bytes image = ReadFixture("brannic.dll");
  ASSERT_FALSE(image.empty());
  const Layout layout = Find(image);
  GetParam().apply(image, layout);
  uint16_t version[4] = {};
  EXPECT_EQ(ReadPeFileVersion(image.data(), image.size(), version), GetParam().stillReads);
}

INSTANTIATE_TEST_SUITE_P(
    PeVersion, CorruptImages,
    ::testing::Values(
        Corruption{"NoMzSignature", [](Bytes& b, const Layout&) { b[0] = 'X'; }, false},
        Corruption{"PeOffsetFarPastEnd",
                   [](Bytes& b, const Layout&) { Put32(b, 0x3C, 0xFFFFFFF0u); }, false},
        Corruption{
            "PeOffsetAtLastBytes",
            [](Bytes& b, const Layout&) { Put32(b, 0x3C, static_cast<uint32_t>(b.size() - 2)); },
            false},
        Corruption{"NoPeSignature", [](Bytes& b, const Layout& l) { b[l.pe + 1] ^= 1; }, false},
        Corruption{"UnknownOptionalMagic",
                   [](Bytes& b, const Layout& l) { Put16(b, l.optional, 0x107); }, false},
        Corruption{"OptionalHeaderPastEnd",
                   [](Bytes& b, const Layout& l) { Put16(b, l.coff + 16, 0xFFFF); }, false},
        Corruption{"TooFewDataDirectories",
                   [](Bytes& b, const Layout& l) { Put32(b, l.optional + 92, 2); }, false},
        Corruption{"NoResourceDirectory",
                   [](Bytes& b, const Layout& l) { Put32(b, l.resourceDirEntry, 0); }, false},
        Corruption{"ResourceRvaInNoSection",
                   [](Bytes& b, const Layout& l) { Put32(b, l.resourceDirEntry, 0x7FFFFFF0u); },
                   false},
        Corruption{"SectionTablePastEnd",
                   [](Bytes& b, const Layout& l) { Put16(b, l.coff + 2, 0xFFFF); }, false},
        Corruption{"RawDataPointersPastEnd",
                   [](Bytes& b, const Layout& l) {
                     for (uint16_t i = 0; i < l.sectionCount; ++i)
                       Put32(b, l.sections + i * 40 + 20, 0xFFFFFF00u);
                   },
                   false},
        Corruption{"HugeResourceRawSizeIsClippedToTheFile",
                   [](Bytes& b, const Layout& l) {
                     const uint32_t rva = Get32(b, l.resourceDirEntry);
                     for (uint16_t i = 0; i < l.sectionCount; ++i) {
                       const size_t s = l.sections + i * 40;
                       if (rva >= Get32(b, s + 12) && rva < Get32(b, s + 12) + Get32(b, s + 16)) {
                         Put32(b, s + 16, 0xFFFFFFFFu);
                       }
                     }
                   },
                   true},
        Corruption{"RootEntryCountPastEnd",
                   [](Bytes& b, const Layout& l) { Put16(b, l.resourceBase + 14, 0xFFFF); }, false},
        Corruption{"NoVersionType", [](Bytes& b, const Layout& l) { Put32(b, l.rootEntries, 17); },
                   false},
        Corruption{"VersionTypeIsAName",
                   [](Bytes& b, const Layout& l) { Put32(b, l.rootEntries, 0x80000000u | 16); },
                   false},
        Corruption{"SubdirectoryPastEnd",
                   [](Bytes& b, const Layout& l) { Put32(b, l.rootEntries + 4, 0xFFFFFFF0u); },
                   false},
        Corruption{"TypeEntryIsNoDirectory",
                   [](Bytes& b, const Layout& l) {
                     Put32(b, l.rootEntries + 4, Get32(b, l.rootEntries + 4) & 0x7FFFFFFF);
                   },
                   false},
        Corruption{"DirectoryLoopsBackToRoot",
                   [](Bytes& b, const Layout& l) {
                     const size_t names =
                         l.resourceBase + (Get32(b, l.rootEntries + 4) & 0x7FFFFFFF);
                     Put32(b, names + 16 + 4, 0x80000000u);
                   },
                   false},
        Corruption{"DataSizePastEnd",
                   [](Bytes& b, const Layout& l) { Put32(b, l.dataEntry + 4, 0x0FFFFFFFu); },
                   false},
        Corruption{"DataRvaInNoSection",
                   [](Bytes& b, const Layout& l) { Put32(b, l.dataEntry, 0x7FFFFFF0u); }, false},
        Corruption{"BlockLengthPastData",
                   [](Bytes& b, const Layout& l) { Put16(b, l.versionBlock, 0xFFFF); }, false},
        Corruption{"BlockTooShortForFixedInfo",
                   [](Bytes& b, const Layout& l) { Put16(b, l.versionBlock, 60); }, false},
        Corruption{"ValueTooShort",
                   [](Bytes& b, const Layout& l) { Put16(b, l.versionBlock + 2, 10); }, false},
        Corruption{"WrongKey", [](Bytes& b, const Layout& l) { b[l.versionBlock + 6] = 'W'; },
                   false},
        Corruption{"WrongFixedInfoSignature",
                   [](Bytes& b, const Layout& l) { b[l.versionBlock + 40] ^= 0xFF; }, false}),
    [](const ::testing::TestParamInfo<Corruption>& info) { return info.param.name; });

TEST(PeVersion, NullAndEmptyInputAreRefused) {
  uint16_t version[4] = {};
  const uint8_t byte = 0;
  EXPECT_FALSE(ReadPeFileVersion(nullptr, 100, version));
  EXPECT_FALSE(ReadPeFileVersion(&byte, 0, version));
  EXPECT_FALSE(ReadPeFileVersion(&byte, 1, nullptr));
}

}  // namespace
}  // namespace platform
}  // namespace quenlix
