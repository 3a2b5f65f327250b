// ipcap record's host objects on the frame path: a pool of samples the
// driver fills, one sink per stream that writes frames to a playable file and
// an index, and the stream settings handed to StartChannel.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "frame_writer.h"
#include "media_writer.h"
#include "quenlix/media.h"

namespace ipcap {

class PooledSample : public quenlix::IMediaSample {
 public:
  void Reserved0() override {}
  void Reserved1() override {}
  uint8_t* GetBuffer() override { return buffer.data(); }
  void Reserved3() override {}
  void SetLength(uint32_t n) override { length = n; }
  void Reserved5() override {}
  void SetTime(const quenlix::SYSTEMTIME* t) override;
  void Reserved7() override {}
  void Reserved8() override {}
  void Reserved9() override {}
  void SetType(uint32_t code) override { typeCode = code; }
  void Reserved11() override {}
  void SetHeight(uint32_t h) override { height = h; }
  void Reserved13() override {}
  void SetWidth(uint32_t w) override { width = w; }
  void Reserved15() override {}
  void SetSizeClass(uint32_t c) override { sizeClass = c; }

  void Prepare(uint32_t type, uint32_t bytes);

  std::vector<uint8_t> buffer;  // at least capacity bytes; grows, never shrinks
  uint32_t capacity = 0;        // what the driver asked for
  uint32_t length = 0;
  uint32_t typeCode = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t sizeClass = 0;
  bool hasTime = false;
  quenlix::SYSTEMTIME time{};
};

// Hands out samples from a pool that grows up to maxSamples; called from
// every stream's receive thread.
class SamplePool : public quenlix::ISampleAllocator {
 public:
  static constexpr uint32_t kMaxCapacity = 64u << 20;

  // A stream's receive thread holds one sample at a time (allocate, fill,
  // deliver, release), so a pool of two a stream never refuses for want of
  // samples, however the threads are scheduled; samples are made only as
  // they are first needed.
  static size_t SizeFor(size_t streams) { return 16 + 2 * streams; }

  explicit SamplePool(size_t maxSamples = 64) : maxSamples_(maxSamples) {}
  void Reserved0() override {}
  void Reserved1() override {}
  quenlix::IMediaSample* Allocate(uint32_t typeCode, uint32_t capacity,
                                  const char* source) override;
  void Reserved3() override {}
  void Reserved4() override {}
  void Reserved5() override {}
  void Release(quenlix::IMediaSample* sample) override;

  size_t Outstanding() const;
  size_t Refused() const { return refused_.load(); }

 private:
  mutable std::mutex mutex_;
  size_t maxSamples_;
  std::vector<std::unique_ptr<PooledSample>> all_;
  std::vector<PooledSample*> free_;
  std::atomic<size_t> refused_{0};
};

// "YYYY-MM-DDTHH:MM:SS.mmmZ".
std::string FormatUtc(const quenlix::SYSTEMTIME& t);
// The four characters of a type code.
std::string TypeName(uint32_t typeCode);
// The current UTC time.
quenlix::SYSTEMTIME NowUtc();

struct StreamCounters {
  uint64_t frames = 0;
  uint64_t keyFrames = 0;
  uint64_t bytes = 0;
  uint64_t rejected = 0;
  uint64_t skipped = 0;  // before the first frame a file can start with
  uint64_t signalLost = 0;
  uint64_t dropped = 0;  // the writer fell behind; then up to the next key frame
  uint32_t width = 0;
  uint32_t height = 0;
  // Steady-clock seconds of the first and last frame, for the rates.
  double firstFrameSeconds = 0;
  double lastFrameSeconds = 0;
};

// The UTC milliseconds since 1970 of a time.
int64_t UtcMilliseconds(const quenlix::SYSTEMTIME& t);

// Records one stream: Deliver copies each frame into the writer's queue and
// returns; the writer thread writes it through a media writer and the index,
// one line per frame written, flushed at once so that a killed run leaves a
// usable index. Neither file exists before the first frame is written.
class StreamRecorder : public quenlix::IFrameSink {
 public:
  StreamRecorder(uint32_t index, FrameWriter* frameWriter, std::unique_ptr<IMediaWriter> writer,
                 std::string mediaPath, std::string indexPath);
  ~StreamRecorder();
  StreamRecorder(const StreamRecorder&) = delete;
  StreamRecorder& operator=(const StreamRecorder&) = delete;

  // Called once, before the first frame is written (on the driver's thread).
  void OnFirstFrame(std::function<void()> hook) { firstFrame_ = std::move(hook); }
  // Finishes the files, once the frame writer has finished; false with the
  // first write failure of the run.
  bool Close(std::string* error);
  // On the frame writer's thread.
  void Write(const QueuedFrame& frame);

  void Reserved0() override {}
  bool Deliver(quenlix::IMediaSample* sample) override;
  void Reserved2() override {}
  void OnSignalLost() override;

  StreamCounters Counters() const;
  const std::string& MediaPath() const { return mediaPath_; }
  const std::string& IndexPath() const { return indexPath_; }
  // The first write failure, or empty.
  std::string Failure() const;

 private:
  bool WriteIndexLine(const QueuedFrame& f);
  bool Queue(const PooledSample& s);
  void Fail(const std::string& why);

  uint32_t index_;
  FrameWriter* frameWriter_;
  // Used on the writer's thread only, and by Close after it has finished.
  std::unique_ptr<IMediaWriter> writer_;
  std::string mediaPath_;
  std::string indexPath_;  // empty: no index
  std::function<void()> firstFrame_;
  mutable std::mutex mutex_;
  std::FILE* indexFile_ = nullptr;
  std::atomic<bool> failed_{false};
  bool awaitingKey_ = false;  // a frame was dropped; the next ones need it
  std::string failure_;
  StreamCounters counters_;
};

// The requested stream as the host's settings objects.
class HostStreamSettings : public quenlix::IStreamSettings,
                           public quenlix::IStreamFormat,
                           public quenlix::IStreamRate,
                           public quenlix::IResolution {
 public:
  HostStreamSettings(uint16_t width, uint16_t height, uint16_t frameIntervalMs, uint16_t quality)
      : width_(width), height_(height), interval_(frameIntervalMs), quality_(quality) {}

  void Reserved0() override {}
  quenlix::IStreamFormat* GetFormat() override { return this; }
  quenlix::IStreamRate* GetRate() override { return this; }
  void Reserved1() override {}
  void Reserved2() override {}
  quenlix::IResolution* GetResolution() override { return this; }
  uint16_t GetFrameInterval() override { return interval_; }
  uint16_t GetQuality() override { return quality_; }
  uint16_t GetWidth() override { return width_; }
  uint16_t GetHeight() override { return height_; }

 private:
  uint16_t width_, height_, interval_, quality_;
};

}  // namespace ipcap
