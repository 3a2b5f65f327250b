#include "frame_recorder.h"

#include <algorithm>
#include <chrono>
#include <iterator>

namespace ipcap {

namespace {

constexpr uint32_t kTypeH264Key = 0x34363248;   // "H264"
constexpr uint32_t kTypeMpeg4Key = 0x58564944;  // "DIVX"
constexpr uint32_t kTypeJpeg = 0x4745504A;      // "JPEG"

constexpr uint32_t kTypeH264 = 0x34363249;  // "I264"

bool IsH264(uint32_t typeCode) { return typeCode == kTypeH264Key || typeCode == kTypeH264; }

bool IsKeyFrame(uint32_t typeCode) {
  return typeCode == kTypeH264Key || typeCode == kTypeMpeg4Key || typeCode == kTypeJpeg;
}

}  // namespace

void PooledSample::SetTime(const quenlix::SYSTEMTIME* t) {
  if (t == nullptr) return;
  time = *t;
  hasTime = true;
}

void PooledSample::Prepare(uint32_t type, uint32_t bytes) {
  // The driver writes every byte it reports; clearing the buffer would only
  // cost a pass over it per frame.
  if (buffer.size() < bytes) buffer.resize(bytes);
  capacity = bytes;
  length = 0;
  typeCode = type;
  width = height = sizeClass = 0;
  hasTime = false;
  time = {};
}

quenlix::IMediaSample* SamplePool::Allocate(uint32_t typeCode, uint32_t capacity, const char*) {
  if (capacity == 0 || capacity > kMaxCapacity) {
    ++refused_;
    return nullptr;
  }
  PooledSample* sample = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!free_.empty()) {
      sample = free_.back();
      free_.pop_back();
    } else if (all_.size() < maxSamples_) {
      all_.push_back(std::make_unique<PooledSample>());
      sample = all_.back().get();
    }
  }
  if (sample == nullptr) {
    ++refused_;
    return nullptr;
  }
  sample->Prepare(typeCode, capacity);
  return sample;
}

void SamplePool::Release(quenlix::IMediaSample* sample) {
  if (sample == nullptr) return;
  std::lock_guard<std::mutex> lock(mutex_);
  free_.push_back(static_cast<PooledSample*>(sample));
}

size_t SamplePool::Outstanding() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return all_.size() - free_.size();
}

std::string FormatUtc(const quenlix::SYSTEMTIME& t) {
  char text[48];
  std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", t.wYear, t.wMonth, t.wDay,
                t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
  return text;
}

std::string TypeName(uint32_t typeCode) {
  std::string name;
  for (int i = 0; i < 4; ++i) {
    const char c = char((typeCode >> (8 * i)) & 0xFF);
    name += (c >= 0x20 && c < 0x7F) ? c : '?';
  }
  return name;
}

quenlix::SYSTEMTIME NowUtc() {
  using namespace std::chrono;
  const int64_t ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  const int64_t days = ms / 86400000;
  const int64_t msOfDay = ms % 86400000;
  // Civil date from days since 1970-01-01 (proleptic Gregorian).
  const int64_t z = days + 719468;
  const int64_t era = z / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  quenlix::SYSTEMTIME t{};
  t.wYear = uint16_t(year);
  t.wMonth = uint16_t(month);
  t.wDayOfWeek = uint16_t((days + 4) % 7);  // 1970-01-01 was a Thursday
  t.wDay = uint16_t(day);
  t.wHour = uint16_t(msOfDay / 3600000);
  t.wMinute = uint16_t(msOfDay / 60000 % 60);
  t.wSecond = uint16_t(msOfDay / 1000 % 60);
  t.wMilliseconds = uint16_t(msOfDay % 1000);
  return t;
}

int64_t UtcMilliseconds(const quenlix::SYSTEMTIME& t) {
  // Days since 1970-01-01 from the civil date (proleptic Gregorian).
  const int64_t y = int64_t(t.wYear) - (t.wMonth <= 2 ? 1 : 0);
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t m = t.wMonth;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + t.wDay - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t days = era * 146097 + doe - 719468;
  return ((days * 24 + t.wHour) * 60 + t.wMinute) * 60000 + int64_t(t.wSecond) * 1000 +
         t.wMilliseconds;
}

StreamRecorder::StreamRecorder(uint32_t index, FrameWriter* frameWriter,
                               std::unique_ptr<IMediaWriter> writer, std::string mediaPath,
                               std::string indexPath)
    : index_(index),
      frameWriter_(frameWriter),
      writer_(std::move(writer)),
      mediaPath_(std::move(mediaPath)),
      indexPath_(std::move(indexPath)) {}

StreamRecorder::~StreamRecorder() {
  std::string ignored;
  Close(&ignored);
}

bool StreamRecorder::Close(std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string closing;
  const bool closed = writer_ == nullptr || writer_->Close(&closing);
  if (!closed && !failed_) {
    failed_ = true;
    failure_ = closing;
  }
  if (indexFile_ != nullptr) std::fclose(indexFile_);
  indexFile_ = nullptr;
  if (failed_) *error = failure_;
  return !failed_;
}

std::string StreamRecorder::Failure() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failure_;
}

bool StreamRecorder::WriteIndexLine(const QueuedFrame& f) {
  if (indexPath_.empty()) return true;
  if (indexFile_ == nullptr) {
    indexFile_ = std::fopen(indexPath_.c_str(), "w");
    if (indexFile_ == nullptr) return false;
    std::fprintf(indexFile_, "# stream %u: time type bytes width height received\n", index_);
  }
  std::fprintf(indexFile_, "%s %s %zu %u %u %s\n", f.hasTime ? FormatUtc(f.time).c_str() : "-",
               TypeName(f.typeCode).c_str(), f.data.size(), f.width, f.height,
               FormatUtc(f.received).c_str());
  return std::fflush(indexFile_) == 0;
}

bool StreamRecorder::Queue(const PooledSample& s) {
  QueuedFrame f;
  f.recorder = this;
  f.stream = index_;
  f.data.assign(s.buffer.begin(), s.buffer.begin() + s.length);
  f.typeCode = s.typeCode;
  f.width = s.width;
  f.height = s.height;
  f.hasTime = s.hasTime;
  f.time = s.time;
  f.received = NowUtc();
  f.arrivalSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
  return frameWriter_->Push(std::move(f));
}

bool StreamRecorder::Deliver(quenlix::IMediaSample* sample) {
  // Only samples of our own pool reach us; anything that claims more bytes
  // than it has room for is refused rather than read past its end.
  auto* s = static_cast<PooledSample*>(sample);
  if (s == nullptr || s->length == 0 || s->length > s->capacity || failed_) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counters_.rejected;
    return false;
  }
  // Frames after a dropped one may refer to it, so the file resumes at a key
  // frame. A dropped frame still counts as taken: a refusal would have the
  // driver drop frames on its own, unseen here, and count them towards
  // signal loss.
  const bool key = IsKeyFrame(s->typeCode);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (awaitingKey_ && !key) {
      ++counters_.dropped;
      return true;
    }
  }
  const bool queued = Queue(*s);
  std::lock_guard<std::mutex> lock(mutex_);
  awaitingKey_ = !queued;
  if (!queued) ++counters_.dropped;
  return true;
}

void StreamRecorder::Fail(const std::string& why) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!failed_) failure_ = why;
  failed_ = true;
  ++counters_.rejected;
}

void StreamRecorder::Write(const QueuedFrame& f) {
  if (failed_) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counters_.rejected;
    return;
  }
  MediaFrame frame;
  frame.data = f.data.data();
  frame.size = f.data.size();
  frame.codec = IsH264(f.typeCode)          ? MediaCodec::kH264
                : (f.typeCode == kTypeJpeg) ? MediaCodec::kMjpeg
                                            : MediaCodec::kMpeg4;
  frame.key = IsKeyFrame(f.typeCode);
  frame.timeMs = UtcMilliseconds(f.hasTime ? f.time : f.received);
  frame.width = f.width;
  frame.height = f.height;
  std::string error;
  const WriteResult result = writer_->Write(frame, &error);
  if (result == WriteResult::kSkipped) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counters_.skipped;
    return;
  }
  if (result == WriteResult::kFailed || !WriteIndexLine(f)) {
    Fail(error.empty() ? "can not write " + indexPath_ : error);
    return;
  }
  bool first = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    first = counters_.frames == 0;
  }
  if (first && firstFrame_) firstFrame_();
  std::lock_guard<std::mutex> lock(mutex_);
  if (first) counters_.firstFrameSeconds = f.arrivalSeconds;
  counters_.lastFrameSeconds = f.arrivalSeconds;
  ++counters_.frames;
  if (frame.key) ++counters_.keyFrames;
  counters_.bytes += f.data.size();
  counters_.width = f.width;
  counters_.height = f.height;
}

void StreamRecorder::OnSignalLost() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++counters_.signalLost;
}

StreamCounters StreamRecorder::Counters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counters_;
}

}  // namespace ipcap
