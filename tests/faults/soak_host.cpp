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
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "driver_library.h"
#include "fake_host.h"
#include "frame_recorder.h"
#include "quenlix/io.h"
#include "quenlix/ipcapture.h"

namespace {

using quenlix::ipcapture::IIPCaptureDriver;

// Resident growth allowed between the first sample after warm-up and the end.
constexpr long kRssSlackKb = 24 * 1024;
// The library and libcurl keep a few descriptors of their own once loaded.
constexpr int kLibraryFds = 8;
constexpr int kWarmUpSeconds = 20;
constexpr int kSampleSeconds = 10;
constexpr int kActionMs = 250;

struct Usage {
  int threads = 0;
  int fds = 0;
  long rssKb = 0;
};

Usage Measure() {
  Usage u;
  if (DIR* d = opendir("/proc/self/fd")) {
    // One of the descriptors is the directory being read.
    for (u.fds = -1; dirent* e = readdir(d);) u.fds += e->d_name[0] != '.';
    closedir(d);
  }
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Threads:", 0) == 0) u.threads = std::atoi(line.c_str() + 8);
    if (line.rfind("VmRSS:", 0) == 0) u.rssKb = std::atol(line.c_str() + 6);
  }
  return u;
}

void Print(const char* when, int seconds, const Usage& u, unsigned long long frames) {
  std::printf("soak: %-9s t=%4d s  threads %3d  fds %3d  rss %6ld KiB  frames %llu\n", when,
              seconds, u.threads, u.fds, u.rssKb, frames);
  std::fflush(stdout);
}

// The host: one sink for every stream, the I/O events and the log, that
// counts and keeps nothing (a long run's log is no growth of its own), and
// the random calls.
class Soak : public quenlix::IDebugSink, public quenlix::IFrameSink, public quenlix::IIOEventSink {
 public:
  void Reserved0() override {}
  void Post(CDebugInfoIf* record) override {
    ++lines;
    const char* text = record->GetText();
    if (record->GetLevel() == 1 && verbose_) std::fprintf(stderr, "%s\n", text ? text : "");
  }
  bool Deliver(quenlix::IMediaSample*) override {
    ++frames;
    return true;
  }
  void Reserved2() override {}
  void OnSignalLost() override {}
  void OnInputChanged(uint32_t, uint32_t) override { ++changes; }
  void OnIOFailure() override { ++failures; }

  // Random calls until the time is up, sampled every few seconds; then every
  // stream and the I/O object stopped and the driver closed.
  void Run(IIPCaptureDriver* driver, uint32_t streams, unsigned seed, int runSeconds) {
    seconds = runSeconds;
    capture_ = driver->GetVideoCapture();
    io_ = driver->GetIOApi();
    running_.assign(streams, false);
    random_.seed(seed);
    io_->SetEventSink(this);
    io_->Start();
    const auto start = std::chrono::steady_clock::now();
    for (int nextSample = kSampleSeconds;; ++actions) {
      const int elapsed = int(
          std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
              .count());
      if (elapsed >= seconds) break;
      Act();
      if (elapsed >= nextSample) {
        last = Measure();
        Print(elapsed < kWarmUpSeconds ? "warming" : "running", elapsed, last, frames);
        if (elapsed >= kWarmUpSeconds && warm.threads == 0) warm = last;
        nextSample += kSampleSeconds;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(kActionMs));
    }
    for (uint32_t i = 0; i < streams; ++i) {
      if (running_[i]) capture_->StopChannel(i);
    }
    io_->Stop();
    const auto closing = std::chrono::steady_clock::now();
    driver->Close();
    closeSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - closing).count();
  }

  std::atomic<unsigned long long> lines{0}, frames{0}, changes{0}, failures{0};
  unsigned long long actions = 0;
  int seconds = 0;
  double closeSeconds = 0;
  Usage warm, last;  // the first sample after warm-up, the last

 private:
  void Act() {
    const uint32_t i = random_() % running_.size();
    switch (random_() % 6) {
      case 0:
      case 1:
        if (!running_[i]) running_[i] = capture_->StartChannel(i, this, &small_);
        break;
      case 2:
        if (running_[i]) capture_->StopChannel(i);
        running_[i] = false;
        break;
      case 3:
        if (running_[i]) capture_->ReconfigureChannel(i, random_() % 2 ? &small_ : &large_, 40);
        break;
      case 4:
        io_->SetOutput(random_() % 2, 1 + random_() % 2);
        break;
      default:
        if (random_() % 20 != 0) break;
        io_->Stop();
        io_->Start();
        break;
    }
  }

  const bool verbose_ = std::getenv("SOAK_VERBOSE") != nullptr;
  quenlix::ipcapture::IIPVideoCapture* capture_ = nullptr;
  quenlix::ICaptureIOApi* io_ = nullptr;
  std::vector<bool> running_;
  std::mt19937 random_;
  ipcap::HostStreamSettings small_{320, 240, 40, 50}, large_{640, 480, 40, 50};
};

bool Check(bool holds, const char* what, long before, long after) {
  if (!holds) std::printf("soak: %s not flat: %ld before, %ld after\n", what, before, after);
  return holds;
}

// Flat: threads back to where they were before the library was loaded,
// descriptors within the library's own, memory within the slack after
// warm-up, every sample back with the host.
bool Flat(const Usage& before, const Soak& soak, int held) {
  const Usage after = Measure();
  Print("stopped", soak.seconds, after, soak.frames);
  std::printf(
      "soak: %llu host calls, %llu frames, %llu log lines, %llu input changes, "
      "%llu I/O failures, %d samples held, close %.2f s\n",
      soak.actions, soak.frames.load(), soak.lines.load(), soak.changes.load(),
      soak.failures.load(), held, soak.closeSeconds);
  bool flat = Check(after.threads <= before.threads, "threads", before.threads, after.threads);
  flat &= Check(soak.warm.fds == 0 || after.fds <= before.fds + kLibraryFds, "descriptors",
                before.fds, after.fds);
  flat &= Check(soak.warm.rssKb == 0 || soak.last.rssKb <= soak.warm.rssKb + kRssSlackKb,
                "memory (KiB after warm-up, at the end)", soak.warm.rssKb, soak.last.rssKb);
  flat &= Check(held == 0, "samples held", 0, held);
  std::printf("soak: %s\n", flat ? "flat" : "NOT FLAT");
  return flat;
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

  const Usage before = Measure();
  ipcap::DriverLibrary library;
  if (!library.Load(argv[1])) {
    std::fprintf(stderr, "soak: %s\n", library.Error().c_str());
    return 2;
  }
  testhost::FakeCameraConfig config;
  config.network.address = argv[2];
  config.network.port = uint16_t(std::atoi(argv[3]));
  // camsim's account; the user name (admin) and codec (H.264) are the fake's own.
  config.network.password = "admin";
  config.device.channelCount = streams;
  config.device.inputCount = config.device.outputCount = 2;
  config.custom = {{1, "0"}, {2, argv[4]}, {3, "(none)"}, {4, "1"}};
  Soak soak;
  testhost::FakeAllocator allocator;
  IIPCaptureDriver* driver = library.createIPCapture();
  if (driver == nullptr || !driver->Open(&soak, &allocator, &config)) {
    std::fprintf(stderr, "soak: the driver did not open\n");
    return 2;
  }
  soak.Run(driver, streams, seed, seconds);
  library.deleteIPCapture(driver);
  return Flat(before, soak, allocator.outstanding) ? 0 : 1;
}
