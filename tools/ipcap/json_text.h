// JSON text for ipcap's machine-readable output.
#pragma once

#include <string>

namespace ipcap {

// s as a quoted JSON string.
std::string JsonText(const std::string& s);

}  // namespace ipcap
