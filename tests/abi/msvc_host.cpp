// A recorder host as the platform's own compiler builds it: C++ classes
// derived from the host-facing headers, thiscall methods, one-slot virtual
// destructors, the exports bound through an import library. Built without a
// C or C++ runtime (this machine has none for that compiler), linked against
// the DLL's exports and never run: the link proves the names and the calling
// convention of the exports, the compile proves the headers need nothing a
// host lacks. Usage on Windows: msvc_host.exe (exit code 0 on success).
#include "quenlix/capability.h"
#include "quenlix/ipcapture.h"

using namespace quenlix;
using quenlix::ipcapture::IIPCaptureDriverEx;
using quenlix::ipcapture::IIPVideoCapture;

// The compiler refers to this from the tables of abstract classes.
extern "C" int __cdecl _purecall() { return 0; }
extern "C" __declspec(dllimport) void __stdcall Sleep(unsigned long milliseconds);

namespace {

// Outside the stack: without a runtime there is no stack probe for big frames.
uint8_t sampleBuffer[1 << 20];

class DebugSink final : public IDebugSink {
 public:
  void Reserved0() override {}
  void Post(CDebugInfoIf* record) override {
    if (record->GetText() != nullptr) ++lines;
    lastLevel = record->GetLevel();
  }
  int lines = 0;
  uint8_t lastLevel = 0;
};

class Sample final : public IMediaSample {
 public:
  void Reserved0() override {}
  void Reserved1() override {}
  uint8_t* GetBuffer() override { return sampleBuffer; }
  void Reserved3() override {}
  void SetLength(uint32_t length) override { this->length = length; }
  void Reserved5() override {}
  void SetTime(const SYSTEMTIME* time) override { year = time->wYear; }
  void Reserved7() override {}
  void Reserved8() override {}
  void Reserved9() override {}
  void SetType(uint32_t typeCode) override { type = typeCode; }
  void Reserved11() override {}
  void SetHeight(uint32_t) override {}
  void Reserved13() override {}
  void SetWidth(uint32_t) override {}
  void Reserved15() override {}
  void SetSizeClass(uint32_t) override {}
  uint32_t length = 0, type = 0, year = 0;
};

class Allocator final : public ISampleAllocator {
 public:
  void Reserved0() override {}
  void Reserved1() override {}
  IMediaSample* Allocate(uint32_t, uint32_t capacity, const char*) override {
    return capacity <= sizeof sampleBuffer ? &sample : nullptr;
  }
  void Reserved3() override {}
  void Reserved4() override {}
  void Reserved5() override {}
  void Release(IMediaSample*) override {}
  Sample sample;
};

class FrameSink final : public IFrameSink {
 public:
  void Reserved0() override {}
  bool Deliver(IMediaSample*) override { return ++frames, true; }
  void Reserved2() override {}
  void OnSignalLost() override {}
  int frames = 0;
};

class Device final : public IDeviceConfig {
 public:
  void Reserved0() override {}
  void Reserved1() override {}
  const char* GetModelName() override { return "host"; }
  uint32_t GetChannelCount() override { return 1; }
  void Reserved4() override {}
  uint32_t GetInputCount() override { return 2; }
  uint32_t GetOutputCount() override { return 1; }
};

class Network final : public INetworkConfig {
 public:
  void Reserved0() override {}
  const char* GetAddress() override { return "127.0.0.1"; }
  uint16_t GetPort() override { return 80; }
  void Reserved3() override {}
  uint32_t GetCodecType() override { return 3; }
  const char* GetUserName() override { return "admin"; }
  const char* GetPassword() override { return "admin"; }
};

class Config final : public ICameraConfig {
 public:
  void Reserved0() override {}
  IDeviceConfig* GetDevice() override { return &device; }
  INetworkConfig* GetNetwork() override { return &network; }
  void Reserved3() override {}
  const char* GetCustomParameter(uint32_t index) override { return index == 2 ? "554" : nullptr; }
  Device device;
  Network network;
};

class Resolution final : public IResolution {
 public:
  void Reserved0() override {}
  uint16_t GetWidth() override { return 640; }
  uint16_t GetHeight() override { return 480; }
};

class Format final : public IStreamFormat {
 public:
  void Reserved0() override {}
  void Reserved1() override {}
  void Reserved2() override {}
  IResolution* GetResolution() override { return &resolution; }
  Resolution resolution;
};

class Rate final : public IStreamRate {
 public:
  void Reserved0() override {}
  uint16_t GetFrameInterval() override { return 40; }
  void Reserved2() override {}
  uint16_t GetQuality() override { return 80; }
};

class Settings final : public IStreamSettings {
 public:
  void Reserved0() override {}
  IStreamFormat* GetFormat() override { return &format; }
  IStreamRate* GetRate() override { return &rate; }
  Format format;
  Rate rate;
};

class IOSink final : public IIOEventSink {
 public:
  void Reserved0() override {}
  void OnInputChanged(uint32_t, uint32_t state) override { lastState = state; }
  void OnIOFailure() override {}
  uint32_t lastState = 0;
};

class QueryCallback final : public ICapabilityQueryCallback {
 public:
  void Reserved0() override {}
  void Reserved1() override {}
  void OnQueryDone() override { done = 1; }
  void OnQueryError(uint32_t, const char*) override { done = 2; }
  volatile int done = 0;
};

int Record() {
  DebugSink debug;
  Allocator allocator;
  Config config;
  Settings settings;
  FrameSink sink;
  IOSink ioSink;
  IIPCaptureDriverEx* driver = CreateIPCaptureEx();
  if (driver == nullptr) return 1;
  int failures = 0;
  if (!driver->Open(&debug, &allocator, &config)) ++failures;
  if (ICaptureIOApi* io = driver->GetIOApi()) {
    io->SetEventSink(&ioSink);
    io->Start();
    io->SetOutput(0, 1);
    io->Stop();
  }
  IIPVideoCapture* capture = driver->GetVideoCapture();
  if (capture == nullptr || capture->GetChannelCount() != 1) ++failures;
  if (capture != nullptr) {
    if (!capture->StartChannel(0, &sink, &settings)) ++failures;
    for (int waited = 0; sink.frames == 0 && waited < 100; ++waited) Sleep(100);
    uint32_t state = 0, code = 0;
    char text[128];
    capture->GetChannelStatus(0, &state, &code, text, sizeof text);
    capture->StopChannel(0);
  }
  if (driver->GetExtension() != nullptr || driver->GetAuxObject() != nullptr) ++failures;
  driver->Close();
  DeleteIPCaptureEx(driver);
  // The plain factory and delete through the interface's own destructor slot.
  ipcapture::IIPCaptureDriver* plain = CreateIPCapture();
  if (plain != nullptr) plain->DeletingDestructor(1);
  DeleteIPCapture(nullptr);
  return failures;
}

class TextField final : public ICapabilityTextField {
 public:
  void Reserved0() override {}
  void SetText(const char*) override { ++texts; }
  int texts = 0;
};

class Property final : public ICapabilityProperty {
 public:
  void Reserved0() override {}
  void SetValue(const char*) override {}
  void Reserved2() override {}
  void Reserved3() override {}
  void SetFlag(uint32_t) override {}
  void SetName(const char*) override {}
  void SetReserved(uint32_t) override {}
};

class Resolutions final : public ICapabilityResolutionList {
 public:
  void Reserved0() override {}
  void AddResolution(const char*, uint32_t, uint32_t, uint32_t) override { ++count; }
  int count = 0;
};

class FrameRates final : public ICapabilityFrameRateList {
 public:
  void Reserved0() override {}
  void SetDefaultInterval(uint32_t) override {}
  void AddInterval(uint32_t) override {}
};

class Results final : public ICapabilityResults {
 public:
  void Reserved0() override {}
  void SetCapability(uint32_t, uint32_t) override {}
  void SetModelName(const char*) override {}
  ICapabilityTextField* GetConnectionField(uint32_t) override { return &field; }
  void Reserved4() override {}
  ICapabilityProperty* AddProperty(uint32_t) override { return &property; }
  ICapabilityResolutionList* GetResolutionList() override { return &resolutions; }
  void Reserved7() override {}
  ICapabilityFrameRateList* GetFrameRateList(uint32_t) override { return &rates; }
  TextField field;
  Property property;
  Resolutions resolutions;
  FrameRates rates;
};

int Query() {
  QueryCallback callback;
  Results results;
  if (InitCapabilityQuery(&callback, false) != 1) return 1;
  if (StartCapabilityQuery("127.0.0.1", 80, "admin", "admin", &results) == 1) {
    for (int waited = 0; callback.done == 0 && waited < 600; ++waited) Sleep(100);
  }
  TerminateCapabilityQuery();
  UninitCapabilityQuery();
  return callback.done == 1 ? 0 : 1;
}

}  // namespace

extern "C" int __cdecl HostMain() { return Record() + Query(); }
