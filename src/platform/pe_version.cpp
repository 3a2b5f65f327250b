// The fixed-file-info version of a PE image (PE32 or PE32+) held in memory:
// headers -> section table -> resource tree (type 16, first name, first
// language) -> VS_VERSIONINFO -> VS_FIXEDFILEINFO. Every offset and length
// comes from the file, so each is checked before use; the walk has a fixed
// depth and every loop is bounded by a count read from the image.

#include "platform/platform.h"

namespace quenlix {
namespace platform {

namespace {

constexpr size_t kDosHeaderSize = 64;
constexpr size_t kDosNewHeaderOffset = 0x3C;
constexpr uint16_t kDosSignature = 0x5A4D;     // "MZ"
constexpr uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr size_t kPeSignatureSize = 4;
constexpr size_t kCoffHeaderSize = 20;
constexpr size_t kCoffNumberOfSections = 2;
constexpr size_t kCoffSizeOfOptionalHeader = 16;

constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr size_t kPe32NumberOfRvaAndSizes = 92;
constexpr size_t kPe32PlusNumberOfRvaAndSizes = 108;
constexpr size_t kDataDirectorySize = 8;
constexpr uint32_t kResourceDirectoryIndex = 2;

constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kSectionVirtualSize = 8;
constexpr size_t kSectionVirtualAddress = 12;
constexpr size_t kSectionSizeOfRawData = 16;
constexpr size_t kSectionPointerToRawData = 20;

constexpr size_t kResourceDirectorySize = 16;
constexpr size_t kResourceNamedEntries = 12;
constexpr size_t kResourceIdEntries = 14;
constexpr size_t kResourceEntrySize = 8;
constexpr uint32_t kResourceNameIsString = 0x80000000u;
constexpr uint32_t kResourceEntryIsDirectory = 0x80000000u;
constexpr size_t kResourceDataEntrySize = 16;
constexpr uint32_t kRtVersion = 16;

constexpr size_t kVersionHeaderSize = 6;  // wLength, wValueLength, wType
constexpr char kVersionKey[] = "VS_VERSION_INFO";
constexpr size_t kVersionKeyBytes = sizeof(kVersionKey) * 2;  // UTF-16 with terminator
constexpr size_t kFixedFileInfoSize = 52;
constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BDu;
constexpr size_t kFixedFileVersionMs = 8;
constexpr size_t kFixedFileVersionLs = 12;

uint16_t ReadU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t ReadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// A bounded view of bytes; every read says whether it fits.
struct Span {
  const uint8_t* data = nullptr;
  size_t size = 0;

  bool Has(size_t offset, size_t length) const { return offset <= size && length <= size - offset; }
  bool U16(size_t offset, uint16_t* value) const {
    if (!Has(offset, 2)) return false;
    *value = ReadU16(data + offset);
    return true;
  }
  bool U32(size_t offset, uint32_t* value) const {
    if (!Has(offset, 4)) return false;
    *value = ReadU32(data + offset);
    return true;
  }
  Span Sub(size_t offset, size_t length) const { return Span{data + offset, length}; }
};

struct Sections {
  Span table;  // kSectionHeaderSize bytes per section
  uint16_t count = 0;
};

struct Image {
  Span file;
  Sections sections;
  uint32_t resourceRva = 0;
};

bool ReadHeaders(Span file, Image* image) {
  image->file = file;
  uint16_t dosSignature = 0;
  uint32_t peOffset = 0;
  if (file.size < kDosHeaderSize || !file.U16(0, &dosSignature) || dosSignature != kDosSignature)
    return false;
  if (!file.U32(kDosNewHeaderOffset, &peOffset)) return false;
  uint32_t peSignature = 0;
  if (!file.U32(peOffset, &peSignature) || peSignature != kPeSignature) return false;
  const size_t coff = size_t{peOffset} + kPeSignatureSize;
  if (!file.Has(coff, kCoffHeaderSize)) return false;
  uint16_t sectionCount = 0;
  uint16_t optionalSize = 0;
  file.U16(coff + kCoffNumberOfSections, &sectionCount);
  file.U16(coff + kCoffSizeOfOptionalHeader, &optionalSize);

  const size_t optional = coff + kCoffHeaderSize;
  if (!file.Has(optional, optionalSize)) return false;
  const Span header = file.Sub(optional, optionalSize);
  uint16_t magic = 0;
  if (!header.U16(0, &magic)) return false;
  size_t countOffset = 0;
  if (magic == kPe32Magic) {
    countOffset = kPe32NumberOfRvaAndSizes;
  } else if (magic == kPe32PlusMagic) {
    countOffset = kPe32PlusNumberOfRvaAndSizes;
  } else {
    return false;
  }
  uint32_t directoryCount = 0;
  if (!header.U32(countOffset, &directoryCount) || directoryCount <= kResourceDirectoryIndex)
    return false;
  const size_t resourceEntry = countOffset + 4 + kResourceDirectoryIndex * kDataDirectorySize;
  if (!header.U32(resourceEntry, &image->resourceRva) || image->resourceRva == 0) return false;

  const size_t table = optional + optionalSize;
  const size_t tableSize = size_t{sectionCount} * kSectionHeaderSize;
  if (!file.Has(table, tableSize)) return false;
  image->sections.table = file.Sub(table, tableSize);
  image->sections.count = sectionCount;
  return true;
}

// The file bytes from an RVA to the end of the raw data of its section.
bool MapRva(const Image& image, uint32_t rva, Span* out) {
  for (uint16_t i = 0; i < image.sections.count; ++i) {
    const Span header =
        image.sections.table.Sub(size_t{i} * kSectionHeaderSize, kSectionHeaderSize);
    uint32_t virtualSize = 0, virtualAddress = 0, rawSize = 0, rawPointer = 0;
    header.U32(kSectionVirtualSize, &virtualSize);
    header.U32(kSectionVirtualAddress, &virtualAddress);
    header.U32(kSectionSizeOfRawData, &rawSize);
    header.U32(kSectionPointerToRawData, &rawPointer);
    // The loader zero-fills past the raw data; those bytes are not in the
    // file, so only the raw part can be read.
    const uint32_t extent = virtualSize > rawSize ? virtualSize : rawSize;
    if (rva < virtualAddress || rva - virtualAddress >= extent) continue;
    const uint32_t delta = rva - virtualAddress;
    if (delta >= rawSize) return false;
    // Compared before adding, so that a 32-bit size_t cannot wrap.
    if (rawPointer >= image.file.size || delta >= image.file.size - rawPointer) return false;
    const size_t offset = size_t{rawPointer} + delta;
    size_t length = rawSize - delta;
    if (length > image.file.size - offset) length = image.file.size - offset;
    *out = image.file.Sub(offset, length);
    return true;
  }
  return false;
}

// One resource directory at offset within the resource data. Finds the entry
// with the given id, or the first entry when id is null. Returns the entry's
// OffsetToData word.
bool FindResourceEntry(Span resources, uint32_t offset, const uint32_t* id, uint32_t* target) {
  if (!resources.Has(offset, kResourceDirectorySize)) return false;
  uint16_t named = 0, ids = 0;
  resources.U16(offset + kResourceNamedEntries, &named);
  resources.U16(offset + kResourceIdEntries, &ids);
  const size_t count = size_t{named} + ids;
  const size_t entries = size_t{offset} + kResourceDirectorySize;
  if (!resources.Has(entries, count * kResourceEntrySize)) return false;
  for (size_t i = 0; i < count; ++i) {
    uint32_t name = 0;
    resources.U32(entries + i * kResourceEntrySize, &name);
    if (id != nullptr && ((name & kResourceNameIsString) != 0 || name != *id)) continue;
    return resources.U32(entries + i * kResourceEntrySize + 4, target);
  }
  return false;
}

bool SubdirectoryOffset(uint32_t target, uint32_t* offset) {
  if ((target & kResourceEntryIsDirectory) == 0) return false;
  *offset = target & ~kResourceEntryIsDirectory;
  return true;
}

bool FindVersionResource(const Image& image, Span* out) {
  Span resources;
  if (!MapRva(image, image.resourceRva, &resources)) return false;
  const uint32_t versionType = kRtVersion;
  uint32_t target = 0, names = 0, languages = 0;
  if (!FindResourceEntry(resources, 0, &versionType, &target) ||
      !SubdirectoryOffset(target, &names))
    return false;
  if (!FindResourceEntry(resources, names, nullptr, &target) ||
      !SubdirectoryOffset(target, &languages))
    return false;
  if (!FindResourceEntry(resources, languages, nullptr, &target)) return false;
  if ((target & kResourceEntryIsDirectory) != 0 || !resources.Has(target, kResourceDataEntrySize))
    return false;
  uint32_t dataRva = 0, dataSize = 0;
  resources.U32(target, &dataRva);
  resources.U32(target + 4, &dataSize);
  Span data;
  if (!MapRva(image, dataRva, &data) || dataSize > data.size) return false;
  *out = data.Sub(0, dataSize);
  return true;
}

bool KeyMatches(Span block, size_t offset) {
  if (!block.Has(offset, kVersionKeyBytes)) return false;
  for (size_t i = 0; i < sizeof(kVersionKey); ++i) {
    if (ReadU16(block.data + offset + 2 * i) != static_cast<uint8_t>(kVersionKey[i])) return false;
  }
  return true;
}

bool ReadFixedFileInfo(Span resource, uint16_t version[4]) {
  uint16_t length = 0, valueLength = 0;
  if (!resource.U16(0, &length) || !resource.U16(2, &valueLength)) return false;
  if (length > resource.size) return false;
  const Span block = resource.Sub(0, length);
  if (!KeyMatches(block, kVersionHeaderSize)) return false;
  const size_t value = (kVersionHeaderSize + kVersionKeyBytes + 3) & ~size_t{3};
  if (valueLength < kFixedFileInfoSize || !block.Has(value, kFixedFileInfoSize)) return false;
  uint32_t signature = 0, ms = 0, ls = 0;
  block.U32(value, &signature);
  block.U32(value + kFixedFileVersionMs, &ms);
  block.U32(value + kFixedFileVersionLs, &ls);
  if (signature != kFixedFileInfoSignature) return false;
  version[0] = static_cast<uint16_t>(ms >> 16);
  version[1] = static_cast<uint16_t>(ms & 0xFFFF);
  version[2] = static_cast<uint16_t>(ls >> 16);
  version[3] = static_cast<uint16_t>(ls & 0xFFFF);
  return true;
}

}  // namespace

bool ReadPeFileVersion(const uint8_t* image, size_t size, uint16_t version[4]) {
  if (image == nullptr || version == nullptr) return false;
  Image parsed;
  if (!ReadHeaders(Span{image, size}, &parsed)) return false;
  Span resource;
  if (!FindVersionResource(parsed, &resource)) return false;
  return ReadFixedFileInfo(resource, version);
}

}  // namespace platform
}  // namespace quenlix
