// Command-line options and conventions shared by ipcap's commands.
#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

#include "host_objects.h"

namespace ipcap {

// Exit codes of every command.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Read when neither --password nor the camera URL gives one, so that the
// password need not show in the process list or the shell's history.
constexpr const char* kPasswordVariable = "IPCAP_PASSWORD";

extern const char* const kExitCodesHelp;

struct CommonOptions {
  CameraOptions camera;
  std::vector<std::string> params;  // N=VALUE texts, parsed by Finish
  std::vector<std::string> urls;    // --url / --camera, one camera each
  std::string library;
  bool quiet = false;
  bool verbose = false;
  std::string logLevel;
  CLI::Option* passwordOption = nullptr;
  CLI::Option* addressOption = nullptr;
  // Made by FinishCommonOptions: one entry per camera.
  std::vector<CameraOptions> cameras;
  LogLevel level = LogLevel::kInfo;
};

// The conventions of every command: --version, the exit codes in --help.
void AddStandardOptions(CLI::App& app);
// Adds the camera options (--address --port/--http-port --user --password
// --url/--camera --codec --streams --model --inputs --outputs --param), the
// log level options (-q -v --log-level) and --library.
void AddCommonOptions(CLI::App& app, CommonOptions& options);
// Parses --param and the camera URLs into options.cameras, takes the
// password from the environment when none was given and settles the log
// level; false with a message.
bool FinishCommonOptions(CommonOptions& options, std::string* error);

// Parses the command line; on --help, --version or a usage error, sets
// *exitCode (0 or kExitUsage) and returns false.
bool ParseCommandLine(CLI::App& app, int argc, char** argv, int* exitCode);

}  // namespace ipcap
