// Common base of the depacketizers: the frame being assembled, the picture
// size, the input sequencing (duplicates dropped, a small reordering window,
// loss reported to the codec), the reception counts, the frame clock and the
// links to the driver (for the host's sample allocator) and to the channel.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "media/media_parser_client.h"
#include "quenlix/driver.h"
#include "quenlix/media.h"
#include "rtp/rtp_packet.h"
#include "rtp/time_stamp_converter.h"

namespace quenlix {

// Why a depacketizer threw a packet or a finished frame away. The channel
// reads the counts to tell the host's log why a stream yields no frames.
enum DropReason : int {
  kDropNoKeyFrame = 0,      // waiting for a key frame to start from
  kDropNoParameterSets,     // a key frame without usable parameter sets
  kDropUnsupportedPayload,  // a packetization this depacketizer does not take
  kDropMalformed,           // a payload whose own fields do not add up
  kDropOversize,            // a picture over the size limit
  kDropSequenceGap,         // lost packets spoiled the picture (once per gap)
  kDropReasonCount
};

// What one stream's packets did since its parser was made; cumulative over
// restarts, so that a reader takes differences.
struct RECEPTION_COUNTS {
  uint64_t received = 0;       // packets handed in, duplicates included
  uint64_t lost = 0;           // sequence numbers given up as missing
  uint64_t duplicated = 0;     // packets whose number was already taken
  uint64_t reordered = 0;      // packets that came ahead of a gap and waited
  uint64_t repaired = 0;       // late packets that filled a gap in time
  uint64_t late = 0;           // packets that came after their gap was given up
  uint64_t framesDropped = 0;  // frames ended without a picture handed over
};

class CRTPMediaParser {
 public:
  // Packets held while a gap may still fill; a power of two, so that a
  // sequence number picks its slot.
  static constexpr uint16_t kWindowSlots = 128;
  // How long, in 90 kHz RTP ticks, a gap may stay open (100 ms), counted
  // from the packet that revealed it.
  static constexpr uint32_t kWindowTicks = 9000;

  CRTPMediaParser(IDriver* driver, const char* sourceName);
  virtual ~CRTPMediaParser();
  CRTPMediaParser(const CRTPMediaParser&) = delete;
  CRTPMediaParser& operator=(const CRTPMediaParser&) = delete;

  // Called on the receiving thread for every RTP packet of the stream. Puts
  // the packets in sequence order and hands each on to HandlePacket.
  virtual void ParsePacket(const RTPPacket& packet);
  // Called on the channel thread whenever reception (re)starts.
  virtual void Reset() = 0;

  // The codec channel sets itself right after construction.
  void SetClient(IMediaParserClient* newClient) { client = newClient; }
  IMediaParserClient* GetClient() const { return client; }

  // Picture size last learned from the stream; 0 when unknown.
  uint32_t GetWidth() const { return width; }
  uint32_t GetHeight() const { return height; }

  // Packets dropped for reason since the parser was made; any thread.
  uint32_t DropCount(DropReason reason) const;
  // Any thread.
  RECEPTION_COUNTS GetReceptionCounts() const;

 protected:
  // One packet in sequence order. afterGap: packets before it were lost, so
  // whatever was being assembled has a hole.
  virtual void HandlePacket(const RTPPacket& packet, bool afterGap) = 0;
  // Forgets the sequence and the packets held; for Reset.
  void ResetSequence();

  // Whether a finished frame has somewhere to go: the host's allocator and
  // a client.
  bool CanDeliver() const;
  // Hands the finished frame to the client in one of the host's samples,
  // allocated as type with room for capacity bytes, and releases it. A frame
  // that WriteFrame cannot make is a malformed drop; one the client refuses
  // starts discarding, so that delivery resumes at the codec's next start.
  void Deliver(uint32_t type, uint32_t capacity);
  // Puts the frame into a sample's buffer (of the capacity given to Deliver)
  // and returns its length, 0 when it makes no picture. By default a copy of
  // frame.
  virtual size_t WriteFrame(uint8_t* buffer);
  // Counts the drop and throws the frame in hand away; the codec discards
  // until its next start.
  void Drop(DropReason reason);
  // The same without counting: for Reset, and for a frame lost to an
  // exception (out of memory).
  void Discard();
  // The payload without RTP padding; false when the padding count is
  // impossible.
  static bool PayloadOf(const RTPPacket& packet, const uint8_t** payload, size_t* length);
  void CountDrop(DropReason reason);

  IDriver* driver;
  std::string sourceName;
  IMediaParserClient* client = nullptr;
  CTimeStampConverter timeConverter;
  std::vector<uint8_t> frame;
  // Waiting for a packet the codec can start a frame from.
  bool discarding = true;
  uint32_t width = 0;
  uint32_t height = 0;

 private:
  struct HeldPacket {
    bool held = false;
    RTPPacket header;
    // Reused from packet to packet: capacity grows to the largest one seen.
    std::vector<uint8_t> payload;
  };

  void Pass(const RTPPacket& packet, bool afterGap);
  // At the start of a stream nothing before the first packet is known, so
  // packets wait until the first frame is whole from the lowest number seen
  // (or the window's time or room runs out). False once the start is over.
  bool HoldAtStart(const RTPPacket& packet);
  void EndStart();
  // False when the packet was a duplicate or could not be copied.
  bool Hold(const RTPPacket& packet);
  // Hands on the held packets that now follow without a gap.
  void Drain();
  // Gives up the gap before the first held packet; false when none is held.
  bool SkipToHeld();
  // Gives up every gap whose packets waited too long.
  void Expire(uint32_t newestTimestamp);
  void FlushAndRestart(const RTPPacket& packet);
  // Null when the driver or its allocator is missing.
  ISampleAllocator* GetAllocator() const;
  static void Bump(std::atomic<uint64_t>& counter, uint64_t by = 1);

  // Handed to the sample by pointer, so it must outlive the delivery.
  SYSTEMTIME sampleTime{};
  // Written by the receiving thread, read by the channel's worker.
  std::atomic<uint32_t> drops[kDropReasonCount] = {};

  bool sequenced = false;       // expected is known
  bool starting = false;        // no packet handed on yet since sequencing began
  uint16_t highestHeld = 0;     // while starting
  uint32_t startTimestamp = 0;  // of the first packet, while starting
  uint16_t expected = 0;        // the next sequence number to hand on
  // Bit i: sequence number expected - 1 - i was handed on.
  uint64_t taken = 0;
  // A number far behind the window: taken as a restarted source once the
  // packet after it follows it.
  bool onProbation = false;
  uint16_t probation = 0;
  uint16_t heldCount = 0;
  bool gapPending = false;     // the next packet handed on follows a gap
  uint32_t lastTimestamp = 0;  // of the last packet handed on
  bool frameOpen = false;      // packets of an unfinished frame were handed on
  HeldPacket slots[kWindowSlots];

  // Written by the receiving thread only, read by any.
  std::atomic<uint64_t> received{0};
  std::atomic<uint64_t> lost{0};
  std::atomic<uint64_t> duplicated{0};
  std::atomic<uint64_t> reordered{0};
  std::atomic<uint64_t> repaired{0};
  std::atomic<uint64_t> late{0};
  std::atomic<uint64_t> framesEnded{0};
  std::atomic<uint64_t> framesTaken{0};
};

}  // namespace quenlix
