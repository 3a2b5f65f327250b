// ipcap: a reference host for the capture driver.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "cli_options.h"
#include "commands.h"

namespace {

struct CommandEntry {
  const char* name;
  std::unique_ptr<ipcap::Command> (*make)();
  const char* summary;
};

const CommandEntry kCommands[] = {
    {"open", ipcap::MakeOpenCommand, "open a driver with a configuration and print its log"},
    {"io", ipcap::MakeIoCommand, "watch digital inputs, switch outputs"},
    {"record", ipcap::MakeRecordCommand, "record the camera's streams to files"},
    {"query", ipcap::MakeQueryCommand, "ask a camera what it can do (capability query)"},
    {"report", ipcap::MakeReportCommand, "write an HTML page about a recording"},
};

void Usage(std::FILE* out) {
  std::fprintf(out, "usage: ipcap <command> [options]   (ipcap <command> --help)\n\ncommands:\n");
  for (const CommandEntry& c : kCommands) std::fprintf(out, "  %-8s %s\n", c.name, c.summary);
  std::fprintf(out, "\n%s\n", ipcap::kExitCodesHelp);
}

bool IsCommand(const char* name) {
  for (const CommandEntry& c : kCommands) {
    if (std::strcmp(name, c.name) == 0) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef SIGPIPE
  // A reader that goes away (ipcap record | head) must not end a recording;
  // a failed write says so instead.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  // ipcap's own usage, with the commands and exit codes, rather than
  // CLI11's; a command's --help is CLI11's.
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
  if (!IsCommand(argv[1])) {
    std::fprintf(stderr, "ipcap: unknown command \"%s\"\n", argv[1]);
    Usage(stderr);
    return ipcap::kExitUsage;
  }
  CLI::App app{"A reference host for the capture driver", "ipcap"};
  app.require_subcommand(1);
  std::unique_ptr<ipcap::Command> commands[std::size(kCommands)];
  CLI::App* subcommands[std::size(kCommands)];
  for (size_t i = 0; i < std::size(kCommands); ++i) {
    commands[i] = kCommands[i].make();
    subcommands[i] = app.add_subcommand(kCommands[i].name, kCommands[i].summary);
    commands[i]->AddOptions(*subcommands[i]);
  }
  int exitCode = ipcap::kExitOk;
  if (!ipcap::ParseCommandLine(app, argc, argv, &exitCode)) return exitCode;
  for (size_t i = 0; i < std::size(kCommands); ++i) {
    if (subcommands[i]->parsed()) return commands[i]->Run();
  }
  return ipcap::kExitUsage;
}
