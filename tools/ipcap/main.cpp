// ipcap: a reference host for the capture driver.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "cli_options.h"
#include "commands.h"

namespace {

struct Command {
  const char* name;
  int (*run)(int, char**);
  const char* summary;
};

const Command kCommands[] = {
    {"open", ipcap::RunOpenCommand, "open a driver with a configuration and print its log"},
    {"io", ipcap::RunIoCommand, "watch digital inputs, switch outputs"},
    {"record", ipcap::RunRecordCommand, "record the camera's streams to files"},
    {"query", ipcap::RunQueryCommand, "ask a camera what it can do (capability query)"},
    {"report", ipcap::RunReportCommand, "write an HTML page about a recording"},
};

void Usage(std::FILE* out) {
  std::fprintf(out, "usage: ipcap <command> [options]   (ipcap <command> --help)\n\ncommands:\n");
  for (const Command& c : kCommands) std::fprintf(out, "  %-8s %s\n", c.name, c.summary);
  std::fprintf(out, "\n%s\n", ipcap::kExitCodesHelp);
}

}  // namespace

int main(int argc, char** argv) {
#ifdef SIGPIPE
  // A reader that goes away (ipcap record | head) must not end a recording;
  // a failed write says so instead.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  if (argc < 2) {
    Usage(stderr);
    return ipcap::kExitUsage;
  }
  if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    Usage(stdout);
    return ipcap::kExitOk;
  }
  if (std::strcmp(argv[1], "--version") == 0) {
    std::printf("ipcap %s\n", IPCAP_VERSION);
    return ipcap::kExitOk;
  }
  for (const Command& c : kCommands) {
    if (std::strcmp(argv[1], c.name) == 0) return c.run(argc - 1, argv + 1);
  }
  std::fprintf(stderr, "ipcap: unknown command \"%s\"\n", argv[1]);
  Usage(stderr);
  return ipcap::kExitUsage;
}
