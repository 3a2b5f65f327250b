// Frames back to back: an H.264 or MPEG-4 elementary stream, or
// concatenated JPEG pictures.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "media_writer.h"

namespace ipcap {

class RawMediaWriter : public IMediaWriter {
 public:
  explicit RawMediaWriter(std::string path) : path_(std::move(path)) {}
  ~RawMediaWriter() override;
  WriteResult Write(const MediaFrame& frame, std::string* error) override;
  bool Close(std::string* error) override;

 private:
  std::string path_;
  std::FILE* file_ = nullptr;
  // The access unit delimiter that closes each H.264 frame, written in front
  // of the next frame instead: a file that ended in one would end in an
  // access unit without a picture, which decoders report as an error.
  std::vector<uint8_t> heldDelimiter_;
  std::vector<char> fileBuffer_;  // stdio's buffer: glibc ignores a size without one
  int writebackKey_ = 0;
};

// The length of the access unit delimiter closing an H.264 frame, or 0.
size_t TrailingDelimiterSize(const uint8_t* data, size_t size);

}  // namespace ipcap
