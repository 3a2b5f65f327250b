// A Matroska or MP4 file made with libavformat: one video track, each frame
// a packet stamped with its UTC frame time (relative to the first frame,
// whose time is the file's creation time), key frames flagged.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "media_writer.h"

struct AVFormatContext;
struct AVStream;
struct AVPacket;

namespace ipcap {

class AvMediaWriter : public IMediaWriter {
 public:
  // container: "matroska" or "mp4"; path "-" is stdout.
  AvMediaWriter(std::string container, std::string path)
      : container_(std::move(container)), path_(std::move(path)) {}
  ~AvMediaWriter() override;
  WriteResult Write(const MediaFrame& frame, std::string* error) override;
  bool Close(std::string* error) override;

 private:
  bool Open(const MediaFrame& first, const std::vector<uint8_t>& extradata, std::string* error);
  void Release();

  std::string container_;
  std::string path_;
  AVFormatContext* context_ = nullptr;
  AVStream* stream_ = nullptr;
  AVPacket* packet_ = nullptr;
  int64_t firstMs_ = 0;
  int64_t lastPts_ = -1;
};

// The decoder set-up a container keeps apart from the frames: an H.264 key
// frame's sequence and picture parameter sets (Annex B), or the MPEG-4
// headers in front of the first picture; empty when there are none.
std::vector<uint8_t> CodecSetup(const MediaFrame& frame);

}  // namespace ipcap
