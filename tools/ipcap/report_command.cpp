// ipcap report: one self-contained HTML page about a recording directory.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cli_options.h"
#include "commands.h"
#include "report_page.h"

namespace ipcap {

namespace {

namespace fs = std::filesystem;

constexpr const char* kIndexSuffix = ".index";
constexpr const char* kLogFileName = "driver.log";
constexpr const char* kPageName = "report.html";

const char* kHelp =
    "Write an HTML page about a recording made by ipcap record: per-second frame rate and bit\n"
    "rate, the frame-interval histogram, arrival minus frame time, estimated lost frames and\n"
    "the driver's log lines on the same time axis. The page is one file with inline SVG and\n"
    "loads nothing from elsewhere. For several cameras, give each camera's directory.";

std::vector<IndexedStream> ReadStreams(const std::string& dir) {
  std::vector<fs::path> indexes;
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(dir, ec)) {
    if (e.path().extension() == kIndexSuffix) indexes.push_back(e.path());
  }
  std::sort(indexes.begin(), indexes.end());
  std::vector<IndexedStream> streams;
  for (const fs::path& p : indexes) {
    streams.push_back(ReadIndexFile(p.string(), p.stem().string()));
  }
  return streams;
}

class ReportCommand : public Command {
 public:
  void AddOptions(CLI::App& app) override {
    app.description(kHelp);
    AddStandardOptions(app);
    app.add_option("DIR", dir, "the recording directory (ipcap record --out)")->required();
    app.add_option("-o,--output", page, "the page to write (default DIR/report.html)");
    app.add_flag("-y,--overwrite", overwrite, "replace an existing page");
  }
  int Run() override;

 private:
  std::string dir;
  std::string page;
  bool overwrite = false;
};

int ReportCommand::Run() {
  if (page.empty()) page = dir + "/" + kPageName;
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) {
    std::fprintf(stderr, "ipcap: %s is not a directory\n", dir.c_str());
    return kExitFailure;
  }
  const std::vector<IndexedStream> streams = ReadStreams(dir);
  if (streams.empty()) {
    const bool several = fs::is_directory(dir + "/cam0", ec);
    std::fprintf(stderr, "ipcap: no stream index (*.index) in %s%s\n", dir.c_str(),
                 several ? "; a recording of several cameras has one page per camera: give "
                           "its cam0, cam1, ... directories"
                         : "");
    return kExitFailure;
  }
  if (fs::exists(page, ec) && !overwrite) {
    std::fprintf(stderr, "ipcap: %s exists; -y/--overwrite replaces it\n", page.c_str());
    return kExitFailure;
  }
  const std::string html =
      ReportPage("ipcap report: " + dir, streams, ReadLogFile(dir + "/" + kLogFileName));
  std::ofstream out(page, std::ios::binary | std::ios::trunc);
  out << html;
  out.close();
  if (!out) {
    std::fprintf(stderr, "ipcap: can not write %s\n", page.c_str());
    return kExitFailure;
  }
  std::fprintf(stderr, "ipcap: wrote %s\n", page.c_str());
  return kExitOk;
}

}  // namespace

std::unique_ptr<Command> MakeReportCommand() { return std::make_unique<ReportCommand>(); }

}  // namespace ipcap
