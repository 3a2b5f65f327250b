// A packetizer for the tests, written apart from the depacketizers: it cuts
// encoded clips into RTP packets as a camera would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "rtp/rtp_packet.h"

namespace quenlix {
namespace test {

using Bytes = std::vector<uint8_t>;

struct TestPacket {
  Bytes payload;
  uint16_t sequenceNumber = 0;
  uint32_t timestamp = 0;
  bool marker = false;
  bool padding = false;
};

// Points into the packet; valid while it lives.
RTPPacket ToRtp(const TestPacket& packet);

Bytes ReadFile(const std::string& path);
bool WriteFile(const std::string& path, const Bytes& data);
// The clips made by scripts/make-media.
std::string MediaPath(const std::string& name);

// H.264 Annex B: NAL units without start codes, grouped into access units.
std::vector<Bytes> SplitAnnexB(const Bytes& stream);
std::vector<std::vector<Bytes>> GroupAccessUnits(const std::vector<Bytes>& nals);

struct H264Packetizer {
  size_t mtu = 1400;  // largest payload
  bool stapA = true;  // aggregate small NAL units
  // Stored parameter sets the depacketizer puts before each fragmented IDR
  // slice; used only for the expected output.
  Bytes sps;
  Bytes pps;

  // Appends the access unit's packets and returns what the depacketizer
  // must make of them.
  Bytes Packetize(const std::vector<Bytes>& accessUnit, uint32_t timestamp,
                  std::vector<TestPacket>* out) const;
};

// MPEG-4 Visual: one frame per VOP, configuration headers kept with the VOP
// that follows them.
std::vector<Bytes> SplitMpeg4Frames(const Bytes& stream);
void PacketizeFrame(const Bytes& frame, size_t mtu, uint32_t timestamp,
                    std::vector<TestPacket>* out);

// JPEG pictures of a concatenated stream, and what RTP sends of each.
struct JpegPicture {
  uint32_t width = 0;
  uint32_t height = 0;
  bool twoByOne = false;  // 4:2:2
  uint8_t luma[64] = {};  // zig-zag order, as in DQT
  uint8_t chroma[64] = {};
  uint16_t restartInterval = 0;
  Bytes scan;  // entropy-coded data up to, not including, EOI
};
std::vector<Bytes> SplitJpegs(const Bytes& stream);
bool ParseJpeg(const Bytes& jpeg, JpegPicture* picture);
// q below 128 leaves the tables out; from 128 they go in band.
void PacketizeJpeg(const JpegPicture& picture, uint8_t q, size_t mtu, uint32_t timestamp,
                   std::vector<TestPacket>* out);

// Sequence numbers from first on, wrapping.
void Number(std::vector<TestPacket>* packets, uint16_t first);

// Decodes one picture with ffmpeg to raw planes; empty on failure.
Bytes DecodeWithFfmpeg(const Bytes& picture, const std::string& inputFormat,
                       const std::string& tag);
// "WIDTHxHEIGHTxFRAMES" of an H.264 stream as ffprobe decodes it; "" on
// failure.
std::string ProbeSize(const Bytes& stream, const std::string& tag);

}  // namespace test
}  // namespace quenlix
