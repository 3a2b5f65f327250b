// Which clip the simulated camera plays on an RTSP stream: the codec comes
// from the stream path, the picture size from the last stream update the
// CGI received, as a real camera would have been configured by it.
#pragma once

#include <string>
#include <vector>

namespace camsim {

// The value of "Image.I0.Appearance.Resolution" in the last update request
// of the log, "" when none carries it.
std::string LastResolutionValue(const std::vector<std::string>& requests);

// The resolution name that the stream at uri plays under that value: for a
// three-entry list (jpeg, h264, h264_2) the entry of the path, otherwise the
// first entry that is not "disable"; "" when nothing fits.
std::string ResolutionNameFor(const std::string& uri, const std::string& value);

// The clip file in mediaDir: camera_<codec>_<w>x<h>.<ext> for the name (PAL
// size, then NTSC), else the codec's 640x480 clip, else any clip of the
// codec; "" when the directory has none.
std::string SelectClipPath(const std::string& mediaDir, const std::vector<std::string>& requests,
                           const std::string& uri);

}  // namespace camsim
