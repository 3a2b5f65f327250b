// ipcap's commands; each parses its own options.
#pragma once

namespace ipcap {

int RunOpenCommand(int argc, char** argv);

}  // namespace ipcap
