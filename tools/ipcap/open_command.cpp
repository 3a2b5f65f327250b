// ipcap open: creates a driver through the exports, opens it with the
// configuration from the command line, prints the log lines it sends, closes
// and deletes it.
#include <cstdio>

#include "cli_options.h"
#include "commands.h"
#include "driver_library.h"
#include "host_objects.h"

namespace ipcap {

int RunOpenCommand(int argc, char** argv) {
  CLI::App app{"Open and close a driver, printing its log lines", "ipcap open"};
  CommonOptions options;
  AddCommonOptions(app, options);
  int exitCode = kExitOk;
  if (!ParseCommandLine(app, argc, argv, &exitCode)) return exitCode;
  std::string error;
  if (!FinishCommonOptions(options, &error)) {
    std::fprintf(stderr, "ipcap: %s\n", error.c_str());
    return kExitUsage;
  }

  DriverLibrary library;
  if (!library.Load(options.library)) {
    std::fprintf(stderr, "ipcap: %s\n", library.Error().c_str());
    return kExitFailure;
  }
  ConsoleDebugSink sink(options.level);
  OptionsCameraConfig config(options.camera);
  quenlix::ipcapture::IIPCaptureDriver* driver = library.createIPCapture();
  if (driver == nullptr) {
    std::fprintf(stderr, "ipcap: CreateIPCapture returned null\n");
    return kExitFailure;
  }
  const bool opened = driver->Open(&sink, nullptr, &config);
  std::printf("ipcap: Open returned %s; video capture object %s; I/O object %s\n",
              opened ? "true" : "false", driver->GetVideoCapture() ? "present" : "absent",
              driver->GetIOApi() ? "present" : "absent");
  driver->Close();
  library.deleteIPCapture(driver);
  const size_t lines = sink.LineCount();
  std::printf("ipcap: driver closed; %zu log line(s) received\n", lines);
  return opened && lines > 0 ? kExitOk : kExitFailure;
}

}  // namespace ipcap
