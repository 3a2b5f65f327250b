// ipcap query and ipcap io against the simulated camera: what a person at
// the terminal sees of the capability query and of the camera's I/O.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
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
    // A script reading stdout learns why too.
    const ProcessRun refusedJson = Shell(
        std::string("(" E2E_IPCAP " query --json --user admin --password x --library " E2E_LIBRARY
                    " --port ") +
            std::to_string(camera.httpPort) + " 2>/dev/null)",
        tag + "-refused-json");
    EXPECT_NE(refusedJson.status, 0);
    EXPECT_EQ(refusedJson.output.rfind("{\"error\": {\"message\": \"query failed", 0), 0u)
        << refusedJson.output;
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
  const ProcessRun json =
      Ipcap(camera, "io-set-json", "io --json --outputs 2 --seconds 1 --set 1=closed");
  EXPECT_EQ(json.status, 0) << json.output;
  EXPECT_TRUE(Contains(json.output,
                       "\"event\": \"output\", \"output\": 1, \"state\": "
                       "\"closed\", \"queued\": true}\n"))
      << json.output;
  EXPECT_TRUE(Contains(json.output,
                       "\"event\": \"summary\", \"inputChanges\": 0, "
                       "\"failures\": 0}\n"))
      << json.output;
}

TEST(IpcapIo, WatchPrintsEachInputChangeOnce) {
  camsim::CamsimOptions o = DefaultOptions();
  o.fixture = "siqura_ntsc_h264";  // two inputs
  Camera camera(o);
  ASSERT_TRUE(camera.Start());
  ProcessRun run;
  std::thread watcher(
      [&] { run = Ipcap(camera, "io-watch", "io --watch --inputs 2 --outputs 0 --seconds 7"); });
  // The camera's CGI numbers its inputs from 1; camsim's control endpoint
  // counts from 0, as ipcap does, so input 1 here is input 1 there.
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  const ProcessRun set = Shell("curl -s 'http://127.0.0.1:" + std::to_string(camera.httpPort) +
                                   "/camsim/input?input=1&state=active'",
                               "io-watch-set");
  EXPECT_EQ(set.output, "input 1 active (Input2)\n");
  watcher.join();
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(Count(run.output, "input 1 active\n"), 1u) << run.output;
  EXPECT_EQ(Count(run.output, "input 0 active\n"), 0u) << run.output;
  EXPECT_TRUE(Contains(run.output, "ipcap: 3 input change(s), 0 I/O failure(s)")) << run.output;
}

}  // namespace

namespace {

std::string WorkPath(const std::string& name) { return std::string(E2E_WORK_DIR) + "/" + name; }

// ipcap record against a camera by URL, into a fresh directory unless keep.
std::string RecordCommand(const Camera& camera, const std::string& dir, const std::string& args) {
  return std::string(E2E_IPCAP " record --library " E2E_LIBRARY " --url rtsp://127.0.0.1:") +
         std::to_string(camera.rtsp->Port()) + " --http-port " + std::to_string(camera.httpPort) +
         " --out " + WorkPath(dir) + " " + args;
}

size_t IndexedFrames(const std::string& path) {
  const std::string text = e2e::ReadFile(path);
  size_t lines = 0;
  for (size_t at = 0; (at = text.find('\n', at)) != std::string::npos; ++at) ++lines;
  return lines > 0 ? lines - 1 : 0;  // less the header line
}

TEST(IpcapConventions, BadCommandLinesExitWithTwoAndMakeNothing) {
  struct Case {
    const char* args;
    const char* why;
  };
  const Case cases[] = {
      {"record --format avi", "--format"},
      {"record --url http://127.0.0.1/", "begins with rtsp://"},
      {"record --url rtsp://127.0.0.1:99999/", "bad RTSP port"},
      {"record --url rtsp://127.0.0.1/ --address 127.0.0.1", "not both"},
      {"record --out - --streams 2", "--out - writes one stream"},
      {"record -q -v", "exclude each other"},
      {"record --param x=1", "--param index"},
      {"record --seconds -1", "--seconds"},
      {"io --json", "io needs --watch or --set"},
      {"report", "DIR"},
      {"nosuchcommand", "unknown command"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    std::system(("rm -rf " + WorkPath("usage")).c_str());
    const std::string args = c.args;
    const bool record = args.rfind("record", 0) == 0 && !Contains(args, "--out");
    const std::string out = record ? " --out " + WorkPath("usage") : "";
    const ProcessRun run = Shell(std::string(E2E_IPCAP " ") + args + out, "usage");
    EXPECT_EQ(run.status, 2) << run.output;
    EXPECT_TRUE(Contains(run.output, c.why)) << run.output;
    EXPECT_FALSE(std::filesystem::exists(WorkPath("usage")));
  }
  const ProcessRun version = Shell(E2E_IPCAP " record --version", "version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.output.rfind("ipcap ", 0), 0u) << version.output;
  const ProcessRun help = Shell(E2E_IPCAP " record --help", "help");
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(Contains(help.output, "Exit codes: 0 ok, 1 runtime failure")) << help.output;
}

// The recording is made by a run that is killed: its index and media hold
// the same frames (but the one being written), and both outlive later runs.
TEST(IpcapConventions, AKilledRunsRecordingIsUsableAndSurvivesARefusedAndAFailedRun) {
  Camera camera(DefaultOptions());
  ASSERT_TRUE(camera.Start());
  std::system(("rm -rf " + WorkPath("keep")).c_str());
  const ProcessRun killed = Shell("(" + RecordCommand(camera, "keep", "--seconds 60") +
                                      " & pid=$!; sleep 5; kill -9 $pid; wait $pid)",
                                  "keep-1");
  EXPECT_EQ(killed.status, 128 + 9) << killed.output;
  const std::string media = e2e::ReadFile(WorkPath("keep/stream0.mkv"));
  const std::string index = e2e::ReadFile(WorkPath("keep/stream0.index"));
  const size_t indexed = IndexedFrames(WorkPath("keep/stream0.index"));
  ASSERT_GT(indexed, 0u);
  const ProcessRun decoded = Shell(
      "ffprobe -v error -count_frames -show_entries "
      "stream=nb_read_frames -of csv=p=0 " +
          WorkPath("keep/stream0.mkv"),
      "keep-decode");
  EXPECT_GE(std::atoi(decoded.output.c_str()) + 1, int(indexed)) << decoded.output;

  const ProcessRun refused =
      Shell("(" + RecordCommand(camera, "keep", "--seconds 3 --json") + " 2>/dev/null)", "keep-2");
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.output.rfind("{\"error\": {\"message\": ", 0), 0u) << refused.output;
  EXPECT_TRUE(Contains(refused.output, "stream0.mkv exists; -y/--overwrite")) << refused.output;
  // The camera's streaming service is gone: even with -y the old recording
  // stays until a frame arrives, and --timeout gives up well before --seconds.
  camera.rtsp->Stop();
  const auto start = std::chrono::steady_clock::now();
  const ProcessRun failed =
      Shell(RecordCommand(camera, "keep", "-y -q --seconds 60 --timeout 4"), "keep-3");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_EQ(failed.status, 1);
  // Under -q ipcap's own errors still show, its progress and the driver's
  // information lines do not.
  EXPECT_TRUE(Contains(failed.output, "ipcap: no frame for 4 s (--timeout); giving up"))
      << failed.output;
  EXPECT_FALSE(Contains(failed.output, "[info ")) << failed.output;
  EXPECT_FALSE(Contains(failed.output, " frames, 0.0 fps")) << failed.output;
  EXPECT_EQ(e2e::ReadFile(WorkPath("keep/stream0.mkv")), media);
  EXPECT_EQ(e2e::ReadFile(WorkPath("keep/stream0.index")), index);
}

// stdout closed after two lines (stderr too), as in `ipcap record | head -2`;
// the recording goes on to the end and its report page opens in a browser.
TEST(IpcapConventions, APipedRunKeepsRecordingAndItsReportLoadsInABrowser) {
  Camera camera(DefaultOptions());
  ASSERT_TRUE(camera.Start());
  std::system(("rm -rf " + WorkPath("piped")).c_str());
  const ProcessRun run = Shell("bash -c '" + RecordCommand(camera, "piped", "--seconds 5") +
                                   " 2>&1 | head -2 >/dev/null; exit ${PIPESTATUS[0]}'",
                               "piped");
  EXPECT_EQ(run.status, 0) << run.output;
  const uint64_t sent = camera.rtsp->Stats().framesSent;
  EXPECT_LE(std::llabs(int64_t(IndexedFrames(WorkPath("piped/stream0.index"))) - int64_t(sent)), 1)
      << "camera sent " << sent;

  ASSERT_EQ(Shell(std::string(E2E_IPCAP " report ") + WorkPath("piped"), "report").status, 0);
  const ProcessRun dom = Shell("chromium --headless --no-sandbox --disable-gpu --dump-dom file://" +
                                   WorkPath("piped/report.html") + " 2>/dev/null",
                               "report-dom");
  // The page's own script counts the charts the browser parsed.
  EXPECT_TRUE(Contains(dom.output, "data-charts=\"5\"")) << dom.output.substr(0, 2000);
  for (const char* id :
       {"frame-rate", "bit-rate", "arrival-delay", "lost-frames", "frame-intervals"}) {
    EXPECT_TRUE(Contains(dom.output, std::string("<svg class=\"chart\" id=\"") + id)) << id;
  }
  EXPECT_TRUE(Contains(dom.output, "is online</td>")) << "the driver's log lines are listed";
}

TEST(IpcapConventions, SeveralCamerasByUrlWithThePasswordFromTheEnvironment) {
  camsim::CamsimOptions o = DefaultOptions();
  o.auth = camsim::AuthMode::kDigest;
  o.user = "admin";
  o.password = "s3cret";
  Camera first(o), second(o);
  ASSERT_TRUE(first.Start());
  ASSERT_TRUE(second.Start());
  std::system(("rm -rf " + WorkPath("several")).c_str());
  // The first camera's password is in its URL, with a percent escape; the
  // second takes it from the environment.
  auto url = [](const Camera& c, const std::string& password) {
    return "rtsp://admin" + password + "@127.0.0.1:" + std::to_string(c.rtsp->Port()) +
           "/any?http-port=" + std::to_string(c.httpPort);
  };
  const ProcessRun run =
      Shell("(IPCAP_PASSWORD=s3cret " E2E_IPCAP " record --library " E2E_LIBRARY " --camera " +
                url(first, ":s3%63ret") + " --camera " + url(second, "") +
                " --seconds 4 --json --out " + WorkPath("several") + " 2>/dev/null)",
            "several");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(run.output.rfind("{\"cameras\": [", 0), 0u) << "stdout holds only the JSON summary";
  EXPECT_TRUE(Contains(run.output, "\"exitCode\": 0}")) << run.output;
  for (const char* cam : {"cam0", "cam1"}) {
    EXPECT_GT(IndexedFrames(WorkPath(std::string("several/") + cam + "/stream0.index")), 10u)
        << cam;
  }
  EXPECT_EQ(first.rtsp->Stats().plays, 1u);
  EXPECT_EQ(second.rtsp->Stats().plays, 1u);
}

}  // namespace
