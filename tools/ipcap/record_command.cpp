// ipcap record: opens a driver with the command line's configuration, starts
// its streams, writes every frame to a playable file and an index, shows
// progress once a second and prints a summary at the end.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cli_options.h"
#include "commands.h"
#include "driver_library.h"
#include "frame_recorder.h"
#include "host_objects.h"
#include "record_companion.h"

namespace ipcap {

namespace {

IRecordCompanion* gCompanion = nullptr;
std::atomic<bool> gInterrupted{false};

void OnInterrupt(int) { gInterrupted.store(true); }

struct RecordOptions {
  uint16_t width = 640;
  uint16_t height = 480;
  uint32_t fps = 25;
  uint16_t quality = 50;
  double seconds = 10;
  std::string out = "recording";
  bool io = false;
};

const char* Extension(const std::string& codec) {
  if (codec == "mjpeg") return ".mjpeg";
  if (codec == "mpeg4") return ".m4v";
  return ".h264";
}

const char* StateName(bool known, uint32_t state) {
  if (!known) return "no channel";
  switch (state) {
    case 0:
      return "streaming";
    case 2:
      return "signal lost";
    case 3:
      return "stopped";
    default:
      return "unknown";
  }
}

struct Stream {
  std::unique_ptr<StreamRecorder> recorder;
  StreamCounters last;
  bool started = false;
};

std::string ChannelState(quenlix::ipcapture::IIPVideoCapture* capture, uint32_t index) {
  uint32_t state = 0;
  uint32_t code = 0;
  char text[64];
  const bool known = capture->GetChannelStatus(index, &state, &code, text, sizeof text);
  return StateName(known, state);
}

void PrintProgress(quenlix::ipcapture::IIPVideoCapture* capture, std::vector<Stream>& streams,
                   double elapsed, double interval) {
  for (size_t i = 0; i < streams.size(); ++i) {
    const StreamCounters now = streams[i].recorder->Counters();
    const StreamCounters& was = streams[i].last;
    const double fps = interval > 0 ? double(now.frames - was.frames) / interval : 0;
    const double kbps = interval > 0 ? double(now.bytes - was.bytes) * 8 / 1000 / interval : 0;
    std::printf("ipcap: %5.1fs stream %zu: %llu frames, %.1f fps, %.0f kbit/s, %ux%u, %s\n",
                elapsed, i, static_cast<unsigned long long>(now.frames), fps, kbps, now.width,
                now.height, ChannelState(capture, uint32_t(i)).c_str());
    streams[i].last = now;
  }
  std::fflush(stdout);
}

// The wait for --seconds or Ctrl-C, with a progress line per stream and second.
void RunUntilDone(quenlix::ipcapture::IIPCaptureDriver* driver, std::vector<Stream>& streams,
                  double seconds, bool quiet) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  auto lastReport = start;
  while (!gInterrupted.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto now = Clock::now();
    const double elapsed = std::chrono::duration<double>(now - start).count();
    const double sinceReport = std::chrono::duration<double>(now - lastReport).count();
    if (!quiet && sinceReport >= 1.0) {
      PrintProgress(driver->GetVideoCapture(), streams, elapsed, sinceReport);
      lastReport = now;
    }
    if (seconds > 0 && elapsed >= seconds) break;
  }
}

uint64_t PrintSummary(const std::vector<Stream>& streams, const ConsoleDebugSink& sink,
                      const SamplePool& pool) {
  uint64_t total = 0;
  std::printf("ipcap: summary\n");
  for (size_t i = 0; i < streams.size(); ++i) {
    const StreamCounters c = streams[i].recorder->Counters();
    total += c.frames;
    // Rates over the time the stream ran, not the set-up before its first frame.
    const double span = c.frames > 1 ? (c.lastFrameSeconds - c.firstFrameSeconds) *
                                           double(c.frames) / double(c.frames - 1)
                                     : 0;
    std::printf(
        "ipcap:   stream %zu: %llu frames (%llu key), %llu bytes, %.1f fps, %.0f kbit/s, "
        "%ux%u, %llu refused, %llu signal lost\n",
        i, static_cast<unsigned long long>(c.frames), static_cast<unsigned long long>(c.keyFrames),
        static_cast<unsigned long long>(c.bytes), span > 0 ? c.frames / span : 0.0,
        span > 0 ? c.bytes * 8 / 1000.0 / span : 0.0, c.width, c.height,
        static_cast<unsigned long long>(c.rejected), static_cast<unsigned long long>(c.signalLost));
    std::printf("ipcap:     video %s\nipcap:     index %s\n",
                streams[i].recorder->MediaPath().c_str(), streams[i].recorder->IndexPath().c_str());
  }
  std::printf("ipcap:   %zu log line(s), %zu error(s); %zu sample(s) refused by the pool\n",
              sink.Lines().size(), sink.ErrorCount(), pool.Refused());
  std::fflush(stdout);
  return total;
}

bool AddRecordOptions(CLI::App& app, RecordOptions& r) {
  app.add_option("--width", r.width, "picture width")->capture_default_str();
  app.add_option("--height", r.height, "picture height")->capture_default_str();
  app.add_option("--fps", r.fps, "frames per second")
      ->check(CLI::Range(1, 1000))
      ->capture_default_str();
  app.add_option("--quality", r.quality, "quality, 0-100")
      ->check(CLI::Range(0, 100))
      ->capture_default_str();
  app.add_option("--seconds", r.seconds, "stop after this long (0: until Ctrl-C)")
      ->capture_default_str();
  app.add_option("--out", r.out, "directory for the recordings")->capture_default_str();
  app.add_flag("--io", r.io, "run the I/O command's task beside the recording");
  return true;
}

}  // namespace

void SetRecordCompanion(IRecordCompanion* companion) { gCompanion = companion; }
IRecordCompanion* GetRecordCompanion() { return gCompanion; }

int RunRecordCommand(int argc, char** argv) {
  CLI::App app{"Record the camera's streams to files", "ipcap record"};
  CommonOptions options;
  RecordOptions record;
  AddCommonOptions(app, options);
  AddRecordOptions(app, record);
  if (IRecordCompanion* companion = GetRecordCompanion()) companion->AddOptions(app);
  CLI11_PARSE(app, argc, argv);
  std::string error;
  if (!FinishCommonOptions(options, &error)) {
    std::fprintf(stderr, "ipcap: %s\n", error.c_str());
    return 2;
  }
  if (record.io && GetRecordCompanion() == nullptr) {
    std::fprintf(stderr, "ipcap: --io: this build has no I/O task to run beside the recording\n");
    return 2;
  }
  std::error_code ec;
  std::filesystem::create_directories(record.out, ec);
  if (ec) {
    std::fprintf(stderr, "ipcap: can not make %s: %s\n", record.out.c_str(), ec.message().c_str());
    return 1;
  }

  std::vector<Stream> streams(options.camera.streams);
  for (uint32_t i = 0; i < options.camera.streams; ++i) {
    const std::string base = record.out + "/stream" + std::to_string(i);
    streams[i].recorder = std::make_unique<StreamRecorder>(
        i, base + Extension(options.camera.codec), base + ".index");
    if (!streams[i].recorder->Open(&error)) {
      std::fprintf(stderr, "ipcap: %s\n", error.c_str());
      return 1;
    }
  }

  DriverLibrary library;
  if (!library.Load(options.library)) {
    std::fprintf(stderr, "ipcap: %s\n", library.Error().c_str());
    return 1;
  }
  ConsoleDebugSink sink(options.quiet);
  SamplePool pool;
  OptionsCameraConfig config(options.camera);
  quenlix::ipcapture::IIPCaptureDriver* driver = library.createIPCapture();
  if (driver == nullptr) {
    std::fprintf(stderr, "ipcap: CreateIPCapture returned null\n");
    return 1;
  }
  if (!driver->Open(&sink, &pool, &config) || driver->GetVideoCapture() == nullptr) {
    std::fprintf(stderr, "ipcap: the driver did not open\n");
    driver->Close();
    library.deleteIPCapture(driver);
    return 1;
  }

  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
  quenlix::ipcapture::IIPVideoCapture* capture = driver->GetVideoCapture();
  HostStreamSettings settings(record.width, record.height, uint16_t(1000 / record.fps),
                              record.quality);
  std::printf(
      "ipcap: recording %u %s stream(s) of %ux%u at %u fps, quality %u, from %s:%u into %s\n",
      options.camera.streams, options.camera.codec.c_str(), record.width, record.height, record.fps,
      record.quality, options.camera.address.c_str(), options.camera.port, record.out.c_str());
  std::fflush(stdout);
  for (uint32_t i = 0; i < streams.size(); ++i) {
    streams[i].started = capture->StartChannel(i, streams[i].recorder.get(), &settings);
    if (!streams[i].started) std::printf("ipcap: stream %u did not start\n", i);
  }

  IRecordCompanion* companion = record.io ? GetRecordCompanion() : nullptr;
  if (companion == nullptr || companion->Start(driver)) {
    RunUntilDone(driver, streams, record.seconds, options.quiet);
  }
  if (companion != nullptr) companion->Stop();
  if (gInterrupted.load()) std::printf("ipcap: interrupted, stopping\n");

  for (uint32_t i = 0; i < streams.size(); ++i) capture->StopChannel(i);
  driver->Close();
  library.deleteIPCapture(driver);
  for (Stream& s : streams) s.recorder->Close();

  const uint64_t total = PrintSummary(streams, sink, pool);
  if (total == 0) std::printf("ipcap: no frame arrived\n");
  return total > 0 ? 0 : 1;
}

}  // namespace ipcap
