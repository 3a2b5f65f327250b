#if IPCAP_HAVE_LIBAV
#include "av_media_writer.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include <cstring>
#include <ctime>

#include "raw_media_writer.h"

namespace ipcap {

namespace {

constexpr uint8_t kH264TypeMask = 0x1F;
constexpr uint8_t kH264Sps = 7;
constexpr uint8_t kH264Pps = 8;
constexpr uint8_t kMpeg4VopStart = 0xB6;
constexpr uint8_t kStartCode[] = {0x00, 0x00, 0x00, 0x01};
// A cluster per frame: the muxer keeps a cluster in memory until it is
// closed, so a run that is killed keeps every frame its index lists.
constexpr const char* kClusterBytes = "1";

// Offset of the next 00 00 01 at or after from, or size.
size_t NextStartCode(const uint8_t* data, size_t size, size_t from) {
  for (size_t i = from; i + 3 <= size; ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) return i;
  }
  return size;
}

std::vector<uint8_t> H264ParameterSets(const uint8_t* data, size_t size) {
  std::vector<uint8_t> sets;
  bool sps = false, pps = false;
  for (size_t at = NextStartCode(data, size, 0); at < size;) {
    const size_t begin = at + 3;
    size_t end = NextStartCode(data, size, begin);
    const size_t next = end;
    while (end > begin && data[end - 1] == 0) --end;  // the next start code's leading zero
    if (begin < end) {
      const uint8_t type = data[begin] & kH264TypeMask;
      if (type == kH264Sps || type == kH264Pps) {
        sets.insert(sets.end(), std::begin(kStartCode), std::end(kStartCode));
        sets.insert(sets.end(), data + begin, data + end);
        (type == kH264Sps ? sps : pps) = true;
      }
    }
    at = next;
  }
  return sps && pps ? sets : std::vector<uint8_t>{};
}

std::vector<uint8_t> Mpeg4Headers(const uint8_t* data, size_t size) {
  for (size_t at = NextStartCode(data, size, 0); at < size;
       at = NextStartCode(data, size, at + 3)) {
    if (at + 3 < size && data[at + 3] == kMpeg4VopStart) {
      return std::vector<uint8_t>(data, data + at);
    }
  }
  return {};
}

std::string AvError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = "";
  av_strerror(code, text, sizeof text);
  return text;
}

std::string IsoTime(int64_t ms) {
  const std::time_t seconds = std::time_t(ms / 1000);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, int(ms % 1000));
  return text;
}

AVCodecID CodecId(MediaCodec codec) {
  switch (codec) {
    case MediaCodec::kMjpeg:
      return AV_CODEC_ID_MJPEG;
    case MediaCodec::kMpeg4:
      return AV_CODEC_ID_MPEG4;
    default:
      return AV_CODEC_ID_H264;
  }
}

}  // namespace

std::vector<uint8_t> CodecSetup(const MediaFrame& frame) {
  if (frame.codec == MediaCodec::kH264) return H264ParameterSets(frame.data, frame.size);
  if (frame.codec == MediaCodec::kMpeg4) return Mpeg4Headers(frame.data, frame.size);
  return {};
}

AvMediaWriter::~AvMediaWriter() {
  std::string ignored;
  Close(&ignored);
}

bool AvMediaWriter::Open(const MediaFrame& first, const std::vector<uint8_t>& extradata,
                         std::string* error) {
  // The library's own notices would mix into ipcap's lines; failures come
  // back as results and are reported with the file's name.
  av_log_set_level(AV_LOG_ERROR);
  const std::string target = path_ == "-" ? "pipe:1" : path_;
  int rc = avformat_alloc_output_context2(&context_, nullptr, container_.c_str(), target.c_str());
  if (rc < 0 || context_ == nullptr) {
    *error = "no " + container_ + " muxer: " + AvError(rc);
    return false;
  }
  stream_ = avformat_new_stream(context_, nullptr);
  packet_ = av_packet_alloc();
  if (stream_ == nullptr || packet_ == nullptr) {
    *error = "out of memory making " + path_;
    return false;
  }
  AVCodecParameters* par = stream_->codecpar;
  par->codec_type = AVMEDIA_TYPE_VIDEO;
  par->codec_id = CodecId(first.codec);
  par->width = int(first.width);
  par->height = int(first.height);
  if (!extradata.empty()) {
    par->extradata =
        static_cast<uint8_t*>(av_mallocz(extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (par->extradata == nullptr) {
      *error = "out of memory making " + path_;
      return false;
    }
    std::memcpy(par->extradata, extradata.data(), extradata.size());
    par->extradata_size = int(extradata.size());
  }
  stream_->time_base = AVRational{1, 1000};
  av_dict_set(&context_->metadata, "creation_time", IsoTime(first.timeMs).c_str(), 0);
  rc = avio_open(&context_->pb, target.c_str(), AVIO_FLAG_WRITE);
  if (rc < 0) {
    *error = "can not write " + path_ + ": " + AvError(rc);
    return false;
  }
  AVDictionary* options = nullptr;
  if (container_ == "matroska") av_dict_set(&options, "cluster_size_limit", kClusterBytes, 0);
  // Fragments at each key frame: a killed run leaves a file that plays up
  // to its last fragment instead of one without its index.
  if (container_ == "mp4") av_dict_set(&options, "movflags", "frag_keyframe+empty_moov", 0);
  rc = avformat_write_header(context_, &options);
  av_dict_free(&options);
  if (rc < 0) {
    *error = "can not start " + path_ + ": " + AvError(rc);
    return false;
  }
  firstMs_ = first.timeMs;
  return true;
}

WriteResult AvMediaWriter::Write(const MediaFrame& frame, std::string* error) {
  if (context_ == nullptr) {
    if (!frame.key || frame.width == 0 || frame.height == 0) return WriteResult::kSkipped;
    const std::vector<uint8_t> setup = CodecSetup(frame);
    if (setup.empty() && frame.codec == MediaCodec::kH264) return WriteResult::kSkipped;
    if (!Open(frame, setup, error)) {
      Release();
      return WriteResult::kFailed;
    }
  }
  size_t size = frame.size;
  // A delimiter at the end of a packet would open an empty access unit.
  if (frame.codec == MediaCodec::kH264) size -= TrailingDelimiterSize(frame.data, frame.size);
  // Muxers want rising time stamps; a frame time that does not rise (a
  // camera clock set back) is placed just after the one before.
  int64_t pts = frame.timeMs - firstMs_;
  if (pts <= lastPts_) pts = lastPts_ + 1;
  lastPts_ = pts;
  av_packet_unref(packet_);
  packet_->data = const_cast<uint8_t*>(frame.data);
  packet_->size = int(size);
  packet_->stream_index = stream_->index;
  packet_->pts = packet_->dts = av_rescale_q(pts, AVRational{1, 1000}, stream_->time_base);
  packet_->flags = frame.key ? AV_PKT_FLAG_KEY : 0;
  const int rc = av_write_frame(context_, packet_);
  packet_->data = nullptr;
  packet_->size = 0;
  if (rc < 0) {
    *error = "can not write " + path_ + ": " + AvError(rc);
    return WriteResult::kFailed;
  }
  avio_flush(context_->pb);
  return WriteResult::kWritten;
}

bool AvMediaWriter::Close(std::string* error) {
  if (context_ == nullptr) return true;
  bool ok = true;
  if (context_->pb != nullptr) {
    const int rc = av_write_trailer(context_);
    if (rc < 0) {
      *error = "can not finish " + path_ + ": " + AvError(rc);
      ok = false;
    }
  }
  Release();
  return ok;
}

void AvMediaWriter::Release() {
  av_packet_free(&packet_);
  if (context_ != nullptr) {
    if (context_->pb != nullptr) avio_closep(&context_->pb);
    avformat_free_context(context_);
  }
  context_ = nullptr;
  stream_ = nullptr;
}

}  // namespace ipcap
#endif  // IPCAP_HAVE_LIBAV
