#include "packetizer.h"

#include <openssl/evp.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "platform/byte_cursor.h"

namespace camsim {
namespace {

// H.264 NAL unit types and FU-A layout.
constexpr uint8_t kNalTypeMask = 0x1F;
constexpr uint8_t kNalNriMask = 0xE0;
constexpr uint8_t kNalSei = 6;
constexpr uint8_t kNalSps = 7;
constexpr uint8_t kNalPps = 8;
constexpr uint8_t kNalAud = 9;
constexpr uint8_t kFuA = 28;
constexpr uint8_t kFuStart = 0x80;
constexpr uint8_t kFuEnd = 0x40;
constexpr size_t kFuAHeaderSize = 2;

// JPEG markers and the RTP JPEG headers.
constexpr uint8_t kSoi = 0xD8;
constexpr uint8_t kEoi = 0xD9;
constexpr uint8_t kSof0 = 0xC0;
constexpr uint8_t kDqt = 0xDB;
constexpr uint8_t kDri = 0xDD;
constexpr uint8_t kSos = 0xDA;
constexpr size_t kMarkerSize = 2;
constexpr size_t kSegmentLengthSize = 2;
constexpr size_t kJpegHeaderSize = 8;
constexpr uint8_t kTypeRestartFlag = 64;
// Restart header: first and last bit set, count 0x3FFF: whole scans.
constexpr uint16_t kWholeScans = 0xFFFF;
constexpr uint8_t kQInBand = 255;
constexpr size_t kTableSize = 64;

// MPEG-4 Visual start codes (after 00 00 01).
constexpr uint8_t kVisualObjectSequence = 0xB0;
constexpr uint8_t kVop = 0xB6;

using quenlix::ByteReader;
using quenlix::ByteWriter;

bool ReadFile(const std::string& path, Bytes* data) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  data->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

bool EndsWith(const std::string& text, const char* suffix) {
  const std::string s(suffix);
  return text.size() >= s.size() && text.compare(text.size() - s.size(), s.size(), s) == 0;
}

// Offsets of every 00 00 01 start code prefix.
std::vector<size_t> StartCodes(const Bytes& data) {
  std::vector<size_t> at;
  for (size_t i = 0; i + 3 <= data.size(); ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
      at.push_back(i);
      i += 2;
    }
  }
  return at;
}

bool IsVcl(uint8_t type) { return type >= 1 && type <= 5; }

std::vector<std::vector<Bytes>> GroupAccessUnits(const std::vector<Bytes>& nals) {
  std::vector<std::vector<Bytes>> units;
  std::vector<Bytes> current;
  bool seenVcl = false;
  for (const Bytes& nal : nals) {
    const uint8_t type = nal[0] & kNalTypeMask;
    bool startsNew = false;
    if (type == kNalAud || type == kNalSps || type == kNalPps || type == kNalSei)
      startsNew = seenVcl;
    // first_mb_in_slice is ue(v) 0, a single 1 bit, in the first slice of a picture.
    if (IsVcl(type)) startsNew = seenVcl && nal.size() > 1 && (nal[1] & 0x80) != 0;
    if (startsNew) {
      units.push_back(std::move(current));
      current.clear();
      seenVcl = false;
    }
    if (type == kNalAud) continue;
    current.push_back(nal);
    if (IsVcl(type)) seenVcl = true;
  }
  if (!current.empty()) units.push_back(std::move(current));
  return units;
}

std::string HexText(const Bytes& bytes) {
  std::string hex;
  char digits[3];
  for (uint8_t b : bytes) {
    std::snprintf(digits, sizeof digits, "%02x", b);
    hex += digits;
  }
  return hex;
}

bool LoadH264(const Bytes& data, size_t mtu, Clip* clip, std::string* error) {
  const std::vector<Bytes> nals = SplitAnnexB(data);
  Bytes sps, pps;
  for (const Bytes& nal : nals) {
    const uint8_t type = nal[0] & kNalTypeMask;
    if (type == kNalSps && sps.empty()) sps = nal;
    if (type == kNalPps && pps.empty()) pps = nal;
  }
  if (sps.size() < 4 || pps.empty()) {
    *error = "no parameter sets in the H.264 clip";
    return false;
  }
  clip->codec = ClipCodec::kH264;
  clip->payloadType = 96;
  for (const auto& unit : GroupAccessUnits(nals))
    clip->frames.push_back({PacketizeH264AccessUnit(unit, mtu)});
  char profile[7];
  std::snprintf(profile, sizeof profile, "%02x%02x%02x", sps[1], sps[2], sps[3]);
  clip->sdpAttributes =
      "a=rtpmap:96 H264/90000\r\n"
      "a=fmtp:96 packetization-mode=1;profile-level-id=" +
      std::string(profile) + ";sprop-parameter-sets=" + Base64(sps) + "," + Base64(pps) + "\r\n";
  return true;
}

// Natural-order base tables of the RTP JPEG format, to match a picture's
// own tables to a Q value.
constexpr uint8_t kLumaBase[kTableSize] = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
constexpr uint8_t kChromaBase[kTableSize] = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99, 99,
    99, 99, 47, 66, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};
constexpr uint8_t kZigzag[kTableSize] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

Bytes ScaledTable(const uint8_t* base, int q) {
  const int s = q < 50 ? 5000 / q : 200 - 2 * q;
  Bytes table(kTableSize);
  for (size_t k = 0; k < kTableSize; ++k) {
    int v = (base[kZigzag[k]] * s + 50) / 100;
    table[k] = uint8_t(v < 1 ? 1 : v > 255 ? 255 : v);
  }
  return table;
}

// Q 1..99 whose tables equal the picture's, or kQInBand.
uint8_t MatchQ(const Bytes& luma, const Bytes& chroma) {
  for (int q = 1; q < 100; ++q) {
    if (ScaledTable(kLumaBase, q) == luma && ScaledTable(kChromaBase, q) == chroma)
      return uint8_t(q);
  }
  return kQInBand;
}

std::vector<Bytes> SplitJpegPictures(const Bytes& data) {
  std::vector<Bytes> pictures;
  size_t start = std::string::npos;
  for (size_t i = 0; i + 1 < data.size(); ++i) {
    if (data[i] != 0xFF) continue;
    if (data[i + 1] == kSoi && start == std::string::npos) start = i;
    if (data[i + 1] == kEoi && start != std::string::npos) {
      pictures.emplace_back(data.begin() + long(start), data.begin() + long(i + 2));
      start = std::string::npos;
    }
  }
  return pictures;
}

bool LoadJpeg(const Bytes& data, size_t mtu, Clip* clip, std::string* error) {
  clip->codec = ClipCodec::kJpeg;
  clip->payloadType = 26;
  for (const Bytes& picture : SplitJpegPictures(data)) {
    ClipFrame frame;
    if (!PacketizeJpeg(picture, mtu, &frame.packets)) {
      *error = "unsupported JPEG picture in the clip";
      return false;
    }
    clip->frames.push_back(std::move(frame));
  }
  clip->sdpAttributes = "a=rtpmap:26 JPEG/90000\r\n";
  return !clip->frames.empty();
}

// Frames begin at the first start code after the previous VOP, so that the
// configuration headers travel with the VOP they precede.
std::vector<Bytes> SplitMpeg4Frames(const Bytes& data, Bytes* config) {
  std::vector<Bytes> frames;
  const std::vector<size_t> codes = StartCodes(data);
  size_t frameStart = 0;
  bool haveVop = false;
  for (size_t at : codes) {
    if (at + 3 >= data.size()) break;
    const uint8_t code = data[at + 3];
    if (haveVop && at > frameStart) {
      frames.emplace_back(data.begin() + long(frameStart), data.begin() + long(at));
      frameStart = at;
      haveVop = false;
    }
    if (code == kVop) {
      if (frames.empty() && config->empty()) config->assign(data.begin(), data.begin() + long(at));
      haveVop = true;
    }
  }
  if (haveVop) frames.emplace_back(data.begin() + long(frameStart), data.end());
  return frames;
}

bool LoadMpeg4(const Bytes& data, size_t mtu, Clip* clip, std::string* error) {
  Bytes config;
  const std::vector<Bytes> frames = SplitMpeg4Frames(data, &config);
  if (frames.empty() || config.empty()) {
    *error = "no VOPs or configuration in the MPEG-4 clip";
    return false;
  }
  clip->codec = ClipCodec::kMpeg4;
  clip->payloadType = 96;
  for (const Bytes& f : frames) clip->frames.push_back({PacketizeMpeg4Frame(f, mtu)});
  unsigned profile = 1;
  if (config.size() > 4 && config[3] == kVisualObjectSequence) profile = config[4];
  clip->sdpAttributes =
      "a=rtpmap:96 MP4V-ES/90000\r\na=fmtp:96 profile-level-id=" + std::to_string(profile) +
      ";config=" + HexText(config) + "\r\n";
  return true;
}

}  // namespace

std::string Base64(const Bytes& bytes) {
  std::vector<unsigned char> out(4 * ((bytes.size() + 2) / 3) + 1);
  const int n = EVP_EncodeBlock(out.data(), bytes.data(), int(bytes.size()));
  return std::string(reinterpret_cast<char*>(out.data()), size_t(n));
}

std::vector<Bytes> SplitAnnexB(const Bytes& stream) {
  std::vector<Bytes> nals;
  const std::vector<size_t> codes = StartCodes(stream);
  for (size_t i = 0; i < codes.size(); ++i) {
    const size_t begin = codes[i] + 3;
    size_t end = i + 1 < codes.size() ? codes[i + 1] : stream.size();
    // A four-byte start code leaves a zero in front of the next prefix.
    while (end > begin && stream[end - 1] == 0) --end;
    if (end > begin) nals.emplace_back(stream.begin() + long(begin), stream.begin() + long(end));
  }
  return nals;
}

std::vector<RtpPayload> PacketizeH264AccessUnit(const std::vector<Bytes>& nalUnits, size_t mtu) {
  std::vector<RtpPayload> packets;
  for (const Bytes& nal : nalUnits) {
    if (nal.size() <= mtu) {
      packets.push_back({nal, false});
      continue;
    }
    const size_t chunk = mtu - kFuAHeaderSize;
    for (size_t offset = 1; offset < nal.size(); offset += chunk) {
      const size_t take = std::min(chunk, nal.size() - offset);
      RtpPayload p;
      p.bytes.push_back(uint8_t((nal[0] & kNalNriMask) | kFuA));
      uint8_t header = nal[0] & kNalTypeMask;
      if (offset == 1) header |= kFuStart;
      if (offset + take == nal.size()) header |= kFuEnd;
      p.bytes.push_back(header);
      p.bytes.insert(p.bytes.end(), nal.begin() + long(offset), nal.begin() + long(offset + take));
      packets.push_back(std::move(p));
    }
  }
  if (!packets.empty()) packets.back().marker = true;
  return packets;
}

bool PacketizeJpeg(const Bytes& picture, size_t mtu, std::vector<RtpPayload>* packets) {
  if (picture.size() < 4 || picture[0] != 0xFF || picture[1] != kSoi) return false;
  Bytes tables[4];
  uint16_t width = 0, height = 0, restartInterval = 0;
  int type = -1;
  int lumaTable = 0, chromaTable = 1;
  size_t scanStart = 0;
  ByteReader in(picture.data() + kMarkerSize, picture.size() - kMarkerSize);  // after the SOI
  while (in.Remaining() >= kMarkerSize + kSegmentLengthSize) {
    if (in.U8() != 0xFF) return false;
    uint8_t marker = in.U8();
    while (marker == 0xFF) marker = in.U8();  // fill bytes
    const size_t length = in.U16();
    if (length < kSegmentLengthSize) return false;
    ByteReader seg(in.Take(length - kSegmentLengthSize), length - kSegmentLengthSize);
    if (!in.ok()) return false;
    if (marker == kDqt) {
      while (seg.Remaining() >= 1 + kTableSize) {
        const uint8_t precisionAndId = seg.U8();
        if (precisionAndId >> 4 != 0) return false;  // 16-bit tables are not carried
        const uint8_t* table = seg.Take(kTableSize);
        tables[precisionAndId & 3].assign(table, table + kTableSize);
      }
    } else if (marker == kSof0) {
      seg.Skip(1);  // sample precision
      height = seg.U16();
      width = seg.U16();
      const uint8_t components = seg.U8();
      // Each component: id, sampling factors, quantization table.
      uint8_t sampling[3] = {};
      uint8_t table[3] = {};
      for (int c = 0; c < 3; ++c) {
        seg.Skip(1);
        sampling[c] = seg.U8();
        table[c] = seg.U8() & 3;
      }
      if (!seg.ok() || components != 3) return false;
      // Only the two layouts the RTP format names: Y 2x1 or 2x2, each
      // chroma component 1x1.
      if (sampling[1] != 0x11 || sampling[2] != 0x11) return false;
      if (sampling[0] == 0x21) type = 0;
      if (sampling[0] == 0x22) type = 1;
      lumaTable = table[0];
      chromaTable = table[1];
    } else if (marker == kDri) {
      restartInterval = seg.U16();
      if (!seg.ok()) return false;
    } else if (marker == kSos) {
      scanStart = kMarkerSize + in.Offset();
      break;
    }
  }
  if (type < 0 || scanStart == 0 || width == 0 || height == 0 || width > 2040 || height > 2040)
    return false;
  const Bytes& luma = tables[lumaTable];
  const Bytes& chroma = tables[chromaTable];
  if (luma.empty() || chroma.empty()) return false;
  const size_t scanEnd = picture.size() - 2;  // the picture ends with its EOI
  const uint8_t q = MatchQ(luma, chroma);

  for (size_t offset = scanStart; offset < scanEnd || packets->empty();) {
    RtpPayload p;
    const size_t fragment = offset - scanStart;
    ByteWriter out(&p.bytes);
    out.U8(0).U24(uint32_t(fragment)).U8(uint8_t(type + (restartInterval ? kTypeRestartFlag : 0)));
    out.U8(q).U8(uint8_t(width / 8)).U8(uint8_t(height / 8));
    if (restartInterval) out.U16(restartInterval).U16(kWholeScans);
    if (fragment == 0 && q == kQInBand) out.U16(0).U16(2 * kTableSize).Bytes(luma).Bytes(chroma);
    if (p.bytes.size() >= mtu) return false;
    const size_t take = std::min(mtu - p.bytes.size(), scanEnd - offset);
    p.bytes.insert(p.bytes.end(), picture.begin() + long(offset),
                   picture.begin() + long(offset + take));
    offset += take;
    p.marker = offset >= scanEnd;
    packets->push_back(std::move(p));
    if (take == 0) break;
  }
  return true;
}

std::vector<RtpPayload> PacketizeMpeg4Frame(const Bytes& frame, size_t mtu) {
  std::vector<RtpPayload> packets;
  for (size_t offset = 0; offset < frame.size(); offset += mtu) {
    const size_t take = std::min(mtu, frame.size() - offset);
    packets.push_back(
        {Bytes(frame.begin() + long(offset), frame.begin() + long(offset + take)), false});
  }
  if (!packets.empty()) packets.back().marker = true;
  return packets;
}

bool LoadClip(const std::string& path, size_t mtu, Clip* clip, std::string* error) {
  Bytes data;
  if (!ReadFile(path, &data) || data.empty()) {
    *error = "cannot read clip " + path;
    return false;
  }
  *clip = Clip();
  if (EndsWith(path, ".h264") || EndsWith(path, ".264")) return LoadH264(data, mtu, clip, error);
  if (EndsWith(path, ".mjpeg") || EndsWith(path, ".jpg")) return LoadJpeg(data, mtu, clip, error);
  if (EndsWith(path, ".m4v")) return LoadMpeg4(data, mtu, clip, error);
  *error = "unknown clip type " + path;
  return false;
}

namespace {

// A delimiter for any picture type, and a recovery-point SEI (frame count 0,
// exact match): what encoders put before an access unit's parameter sets.
const Bytes kAud = {0x09, 0xF0};
const Bytes kRecoverySei = {0x06, 0x06, 0x01, 0xC4, 0x80};
constexpr size_t kJpegRestartHeaderSize = 4;
constexpr size_t kQuantHeaderSize = 4;
constexpr size_t kQuantLengthOffset = 2;
constexpr size_t kQOffset = 5;

void RemoveParameter(std::string* line, const std::string& key) {
  const size_t at = line->find(key + "=");
  if (at == std::string::npos) return;
  size_t end = line->find_first_of(";\r\n", at);
  if (end != std::string::npos && (*line)[end] == ';') ++end;
  line->erase(at, end == std::string::npos ? std::string::npos : end - at);
  // A trailing separator left behind.
  const size_t cr = line->find("\r\n");
  if (cr != std::string::npos && cr > 0 && (*line)[cr - 1] == ';') line->erase(cr - 1, 1);
}

// The first packet of a JPEG frame with its tables in band: Q 255, then one
// table where both are equal and oneTable asks for it, else both.
void PutTablesInBand(Bytes* payload, bool oneTable) {
  Bytes& p = *payload;
  if (p.size() < kJpegHeaderSize) return;
  size_t at = kJpegHeaderSize;
  if ((p[4] & kTypeRestartFlag) != 0) at += kJpegRestartHeaderSize;
  if (p.size() < at) return;
  Bytes luma, chroma;
  size_t scan = at;
  const uint8_t q = p[kQOffset];
  if (q < 128) {
    luma = ScaledTable(kLumaBase, q);
    chroma = ScaledTable(kChromaBase, q);
  } else {
    ByteReader in(p.data() + at, p.size() - at);
    in.Skip(kQuantLengthOffset);
    const size_t length = in.U16();
    const uint8_t* tables = in.Take(length);
    if (length < 2 * kTableSize || tables == nullptr) return;
    luma.assign(tables, tables + kTableSize);
    chroma.assign(tables + kTableSize, tables + 2 * kTableSize);
    scan = at + kQuantHeaderSize + length;
  }
  const bool one = oneTable && luma == chroma;
  Bytes out(p.begin(), p.begin() + long(at));
  out[kQOffset] = kQInBand;
  ByteWriter tables(&out);
  tables.U16(0).U16(uint16_t(one ? kTableSize : 2 * kTableSize)).Bytes(luma);
  if (!one) tables.Bytes(chroma);
  out.insert(out.end(), p.begin() + long(scan), p.end());
  p.swap(out);
}

}  // namespace

void ApplyPeerHabits(const PeerHabits& habits, Clip* clip) {
  if (clip->codec == ClipCodec::kH264 && habits.audAndSei) {
    for (ClipFrame& frame : clip->frames) {
      frame.packets.insert(frame.packets.begin(),
                           {RtpPayload{kAud, false}, RtpPayload{kRecoverySei, false}});
    }
  }
  if (clip->codec == ClipCodec::kJpeg && (habits.jpegTablesInBand || habits.jpegOneTable)) {
    for (ClipFrame& frame : clip->frames) {
      if (!frame.packets.empty()) PutTablesInBand(&frame.packets[0].bytes, habits.jpegOneTable);
    }
  }
  std::string& sdp = clip->sdpAttributes;
  if (habits.noSpropParameterSets) RemoveParameter(&sdp, "sprop-parameter-sets");
  if (habits.peerSdpOrder) {
    // The parameter sets moved in front of the other fmtp parameters.
    const size_t at = sdp.find("sprop-parameter-sets=");
    if (at != std::string::npos) {
      const size_t end = sdp.find_first_of(";\r\n", at);
      const std::string sets = sdp.substr(at, end - at);
      RemoveParameter(&sdp, "sprop-parameter-sets");
      const size_t blank = sdp.find(' ', sdp.find("a=fmtp:"));
      sdp.insert(blank + 1, sets + ";");
    }
    sdp = "c=IN IP4 0.0.0.0\r\nb=AS:2000\r\n" + sdp;
  }
}

}  // namespace camsim
