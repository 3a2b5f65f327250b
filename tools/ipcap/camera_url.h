// A camera given as one URL: rtsp://[USER[:PASSWORD]@]HOST[:RTSP-PORT][/PATH]
// [?http-port=N]. The driver builds its own stream paths, so PATH is only
// accepted, not used.
#pragma once

#include <string>

#include "host_objects.h"

namespace ipcap {

// Fills address, user, password (percent-decoded), the RTSP port (custom
// parameter 2) and, from the query, the HTTP port of *camera; false with a
// message when the URL is malformed.
bool ParseCameraUrl(const std::string& url, CameraOptions* camera, std::string* error);

}  // namespace ipcap
