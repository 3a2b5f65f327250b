#include "media/mpeg4_rtp_media_parser.h"

#include "media/sample_contract.h"

namespace quenlix {

namespace {

constexpr char kHeaderLibrary[] = "Kelvardec.dll";
constexpr char kHeaderExport[] = "ParseMpegHeader";
// The same export under its decorated standard-call name.
constexpr char kHeaderExportDecorated[] = "_ParseMpegHeader@16";

constexpr size_t kStartCodeSize = 4;
constexpr uint8_t kVisualObjectSequenceStart = 0xB0;
constexpr uint8_t kVopStart = 0xB6;
constexpr uint8_t kVopCodingTypeMask = 0xC0;
constexpr uint8_t kIntraVop = 0x00;
constexpr size_t kMaxFrameSize = 512000;

bool IsStartCode(const uint8_t* p, uint8_t code) {
  return p[0] == 0 && p[1] == 0 && p[2] == 1 && p[3] == code;
}

}  // namespace

CMpeg4RTPMediaParser::CMpeg4RTPMediaParser(IDriver* driver, const char* sourceName)
    : CRTPMediaParser(driver, sourceName) {
  libraryModule = platform::LoadLibraryByName(kHeaderLibrary);
  if (libraryModule == nullptr) return;
  void* symbol = platform::GetLibrarySymbol(libraryModule, kHeaderExport);
  if (symbol == nullptr) symbol = platform::GetLibrarySymbol(libraryModule, kHeaderExportDecorated);
  parseHeader = reinterpret_cast<ParseMpegHeaderFn>(symbol);
}

CMpeg4RTPMediaParser::CMpeg4RTPMediaParser(IDriver* driver, const char* sourceName,
                                           ParseMpegHeaderFn reader)
    : CRTPMediaParser(driver, sourceName), parseHeader(reader) {}

CMpeg4RTPMediaParser::~CMpeg4RTPMediaParser() {
  if (libraryModule != nullptr) platform::FreeLibrary(libraryModule);
}

void CMpeg4RTPMediaParser::Reset() {
  Discard();
  keyFrame = false;
  width = 0;
  height = 0;
  config.clear();
  timeConverter.Reset();
  ResetSequence();
}

void CMpeg4RTPMediaParser::HandlePacket(const RTPPacket& packet, bool afterGap) {
  try {
    // Later VOPs refer to the lost one: wait for the next intra VOP.
    if (afterGap) Drop(kDropSequenceGap);
    const uint8_t* p = nullptr;
    size_t n = 0;
    if (!PayloadOf(packet, &p, &n)) return Drop(kDropMalformed);
    size_t k = 0;
    if (n > kStartCodeSize) {
      if (IsStartCode(p, kVisualObjectSequenceStart)) {
        for (size_t j = kStartCodeSize; j + kStartCodeSize <= n; ++j) {
          if (IsStartCode(p + j, kVopStart)) {
            config.assign(p, p + j);
            k = j;
            break;
          }
        }
      }
      if (k + kStartCodeSize <= n && IsStartCode(p + k, kVopStart)) {
        frame.clear();
        // The coding type may lie in the next packet; unknown counts as not intra.
        const bool intra =
            k + kStartCodeSize < n && (p[k + kStartCodeSize] & kVopCodingTypeMask) == kIntraVop;
        if (intra) {
          frame.insert(frame.end(), config.begin(), config.end());
          discarding = false;
        }
        keyFrame = intra;
      }
    }
    if (discarding) {
      CountDrop(kDropNoKeyFrame);
      return;
    }
    frame.insert(frame.end(), p + k, p + n);
    if (frame.size() > kMaxFrameSize) return Drop(kDropOversize);
    if (packet.marker) {
      EmitFrame(packet.timestamp);
      frame.clear();
    }
  } catch (...) {
    Discard();
  }
}

void CMpeg4RTPMediaParser::EmitFrame(uint32_t rtpTime) {
  if (frame.empty() || !CanDeliver()) return;
  timeConverter.Update(rtpTime);
  const uint32_t length = uint32_t(frame.size());

  uint32_t type = kTypeDIVI;
  if (keyFrame) {
    uint32_t w = 0;
    uint32_t h = 0;
    if (parseHeader == nullptr || parseHeader(frame.data(), length, &w, &h) <= 0) {
      return Drop(kDropNoParameterSets);
    }
    width = w;
    height = h;
    type = kTypeDIVX;
  }
  Deliver(type, Mpeg4Capacity(length));
}

}  // namespace quenlix
