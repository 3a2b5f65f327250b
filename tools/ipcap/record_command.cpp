// ipcap record: opens a driver per camera with the command line's
// configuration, starts its streams, writes every frame to a media file and
// an index, shows progress once a second on stderr and ends with a summary
// (on stdout as JSON with --json).
#include <algorithm>
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
#include "driver_session.h"
#include "frame_recorder.h"
#include "frame_writer.h"
#include "host_objects.h"
#include "json_text.h"
#include "record_companion.h"

namespace ipcap {

namespace {

namespace fs = std::filesystem;

IRecordCompanion* gCompanion = nullptr;
std::atomic<bool> gInterrupted{false};

void OnInterrupt(int) { gInterrupted.store(true); }

constexpr const char* kLogFileName = "driver.log";

struct RecordOptions {
  uint16_t width = 640;
  uint16_t height = 480;
  uint32_t fps = 25;
  uint16_t quality = 50;
  double seconds = 10;
  double timeout = 0;
  std::string out = "recording";
  std::string format = DefaultMediaFormat();
  bool overwrite = false;
  bool json = false;
  bool io = false;
  uint32_t writeStallMs = 0;
  bool discard = false;
};

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

// The driver's reception figures for one stream, from its log: the lines
// of each minute with loss while it runs, the totals line when it ends.
struct Reception {
  unsigned long long received = 0, lost = 0, duplicated = 0, reordered = 0, repaired = 0, late = 0,
                     dropped = 0;
};

Reception ReceptionFromLog(const std::vector<std::string>& lines, size_t stream) {
  Reception r;
  Reception minutes;
  const std::string tag = " stream " + std::to_string(stream) + ": ";
  for (const std::string& line : lines) {
    const size_t at = line.find(tag);
    if (at == std::string::npos) continue;
    const char* text = line.c_str() + at + tag.size();
    Reception t;
    unsigned long long expected = 0;
    unsigned long long lost = 0;
    unsigned long long dropped = 0;
    if (std::sscanf(text,
                    "%llu packets received, %llu lost, %llu duplicated, %llu reordered, %llu "
                    "repaired, %llu late; %llu frames dropped",
                    &t.received, &t.lost, &t.duplicated, &t.reordered, &t.repaired, &t.late,
                    &t.dropped) == 7) {
      return t;
    }
    if (std::sscanf(text, "%llu of %llu packets lost in the last minute, %llu frames dropped",
                    &lost, &expected, &dropped) == 3) {
      minutes.lost += lost;
      minutes.dropped += dropped;
    }
  }
  r.lost = minutes.lost;
  r.dropped = minutes.dropped;
  return r;
}

struct Stream {
  std::unique_ptr<StreamRecorder> recorder;
  StreamCounters last;
  bool started = false;
};

// One camera: a driver of its own, as a recorder loads one per camera.
struct CameraRun {
  CameraOptions camera;
  std::string label;  // "" for a single camera, else "cam<K> "
  std::string dir;
  std::unique_ptr<ConsoleDebugSink> sink;
  std::unique_ptr<DriverSession> session;
  std::vector<Stream> streams;
};

std::string ChannelState(quenlix::ipcapture::IIPVideoCapture* capture, uint32_t index) {
  uint32_t state = 0;
  uint32_t code = 0;
  char text[64];
  const bool known = capture->GetChannelStatus(index, &state, &code, text, sizeof text);
  return StateName(known, state);
}

void PrintProgress(CameraRun& run, double elapsed, double interval) {
  const std::vector<std::string> lines = run.sink->ReceptionLines();
  for (size_t i = 0; i < run.streams.size(); ++i) {
    const StreamCounters now = run.streams[i].recorder->Counters();
    const StreamCounters& was = run.streams[i].last;
    const double fps = interval > 0 ? double(now.frames - was.frames) / interval : 0;
    const double kbps = interval > 0 ? double(now.bytes - was.bytes) * 8 / 1000 / interval : 0;
    const Reception r = ReceptionFromLog(lines, i);
    // The driver reports loss once a minute; until then there is nothing to add.
    char loss[96] = "";
    if (r.lost + r.dropped > 0) {
      std::snprintf(loss, sizeof loss, ", %llu packets lost, %llu frames dropped", r.lost,
                    r.dropped);
    }
    std::fprintf(stderr,
                 "ipcap: %5.1fs %sstream %zu: %llu frames, %.1f fps, %.0f kbit/s, %ux%u, %s%s\n",
                 elapsed, run.label.c_str(), i, static_cast<unsigned long long>(now.frames), fps,
                 kbps, now.width, now.height,
                 ChannelState(run.session->Driver()->GetVideoCapture(), uint32_t(i)).c_str(), loss);
    run.streams[i].last = now;
  }
  std::fflush(stderr);
}

double SecondsSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// The first write failure of any stream, or empty.
std::string WriteFailure(const std::vector<CameraRun>& runs) {
  for (const CameraRun& run : runs) {
    for (const Stream& s : run.streams) {
      std::string failure = s.recorder->Failure();
      if (!failure.empty()) return failure;
    }
  }
  return "";
}

uint64_t TotalFrames(const std::vector<CameraRun>& runs) {
  uint64_t total = 0;
  for (const CameraRun& run : runs) {
    for (const Stream& s : run.streams) total += s.recorder->Counters().frames;
  }
  return total;
}

// Waits for --seconds, Ctrl-C, a write failure or --timeout without a frame,
// with a progress line per stream and second; false when it gave up.
bool RunUntilDone(std::vector<CameraRun>& runs, const FrameWriter& writer,
                  const RecordOptions& options, bool progress) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  auto lastReport = start;
  auto lastFrame = start;
  uint64_t frames = 0;
  bool dropsReported = false;
  while (!gInterrupted.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // Said here, once, rather than by the receive thread that dropped it.
    if (!dropsReported && writer.Dropped() > 0) {
      std::fprintf(stderr,
                   "ipcap: writing falls behind the cameras: frames are being dropped (%zu MiB "
                   "queued); the summary counts them\n",
                   writer.QueueBytes() >> 20);
      dropsReported = true;
    }
    const double elapsed = SecondsSince(start);
    const double sinceReport = SecondsSince(lastReport);
    if (progress && sinceReport >= 1.0) {
      for (CameraRun& run : runs) PrintProgress(run, elapsed, sinceReport);
      lastReport = Clock::now();
    }
    const std::string failure = WriteFailure(runs);
    if (!failure.empty()) {
      std::fprintf(stderr, "ipcap: %s; stopping\n", failure.c_str());
      return false;
    }
    const uint64_t now = TotalFrames(runs);
    if (now != frames) {
      frames = now;
      lastFrame = Clock::now();
    }
    if (options.timeout > 0 && SecondsSince(lastFrame) >= options.timeout) {
      std::fprintf(stderr, "ipcap: no frame for %.0f s (--timeout); giving up\n", options.timeout);
      return false;
    }
    if (options.seconds > 0 && elapsed >= options.seconds) break;
  }
  return true;
}

struct Rates {
  double fps = 0;
  double kbps = 0;
};

// Rates over the time the stream ran, not the set-up before its first frame.
Rates StreamRates(const StreamCounters& c) {
  const double span = c.frames > 1 ? (c.lastFrameSeconds - c.firstFrameSeconds) * double(c.frames) /
                                         double(c.frames - 1)
                                   : 0;
  if (span <= 0) return {};
  return {c.frames / span, c.bytes * 8 / 1000.0 / span};
}

void PrintSummary(const std::vector<CameraRun>& runs, const SamplePool& pool) {
  size_t lines = 0, errors = 0;
  std::fprintf(stderr, "ipcap: summary\n");
  for (const CameraRun& run : runs) {
    lines += run.sink->LineCount();
    errors += run.sink->ErrorCount();
    const std::vector<std::string> reception = run.sink->ReceptionLines();
    for (size_t i = 0; i < run.streams.size(); ++i) {
      const StreamCounters c = run.streams[i].recorder->Counters();
      const Rates r = StreamRates(c);
      std::fprintf(
          stderr,
          "ipcap:   %sstream %zu: %llu frames (%llu key), %llu bytes, %.1f fps, %.0f kbit/s, "
          "%ux%u, %llu refused, %llu signal lost\n",
          run.label.c_str(), i, static_cast<unsigned long long>(c.frames),
          static_cast<unsigned long long>(c.keyFrames), static_cast<unsigned long long>(c.bytes),
          r.fps, r.kbps, c.width, c.height, static_cast<unsigned long long>(c.rejected),
          static_cast<unsigned long long>(c.signalLost));
      const Reception rx = ReceptionFromLog(reception, i);
      std::fprintf(stderr,
                   "ipcap:     packets: %llu received, %llu lost, %llu duplicated, %llu "
                   "reordered, %llu repaired, %llu late; %llu frames dropped\n",
                   rx.received, rx.lost, rx.duplicated, rx.reordered, rx.repaired, rx.late,
                   rx.dropped);
      if (c.skipped > 0) {
        std::fprintf(stderr, "ipcap:     %llu frame(s) before the first key frame not written\n",
                     static_cast<unsigned long long>(c.skipped));
      }
      if (c.dropped > 0) {
        std::fprintf(stderr, "ipcap:     %llu frame(s) dropped: writing fell behind\n",
                     static_cast<unsigned long long>(c.dropped));
      }
      const std::string& index = run.streams[i].recorder->IndexPath();
      const char* made = c.frames > 0 ? "" : " (not made: no frame written)";
      std::fprintf(stderr, "ipcap:     video %s%s\n", run.streams[i].recorder->MediaPath().c_str(),
                   made);
      if (!index.empty()) std::fprintf(stderr, "ipcap:     index %s%s\n", index.c_str(), made);
    }
  }
  std::fprintf(stderr,
               "ipcap:   %zu log line(s), %zu error(s); %zu sample(s) refused by the pool\n", lines,
               errors, pool.Refused());
  std::fflush(stderr);
}

void PrintJsonSummary(const std::vector<CameraRun>& runs, const SamplePool& pool, int exitCode) {
  std::printf("{\"cameras\": [");
  for (size_t k = 0; k < runs.size(); ++k) {
    const CameraRun& run = runs[k];
    std::printf(
        "%s{\"address\": %s, \"httpPort\": %u, \"directory\": %s, \"logLines\": %zu, "
        "\"errors\": %zu, \"streams\": [",
        k ? ", " : "", JsonText(run.camera.address).c_str(), run.camera.port,
        JsonText(run.dir).c_str(), run.sink->LineCount(), run.sink->ErrorCount());
    for (size_t i = 0; i < run.streams.size(); ++i) {
      const StreamRecorder& rec = *run.streams[i].recorder;
      const StreamCounters c = rec.Counters();
      const Rates r = StreamRates(c);
      std::printf(
          "%s{\"stream\": %zu, \"frames\": %llu, \"keyFrames\": %llu, \"bytes\": %llu, "
          "\"fps\": %.2f, \"kbps\": %.1f, \"width\": %u, \"height\": %u, "
          "\"refused\": %llu, \"notWritten\": %llu, \"dropped\": %llu, \"signalLost\": %llu, "
          "\"media\": %s, \"index\": %s}",
          i ? ", " : "", i, static_cast<unsigned long long>(c.frames),
          static_cast<unsigned long long>(c.keyFrames), static_cast<unsigned long long>(c.bytes),
          r.fps, r.kbps, c.width, c.height, static_cast<unsigned long long>(c.rejected),
          static_cast<unsigned long long>(c.skipped), static_cast<unsigned long long>(c.dropped),
          static_cast<unsigned long long>(c.signalLost), JsonText(rec.MediaPath()).c_str(),
          JsonText(rec.IndexPath()).c_str());
    }
    std::printf("]}");
  }
  std::printf("], \"poolRefused\": %zu, \"exitCode\": %d}\n", pool.Refused(), exitCode);
  std::fflush(stdout);
}

void AddRecordOptions(CLI::App& app, RecordOptions& r) {
  app.add_option("--width", r.width, "picture width")->capture_default_str();
  app.add_option("--height", r.height, "picture height")->capture_default_str();
  app.add_option("--fps", r.fps, "frames per second")
      ->check(CLI::Range(1, 1000))
      ->capture_default_str();
  app.add_option("--quality", r.quality, "quality, 0-100")
      ->check(CLI::Range(0, 100))
      ->capture_default_str();
  app.add_option("--seconds", r.seconds, "stop after this long (0: until Ctrl-C)")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option("--timeout", r.timeout,
                 "give up (exit 1) when no frame has arrived for this long (0: never)")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option("--out", r.out,
                 "directory for the recordings (several cameras: cam0, cam1, ... in it), or - "
                 "for one stream's media on stdout, without an index")
      ->capture_default_str();
  app.add_option("--format", r.format,
                 "mkv or mp4 (frames with their UTC times, key frames flagged), or raw "
                 "(the elementary stream as it arrives)")
      ->check(CLI::IsMember({"mkv", "mp4", "raw"}))
      ->capture_default_str();
  app.add_flag("-y,--overwrite", r.overwrite, "replace an existing recording");
  app.add_flag("--json", r.json, "print the summary as JSON on stdout");
  app.add_flag("--io", r.io, "run the I/O command's task beside the recording");
  app.add_option("--write-stall", r.writeStallMs,
                 "once a second the writer stands still this many milliseconds, as a disk does "
                 "while the page cache is written back (for tests and load runs)")
      ->check(CLI::Range(0, 1000))
      ->group("Testing");
  app.add_flag("--discard", r.discard,
               "count the frames but write no media file or index (load measurements)");
}

// Every check that needs no file, so that nothing is made for a command
// line that can not run; false with a message.
bool CheckRecordOptions(const CommonOptions& common, const RecordOptions& r, std::string* error) {
  if (!MediaFormatAvailable(r.format)) {
    *error = "--format " + r.format + ": this build of ipcap has no " + r.format +
             " support (libavformat); use --format raw";
    return false;
  }
  const size_t cameras = common.cameras.size();
  if (r.out == "-" && (cameras != 1 || common.camera.streams != 1 || r.json)) {
    *error = "--out - writes one stream of one camera to stdout, without --json";
    return false;
  }
  if (r.io && cameras != 1) {
    *error = "--io runs beside one camera only";
    return false;
  }
  if (r.io && GetRecordCompanion() == nullptr) {
    *error = "--io: this build has no I/O task to run beside the recording";
    return false;
  }
  return true;
}

std::vector<CameraRun> PlanRuns(const CommonOptions& common, const RecordOptions& r,
                                FrameWriter* writer) {
  std::vector<CameraRun> runs(common.cameras.size());
  for (size_t k = 0; k < runs.size(); ++k) {
    CameraRun& run = runs[k];
    run.camera = common.cameras[k];
    const bool several = runs.size() > 1;
    run.label = several ? "cam" + std::to_string(k) + " " : "";
    run.dir = several ? r.out + "/cam" + std::to_string(k) : r.out;
    run.sink =
        std::make_unique<ConsoleDebugSink>(common.level, several ? "ipcap: " + run.label : "");
    run.streams.resize(run.camera.streams);
    for (uint32_t i = 0; i < run.camera.streams; ++i) {
      const std::string base = run.dir + "/stream" + std::to_string(i);
      const std::string media =
          r.out == "-" ? "-" : base + MediaExtension(r.format, run.camera.codec);
      const std::string index = r.out == "-" || r.discard ? "" : base + ".index";
      run.streams[i].recorder = std::make_unique<StreamRecorder>(
          i, writer, r.discard ? MakeDiscardingWriter() : MakeMediaWriter(r.format, media),
          r.discard ? "(discarded)" : media, index);
    }
  }
  return runs;
}

// The first file of the planned recordings that already exists, or empty.
std::string ExistingFile(const std::vector<CameraRun>& runs) {
  std::error_code ec;
  for (const CameraRun& run : runs) {
    if (run.dir == "-") continue;
    for (const Stream& s : run.streams) {
      if (fs::exists(s.recorder->MediaPath(), ec)) return s.recorder->MediaPath();
      if (fs::exists(s.recorder->IndexPath(), ec)) return s.recorder->IndexPath();
    }
    if (fs::exists(run.dir + "/" + kLogFileName, ec)) return run.dir + "/" + kLogFileName;
  }
  return "";
}

// Makes the directories still missing; the ones made are listed, so that a
// run without a frame can take them away again.
bool MakeDirectories(const std::vector<CameraRun>& runs, std::vector<fs::path>* made,
                     std::string* error) {
  for (const CameraRun& run : runs) {
    if (run.dir == "-") continue;
    std::vector<fs::path> missing;
    std::error_code ec;
    for (fs::path p = fs::path(run.dir); !p.empty() && !fs::exists(p, ec); p = p.parent_path()) {
      missing.push_back(p);
      if (p == p.parent_path()) break;
    }
    fs::create_directories(run.dir, ec);
    if (ec) {
      *error = "can not make " + run.dir + ": " + ec.message();
      return false;
    }
    made->insert(made->end(), missing.begin(), missing.end());
  }
  return true;
}

void RemoveEmptyDirectories(std::vector<fs::path> made) {
  // Deepest first: a parent is empty only once its children are gone.
  std::sort(made.begin(), made.end(), [](const fs::path& a, const fs::path& b) {
    return a.native().size() > b.native().size();
  });
  for (const fs::path& p : made) {
    std::error_code ec;
    if (fs::is_empty(p, ec)) fs::remove(p, ec);
  }
}

bool OpenCamera(const DriverLibrary& library, CameraRun& run, SamplePool& pool) {
  run.session = std::make_unique<DriverSession>(library, run.camera);
  if (!run.session->Created()) {
    std::fprintf(stderr, "ipcap: %sCreateIPCapture returned null\n", run.label.c_str());
    return false;
  }
  if (!run.session->Open(run.sink.get(), &pool) ||
      run.session->Driver()->GetVideoCapture() == nullptr) {
    std::fprintf(stderr, "ipcap: %sthe driver did not open\n", run.label.c_str());
    return false;
  }
  // The driver's log belongs to the recording: it is written beside the
  // media once the first frame is.
  if (run.dir != "-") {
    ConsoleDebugSink* sink = run.sink.get();
    const std::string logPath = run.dir + "/" + kLogFileName;
    for (Stream& s : run.streams)
      s.recorder->OnFirstFrame([sink, logPath] { sink->AttachFile(logPath); });
  }
  return true;
}

void StartStreams(CameraRun& run, HostStreamSettings& settings) {
  for (uint32_t i = 0; i < run.streams.size(); ++i) {
    run.streams[i].started = run.session->StartChannel(i, run.streams[i].recorder.get(), &settings);
    if (!run.streams[i].started)
      std::fprintf(stderr, "ipcap: %sstream %u did not start\n", run.label.c_str(), i);
  }
}

// A run that ends before recording: said on stderr, and with --json also as
// an error object on stdout, so that a script reading stdout learns why.
int Failure(bool json, const std::string& message, bool print = true) {
  if (print) std::fprintf(stderr, "ipcap: %s\n", message.c_str());
  if (json)
    std::printf("{\"error\": {\"message\": %s}, \"exitCode\": 1}\n", JsonText(message).c_str());
  return kExitFailure;
}

const char* kHelp =
    "Record the camera's streams to files: per stream a media file and an index beside it\n"
    "(stream<N>.mkv and stream<N>.index; one line per frame written: frame time, type code,\n"
    "bytes, width, height, arrival time), and the driver's log lines in driver.log. Progress\n"
    "and log lines go to stderr; stdout carries only data (--json, or --out -).\n"
    "An existing recording is kept unless -y; a run in which no frame arrives leaves no file.";

}  // namespace

void SetRecordCompanion(IRecordCompanion* companion) { gCompanion = companion; }
IRecordCompanion* GetRecordCompanion() { return gCompanion; }

namespace {

class RecordCommand : public Command {
 public:
  void AddOptions(CLI::App& app) override {
    app.description(kHelp);
    AddCommonOptions(app, options);
    AddRecordOptions(app, record);
    if (IRecordCompanion* companion = GetRecordCompanion()) companion->AddOptions(app);
  }
  int Run() override;

 private:
  CommonOptions options;
  RecordOptions record;
};

int RecordCommand::Run() {
  std::string error;
  if (!FinishCommonOptions(options, &error) || !CheckRecordOptions(options, record, &error)) {
    std::fprintf(stderr, "ipcap: %s\n", error.c_str());
    return kExitUsage;
  }
  size_t planned = 0;
  for (const auto& camera : options.cameras) planned += camera.streams;
  FrameWriter writer(FrameWriter::QueueBytesFor(planned),
                     std::chrono::milliseconds(record.writeStallMs),
                     FrameWriter::WritersFor(planned));
  std::vector<CameraRun> runs = PlanRuns(options, record, &writer);
  if (options.level == LogLevel::kDebug) {
    for (const CameraRun& run : runs) {
      for (const Stream& s : run.streams) {
        std::fprintf(stderr, "ipcap: %s%s (%s), index %s\n", run.label.c_str(),
                     s.recorder->MediaPath().c_str(), record.format.c_str(),
                     s.recorder->IndexPath().empty() ? "none" : s.recorder->IndexPath().c_str());
      }
      if (run.dir != "-") {
        std::fprintf(stderr, "ipcap: %slog %s/%s\n", run.label.c_str(), run.dir.c_str(),
                     kLogFileName);
      }
    }
  }
  const std::string existing = ExistingFile(runs);
  if (!existing.empty() && !record.overwrite) {
    return Failure(record.json, existing + " exists; -y/--overwrite replaces the recording");
  }

  DriverLibrary library;
  if (!library.Load(options.library)) return Failure(record.json, library.Error());
  std::vector<fs::path> madeDirectories;
  if (!MakeDirectories(runs, &madeDirectories, &error)) return Failure(record.json, error);
  size_t streams = 0;
  for (const CameraRun& run : runs) streams += run.streams.size();
  SamplePool pool(SamplePool::SizeFor(streams));
  bool opened = true;
  for (CameraRun& run : runs) {
    if (opened) opened = OpenCamera(library, run, pool);
  }

  bool completed = false;
  // The driver may keep the settings for as long as the streams run.
  HostStreamSettings settings(record.width, record.height, uint16_t(1000 / record.fps),
                              record.quality);
  if (opened) {
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    for (CameraRun& run : runs) {
      if (options.level != LogLevel::kError) {
        std::fprintf(stderr,
                     "ipcap: %srecording %u %s stream(s) of %ux%u at %u fps, quality %u, from "
                     "%s:%u into %s (%s)\n",
                     run.label.c_str(), run.camera.streams, run.camera.codec.c_str(), record.width,
                     record.height, record.fps, record.quality, run.camera.address.c_str(),
                     run.camera.port, run.dir.c_str(), record.format.c_str());
      }
      StartStreams(run, settings);
    }
    IRecordCompanion* companion = record.io ? GetRecordCompanion() : nullptr;
    if (companion == nullptr || companion->Start(runs.front().session->Driver())) {
      completed = RunUntilDone(runs, writer, record, options.level != LogLevel::kError);
    }
    if (companion != nullptr) companion->Stop();
    if (gInterrupted.load()) std::fprintf(stderr, "ipcap: interrupted, stopping\n");
  }
  for (CameraRun& run : runs) {
    if (run.session) run.session->Close();
  }
  // Whatever was queued when the run ended is written before the files close.
  writer.Finish();
  bool written = true;
  for (CameraRun& run : runs) {
    for (Stream& s : run.streams) {
      if (!s.recorder->Close(&error)) {
        std::fprintf(stderr, "ipcap: %s\n", error.c_str());
        written = false;
      }
    }
  }
  RemoveEmptyDirectories(madeDirectories);
  if (!opened) return Failure(record.json, "the driver did not open", false);

  PrintSummary(runs, pool);
  const uint64_t total = TotalFrames(runs);
  if (total == 0) std::fprintf(stderr, "ipcap: no frame arrived\n");
  const int result = total > 0 && completed && written ? kExitOk : kExitFailure;
  if (record.json) PrintJsonSummary(runs, pool, result);
  return result;
}

}  // namespace

std::unique_ptr<Command> MakeRecordCommand() { return std::make_unique<RecordCommand>(); }

}  // namespace ipcap
