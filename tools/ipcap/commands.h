// ipcap's commands: each puts its options on a subcommand of the command
// line and runs once the line is parsed.
#pragma once

#include <CLI/CLI.hpp>

#include <memory>

namespace ipcap {

class Command {
 public:
  virtual ~Command() = default;
  virtual void AddOptions(CLI::App& app) = 0;
  // The exit code.
  virtual int Run() = 0;
};

std::unique_ptr<Command> MakeOpenCommand();
std::unique_ptr<Command> MakeIoCommand();
std::unique_ptr<Command> MakeRecordCommand();
std::unique_ptr<Command> MakeQueryCommand();
std::unique_ptr<Command> MakeReportCommand();

}  // namespace ipcap
