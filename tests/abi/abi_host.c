// A recorder host as the platform's native compiler would see the driver:
// every interface is a table of function pointers indexed by slot, slot 0 of
// the driver's interfaces being one deleting destructor. It loads the library
// by file name, creates, opens, closes and deletes drivers, and checks what
// its debug sink received.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)
#include <windows.h>
typedef HMODULE LibHandle;
static LibHandle OpenLib(const char* name) { return LoadLibraryA(name); }
static void* Sym(LibHandle h, const char* s) { return (void*)GetProcAddress(h, s); }
static void CloseLib(LibHandle h) { FreeLibrary(h); }
static void SleepSeconds(int s) { Sleep((DWORD)s * 1000); }
#else
#include <dlfcn.h>
#include <unistd.h>
typedef void* LibHandle;
static LibHandle OpenLib(const char* name) { return dlopen(name, RTLD_NOW); }
static void* Sym(LibHandle h, const char* s) { return dlsym(h, s); }
static void CloseLib(LibHandle h) { dlclose(h); }
static void SleepSeconds(int s) { sleep((unsigned)s); }
#endif

#if defined(_WIN32) && defined(__i386__)
#define THISCALL __attribute__((thiscall))
#else
#define THISCALL
#endif

typedef void (*Slot)(void);

typedef struct {
  const Slot* vtbl;
} Object;

#define CALL(obj, slot, type) ((type)(((Object*)(obj))->vtbl[slot]))

static int failures = 0;
#define CHECK(cond, ...)                               \
  do {                                                 \
    if (!(cond)) {                                     \
      ++failures;                                      \
      fprintf(stderr, "abi_host: FAILED %s: ", #cond); \
      fprintf(stderr, __VA_ARGS__);                    \
      fprintf(stderr, "\n");                           \
    }                                                  \
  } while (0)

static void THISCALL NotCalled(void* self) {
  (void)self;
  ++failures;
  fprintf(stderr, "abi_host: FAILED: the driver called a slot it must not call\n");
}

// Debug sink: slot 1 Post(record). Record: slot 1 GetLevel, slot 2 GetText.
#define MAX_LINES 64
typedef struct {
  const Slot* vtbl;
  int count;
  int level[MAX_LINES];
  char text[MAX_LINES][512];
} DebugSink;

static void THISCALL SinkPost(DebugSink* self, void* record) {
  uint8_t level = CALL(record, 1, uint8_t(THISCALL*)(void*))(record);
  const char* text = CALL(record, 2, const char*(THISCALL*)(void*))(record);
  if (self->count < MAX_LINES) {
    self->level[self->count] = level;
    snprintf(self->text[self->count], sizeof self->text[0], "%s", text ? text : "(null)");
  }
  ++self->count;
}
static const Slot kSinkTable[] = {(Slot)NotCalled, (Slot)SinkPost};

// A slot that answers the same whatever the object.
#define CONSTANT(name, type, value)    \
  static type THISCALL name(void* s) { \
    (void)s;                           \
    return value;                      \
  }

// Device configuration: 2 model, 3 channels, 5 inputs, 6 outputs.
CONSTANT(DevModel, const char*, "C Host Camera")
CONSTANT(DevChannels, uint32_t, 2)
CONSTANT(DevInputs, uint32_t, 3)
CONSTANT(DevOutputs, uint32_t, 1)
static const Slot kDeviceTable[] = {(Slot)NotCalled,   (Slot)NotCalled, (Slot)DevModel,
                                    (Slot)DevChannels, (Slot)NotCalled, (Slot)DevInputs,
                                    (Slot)DevOutputs};

// Network configuration: 1 address, 2 port, 4 codec, 5 user, 6 password.
static uint16_t httpPort = 8088;
CONSTANT(NetAddress, const char*, "127.0.0.1")
CONSTANT(NetPort, uint16_t, httpPort)
CONSTANT(NetCodec, uint32_t, 3)
CONSTANT(NetUser, const char*, "admin")
CONSTANT(NetPassword, const char*, "admin")
static const Slot kNetworkTable[] = {(Slot)NotCalled,  (Slot)NetAddress, (Slot)NetPort,
                                     (Slot)NotCalled,  (Slot)NetCodec,   (Slot)NetUser,
                                     (Slot)NetPassword};

static Object device = {kDeviceTable};
static Object network = {kNetworkTable};

// Camera configuration: 1 device, 2 network, 4 custom parameter.
static char rtspPortText[16] = "554";
static const char* customParams[] = {NULL, "0", rtspPortText, "FW-C-1.0", "1"};
CONSTANT(CfgDevice, void*, &device)
CONSTANT(CfgNetwork, void*, &network)
static const char* THISCALL CfgCustom(void* s, uint32_t index) {
  (void)s;
  return index >= 1 && index <= 4 ? customParams[index] : NULL;
}
static const Slot kConfigTable[] = {(Slot)NotCalled, (Slot)CfgDevice, (Slot)CfgNetwork,
                                    (Slot)NotCalled, (Slot)CfgCustom};
static Object config = {kConfigTable};

typedef struct {
  uint16_t wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
} HostSystemTime;

typedef struct {
  const Slot* vtbl;
  uint8_t* buffer;
  uint32_t capacity, length, type, width, height, sizeClass;
  HostSystemTime time;
} Sample;

static uint8_t* THISCALL SampleBuffer(Sample* s) { return s->buffer; }
static void THISCALL SampleLength(Sample* s, uint32_t n) { s->length = n; }
static void THISCALL SampleTime(Sample* s, const HostSystemTime* t) { s->time = *t; }
static void THISCALL SampleType(Sample* s, uint32_t t) { s->type = t; }
static void THISCALL SampleHeight(Sample* s, uint32_t h) { s->height = h; }
static void THISCALL SampleWidth(Sample* s, uint32_t w) { s->width = w; }
static void THISCALL SampleSizeClass(Sample* s, uint32_t c) { s->sizeClass = c; }
static const Slot kSampleTable[] = {
    (Slot)NotCalled,  (Slot)NotCalled,      (Slot)SampleBuffer, (Slot)NotCalled, (Slot)SampleLength,
    (Slot)NotCalled,  (Slot)SampleTime,     (Slot)NotCalled,    (Slot)NotCalled, (Slot)NotCalled,
    (Slot)SampleType, (Slot)NotCalled,      (Slot)SampleHeight, (Slot)NotCalled, (Slot)SampleWidth,
    (Slot)NotCalled,  (Slot)SampleSizeClass};

static volatile long allocations = 0, releases = 0;
static void* THISCALL AllocSample(void* self, uint32_t type, uint32_t capacity,
                                  const char* source) {
  (void)self;
  CHECK(source && strcmp(source, "TavrikIPCapture") == 0, "source name \"%s\"",
        source ? source : "");
  Sample* s = (Sample*)calloc(1, sizeof(Sample));
  if (!s) return NULL;
  s->vtbl = kSampleTable;
  s->buffer = (uint8_t*)malloc(capacity);
  s->capacity = capacity;
  s->type = type;
  __atomic_add_fetch(&allocations, 1, __ATOMIC_SEQ_CST);
  return s;
}
static void THISCALL ReleaseSample(void* self, Sample* s) {
  (void)self;
  free(s->buffer);
  free(s);
  __atomic_add_fetch(&releases, 1, __ATOMIC_SEQ_CST);
}

static volatile long framesDelivered = 0, keyFrames = 0, badFrames = 0;
static unsigned char THISCALL SinkDeliver(void* self, Sample* s) {
  (void)self;
  const uint32_t h264 = 0x34363248u, i264 = 0x34363249u;
  int ok = (s->type == h264 || s->type == i264) && s->width == 352 && s->height == 288 &&
           s->sizeClass == 2 && s->length > 4 && s->length <= s->capacity &&
           s->time.wYear >= 2020 && s->time.wMonth >= 1 && s->time.wMonth <= 12 &&
           s->buffer[0] == 0 && s->buffer[1] == 0 &&
           (s->buffer[2] == 1 || (s->buffer[2] == 0 && s->buffer[3] == 1));
  if (!ok) {
    if (__atomic_add_fetch(&badFrames, 1, __ATOMIC_SEQ_CST) == 1) {
      fprintf(stderr, "abi_host: bad frame: type %08x %ux%u class %u length %u of %u year %u\n",
              (unsigned)s->type, (unsigned)s->width, (unsigned)s->height, (unsigned)s->sizeClass,
              (unsigned)s->length, (unsigned)s->capacity, (unsigned)s->time.wYear);
      fprintf(stderr, "abi_host: first bytes %02x %02x %02x %02x\n", s->buffer[0], s->buffer[1],
              s->buffer[2], s->buffer[3]);
    }
    return 0;
  }
  if (s->type == h264) __atomic_add_fetch(&keyFrames, 1, __ATOMIC_SEQ_CST);
  __atomic_add_fetch(&framesDelivered, 1, __ATOMIC_SEQ_CST);
  return 1;
}
// Slot 3 OnSignalLost: the driver may call it; no check here depends on it.
static void THISCALL SinkSignalLost(void* self) { (void)self; }
static const Slot kFrameSinkTable[] = {(Slot)NotCalled, (Slot)SinkDeliver, (Slot)NotCalled,
                                       (Slot)SinkSignalLost};
static Object frameSink = {kFrameSinkTable};

// Stream settings: 1 format (3 resolution: 1 width, 2 height), 2 rate
// (1 frame interval, 3 quality).
CONSTANT(ResWidth, uint16_t, 352)
CONSTANT(ResHeight, uint16_t, 288)
static const Slot kResolutionTable[] = {(Slot)NotCalled, (Slot)ResWidth, (Slot)ResHeight};
static Object resolution = {kResolutionTable};
CONSTANT(FmtResolution, void*, &resolution)
static const Slot kFormatTable[] = {(Slot)NotCalled, (Slot)NotCalled, (Slot)NotCalled,
                                    (Slot)FmtResolution};
static Object format = {kFormatTable};
CONSTANT(RateInterval, uint16_t, 40)
CONSTANT(RateQuality, uint16_t, 50)
static const Slot kRateTable[] = {(Slot)NotCalled, (Slot)RateInterval, (Slot)NotCalled,
                                  (Slot)RateQuality};
static Object rate = {kRateTable};
CONSTANT(SetFormat, void*, &format)
CONSTANT(SetRate, void*, &rate)
static const Slot kSettingsTable[] = {(Slot)NotCalled, (Slot)SetFormat, (Slot)SetRate};
static Object settings = {kSettingsTable};

// Sample allocator: slot 2 Allocate, slot 6 Release.
static const Slot kAllocatorTable[] = {(Slot)NotCalled,    (Slot)NotCalled, (Slot)AllocSample,
                                       (Slot)NotCalled,    (Slot)NotCalled, (Slot)NotCalled,
                                       (Slot)ReleaseSample};
static Object allocator = {kAllocatorTable};

enum { kDeletingDestructor, kOpen, kClose, kGetVideoCapture, kGetExtension = 5, kGetAuxObject };

typedef void*(THISCALL* DtorFn)(void*, unsigned);
typedef unsigned char(THISCALL* OpenFn)(void*, void*, void*, void*);
typedef void(THISCALL* VoidFn)(void*);
typedef void*(THISCALL* PtrFn)(void*);
typedef void* (*FactoryFn)(void);
typedef void (*DeleteFn)(void*);

enum { kCapGetChannelCount = 1, kCapStartChannel, kCapStopChannel, kCapGetChannelStatus = 6 };
typedef uint32_t(THISCALL* CountFn)(void*);
typedef unsigned char(THISCALL* StartFn)(void*, uint32_t, void*, void*);
typedef unsigned char(THISCALL* StopFn)(void*, uint32_t);
typedef unsigned char(THISCALL* StatusFn)(void*, uint32_t, uint32_t*, uint32_t*, char*, uint32_t);

// Streams H.264 352x288 from a camera (camsim) for some seconds through the
// capture object's slots and checks every frame that reaches the sink.
static void Stream(FactoryFn create, DeleteFn destroy, int seconds) {
  DebugSink sink = {kSinkTable, 0, {0}, {{0}}};
  void* driver = create();
  unsigned char ok = CALL(driver, kOpen, OpenFn)(driver, &sink, &allocator, &config);
  CHECK(ok == 1, "Open returned %u", ok);
  void* capture = CALL(driver, kGetVideoCapture, PtrFn)(driver);
  CHECK(capture != NULL, "no video capture object");
  if (capture == NULL) return;
  CHECK(CALL(capture, kCapGetChannelCount, CountFn)(capture) == 2, "channel count");
  ok = CALL(capture, kCapStartChannel, StartFn)(capture, 0, &frameSink, &settings);
  CHECK(ok == 1, "StartChannel returned %u", ok);
  SleepSeconds(seconds);
  uint32_t state = 99, code = 99;
  char text[32] = "x";
  ok = CALL(capture, kCapGetChannelStatus, StatusFn)(capture, 0, &state, &code, text, sizeof text);
  CHECK(ok == 1 && state == 0 && code == 0 && text[0] == 0, "status %u state %u code %u", ok, state,
        code);
  ok = CALL(capture, kCapStopChannel, StopFn)(capture, 0);
  CHECK(ok == 1, "StopChannel returned %u", ok);
  CALL(driver, kClose, VoidFn)(driver);
  destroy(driver);

  const long expected = 25L * (seconds - 4);
  CHECK(framesDelivered >= expected, "%ld frames in %d s, expected at least %ld", framesDelivered,
        seconds, expected);
  CHECK(keyFrames >= 1, "no key frame");
  CHECK(badFrames == 0, "%ld malformed frames", badFrames);
  CHECK(allocations == releases, "%ld samples allocated, %ld released", allocations, releases);
  printf("abi_host: %ld frames (%ld key) through the C host's tables\n", framesDelivered,
         keyFrames);
}

static const char kOpenLine[] =
    "DRIVER IS OPENED (name: TavrikIPCapture, device model: C Host Camera, FW: FW-C-1.0, "
    "address: 127.0.0.1:8088)";

static void OpenAndClose(void* driver, DebugSink* sink) {
  unsigned char ok = CALL(driver, kOpen, OpenFn)(driver, sink, &allocator, &config);
  CHECK(ok == 1, "Open returned %u", ok);
  CHECK(CALL(driver, kGetExtension, PtrFn)(driver) == NULL, "GetExtension is not null");
  CHECK(CALL(driver, kGetAuxObject, PtrFn)(driver) == NULL, "GetAuxObject is not null");
  CALL(driver, kClose, VoidFn)(driver);
}

// How a host ends a driver: through the library's delete, or through slot
// 0 with the flags a host's delete passes (1), or its array delete (3): the
// one object the factory made is destroyed and freed, nothing before it is
// read or freed (the sanitizer builds would see that).
typedef struct {
  const char* factory;
  int opens;  // a second Open after Close logs a second line
  unsigned destructorFlags;
} Lifecycle;
static const Lifecycle kLifecycles[] = {
    {"CreateIPCapture", 2, 0}, {"CreateIPCaptureEx", 1, 1}, {"CreateIPCapture", 1, 3}};

int main(int argc, char** argv) {
  if (argc != 2 && argc != 5) {
    fprintf(stderr, "usage: abi_host <library> [<http port> <rtsp port> <seconds>]\n");
    return 2;
  }
  LibHandle lib = OpenLib(argv[1]);
  if (!lib) {
    fprintf(stderr, "abi_host: cannot load %s\n", argv[1]);
    return 1;
  }
  const char* exports[] = {"CreateIPCapture", "CreateIPCaptureEx", "DeleteIPCapture",
                           "DeleteIPCaptureEx"};
  for (int i = 0; i < 4; ++i) CHECK(Sym(lib, exports[i]) != NULL, "%s is not exported", exports[i]);
  if (failures) return 1;
  DeleteFn destroy = (DeleteFn)Sym(lib, "DeleteIPCapture");

  if (argc == 5) {
    httpPort = (uint16_t)atoi(argv[2]);
    snprintf(rtspPortText, sizeof rtspPortText, "%s", argv[3]);
    Stream((FactoryFn)Sym(lib, "CreateIPCapture"), destroy, atoi(argv[4]));
  } else {
    for (int c = 0; c < 3; ++c) {
      const Lifecycle* l = &kLifecycles[c];
      DebugSink sink = {kSinkTable, 0, {0}, {{0}}};
      void* driver = ((FactoryFn)Sym(lib, l->factory))();
      CHECK(driver != NULL, "%s returned null", l->factory);
      for (int i = 0; i < l->opens; ++i) OpenAndClose(driver, &sink);
      if (l->destructorFlags == 0) {
        destroy(driver);
      } else {
        void* self = CALL(driver, kDeletingDestructor, DtorFn)(driver, l->destructorFlags);
        CHECK(self == driver, "case %d: the destructor returned %p, not the object", c, self);
      }
      CHECK(sink.count == l->opens, "case %d: the sink received %d lines", c, sink.count);
      for (int i = 0; i < sink.count && i < MAX_LINES; ++i) {
        // No host core library here: 5.12 is assumed, so level 100 arrives as 3.
        CHECK(sink.level[i] == 3, "case %d line %d level %d", c, i, sink.level[i]);
        CHECK(strcmp(sink.text[i], kOpenLine) == 0, "case %d line %d was \"%s\"", c, i,
              sink.text[i]);
      }
    }
    destroy(NULL);
    ((DeleteFn)Sym(lib, "DeleteIPCaptureEx"))(NULL);
  }
  CloseLib(lib);
  if (failures) {
    fprintf(stderr, "abi_host: %d check(s) failed\n", failures);
    return 1;
  }
  printf("abi_host: all checks passed\n");
  return 0;
}
