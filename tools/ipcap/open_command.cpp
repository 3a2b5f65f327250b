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
  CLI11_PARSE(app, argc, argv);
  std::string error;
  if (!FinishCommonOptions(options, &error)) {
    std::fprintf(stderr, "ipcap: %s\n", error.c_str());
    return 2;
  }

  DriverLibrary library;
  if (!library.Load(options.library)) {
    std::fprintf(stderr, "ipcap: %s\n", library.Error().c_str());
    return 1;
  }
  ConsoleDebugSink sink(options.quiet);
  OptionsCameraConfig config(options.camera);
  quenlix::ipcapture::IIPCaptureDriver* driver = library.createIPCapture();
  if (driver == nullptr) {
    std::fprintf(stderr, "ipcap: CreateIPCapture returned null\n");
    return 1;
  }
  const bool opened = driver->Open(&sink, nullptr, &config);
  std::printf("ipcap: Open returned %s; video capture object %s; I/O object %s\n",
              opened ? "true" : "false", driver->GetVideoCapture() ? "present" : "absent",
              driver->GetIOApi() ? "present" : "absent");
  driver->Close();
  library.deleteIPCapture(driver);
  const auto lines = sink.Lines();
  std::printf("ipcap: driver closed; %zu log line(s) received\n", lines.size());
  return opened && !lines.empty() ? 0 : 1;
}

}  // namespace ipcap
