// ipcap query: loads the driver library, runs its capability query with host
// result objects that keep what they are given, waits for the callback and
// prints the camera's capabilities as a table (or JSON).
#include "commands.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "camera_url.h"
#include "cli_options.h"
#include "driver_library.h"
#include "json_text.h"
#include "quenlix/capability.h"

namespace ipcap {

namespace {

class TextField : public quenlix::ICapabilityTextField {
 public:
  void Reserved0() override {}
  void SetText(const char* text) override { value = text != nullptr ? text : ""; }
  std::string value;
};

class Property : public quenlix::ICapabilityProperty {
 public:
  void Reserved0() override {}
  void SetValue(const char* v) override { value = v != nullptr ? v : ""; }
  void Reserved2() override {}
  void Reserved3() override {}
  void SetFlag(uint32_t f) override { flag = f; }
  void SetName(const char* n) override { name = n != nullptr ? n : ""; }
  void SetReserved(uint32_t v) override { reserved = v; }
  uint32_t id = 0;
  std::string name;
  std::string value;
  uint32_t flag = 0;
  uint32_t reserved = 0;
};

struct Resolution {
  std::string name;
  uint32_t width, height, intervalMs;
};

class ResolutionList : public quenlix::ICapabilityResolutionList {
 public:
  void Reserved0() override {}
  void AddResolution(const char* name, uint32_t width, uint32_t height,
                     uint32_t intervalMs) override {
    entries.push_back({name != nullptr ? name : "", width, height, intervalMs});
  }
  std::vector<Resolution> entries;
};

class FrameRateList : public quenlix::ICapabilityFrameRateList {
 public:
  void Reserved0() override {}
  void SetDefaultInterval(uint32_t ms) override { defaultInterval = ms; }
  void AddInterval(uint32_t ms) override { intervals.push_back(ms); }
  uint32_t defaultInterval = 0;
  std::vector<uint32_t> intervals;
};

// Everything is called on the query thread and read after the callback has
// reported, so the callback's lock orders the two.
class Results : public quenlix::ICapabilityResults {
 public:
  void Reserved0() override {}
  void SetCapability(uint32_t id, uint32_t value) override { capabilities[id] = value; }
  void SetModelName(const char* name) override { model = name != nullptr ? name : ""; }
  quenlix::ICapabilityTextField* GetConnectionField(uint32_t index) override {
    return &fields[index];
  }
  void Reserved4() override {}
  quenlix::ICapabilityProperty* AddProperty(uint32_t id) override {
    properties.emplace_back(new Property);
    properties.back()->id = id;
    return properties.back().get();
  }
  quenlix::ICapabilityResolutionList* GetResolutionList() override { return &resolutions; }
  void Reserved7() override {}
  quenlix::ICapabilityFrameRateList* GetFrameRateList(uint32_t which) override {
    return &frameRates[which];
  }

  std::string model;
  std::map<uint32_t, uint32_t> capabilities;
  std::map<uint32_t, TextField> fields;
  std::vector<std::unique_ptr<Property>> properties;
  ResolutionList resolutions;
  std::map<uint32_t, FrameRateList> frameRates;
};

class Callback : public quenlix::ICapabilityQueryCallback {
 public:
  void Reserved0() override {}
  void Reserved1() override {}
  void OnQueryDone() override { Finish(true, 0, ""); }
  void OnQueryError(uint32_t level, const char* message) override {
    Finish(false, level, message != nullptr ? message : "");
  }

  // False when nothing was reported within timeoutMs.
  bool Wait(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return finished_; });
  }
  bool Succeeded() {
    std::lock_guard<std::mutex> lock(mutex_);
    return succeeded_;
  }
  std::string Message() {
    std::lock_guard<std::mutex> lock(mutex_);
    return message_;
  }
  uint32_t Level() {
    std::lock_guard<std::mutex> lock(mutex_);
    return level_;
  }

 private:
  void Finish(bool ok, uint32_t level, const std::string& message) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      finished_ = true;
      succeeded_ = ok;
      level_ = level;
      message_ = message;
    }
    cv_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  bool finished_ = false;
  bool succeeded_ = false;
  uint32_t level_ = 0;
  std::string message_;
};

const char* CapabilityName(uint32_t id) {
  switch (id) {
    case quenlix::kCapPropertiesRead:
      return "properties read";
    case quenlix::kCapInputs:
      return "digital inputs";
    case quenlix::kCapOutputs:
      return "digital outputs";
    case quenlix::kCapAudio:
      return "audio";
    case quenlix::kCapMpeg4:
      return "MPEG-4";
    case quenlix::kCapMjpeg:
      return "MJPEG";
    case quenlix::kCapH264:
      return "H.264";
    case quenlix::kCapFlag11:
      return "flag 11";
    case quenlix::kCapFlag12:
      return "flag 12";
    default:
      return "other";
  }
}

std::string Codecs(const Results& r) {
  std::string out;
  const uint32_t ids[] = {quenlix::kCapH264, quenlix::kCapMpeg4, quenlix::kCapMjpeg};
  for (uint32_t id : ids) {
    auto it = r.capabilities.find(id);
    if (it == r.capabilities.end() || it->second == 0) continue;
    if (!out.empty()) out += ", ";
    out += CapabilityName(id);
  }
  return out;
}

uint32_t Capability(const Results& r, uint32_t id) {
  auto it = r.capabilities.find(id);
  return it == r.capabilities.end() ? 0 : it->second;
}

void PrintTable(Results& r) {
  std::printf("model:        %s\n", r.model.c_str());
  std::printf("address:      %s:%s\n", r.fields[1].value.c_str(), r.fields[2].value.c_str());
  std::printf("codecs:       %s\n", Codecs(r).c_str());
  std::printf("inputs:       %u\n", Capability(r, quenlix::kCapInputs));
  std::printf("outputs:      %u\n", Capability(r, quenlix::kCapOutputs));
  std::printf("audio:        %s\n", Capability(r, quenlix::kCapAudio) ? "yes" : "no");
  const FrameRateList& rates = r.frameRates[1];
  std::printf("frame rates: ");
  for (uint32_t ms : rates.intervals) std::printf(" %u ms", ms);
  std::printf("  (default %u ms)\n", rates.defaultInterval);
  std::printf("resolutions:\n");
  std::printf("  %-12s %6s %6s %10s\n", "name", "width", "height", "interval");
  for (const Resolution& e : r.resolutions.entries) {
    std::printf("  %-12s %6u %6u %7u ms\n", e.name.c_str(), e.width, e.height, e.intervalMs);
  }
  std::printf("properties:\n");
  for (const auto& p : r.properties) {
    std::printf("  %u %-18s %-12s flag %u\n", p->id, p->name.c_str(), p->value.c_str(), p->flag);
  }
  std::printf("capabilities:");
  for (const auto& c : r.capabilities) std::printf(" %u=%u", c.first, c.second);
  std::printf("\n");
}

void PrintJson(Results& r) {
  std::printf("{\n  \"model\": %s,\n", JsonText(r.model).c_str());
  std::printf("  \"address\": %s,\n  \"port\": %s,\n", JsonText(r.fields[1].value).c_str(),
              JsonText(r.fields[2].value).c_str());
  std::printf("  \"codecs\": [");
  const uint32_t codecIds[] = {quenlix::kCapH264, quenlix::kCapMpeg4, quenlix::kCapMjpeg};
  bool first = true;
  for (uint32_t id : codecIds) {
    if (Capability(r, id) == 0) continue;
    std::printf("%s%s", first ? "" : ", ", JsonText(CapabilityName(id)).c_str());
    first = false;
  }
  std::printf("],\n  \"inputs\": %u,\n  \"outputs\": %u,\n  \"audio\": %s,\n",
              Capability(r, quenlix::kCapInputs), Capability(r, quenlix::kCapOutputs),
              Capability(r, quenlix::kCapAudio) ? "true" : "false");
  std::printf("  \"capabilities\": {");
  first = true;
  for (const auto& c : r.capabilities) {
    std::printf("%s\"%u\": %u", first ? "" : ", ", c.first, c.second);
    first = false;
  }
  std::printf("},\n  \"connectionFields\": {");
  first = true;
  for (const auto& f : r.fields) {
    std::printf("%s\"%u\": %s", first ? "" : ", ", f.first, JsonText(f.second.value).c_str());
    first = false;
  }
  std::printf("},\n  \"frameRateLists\": {");
  first = true;
  for (const auto& list : r.frameRates) {
    std::printf("%s\"%u\": {\"defaultIntervalMs\": %u, \"intervalsMs\": [", first ? "" : ", ",
                list.first, list.second.defaultInterval);
    for (size_t i = 0; i < list.second.intervals.size(); ++i) {
      std::printf("%s%u", i ? ", " : "", list.second.intervals[i]);
    }
    std::printf("]}");
    first = false;
  }
  const FrameRateList& rates = r.frameRates[1];
  std::printf("},\n  \"frameIntervalsMs\": [");
  for (size_t i = 0; i < rates.intervals.size(); ++i) {
    std::printf("%s%u", i ? ", " : "", rates.intervals[i]);
  }
  std::printf("],\n  \"defaultIntervalMs\": %u,\n  \"resolutions\": [", rates.defaultInterval);
  for (size_t i = 0; i < r.resolutions.entries.size(); ++i) {
    const Resolution& e = r.resolutions.entries[i];
    std::printf("%s\n    {\"name\": %s, \"width\": %u, \"height\": %u, \"intervalMs\": %u}",
                i ? "," : "", JsonText(e.name).c_str(), e.width, e.height, e.intervalMs);
  }
  std::printf("\n  ],\n  \"properties\": [");
  for (size_t i = 0; i < r.properties.size(); ++i) {
    const Property& p = *r.properties[i];
    std::printf(
        "%s\n    {\"id\": %u, \"name\": %s, \"value\": %s, \"flag\": %u, "
        "\"reserved\": %u}",
        i ? "," : "", p.id, JsonText(p.name).c_str(), JsonText(p.value).c_str(), p.flag,
        p.reserved);
  }
  std::printf("\n  ]\n}\n");
}

// A failure: on stderr, and with --json also as an error object on stdout,
// so that a script reading stdout learns why.
int Fail(bool json, const std::string& message, uint32_t level = 0) {
  std::fprintf(stderr, "ipcap: %s\n", message.c_str());
  if (json) {
    std::printf("{\"error\": {\"message\": %s, \"level\": %u}}\n", JsonText(message).c_str(),
                level);
  }
  return kExitFailure;
}

class QueryCommand : public Command {
 public:
  void AddOptions(CLI::App& app) override;
  int Run() override;

 private:
  CameraOptions camera;
  std::string url;
  std::string libraryPath = DefaultLibraryPath();
  bool json = false;
  uint32_t waitSeconds = 60;
  CLI::Option* address = nullptr;
  CLI::Option* password = nullptr;
};

void QueryCommand::AddOptions(CLI::App& app) {
  app.description("Ask a camera what it can do, through the capability query");
  AddStandardOptions(app);
  address = app.add_option("--address", camera.address, "camera address")->capture_default_str();
  app.add_option("--port,--http-port", camera.port, "camera HTTP port")->capture_default_str();
  app.add_option("--user", camera.user, "camera user name");
  password =
      app.add_option("--password", camera.password,
                     std::string("camera password (else $") + kPasswordVariable + ", else none)");
  app.add_option("--url", url,
                 "the camera as rtsp://[USER[:PASSWORD]@]HOST[:RTSP-PORT][/PATH][?http-port=N] "
                 "instead of --address/--user/--password");
  app.add_option("--library", libraryPath, "driver library file")->capture_default_str();
  app.add_option("--timeout,--wait", waitSeconds, "seconds to wait for the answer")
      ->capture_default_str();
  app.add_flag("--json", json, "print JSON for scripts (a failure as {\"error\": ...})");
}

int QueryCommand::Run() {
  std::string error;
  if (!url.empty()) {
    const std::string given = camera.password;
    camera.password.clear();
    if (address->count() || !ParseCameraUrl(url, &camera, &error)) {
      std::fprintf(stderr, "ipcap: %s\n",
                   address->count() ? "give the camera either as --url or as --address, not both"
                                    : error.c_str());
      return kExitUsage;
    }
    if (camera.password.empty()) camera.password = given;
  }
  const char* fromEnvironment = std::getenv(kPasswordVariable);
  if (camera.password.empty() && !password->count() && fromEnvironment != nullptr) {
    camera.password = fromEnvironment;
  }

  DriverLibrary library;
  if (!library.Load(libraryPath)) return Fail(json, library.Error());
  Callback callback;
  Results results;
  if (library.initCapabilityQuery(&callback, false) != 1) {
    return Fail(json, "InitCapabilityQuery failed");
  }
  if (library.startCapabilityQuery(camera.address.c_str(), camera.port, camera.user.c_str(),
                                   camera.password.c_str(), &results) != 1) {
    library.uninitCapabilityQuery();
    return Fail(json, "StartCapabilityQuery failed");
  }
  const bool answered = callback.Wait(waitSeconds * 1000);
  if (!answered) library.terminateCapabilityQuery();
  // Uninit ends the thread; only then are the results safe to read.
  library.uninitCapabilityQuery();
  if (!answered) {
    return Fail(json, "no answer from the query within " + std::to_string(waitSeconds) + " s");
  }
  if (!callback.Succeeded()) {
    return Fail(
        json,
        "query failed (level " + std::to_string(callback.Level()) + "): " + callback.Message(),
        callback.Level());
  }
  if (json) {
    PrintJson(results);
  } else {
    PrintTable(results);
  }
  return kExitOk;
}

}  // namespace

std::unique_ptr<Command> MakeQueryCommand() { return std::make_unique<QueryCommand>(); }

}  // namespace ipcap
