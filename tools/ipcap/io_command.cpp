// ipcap io: opens a driver, starts its digital I/O object, prints every
// input change and I/O failure as it arrives, and switches outputs.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cli_options.h"
#include "commands.h"
#include "driver_library.h"
#include "driver_session.h"
#include "host_objects.h"
#include "json_text.h"
#include "record_companion.h"

namespace ipcap {

namespace {

constexpr uint32_t kOutputOpen = 1;
constexpr uint32_t kOutputClosed = 2;
// Just over the driver's 5 s I/O request time-out: a failed switch has been
// reported by then.
constexpr double kDefaultSetSeconds = 6.0;

volatile std::sig_atomic_t g_interrupted = 0;
void OnInterrupt(int) { g_interrupted = 1; }

// "HH:MM:SS.mmm" in UTC.
std::string TimeNow() {
  static std::mutex mutex;
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const long ms = long(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  char text[32] = "";
  std::lock_guard<std::mutex> lock(mutex);  // gmtime's result is shared
  if (const std::tm* tm = std::gmtime(&seconds)) {
    std::snprintf(text, sizeof(text), "%02d:%02d:%02d.%03ldZ", tm->tm_hour, tm->tm_min, tm->tm_sec,
                  ms);
  }
  return text;
}

const char* InputStateName(uint32_t state) {
  return state == 2 ? "active" : state == 1 ? "inactive" : "state?";
}

// One event as a JSON line: {"time": ..., "event": ...<fields>}.
void PrintJsonEvent(const char* event, const std::string& fields) {
  std::printf("{\"time\": %s, \"event\": \"%s\"%s}\n", JsonText(TimeNow()).c_str(), event,
              fields.c_str());
  std::fflush(stdout);
}

// The host's event sink: prints each event as it arrives (on the driver's
// threads), as text or JSON lines, and counts failures.
class PrintingIOSink : public quenlix::IIOEventSink {
 public:
  PrintingIOSink(bool printInputs, bool json) : printInputs_(printInputs), json_(json) {}
  void Reserved0() override {}
  void OnInputChanged(uint32_t input, uint32_t state) override {
    ++changes_;
    if (!printInputs_) return;
    if (json_) {
      PrintJsonEvent("input", ", \"input\": " + std::to_string(input) + ", \"state\": \"" +
                                  InputStateName(state) + "\"");
      return;
    }
    std::printf("%s input %u %s\n", TimeNow().c_str(), unsigned(input), InputStateName(state));
    std::fflush(stdout);
  }
  void OnIOFailure() override {
    ++failures_;
    if (json_) {
      PrintJsonEvent("failure", "");
      return;
    }
    std::printf("%s I/O failure: a request to the camera failed; every state is forgotten\n",
                TimeNow().c_str());
    std::fflush(stdout);
  }
  void PrintSummary() const {
    if (json_) {
      PrintJsonEvent("summary", ", \"inputChanges\": " + std::to_string(Changes()) +
                                    ", \"failures\": " + std::to_string(Failures()));
      return;
    }
    std::printf("ipcap: %u input change(s), %u I/O failure(s)\n", unsigned(Changes()),
                unsigned(Failures()));
    std::fflush(stdout);
  }
  bool Json() const { return json_; }
  uint32_t Failures() const { return failures_.load(); }
  uint32_t Changes() const { return changes_.load(); }

 private:
  bool printInputs_;
  bool json_;
  std::atomic<uint32_t> failures_{0};
  std::atomic<uint32_t> changes_{0};
};

// "N=open" or "N=closed" → (N, output value); false with a message.
bool ParseSet(const std::string& text, std::pair<uint32_t, uint32_t>* set, std::string* error) {
  const size_t eq = text.find('=');
  char* end = nullptr;
  const unsigned long index = std::strtoul(text.c_str(), &end, 10);
  const std::string value = eq == std::string::npos ? "" : text.substr(eq + 1);
  if (eq == 0 || eq == std::string::npos || end != text.c_str() + eq ||
      (value != "open" && value != "closed")) {
    *error = "--set wants N=open or N=closed, got \"" + text + "\"";
    return false;
  }
  *set = {uint32_t(index), value == "open" ? kOutputOpen : kOutputClosed};
  return true;
}

// Queues each change in order; false when one names no output or cannot be
// queued.
bool ApplyOutputChanges(quenlix::ICaptureIOApi* io,
                        const std::vector<std::pair<uint32_t, uint32_t>>& changes, bool json) {
  bool ok = true;
  for (const auto& change : changes) {
    if (change.first >= io->GetOutputCount()) {
      std::fprintf(stderr, "ipcap: output %u does not exist (--outputs %u)\n",
                   unsigned(change.first), unsigned(io->GetOutputCount()));
      ok = false;
    } else if (!io->SetOutput(change.first, change.second)) {
      std::fprintf(stderr, "ipcap: output %u: the change was not queued\n", unsigned(change.first));
      ok = false;
    } else if (json) {
      PrintJsonEvent("output", ", \"output\": " + std::to_string(change.first) + ", \"state\": \"" +
                                   (change.second == kOutputOpen ? "open" : "closed") +
                                   "\", \"queued\": true");
    } else {
      std::printf("%s output %u %s: queued\n", TimeNow().c_str(), unsigned(change.first),
                  change.second == kOutputOpen ? "open" : "closed");
    }
  }
  std::fflush(stdout);
  return ok;
}

bool ParseSets(const std::vector<std::string>& sets,
               std::vector<std::pair<uint32_t, uint32_t>>* changes, std::string* error) {
  for (const std::string& s : sets) {
    std::pair<uint32_t, uint32_t> change;
    if (!ParseSet(s, &change, error)) return false;
    changes->push_back(change);
  }
  return true;
}

// ipcap record --io: the I/O object runs beside the recording, printing input
// changes and failures, and --set switches outputs once the streams started.
class IoRecordCompanion : public IRecordCompanion {
 public:
  void AddOptions(CLI::App& app) override {
    app.add_option("--set", sets_,
                   "with --io: switch output N once the streams run: N=open or N=closed");
  }
  bool Start(quenlix::ipcapture::IIPCaptureDriver* driver) override {
    std::string error;
    std::vector<std::pair<uint32_t, uint32_t>> changes;
    if (!ParseSets(sets_, &changes, &error)) {
      std::fprintf(stderr, "ipcap: %s\n", error.c_str());
      return false;
    }
    io_ = driver->GetIOApi();
    if (io_ == nullptr) {
      std::fprintf(stderr, "ipcap: --io: the driver has no I/O object\n");
      return false;
    }
    io_->SetEventSink(&sink_);
    if (!io_->Start()) std::fprintf(stderr, "ipcap: --io: Start of the I/O object failed\n");
    ApplyOutputChanges(io_, changes, false);
    return true;
  }
  void Stop() override {
    if (io_ == nullptr) return;
    io_->Stop();
    sink_.PrintSummary();
    io_ = nullptr;
  }

 private:
  std::vector<std::string> sets_;
  PrintingIOSink sink_{true, false};
  quenlix::ICaptureIOApi* io_ = nullptr;
};

IoRecordCompanion gIoRecordCompanion;
[[maybe_unused]] const bool gIoRecordCompanionRegistered =
    (SetRecordCompanion(&gIoRecordCompanion), true);

void WaitSeconds(double seconds) {
  const auto end =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(long(seconds * 1000));
  while (!g_interrupted && (seconds <= 0 || std::chrono::steady_clock::now() < end)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

const char* kHelp =
    "Watch a camera's digital inputs and switch its outputs through the driver's I/O object.\n"
    "Input and output numbers are 0-based, as the driver counts them; give --inputs and\n"
    "--outputs as the camera has them. Starting the I/O object sets every output to open\n"
    "first, as a recorder's start does.\n\n"
    "--set has no direct answer: the driver queues the change and sends it on its output\n"
    "thread, and only a request that gets no answer (no connection, no status within the\n"
    "5 s time-out) or is refused (401, 403) is reported, through OnIOFailure, which ipcap\n"
    "prints and counts as a failure (exit code 1). A camera that answers with another\n"
    "status, even 500, counts as switched; check the camera itself (camsim logs the\n"
    "requests: GET /camsim/outputs).\n"
    "A change equal to the last one asked for is not sent again.";

class IoCommand : public Command {
 public:
  void AddOptions(CLI::App& app) override;
  int Run() override;

 private:
  // After Open: the I/O object started, the changes applied, the watch.
  int RunIo(quenlix::ICaptureIOApi* io, PrintingIOSink& sink,
            const std::vector<std::pair<uint32_t, uint32_t>>& changes);

  CommonOptions options_;
  bool watch_ = false;
  std::vector<std::string> sets_;
  double seconds_ = -1;
  bool json_ = false;
};

void IoCommand::AddOptions(CLI::App& app) {
  app.description(kHelp);
  AddCommonOptions(app, options_);
  app.add_flag("--watch", watch_, "print each input change (and I/O failure) with its time");
  app.add_option("--set", sets_, "switch output N: N=open or N=closed (repeatable, in order)");
  app.add_option("--seconds", seconds_,
                 "how long to watch (0: until Ctrl-C); default 0 with --watch, else 6");
  app.add_flag("--json", json_, "print each event (and the closing counts) as a JSON line");
}

int IoCommand::Run() {
  std::string error;
  std::vector<std::pair<uint32_t, uint32_t>> changes;
  if (!ParseSets(sets_, &changes, &error)) {
    std::fprintf(stderr, "ipcap: %s\n", error.c_str());
    return kExitUsage;
  }
  if (!FinishCommonOptions(options_, &error)) {
    std::fprintf(stderr, "ipcap: %s\n", error.c_str());
    return kExitUsage;
  }
  if (options_.cameras.size() > 1) {
    std::fprintf(stderr, "ipcap: io watches one camera\n");
    return kExitUsage;
  }
  if (!watch_ && changes.empty()) {
    std::fprintf(stderr, "ipcap: io needs --watch or --set (see ipcap io --help)\n");
    return kExitUsage;
  }
  if (seconds_ < 0) seconds_ = watch_ ? 0 : kDefaultSetSeconds;

  DriverLibrary library;
  if (!library.Load(options_.library)) {
    std::fprintf(stderr, "ipcap: %s\n", library.Error().c_str());
    return kExitFailure;
  }
  ConsoleDebugSink debugSink(options_.level);
  // Both sinks outlive the driver, which holds them until it is closed.
  PrintingIOSink sink(watch_, json_);
  DriverSession session(library, options_.camera);
  if (!session.Created()) {
    std::fprintf(stderr, "ipcap: CreateIPCapture returned null\n");
    return kExitFailure;
  }
  quenlix::ICaptureIOApi* io = nullptr;
  if (!session.Open(&debugSink, nullptr)) {
    std::fprintf(stderr, "ipcap: Open failed\n");
  } else if ((io = session.Driver()->GetIOApi()) == nullptr) {
    std::fprintf(stderr, "ipcap: the driver has no I/O object\n");
  } else {
    return RunIo(io, sink, changes);
  }
  return kExitFailure;
}

int IoCommand::RunIo(quenlix::ICaptureIOApi* io, PrintingIOSink& sink,
                     const std::vector<std::pair<uint32_t, uint32_t>>& changes) {
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
  io->SetEventSink(&sink);
  if (json_) {
    PrintJsonEvent("started", ", \"inputs\": " + std::to_string(io->GetInputCount()) +
                                  ", \"outputs\": " + std::to_string(io->GetOutputCount()));
  } else {
    std::printf("%s I/O started: %u input(s), %u output(s)\n", TimeNow().c_str(),
                unsigned(io->GetInputCount()), unsigned(io->GetOutputCount()));
  }
  bool ok = io->Start();
  if (!ok) std::fprintf(stderr, "ipcap: Start of the I/O object failed\n");
  if (!ApplyOutputChanges(io, changes, json_)) ok = false;
  std::fflush(stdout);
  WaitSeconds(seconds_);
  io->Stop();
  const uint32_t failures = sink.Failures();
  sink.PrintSummary();
  if (failures > 0 && !changes.empty()) {
    std::fprintf(stderr,
                 "ipcap: the camera failed to answer I/O requests; an output change "
                 "may not have reached it\n");
  }
  return ok && failures == 0 ? kExitOk : kExitFailure;
}

}  // namespace

std::unique_ptr<Command> MakeIoCommand() { return std::make_unique<IoCommand>(); }

}  // namespace ipcap
