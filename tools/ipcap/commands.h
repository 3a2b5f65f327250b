// ipcap's commands; each parses its own options.
#pragma once

namespace ipcap {

int RunOpenCommand(int argc, char** argv);
int RunIoCommand(int argc, char** argv);
int RunRecordCommand(int argc, char** argv);
int RunQueryCommand(int argc, char** argv);
int RunReportCommand(int argc, char** argv);

}  // namespace ipcap
