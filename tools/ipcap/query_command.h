// ipcap query: runs the library's capability query against one camera.
#pragma once

namespace ipcap {

// argv[0] is "query". Exit code 0 when the query reported done.
int RunQueryCommand(int argc, char** argv);

}  // namespace ipcap
