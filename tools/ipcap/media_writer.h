// Where a stream's frames go: a raw elementary stream, or a Matroska or MP4
// file whose packets carry the frames' UTC times.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace ipcap {

enum class MediaCodec { kH264, kMjpeg, kMpeg4 };

struct MediaFrame {
  const uint8_t* data = nullptr;
  size_t size = 0;
  MediaCodec codec = MediaCodec::kH264;
  bool key = false;
  int64_t timeMs = 0;  // UTC milliseconds since 1970
  uint32_t width = 0;
  uint32_t height = 0;
};

enum class WriteResult { kWritten, kSkipped, kFailed };

class IMediaWriter {
 public:
  virtual ~IMediaWriter() = default;
  // kSkipped for a frame that can not start a file yet (before the first key
  // frame with its parameter sets); the file is made by the first frame
  // written, so a run without one leaves none behind.
  virtual WriteResult Write(const MediaFrame& frame, std::string* error) = 0;
  // Finishes the file; false with a message when it could not be completed.
  virtual bool Close(std::string* error) = 0;
};

// "raw", and "mkv" and "mp4" where the build has the container libraries.
bool MediaFormatAvailable(const std::string& format);
std::string DefaultMediaFormat();
// The file name extension of a format and codec: ".mkv", ".h264", ...
std::string MediaExtension(const std::string& format, const std::string& codec);
// path "-" is stdout.
std::unique_ptr<IMediaWriter> MakeMediaWriter(const std::string& format, const std::string& path);
// Takes every frame and writes nothing: measures the receive path alone.
std::unique_ptr<IMediaWriter> MakeDiscardingWriter();

}  // namespace ipcap
