#include "media_writer.h"

#include "av_media_writer.h"
#include "raw_media_writer.h"

namespace ipcap {

namespace {

class DiscardingWriter : public IMediaWriter {
 public:
  WriteResult Write(const MediaFrame&, std::string*) override { return WriteResult::kWritten; }
  bool Close(std::string*) override { return true; }
};

}  // namespace

bool MediaFormatAvailable(const std::string& format) {
  if (format == "raw") return true;
#if IPCAP_HAVE_LIBAV
  return format == "mkv" || format == "mp4";
#else
  return false;
#endif
}

std::string DefaultMediaFormat() { return MediaFormatAvailable("mkv") ? "mkv" : "raw"; }

std::string MediaExtension(const std::string& format, const std::string& codec) {
  if (format == "mkv") return ".mkv";
  if (format == "mp4") return ".mp4";
  if (codec == "mjpeg") return ".mjpeg";
  if (codec == "mpeg4") return ".m4v";
  return ".h264";
}

std::unique_ptr<IMediaWriter> MakeMediaWriter(const std::string& format, const std::string& path) {
#if IPCAP_HAVE_LIBAV
  if (format == "mkv") return std::make_unique<AvMediaWriter>("matroska", path);
  if (format == "mp4") return std::make_unique<AvMediaWriter>("mp4", path);
#endif
  return std::make_unique<RawMediaWriter>(path);
}

std::unique_ptr<IMediaWriter> MakeDiscardingWriter() {
  return std::make_unique<DiscardingWriter>();
}

}  // namespace ipcap
