#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "rtp_packetizer.h"

namespace quenlix {
namespace test {

namespace {

const uint8_t kSc[] = {0, 0, 1};

void Put(Bytes* b, const uint8_t* p, size_t n) { b->insert(b->end(), p, p + n); }
void Put(Bytes* b, const Bytes& x) { b->insert(b->end(), x.begin(), x.end()); }

bool IsVcl(uint8_t type) { return type >= 1 && type <= 5; }

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

std::vector<Bytes> SplitAnnexB(const Bytes& s) {
  std::vector<Bytes> nals;
  size_t start = std::string::npos;
  for (size_t i = 0; i + 2 < s.size(); ++i) {
    if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
      if (start != std::string::npos) {
        size_t end = i;
        while (end > start && s[end - 1] == 0) --end;  // a 4-byte start code's zero
        nals.emplace_back(s.begin() + long(start), s.begin() + long(end));
      }
      start = i + 3;
      i += 2;
    }
  }
  if (start != std::string::npos && start < s.size())
    nals.emplace_back(s.begin() + long(start), s.end());
  return nals;
}

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

Bytes H264Packetizer::Packetize(const std::vector<Bytes>& au, uint32_t ts,
                                std::vector<TestPacket>* out) const {
  Bytes expected;
  bool setsPut = false;
  const size_t first = out->size();
  for (size_t i = 0; i < au.size();) {
    const Bytes& nal = au[i];
    // Aggregate a run of small units that fit one packet together.
    if (stapA) {
      size_t size = 1;
      size_t j = i;
      while (j < au.size() && size + 2 + au[j].size() <= mtu) size += 2 + au[j++].size();
      if (j - i >= 2) {
        TestPacket p;
        p.timestamp = ts;
        uint8_t nri = 0;
        for (size_t k = i; k < j; ++k) nri = std::max<uint8_t>(nri, au[k][0] & 0x60);
        p.payload.push_back(uint8_t(nri | 24));
        for (size_t k = i; k < j; ++k) {
          p.payload.push_back(uint8_t(au[k].size() >> 8));
          p.payload.push_back(uint8_t(au[k].size()));
          Put(&p.payload, au[k]);
          Put(&expected, kSc, 3);
          Put(&expected, au[k]);
        }
        out->push_back(std::move(p));
        i = j;
        continue;
      }
    }
    if (nal.size() <= mtu) {
      TestPacket p;
      p.timestamp = ts;
      p.payload = nal;
      out->push_back(std::move(p));
      Put(&expected, kSc, 3);
      Put(&expected, nal);
      ++i;
      continue;
    }
    const uint8_t type = nal[0] & 0x1F;
    // The depacketizer puts its sets before a picture's first fragmented
    // slice, unless the access unit brought its own.
    bool hasSps = false;
    for (size_t k = 0; k < i; ++k) hasSps = hasSps || (au[k][0] & 0x1F) == 7;
    if (type == 5 && !hasSps && !setsPut) {
      setsPut = true;
      Put(&expected, kSc, 3);
      Put(&expected, sps);
      Put(&expected, kSc, 3);
      Put(&expected, pps);
    }
    Put(&expected, kSc, 3);
    Put(&expected, nal);
    const size_t chunk = mtu - 2;
    for (size_t at = 1; at < nal.size(); at += chunk) {
      const size_t n = std::min(chunk, nal.size() - at);
      TestPacket p;
      p.timestamp = ts;
      p.payload.push_back(uint8_t((nal[0] & 0xE0) | 28));
      uint8_t header = type;
      if (at == 1) header |= 0x80;
      if (at + n == nal.size()) header |= 0x40;
      p.payload.push_back(header);
      Put(&p.payload, nal.data() + at, n);
      out->push_back(std::move(p));
    }
    ++i;
  }
  if (out->size() > first) out->back().marker = true;
  static const uint8_t kTrailer[] = {0, 0, 1, 9, 0x30};
  Put(&expected, kTrailer, sizeof kTrailer);
  return expected;
}

std::vector<Bytes> SplitMpeg4Frames(const Bytes& s) {
  std::vector<Bytes> frames;
  size_t start = 0;
  bool sawVop = false;
  for (size_t i = 0; i + 3 < s.size(); ++i) {
    if (s[i] != 0 || s[i + 1] != 0 || s[i + 2] != 1) continue;
    const uint8_t code = s[i + 3];
    const bool frameStart = code == 0xB0 || code == 0xB3 || code == 0xB6;
    if (sawVop && frameStart) {
      frames.emplace_back(s.begin() + long(start), s.begin() + long(i));
      start = i;
      sawVop = false;
    }
    if (code == 0xB6) sawVop = true;
  }
  if (start < s.size()) frames.emplace_back(s.begin() + long(start), s.end());
  return frames;
}

void PacketizeFrame(const Bytes& frame, size_t mtu, uint32_t ts, std::vector<TestPacket>* out) {
  for (size_t at = 0; at < frame.size(); at += mtu) {
    TestPacket p;
    p.timestamp = ts;
    p.payload.assign(frame.begin() + long(at),
                     frame.begin() + long(std::min(frame.size(), at + mtu)));
    p.marker = at + mtu >= frame.size();
    out->push_back(std::move(p));
  }
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

bool ParseJpeg(const Bytes& j, JpegPicture* pic) {
  if (j.size() < 4 || j[0] != 0xFF || j[1] != 0xD8) return false;
  size_t at = 2;
  int tables = 0;
  while (at + 4 <= j.size()) {
    if (j[at] != 0xFF) return false;
    const uint8_t code = j[at + 1];
    const size_t len = size_t(j[at + 2]) << 8 | j[at + 3];
    const uint8_t* body = &j[at + 4];
    if (at + 2 + len > j.size()) return false;
    if (code == 0xDB) {
      for (size_t k = 0; k + 65 <= len - 2; k += 65) {
        uint8_t* t = (body[k] & 0x0F) == 0 ? pic->luma : pic->chroma;
        std::copy(body + k + 1, body + k + 65, t);
        ++tables;
      }
    } else if (code == 0xC0) {
      pic->height = uint32_t(body[1]) << 8 | body[2];
      pic->width = uint32_t(body[3]) << 8 | body[4];
      // Only what the RTP format can describe: 2x1 or 2x2 luma, 1x1 chroma.
      if (len < 17 || body[5] != 3 || (body[7] != 0x21 && body[7] != 0x22)) return false;
      if (body[10] != 0x11 || body[13] != 0x11) return false;
      pic->twoByOne = body[7] == 0x21;
    } else if (code == 0xDD) {
      pic->restartInterval = uint16_t(body[0] << 8 | body[1]);
    } else if (code == 0xDA) {
      const size_t scanStart = at + 2 + len;
      size_t end = j.size();
      if (end >= 2 && j[end - 2] == 0xFF && j[end - 1] == 0xD9) end -= 2;
      pic->scan.assign(j.begin() + long(scanStart), j.begin() + long(end));
      if (tables == 1) std::copy(pic->luma, pic->luma + 64, pic->chroma);
      return tables >= 1 && pic->width != 0;
    }
    at += 2 + len;
  }
  return false;
}

void PacketizeJpeg(const JpegPicture& pic, uint8_t q, size_t mtu, uint32_t ts,
                   std::vector<TestPacket>* out) {
  const uint8_t type = uint8_t((pic.twoByOne ? 0 : 1) + (pic.restartInterval ? 64 : 0));
  size_t offset = 0;
  do {
    TestPacket p;
    p.timestamp = ts;
    Bytes& b = p.payload;
    b = {0, uint8_t(offset >> 16),  uint8_t(offset >> 8),   uint8_t(offset), type,
         q, uint8_t(pic.width / 8), uint8_t(pic.height / 8)};
    if (pic.restartInterval) {
      b.push_back(uint8_t(pic.restartInterval >> 8));
      b.push_back(uint8_t(pic.restartInterval));
      b.push_back(0xFF);  // first and last bits set, count 0x3FFF
      b.push_back(0xFF);
    }
    if (offset == 0 && q >= 128) {
      b.insert(b.end(), {0, 0, 0, 128});
      Put(&b, pic.luma, 64);
      Put(&b, pic.chroma, 64);
    }
    const size_t room = mtu > b.size() ? mtu - b.size() : 1;
    const size_t n = std::min(room, pic.scan.size() - offset);
    Put(&b, pic.scan.data() + offset, n);
    offset += n;
    p.marker = offset >= pic.scan.size();
    out->push_back(std::move(p));
  } while (offset < pic.scan.size());
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

}  // namespace test
}  // namespace quenlix
