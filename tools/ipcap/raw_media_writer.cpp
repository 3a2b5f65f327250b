#include "raw_media_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

#include "writeback_pacer.h"

namespace ipcap {

namespace {

constexpr uint8_t kDelimiterPrefix[] = {0x00, 0x00, 0x01, 0x09};
constexpr size_t kDelimiterSize = 5;  // start code, NAL header, primary_pic_type
// Holds a usual frame whole, so that a frame goes to the file in one write at
// its flush rather than in three (what the default buffer holds, the whole
// blocks past it, the rest): at hundreds of streams the writer's cost is its
// system calls.
constexpr size_t kFileBufferSize = size_t(64) << 10;

}  // namespace

size_t TrailingDelimiterSize(const uint8_t* data, size_t size) {
  if (size < kDelimiterSize) return 0;
  const bool found = std::equal(std::begin(kDelimiterPrefix), std::end(kDelimiterPrefix),
                                data + size - kDelimiterSize);
  return found ? kDelimiterSize : 0;
}

RawMediaWriter::~RawMediaWriter() {
  std::string ignored;
  Close(&ignored);
}

WriteResult RawMediaWriter::Write(const MediaFrame& frame, std::string* error) {
  if (file_ == nullptr) {
    file_ = path_ == "-" ? stdout : std::fopen(path_.c_str(), "wb");
    if (file_ == nullptr) {
      *error = "can not write " + path_ + ": " + std::strerror(errno);
      return WriteResult::kFailed;
    }
    fileBuffer_.resize(kFileBufferSize);
    std::setvbuf(file_, fileBuffer_.data(), _IOFBF, fileBuffer_.size());
    if (file_ != stdout) writebackKey_ = WritebackPacer::Instance().Add(file_);
  }
  size_t body = frame.size;
  const size_t delimiter =
      frame.codec == MediaCodec::kH264 ? TrailingDelimiterSize(frame.data, frame.size) : 0;
  body -= delimiter;
  const bool written =
      (heldDelimiter_.empty() || std::fwrite(heldDelimiter_.data(), 1, heldDelimiter_.size(),
                                             file_) == heldDelimiter_.size()) &&
      std::fwrite(frame.data, 1, body, file_) == body && std::fflush(file_) == 0;
  heldDelimiter_.assign(frame.data + body, frame.data + frame.size);
  if (!written) {
    *error = "can not write " + (path_ == "-" ? std::string("stdout") : path_) + ": " +
             std::strerror(errno);
    return WriteResult::kFailed;
  }
  return WriteResult::kWritten;
}

bool RawMediaWriter::Close(std::string* error) {
  if (file_ == nullptr) return true;
  if (writebackKey_ != 0) WritebackPacer::Instance().Remove(writebackKey_);
  writebackKey_ = 0;
  const bool ok = file_ == stdout ? std::fflush(file_) == 0 : std::fclose(file_) == 0;
  file_ = nullptr;
  if (!ok) *error = "can not finish " + path_ + ": " + std::strerror(errno);
  return ok;
}

}  // namespace ipcap
