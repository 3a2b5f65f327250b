// Command-line options shared by ipcap's commands.
#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

#include "host_objects.h"

namespace ipcap {

struct CommonOptions {
  CameraOptions camera;
  std::vector<std::string> params;  // N=VALUE texts, parsed by Finish
  std::string library;
  bool quiet = false;
};

// Adds --address --port --user --password --codec --streams --model --inputs
// --outputs --param --library --quiet.
void AddCommonOptions(CLI::App& app, CommonOptions& options);
// Parses the --param texts into the camera options; false with a message.
bool FinishCommonOptions(CommonOptions& options, std::string* error);

}  // namespace ipcap
