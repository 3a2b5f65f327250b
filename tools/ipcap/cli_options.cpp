#include "cli_options.h"

#include <algorithm>
#include <cstdlib>

#include "camera_url.h"
#include "driver_library.h"

namespace ipcap {

namespace {

constexpr uint32_t kKnownCustomParameters = 4;

// The driver reads custom parameters from 1 until the first one missing, as
// a recorder supplies them: every index up to the highest given (and the
// four the driver knows) is filled, "(none)" standing for unset.
void FillCustomParameters(CameraOptions* camera) {
  uint32_t last = kKnownCustomParameters;
  if (!camera->params.empty()) last = std::max(last, camera->params.rbegin()->first);
  for (uint32_t index = 1; index <= last; ++index) camera->params.emplace(index, "(none)");
}

bool SettleLogLevel(CommonOptions& options, std::string* error) {
  if (options.quiet && options.verbose) {
    *error = "-q and -v exclude each other";
    return false;
  }
  options.level = options.quiet     ? LogLevel::kError
                  : options.verbose ? LogLevel::kDebug
                                    : LogLevel::kInfo;
  if (options.logLevel.empty()) return true;
  if (options.quiet || options.verbose) {
    *error = "--log-level and -q/-v exclude each other";
    return false;
  }
  if (options.logLevel == "error") options.level = LogLevel::kError;
  if (options.logLevel == "debug") options.level = LogLevel::kDebug;
  return true;
}

}  // namespace

const char* const kExitCodesHelp =
    "Exit codes: 0 ok, 1 runtime failure (no frame arrived, the camera or driver failed, a file "
    "could not be written), 2 usage (a bad or missing option).";

void AddStandardOptions(CLI::App& app) {
  app.set_version_flag("--version", std::string("ipcap ") + IPCAP_VERSION);
  app.footer(kExitCodesHelp);
}

void AddCommonOptions(CLI::App& app, CommonOptions& options) {
  AddStandardOptions(app);
  CameraOptions& c = options.camera;
  options.addressOption =
      app.add_option("--address", c.address, "camera address (dotted IPv4)")->capture_default_str();
  app.add_option("--port,--http-port", c.port, "camera HTTP port")->capture_default_str();
  app.add_option("--user", c.user, "camera user name");
  options.passwordOption =
      app.add_option("--password", c.password,
                     std::string("camera password (else $") + kPasswordVariable + ", else none)");
  app.add_option("--url,--camera", options.urls,
                 "the camera as rtsp://[USER[:PASSWORD]@]HOST[:RTSP-PORT][/PATH][?http-port=N] "
                 "instead of --address/--user/--password/--param 2; repeat for several cameras, "
                 "each opened by a driver of its own; the HTTP port is --http-port unless the URL "
                 "gives one");
  app.add_option("--codec", c.codec, "h264, mjpeg or mpeg4")
      ->check(CLI::IsMember({"h264", "mjpeg", "mpeg4"}))
      ->capture_default_str();
  app.add_option("--streams", c.streams, "number of streams")
      ->check(CLI::Range(1, 1000))
      ->capture_default_str();
  app.add_option("--model", c.model, "device model name given to the driver")
      ->capture_default_str();
  app.add_option("--inputs", c.inputs, "number of digital inputs")->capture_default_str();
  app.add_option("--outputs", c.outputs, "number of digital outputs")->capture_default_str();
  app.add_option("--param", options.params,
                 "custom parameter N=VALUE (1 video standard, 2 RTSP port, 3 firmware, 4 group)");
  options.library = DefaultLibraryPath();
  app.add_option("--library", options.library, "driver library file")->capture_default_str();
  app.add_flag("-q,--quiet", options.quiet,
               "print only errors (the driver's error lines and ipcap's own)");
  app.add_flag("-v,--verbose", options.verbose, "also print ipcap's own details");
  app.add_option("--log-level", options.logLevel, "error, info (default) or debug")
      ->check(CLI::IsMember({"error", "info", "debug"}));
}

bool FinishCommonOptions(CommonOptions& options, std::string* error) {
  if (!SettleLogLevel(options, error)) return false;
  for (const std::string& p : options.params) {
    if (!ParseParam(p, &options.camera.params, error)) return false;
  }
  const bool passwordGiven = options.passwordOption != nullptr && options.passwordOption->count();
  if (!options.urls.empty() && options.addressOption != nullptr && options.addressOption->count()) {
    *error = "give the camera either as --url/--camera or as --address, not both";
    return false;
  }
  options.cameras.clear();
  if (options.urls.empty()) options.cameras.push_back(options.camera);
  for (const std::string& url : options.urls) {
    CameraOptions camera = options.camera;
    camera.password.clear();
    if (!ParseCameraUrl(url, &camera, error)) return false;
    // An explicit --password still wins over none in the URL.
    if (camera.password.empty() && passwordGiven) camera.password = options.camera.password;
    options.cameras.push_back(camera);
  }
  const char* fromEnvironment = std::getenv(kPasswordVariable);
  for (CameraOptions& camera : options.cameras) {
    if (camera.password.empty() && !passwordGiven && fromEnvironment != nullptr) {
      camera.password = fromEnvironment;
    }
    FillCustomParameters(&camera);
  }
  options.camera = options.cameras.front();
  return true;
}

bool ParseCommandLine(CLI::App& app, int argc, char** argv, int* exitCode) {
  try {
    app.parse(argc, argv);
    return true;
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    *exitCode = code == 0 ? kExitOk : kExitUsage;
    return false;
  }
}

}  // namespace ipcap
