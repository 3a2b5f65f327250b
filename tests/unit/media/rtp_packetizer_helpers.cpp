#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <utility>

#include "rtp_packetizer.h"

namespace quenlix {
namespace test {

namespace {

const uint8_t kSc[] = {0, 0, 1};

void Put(Bytes* b, const uint8_t* p, size_t n) { b->insert(b->end(), p, p + n); }
void Put(Bytes* b, const Bytes& x) { b->insert(b->end(), x.begin(), x.end()); }

// Names of this process only: test runs of several build trees share /tmp.
std::string TempFile(const std::string& tag, const char* extension) {
  static const std::string kRun = std::to_string(std::random_device{}());
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir != nullptr ? dir : "/tmp") + "/quenlix_media_" + kRun + "_" + tag +
         extension;
}

}  // namespace

RTPPacket ToRtp(const TestPacket& packet) {
  RTPPacket r;
  r.sequenceNumber = packet.sequenceNumber;
  r.timestamp = packet.timestamp;
  r.marker = packet.marker;
  r.padding = packet.padding;
  r.payload = packet.payload.data();
  r.payloadLength = uint32_t(packet.payload.size());
  return r;
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteFile(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
  return bool(out);
}

std::string MediaPath(const std::string& name) {
  return std::string(QUENLIX_MEDIA_DIR) + "/" + name;
}

void Number(std::vector<TestPacket>* packets, uint16_t first) {
  for (TestPacket& p : *packets) p.sequenceNumber = first++;
}

Bytes DecodeWithFfmpeg(const Bytes& picture, const std::string& inputFormat,
                       const std::string& tag) {
  const std::string in = TempFile(tag, ".in");
  const std::string out = TempFile(tag, ".yuv");
  if (!WriteFile(in, picture)) return {};
  std::remove(out.c_str());
  const std::string cmd = "ffmpeg -nostdin -hide_banner -loglevel error -y -f " + inputFormat +
                          " -i " + in + " -f rawvideo -pix_fmt yuv444p " + out;
  if (std::system(cmd.c_str()) != 0) return {};
  Bytes planes = ReadFile(out);
  std::remove(in.c_str());
  std::remove(out.c_str());
  return planes;
}

std::string ProbeSize(const Bytes& stream, const std::string& tag) {
  const std::string in = TempFile(tag, ".h264");
  if (!WriteFile(in, stream)) return "";
  const std::string cmd =
      "ffprobe -v error -f h264 -count_frames -select_streams v:0 -show_entries "
      "stream=width,height,nb_read_frames -of csv=p=0:s=x " +
      in;
  std::string result;
  if (FILE* pipe = popen(cmd.c_str(), "r")) {
    char line[128];
    while (std::fgets(line, sizeof line, pipe) != nullptr) result += line;
    pclose(pipe);
  }
  std::remove(in.c_str());
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r')) result.pop_back();
  return result;
}

#if QUENLIX_TEST_WITH_CAMSIM
void Append(const std::vector<camsim::RtpPayload>& payloads, uint32_t timestamp,
            std::vector<TestPacket>* out) {
  for (const camsim::RtpPayload& payload : payloads) {
    TestPacket p;
    p.payload = payload.bytes;
    p.marker = payload.marker;
    p.timestamp = timestamp;
    out->push_back(std::move(p));
  }
}

std::vector<Bytes> FrameBytes(const camsim::Clip& clip) {
  std::vector<Bytes> frames;
  for (const camsim::ClipFrame& frame : clip.frames) {
    frames.emplace_back();
    for (const camsim::RtpPayload& p : frame.packets) Put(&frames.back(), p.bytes);
  }
  return frames;
}

bool IsVcl(uint8_t type) { return type >= 1 && type <= 5; }

std::vector<std::vector<Bytes>> GroupAccessUnits(const std::vector<Bytes>& nals) {
  std::vector<std::vector<Bytes>> units;
  bool sawVcl = false;
  for (const Bytes& nal : nals) {
    const uint8_t type = nal[0] & 0x1F;
    // first_mb_in_slice 0 codes as a single 1 bit.
    const bool newPicture = IsVcl(type) && nal.size() > 1 && (nal[1] & 0x80);
    if (units.empty() || (sawVcl && (!IsVcl(type) || newPicture))) {
      units.emplace_back();
      sawVcl = false;
    }
    units.back().push_back(nal);
    sawVcl = sawVcl || IsVcl(type);
  }
  return units;
}

namespace {

constexpr uint8_t kFuA = 28;
constexpr uint8_t kStapA = 24;

// Runs of whole NAL units that fit one packet together go as one STAP-A.
std::vector<camsim::RtpPayload> AggregateStapA(const std::vector<camsim::RtpPayload>& in,
                                               size_t mtu) {
  std::vector<camsim::RtpPayload> out;
  for (size_t i = 0; i < in.size();) {
    size_t size = 1;
    size_t j = i;
    while (j < in.size() && (in[j].bytes[0] & 0x1F) != kFuA &&
           size + 2 + in[j].bytes.size() <= mtu) {
      size += 2 + in[j++].bytes.size();
    }
    if (j - i < 2) {
      out.push_back(in[i++]);
      continue;
    }
    camsim::RtpPayload p;
    uint8_t nri = 0;
    for (size_t k = i; k < j; ++k) nri = std::max<uint8_t>(nri, in[k].bytes[0] & 0x60);
    p.bytes.push_back(uint8_t(nri | kStapA));
    for (size_t k = i; k < j; ++k) {
      p.bytes.push_back(uint8_t(in[k].bytes.size() >> 8));
      p.bytes.push_back(uint8_t(in[k].bytes.size()));
      Put(&p.bytes, in[k].bytes);
    }
    p.marker = in[j - 1].marker;
    out.push_back(std::move(p));
    i = j;
  }
  return out;
}

}  // namespace

Bytes H264Packetizer::Packetize(const std::vector<Bytes>& au, uint32_t ts,
                                std::vector<TestPacket>* out) const {
  std::vector<camsim::RtpPayload> payloads = camsim::PacketizeH264AccessUnit(au, mtu);
  if (stapA) payloads = AggregateStapA(payloads, mtu);
  Append(payloads, ts, out);
  // The depacketizer puts its sets before a picture's first fragmented
  // slice, unless the access unit brought its own.
  Bytes expected;
  bool setsPut = false;
  bool hasSps = false;
  for (const Bytes& nal : au) {
    const uint8_t type = nal[0] & 0x1F;
    if (nal.size() > mtu && type == 5 && !hasSps && !setsPut) {
      setsPut = true;
      Put(&expected, kSc, 3);
      Put(&expected, sps);
      Put(&expected, kSc, 3);
      Put(&expected, pps);
    }
    hasSps = hasSps || type == 7;
    Put(&expected, kSc, 3);
    Put(&expected, nal);
  }
  static const uint8_t kTrailer[] = {0, 0, 1, 9, 0x30};
  Put(&expected, kTrailer, sizeof kTrailer);
  return expected;
}

std::vector<Bytes> SplitJpegs(const Bytes& s) {
  std::vector<Bytes> pictures;
  size_t start = std::string::npos;
  for (size_t i = 0; i + 1 < s.size(); ++i) {
    if (s[i] != 0xFF) continue;
    if (s[i + 1] == 0xD8 && start == std::string::npos) start = i;
    if (s[i + 1] == 0xD9 && start != std::string::npos) {
      pictures.emplace_back(s.begin() + long(start), s.begin() + long(i + 2));
      start = std::string::npos;
    }
  }
  return pictures;
}

bool PacketizeJpeg(const Bytes& picture, uint8_t q, size_t mtu, uint32_t ts,
                   std::vector<TestPacket>* out) {
  constexpr size_t kQOffset = 5;
  constexpr uint8_t kQInBand = 255;
  std::vector<camsim::RtpPayload> payloads;
  if (!camsim::PacketizeJpeg(picture, mtu, &payloads)) return false;
  for (camsim::RtpPayload& p : payloads) {
    if (q >= 128 && p.bytes[kQOffset] == kQInBand) p.bytes[kQOffset] = q;
  }
  Append(payloads, ts, out);
  return true;
}
#endif

}  // namespace test
}  // namespace quenlix
