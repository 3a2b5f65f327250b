// ipcap: a reference host for the capture driver.
#include <cstdio>
#include <cstring>
#include <string>

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
};

void Usage() {
  std::fprintf(stderr,
               "usage: ipcap <command> [options]   (ipcap <command> --help)\n\ncommands:\n");
  for (const Command& c : kCommands) std::fprintf(stderr, "  %-8s %s\n", c.name, c.summary);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    Usage();
    return argc < 2 ? 2 : 0;
  }
  for (const Command& c : kCommands) {
    if (std::strcmp(argv[1], c.name) == 0) return c.run(argc - 1, argv + 1);
  }
  std::fprintf(stderr, "ipcap: unknown command \"%s\"\n", argv[1]);
  Usage();
  return 2;
}
