// H.264 RTP payloads (single NAL units, STAP-A, FU-A) to one Annex B access
// unit per frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "media/rtp_media_parser.h"
#include "thread/recursive_lock.h"

namespace quenlix {

class CH264RTPMediaParser : public CRTPMediaParser {
 public:
  CH264RTPMediaParser(IDriver* driver, const char* sourceName);
  ~CH264RTPMediaParser() override;

  // Takes the state lock around the base's sequencing.
  void ParsePacket(const RTPPacket& packet) override;
  void Reset() override;

  // Each one NAL unit without start code, as the session description gives
  // them. Ignored when either is empty; an unreadable SPS makes the parser
  // synthesize both from the requested picture size. Called on the channel's
  // worker while the receive thread may already be parsing packets (the port
  // is open before the session is described).
  void SetParameterSets(const std::vector<uint8_t>& newSps, const std::vector<uint8_t>& newPps);

  const std::vector<uint8_t>& GetSps() const { return sps; }
  const std::vector<uint8_t>& GetPps() const { return pps; }

 protected:
  void HandlePacket(const RTPPacket& packet, bool afterGap) override;

 private:
  bool Depacketize(const uint8_t* p, size_t n);
  bool AppendSingleNal(const uint8_t* p, size_t n);
  bool AppendStapA(const uint8_t* p, size_t n);
  bool AppendFuA(const uint8_t* p, size_t n);
  // Fails the packet in hand and forgets the fragmented NAL unit.
  bool CloseBrokenFragment();
  bool SynthesizeParameterSets();
  // Keeps an SPS or PPS seen in the stream, so that a camera whose session
  // description lacks them (or carries stale ones) still records.
  void LearnParameterSet(const uint8_t* nal, size_t n);
  void EmitFrame(uint32_t rtpTime);
  void AppendStartCode();

  bool discarding = true;
  bool keyNal = false;
  // The packet in hand begins an access unit: the one before it carried the
  // marker or another time stamp.
  bool atFrameStart = true;
  // No packet went missing since the access unit in hand began. Only then
  // may a key packet end discarding: an IDR fragment after a loss would
  // make a broken picture look whole, while a picture that starts with a
  // delimiter or SEI before its parameter sets is whole.
  bool unitIntact = true;
  uint32_t lastTimestamp = 0;
  // Inside a fragmented NAL unit: its start came, its end not yet.
  bool fragmentOpen = false;
  std::vector<uint8_t> sps;
  std::vector<uint8_t> pps;
  // Guards the parser's state between ParsePacket and SetParameterSets.
  CRecursiveLock stateLock;
};

}  // namespace quenlix
