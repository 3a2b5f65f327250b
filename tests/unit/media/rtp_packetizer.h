// Packets for the depacketizer tests. Clips are cut by the camera
// simulator's packetizer, written apart from the depacketizers; on top of it
// come only what a camera may do and the simulator does not (STAP-A, a
// chosen in-band Q) and what the depacketizers must make of the packets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "rtp/rtp_packet.h"

#if QUENLIX_TEST_WITH_CAMSIM
#include "packetizer.h"
#endif

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

// Sequence numbers from first on, wrapping.
void Number(std::vector<TestPacket>* packets, uint16_t first);

// Decodes one picture with ffmpeg to raw planes; empty on failure.
Bytes DecodeWithFfmpeg(const Bytes& picture, const std::string& inputFormat,
                       const std::string& tag);
// "WIDTHxHEIGHTxFRAMES" of an H.264 stream as ffprobe decodes it; "" on
// failure.
std::string ProbeSize(const Bytes& stream, const std::string& tag);

#if QUENLIX_TEST_WITH_CAMSIM
// One frame's payloads as packets with the given timestamp.
void Append(const std::vector<camsim::RtpPayload>& payloads, uint32_t timestamp,
            std::vector<TestPacket>* out);
// The frames of a clip, each as the bytes its packets carry.
std::vector<Bytes> FrameBytes(const camsim::Clip& clip);

// H.264 Annex B NAL units grouped into access units.
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

// The JPEG pictures of a concatenated stream.
std::vector<Bytes> SplitJpegs(const Bytes& stream);
// A picture's packets; a picture sent with its tables in band says q (128
// and up) instead. False where the picture cannot be sent.
bool PacketizeJpeg(const Bytes& picture, uint8_t q, size_t mtu, uint32_t timestamp,
                   std::vector<TestPacket>* out);
#endif

}  // namespace test
}  // namespace quenlix
