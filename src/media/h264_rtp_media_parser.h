// H.264 RTP payloads (single NAL units, STAP-A, FU-A) to one Annex B access
// unit per frame.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "media/rtp_media_parser.h"

namespace quenlix {

class CH264RTPMediaParser : public CRTPMediaParser {
 public:
  CH264RTPMediaParser(IDriver* driver, const char* sourceName);
  ~CH264RTPMediaParser() override;

  void ParsePacket(const RTPPacket& packet) override;
  // While no packet is being parsed (no receiver exists).
  void Reset() override;

  // Each one NAL unit without start code, as the session description gives
  // them. Ignored when either is empty; an unreadable SPS makes the parser
  // synthesize both from the requested picture size. Called on the channel's
  // worker while the receive thread may already be parsing packets (the port
  // is open before the session is described), so the sets are handed over
  // and taken up before the next packet is parsed, or by Reset.
  void SetParameterSets(const std::vector<uint8_t>& newSps, const std::vector<uint8_t>& newPps);

  // The sets in use; on the receiving thread, or while nothing is parsed.
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
  // Drops the picture in hand with its fragmented NAL unit; false, for the
  // packet in hand.
  bool DropPicture(DropReason reason);
  struct ParameterSets {
    std::vector<uint8_t> sps;
    std::vector<uint8_t> pps;
    uint32_t width = 0;
    uint32_t height = 0;
  };

  // Both on the thread that parses: what SetParameterSets handed over.
  void TakePendingSets();
  bool SynthesizeParameterSets();
  // Sets for the channel's requested picture size; empty when it has none.
  ParameterSets SynthesizedSets() const;
  // Keeps an SPS or PPS seen in the stream, so that a camera whose session
  // description lacks them (or carries stale ones) still records.
  void LearnParameterSet(const uint8_t* nal, size_t n);
  void EmitFrame(uint32_t rtpTime);
  void AppendStartCode();

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
  // Sets from the session description that the parsing thread has not taken
  // up yet; owned. A pointer handed over whole, so that the per-packet path
  // costs one load instead of a lock.
  std::atomic<ParameterSets*> pendingSets{nullptr};
};

}  // namespace quenlix
