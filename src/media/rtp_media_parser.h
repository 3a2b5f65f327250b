// Common base of the depacketizers: the frame being assembled, the picture
// size, the sequence check, the frame clock and the links to the driver (for
// the host's sample allocator) and to the channel.
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
  kDropReasonCount
};

class CRTPMediaParser {
 public:
  CRTPMediaParser(IDriver* driver, const char* sourceName);
  virtual ~CRTPMediaParser();
  CRTPMediaParser(const CRTPMediaParser&) = delete;
  CRTPMediaParser& operator=(const CRTPMediaParser&) = delete;

  // Called on the receiving thread for every RTP packet of the stream.
  virtual void ParsePacket(const RTPPacket& packet) = 0;
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

 protected:
  // True when the packet follows the previous one (mod 65536), or is the
  // first one seen. Any gap, repeat or reordering fails.
  bool CheckSequence(uint16_t sequenceNumber);

  // Null when the driver or its allocator is missing.
  ISampleAllocator* GetAllocator() const;
  // Width, height, size class, length, type (0: leave it) and the
  // converter's time.
  void FillSample(IMediaSample* sample, uint32_t length, uint32_t typeCode);
  // The payload without RTP padding; false when the padding count is
  // impossible.
  static bool PayloadOf(const RTPPacket& packet, const uint8_t** payload, size_t* length);
  void CountDrop(DropReason reason);

  IDriver* driver;
  std::string sourceName;
  IMediaParserClient* client = nullptr;
  CTimeStampConverter timeConverter;
  std::vector<uint8_t> frame;
  uint32_t width = 0;
  uint32_t height = 0;
  uint16_t lastSequence = 0;
  bool firstPacket = true;

 private:
  // Handed to the sample by pointer, so it must outlive the delivery.
  SYSTEMTIME sampleTime{};
  // Written by the receiving thread, read by the channel's worker.
  std::atomic<uint32_t> drops[kDropReasonCount] = {};
};

}  // namespace quenlix
