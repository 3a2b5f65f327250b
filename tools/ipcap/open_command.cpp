// ipcap open: creates a driver through the exports, opens it with the
// configuration from the command line, prints the log lines it sends, closes
// and deletes it.
#include <cstdio>

#include "cli_options.h"
#include "commands.h"
#include "driver_library.h"
#include "driver_session.h"
#include "host_objects.h"

namespace ipcap {

namespace {

class OpenCommand : public Command {
 public:
  void AddOptions(CLI::App& app) override {
    app.description("Open and close a driver, printing its log lines");
    AddCommonOptions(app, options_);
  }
  int Run() override;

 private:
  CommonOptions options_;
};

int OpenCommand::Run() {
  std::string error;
  if (!FinishCommonOptions(options_, &error)) {
    std::fprintf(stderr, "ipcap: %s\n", error.c_str());
    return kExitUsage;
  }

  DriverLibrary library;
  if (!library.Load(options_.library)) {
    std::fprintf(stderr, "ipcap: %s\n", library.Error().c_str());
    return kExitFailure;
  }
  ConsoleDebugSink sink(options_.level);
  DriverSession session(library, options_.camera);
  if (!session.Created()) {
    std::fprintf(stderr, "ipcap: CreateIPCapture returned null\n");
    return kExitFailure;
  }
  const bool opened = session.Open(&sink, nullptr);
  quenlix::ipcapture::IIPCaptureDriver* driver = session.Driver();
  std::printf("ipcap: Open returned %s; video capture object %s; I/O object %s\n",
              opened ? "true" : "false", driver->GetVideoCapture() ? "present" : "absent",
              driver->GetIOApi() ? "present" : "absent");
  session.Close();
  const size_t lines = sink.LineCount();
  std::printf("ipcap: driver closed; %zu log line(s) received\n", lines);
  return opened && lines > 0 ? kExitOk : kExitFailure;
}

}  // namespace

std::unique_ptr<Command> MakeOpenCommand() { return std::make_unique<OpenCommand>(); }

}  // namespace ipcap
