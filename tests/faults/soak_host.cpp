// The soak host: one driver, several streams and the I/O object, driven by
// random host calls (start, stop, reconfigure, output changes) for a given
// time while the camera (camsim, switched by scripts/soak) misbehaves at
// random. Every 10 s it prints its threads, descriptors and resident memory;
// at the end it stops everything and fails unless those stayed flat.
//   soak_host LIBRARY ADDRESS HTTP_PORT RTSP_PORT SECONDS [STREAMS] [SEED]
#include <dirent.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "driver_library.h"
#include "fake_host.h"
#include "quenlix/debug.h"
#include "quenlix/io.h"
#include "quenlix/ipcapture.h"
#include "quenlix/media.h"

namespace {

using Clock = std::chrono::steady_clock;

// Growth allowed between the first sample after warm-up and the end.
constexpr long kRssSlackKb = 24 * 1024;
constexpr int kThreadSlack = 0;
constexpr int kFdSlack = 0;
constexpr int kWarmUpSeconds = 20;
constexpr int kSampleSeconds = 10;
constexpr int kActionMs = 250;

struct Usage {
  int threads = 0;
  int fds = 0;
  long rssKb = 0;
};

int CountEntries(const char* dir) {
  DIR* d = opendir(dir);
  if (d == nullptr) return -1;
  int n = 0;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') ++n;
  }
  closedir(d);
  return n - (std::string(dir) == "/proc/self/fd" ? 1 : 0);  // the one opendir holds
}

Usage Measure() {
  Usage u;
  u.threads = CountEntries("/proc/self/task");
  u.fds = CountEntries("/proc/self/fd");
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) u.rssKb = std::atol(line.c_str() + 6);
  }
  return u;
}

// Counts the driver's lines and prints its errors; keeps none, so that a
// long run's log is no growth of its own.
class CountingLog : public quenlix::IDebugSink {
 public:
  void Reserved0() override {}
  void Post(CDebugInfoIf* record) override {
    ++lines;
    const char* text = record->GetText();
    if (record->GetLevel() == 1 && verbose) std::fprintf(stderr, "%s\n", text ? text : "");
  }
  std::atomic<uint64_t> lines{0};
  bool verbose = false;
};

class CountingSink : public quenlix::IFrameSink {
 public:
  void Reserved0() override {}
  bool Deliver(quenlix::IMediaSample*) override {
    ++frames;
    return true;
  }
  void Reserved2() override {}
  void OnSignalLost() override { ++signalLost; }
  std::atomic<uint64_t> frames{0};
  std::atomic<uint64_t> signalLost{0};
};

class IoSink : public quenlix::IIOEventSink {
 public:
  void Reserved0() override {}
  void OnInputChanged(uint32_t, uint32_t) override { ++changes; }
  void OnIOFailure() override { ++failures; }
  std::atomic<uint64_t> changes{0};
  std::atomic<uint64_t> failures{0};
};

class Settings : public quenlix::IStreamSettings,
                 public quenlix::IStreamFormat,
                 public quenlix::IStreamRate,
                 public quenlix::IResolution {
 public:
  Settings(uint16_t width, uint16_t height) : width(width), height(height) {}
  void Reserved0() override {}
  quenlix::IStreamFormat* GetFormat() override { return this; }
  quenlix::IStreamRate* GetRate() override { return this; }
  void Reserved1() override {}
  void Reserved2() override {}
  quenlix::IResolution* GetResolution() override { return this; }
  uint16_t GetFrameInterval() override { return 40; }
  uint16_t GetQuality() override { return 50; }
  uint16_t GetWidth() override { return width; }
  uint16_t GetHeight() override { return height; }
  uint16_t width, height;
};

void Print(const char* when, int seconds, const Usage& u, uint64_t frames) {
  std::printf("soak: %-9s t=%4d s  threads %3d  fds %3d  rss %6ld KiB  frames %llu\n", when,
              seconds, u.threads, u.fds, u.rssKb, (unsigned long long)frames);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr,
                 "usage: soak_host LIBRARY ADDRESS HTTP_PORT RTSP_PORT SECONDS [STREAMS] [SEED]\n");
    return 2;
  }
  const int seconds = std::atoi(argv[5]);
  const uint32_t streams = argc > 6 ? uint32_t(std::atoi(argv[6])) : 4;
  const unsigned seed = argc > 7 ? unsigned(std::atoi(argv[7])) : unsigned(std::random_device{}());
  std::printf("soak: %d s, %u streams, seed %u\n", seconds, streams, seed);
  std::mt19937 random(seed);

  const Usage before = Measure();
  ipcap::DriverLibrary library;
  if (!library.Load(argv[1])) {
    std::fprintf(stderr, "soak: %s\n", library.Error().c_str());
    return 2;
  }
  testhost::FakeCameraConfig config;
  config.network.address = argv[2];
  config.network.port = uint16_t(std::atoi(argv[3]));
  config.network.userName = "admin";
  config.network.password = "admin";
  config.network.codecType = 3;
  config.device.channelCount = streams;
  config.device.inputCount = 2;
  config.device.outputCount = 2;
  config.custom = {{1, "0"}, {2, argv[4]}, {3, "(none)"}, {4, "1"}};
  CountingLog log;
  log.verbose = std::getenv("SOAK_VERBOSE") != nullptr;
  testhost::FakeAllocator allocator;

  quenlix::ipcapture::IIPCaptureDriver* driver = library.createIPCapture();
  if (driver == nullptr || !driver->Open(&log, &allocator, &config)) {
    std::fprintf(stderr, "soak: the driver did not open\n");
    return 2;
  }
  quenlix::ipcapture::IIPVideoCapture* capture = driver->GetVideoCapture();
  quenlix::ICaptureIOApi* io = driver->GetIOApi();
  IoSink ioSink;
  io->SetEventSink(&ioSink);
  io->Start();

  std::vector<std::unique_ptr<CountingSink>> sinks;
  std::vector<bool> running(streams, false);
  Settings small(320, 240), large(640, 480);
  for (uint32_t i = 0; i < streams; ++i) sinks.emplace_back(new CountingSink);
  auto frames = [&] {
    uint64_t n = 0;
    for (const auto& s : sinks) n += s->frames.load();
    return n;
  };

  const auto start = Clock::now();
  Usage warm{};
  Usage last{};
  int nextSample = kSampleSeconds;
  uint64_t actions = 0;
  for (;;) {
    const int elapsed =
        int(std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count());
    if (elapsed >= seconds) break;
    const uint32_t index = random() % streams;
    switch (random() % 6) {
      case 0:
      case 1:
        if (!running[index])
          running[index] = capture->StartChannel(index, sinks[index].get(), &small);
        break;
      case 2:
        if (running[index]) {
          capture->StopChannel(index);
          running[index] = false;
        }
        break;
      case 3:
        if (running[index]) capture->ReconfigureChannel(index, random() % 2 ? &small : &large, 40);
        break;
      case 4:
        io->SetOutput(random() % 2, 1 + random() % 2);
        break;
      default:
        if (random() % 20 == 0) {
          io->Stop();
          io->Start();
        }
        break;
    }
    ++actions;
    if (elapsed >= nextSample) {
      last = Measure();
      Print(elapsed < kWarmUpSeconds ? "warming" : "running", elapsed, last, frames());
      if (elapsed >= kWarmUpSeconds && warm.threads == 0) warm = last;
      nextSample += kSampleSeconds;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kActionMs));
  }

  for (uint32_t i = 0; i < streams; ++i) {
    if (running[i]) capture->StopChannel(i);
  }
  io->Stop();
  const auto closing = Clock::now();
  driver->Close();
  const double closeSeconds = std::chrono::duration<double>(Clock::now() - closing).count();
  library.deleteIPCapture(driver);
  const Usage after = Measure();
  Print("stopped", seconds, after, frames());
  std::printf(
      "soak: %llu host calls, %llu frames, %llu log lines, %llu input changes, "
      "%llu I/O failures, %d samples held, close %.2f s\n",
      (unsigned long long)actions, (unsigned long long)frames(),
      (unsigned long long)log.lines.load(), (unsigned long long)ioSink.changes.load(),
      (unsigned long long)ioSink.failures.load(), allocator.outstanding.load(), closeSeconds);

  bool flat = true;
  if (after.threads > before.threads + kThreadSlack) {
    std::printf("soak: threads not flat: %d before, %d after\n", before.threads, after.threads);
    flat = false;
  }
  // The library and libcurl keep a few descriptors of their own once loaded.
  if (warm.fds > 0 && after.fds > before.fds + 8 + kFdSlack) {
    std::printf("soak: descriptors not flat: %d before, %d after\n", before.fds, after.fds);
    flat = false;
  }
  if (warm.rssKb > 0 && last.rssKb > warm.rssKb + kRssSlackKb) {
    std::printf("soak: memory not flat: %ld KiB after warm-up, %ld KiB at the end\n", warm.rssKb,
                last.rssKb);
    flat = false;
  }
  if (allocator.outstanding.load() != 0) {
    std::printf("soak: %d samples never released\n", allocator.outstanding.load());
    flat = false;
  }
  std::printf("soak: %s\n", flat ? "flat" : "NOT FLAT");
  return flat ? 0 : 1;
}
