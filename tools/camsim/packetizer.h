// RTP payload packetizers of the simulator: H.264 (single NAL unit and FU-A),
// JPEG and MPEG-4 Visual elementary streams. They read clips as ffmpeg writes
// them and know nothing of the driver's depacketizers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace camsim {

using Bytes = std::vector<uint8_t>;

struct RtpPayload {
  Bytes bytes;
  bool marker = false;  // last packet of a frame
};

enum class ClipCodec { kH264, kJpeg, kMpeg4 };

// One frame (access unit, picture or VOP) of a clip, ready for the wire.
struct ClipFrame {
  std::vector<RtpPayload> packets;
};

struct Clip {
  ClipCodec codec = ClipCodec::kH264;
  uint8_t payloadType = 96;
  std::vector<ClipFrame> frames;
  // SDP attribute lines of the video section, CR LF ended (rtpmap, fmtp).
  std::string sdpAttributes;
};

// Habits of other RTSP servers and cameras that the simulator can take on,
// so that the driver meets them without those peers.
struct PeerHabits {
  bool noSpropParameterSets = false;  // the SDP's fmtp carries no parameter sets
  bool audAndSei = false;             // each access unit begins with a delimiter and SEI
  bool jpegTablesInBand = false;      // Q 255 with the tables, even where a Q would do
  // One in-band table where a picture's two are the same (implies in band).
  bool jpegOneTable = false;
  // The video section as other servers order it: c= and b= lines, control
  // before rtpmap, parameter sets before profile-level-id in fmtp.
  bool peerSdpOrder = false;
};

// Rewrites a loaded clip's packets and SDP lines to show the habits.
void ApplyPeerHabits(const PeerHabits& habits, Clip* clip);

// Loads a clip by its extension: .h264/.264, .mjpeg/.jpg, .m4v. Each
// packet's payload is at most mtu bytes. False with a message.
bool LoadClip(const std::string& path, size_t mtu, Clip* clip, std::string* error);

// The pieces, exposed for tests.
std::vector<Bytes> SplitAnnexB(const Bytes& stream);
std::vector<RtpPayload> PacketizeH264AccessUnit(const std::vector<Bytes>& nalUnits, size_t mtu);
bool PacketizeJpeg(const Bytes& picture, size_t mtu, std::vector<RtpPayload>* packets);
std::vector<RtpPayload> PacketizeMpeg4Frame(const Bytes& frame, size_t mtu);
std::string Base64(const Bytes& bytes);

}  // namespace camsim
