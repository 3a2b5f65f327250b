#include "cli_options.h"

#include <algorithm>

#include "driver_library.h"

namespace ipcap {

namespace {

constexpr uint32_t kKnownCustomParameters = 4;

}  // namespace

void AddCommonOptions(CLI::App& app, CommonOptions& options) {
  CameraOptions& c = options.camera;
  app.add_option("--address", c.address, "camera address (dotted IPv4)")->capture_default_str();
  app.add_option("--port", c.port, "camera HTTP port")->capture_default_str();
  app.add_option("--user", c.user, "camera user name");
  app.add_option("--password", c.password, "camera password");
  app.add_option("--codec", c.codec, "h264, mjpeg or mpeg4")
      ->check(CLI::IsMember({"h264", "mjpeg", "mpeg4"}))
      ->capture_default_str();
  app.add_option("--streams", c.streams, "number of streams")->capture_default_str();
  app.add_option("--model", c.model, "device model name given to the driver")
      ->capture_default_str();
  app.add_option("--inputs", c.inputs, "number of digital inputs")->capture_default_str();
  app.add_option("--outputs", c.outputs, "number of digital outputs")->capture_default_str();
  app.add_option("--param", options.params,
                 "custom parameter N=VALUE (1 video standard, 2 RTSP port, 3 firmware, 4 group)");
  options.library = DefaultLibraryPath();
  app.add_option("--library", options.library, "driver library file")->capture_default_str();
  app.add_flag("--quiet", options.quiet, "do not print the driver's log lines");
}

bool FinishCommonOptions(CommonOptions& options, std::string* error) {
  for (const std::string& p : options.params) {
    if (!ParseParam(p, &options.camera.params, error)) return false;
  }
  // The driver reads custom parameters from 1 until the first one missing, as
  // a recorder supplies them: every index up to the highest given (and the
  // four the driver knows) is filled, "(none)" standing for unset.
  uint32_t last = kKnownCustomParameters;
  if (!options.camera.params.empty()) last = std::max(last, options.camera.params.rbegin()->first);
  for (uint32_t index = 1; index <= last; ++index) options.camera.params.emplace(index, "(none)");
  return true;
}

}  // namespace ipcap
