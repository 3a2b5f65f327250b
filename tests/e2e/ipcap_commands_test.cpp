// ipcap query and ipcap io against the simulated camera: what a person at
// the terminal sees of the capability query and of the camera's I/O.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "e2e_camera.h"

namespace {

using e2e::Camera;
using e2e::DefaultOptions;
using e2e::ProcessRun;
using e2e::Shell;

ProcessRun Ipcap(const Camera& camera, const std::string& tag, const std::string& args) {
  return Shell(std::string(E2E_IPCAP " ") + args + " --library " E2E_LIBRARY " --port " +
                   std::to_string(camera.httpPort),
               tag);
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A run that must fail, saying why.
void ExpectFailureSaying(const ProcessRun& run, const std::string& why) {
  EXPECT_NE(run.status, 0) << run.output;
  EXPECT_TRUE(Contains(run.output, why)) << run.output;
}

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(IpcapQuery, PrintsTheCamerasCapabilitiesWithEitherSchemeAndFailsOnWrongCredentials) {
  struct Case {
    const char* name;
    camsim::AuthMode auth;
  };
  for (const Case& c :
       {Case{"basic", camsim::AuthMode::kBasic}, Case{"digest", camsim::AuthMode::kDigest}}) {
    SCOPED_TRACE(c.name);
    camsim::CamsimOptions o = DefaultOptions();
    o.auth = c.auth;
    o.fixture = "siqura_ntsc_h264";
    Camera camera(o);
    ASSERT_TRUE(camera.Start());
    const std::string tag = std::string("query-") + c.name;
    const ProcessRun ok = Ipcap(camera, tag, "query --user admin --password admin");
    EXPECT_EQ(ok.status, 0) << ok.output;
    EXPECT_TRUE(Contains(ok.output, "model:        Siqura BC 820 HD\n")) << ok.output;
    EXPECT_TRUE(Contains(ok.output, "codecs:       H.264, MPEG-4, MJPEG\n")) << ok.output;
    EXPECT_TRUE(Contains(ok.output, "inputs:       2\n")) << ok.output;
    EXPECT_TRUE(Contains(ok.output, "  1280x960       1280    960      66 ms\n")) << ok.output;
    EXPECT_TRUE(Contains(ok.output, "  1 Video standard     1 ")) << ok.output;

    const ProcessRun refused = Ipcap(camera, tag + "-refused", "query --user admin --password x");
    ExpectFailureSaying(refused, "ipcap: query failed");
    EXPECT_FALSE(Contains(refused.output, "model:")) << refused.output;
  }
}

TEST(IpcapIo, OutputsAreSwitchedInOrderWithRepeatsSkippedAndAnUnknownOneIsRefused) {
  camsim::CamsimOptions o = DefaultOptions();
  o.fixture = "siqura_ntsc_h264";  // two outputs
  Camera camera(o);
  ASSERT_TRUE(camera.Start());
  const ProcessRun run =
      Ipcap(camera, "io-set",
            "io --outputs 2 --seconds 2 --set 0=closed --set 0=closed --set 1=closed --set 0=open");
  EXPECT_EQ(run.status, 0) << run.output;
  // Starting the I/O object opens every output first.
  const std::vector<std::string> expected = {"Output.O0.Active=open", "Output.O1.Active=open",
                                             "Output.O0.Active=closed", "Output.O1.Active=closed",
                                             "Output.O0.Active=open"};
  EXPECT_EQ(camera.http.Io().Outputs(), expected);

  camera.http.Io().ClearOutputs();
  const ProcessRun unknown =
      Ipcap(camera, "io-set-unknown", "io --outputs 2 --seconds 1 --set 5=closed");
  ExpectFailureSaying(unknown, "ipcap: output 5 does not exist");
  ExpectFailureSaying(Ipcap(camera, "io-set-malformed", "io --outputs 2 --set 0=ajar"),
                      "--set wants N=open or N=closed");
}

TEST(IpcapIo, WatchPrintsEachInputChangeOnce) {
  camsim::CamsimOptions o = DefaultOptions();
  o.fixture = "siqura_ntsc_h264";  // two inputs
  Camera camera(o);
  ASSERT_TRUE(camera.Start());
  ProcessRun run;
  std::thread watcher(
      [&] { run = Ipcap(camera, "io-watch", "io --watch --inputs 2 --outputs 0 --seconds 7"); });
  // The camera numbers its inputs from 1, the driver from 0.
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  camera.http.Io().SetInput(2, camsim::InputState::kActive);
  watcher.join();
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(Count(run.output, "input 1 active\n"), 1u) << run.output;
  EXPECT_EQ(Count(run.output, "input 0 active\n"), 0u) << run.output;
  EXPECT_TRUE(Contains(run.output, "ipcap: 3 input change(s), 0 I/O failure(s)")) << run.output;
}

}  // namespace
