/* A recorder host as the platform's native compiler would see the driver:
 * every interface is a table of function pointers indexed by slot, slot 0 of
 * the driver's interfaces being one deleting destructor. It loads the library
 * by file name, creates, opens, closes and deletes drivers, and checks what
 * its debug sink received. */
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
#else
#include <dlfcn.h>
typedef void* LibHandle;
static LibHandle OpenLib(const char* name) { return dlopen(name, RTLD_NOW); }
static void* Sym(LibHandle h, const char* s) { return dlsym(h, s); }
static void CloseLib(LibHandle h) { dlclose(h); }
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
#define CHECK(cond, ...)                              \
  do {                                                \
    if (!(cond)) {                                    \
      ++failures;                                     \
      fprintf(stderr, "abi_host: FAILED %s: ", #cond); \
      fprintf(stderr, __VA_ARGS__);                   \
      fprintf(stderr, "\n");                          \
    }                                                 \
  } while (0)

/* ---- Host objects ------------------------------------------------------- */

static void THISCALL NotCalled(void* self) {
  (void)self;
  ++failures;
  fprintf(stderr, "abi_host: FAILED: the driver called a slot it must not call\n");
}

/* Debug sink: slot 1 Post(record). Record: slot 1 GetLevel, slot 2 GetText. */
#define MAX_LINES 16
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

/* Device configuration: 2 model, 3 channels, 5 inputs, 6 outputs. */
static const char* THISCALL DevModel(void* s) { (void)s; return "C Host Camera"; }
static uint32_t THISCALL DevChannels(void* s) { (void)s; return 2; }
static uint32_t THISCALL DevInputs(void* s) { (void)s; return 3; }
static uint32_t THISCALL DevOutputs(void* s) { (void)s; return 1; }
static const Slot kDeviceTable[] = {(Slot)NotCalled, (Slot)NotCalled, (Slot)DevModel,
                                    (Slot)DevChannels, (Slot)NotCalled, (Slot)DevInputs,
                                    (Slot)DevOutputs};

/* Network configuration: 1 address, 2 port, 4 codec, 5 user, 6 password. */
static const char* THISCALL NetAddress(void* s) { (void)s; return "127.0.0.1"; }
static uint16_t THISCALL NetPort(void* s) { (void)s; return 8088; }
static uint32_t THISCALL NetCodec(void* s) { (void)s; return 3; }
static const char* THISCALL NetUser(void* s) { (void)s; return "admin"; }
static const char* THISCALL NetPassword(void* s) { (void)s; return "pw"; }
static const Slot kNetworkTable[] = {(Slot)NotCalled, (Slot)NetAddress, (Slot)NetPort,
                                     (Slot)NotCalled, (Slot)NetCodec, (Slot)NetUser,
                                     (Slot)NetPassword};

static Object device = {kDeviceTable};
static Object network = {kNetworkTable};

/* Camera configuration: 1 device, 2 network, 4 custom parameter. */
static const char* customParams[] = {NULL, "0", "554", "FW-C-1.0", "1"};
static void* THISCALL CfgDevice(void* s) { (void)s; return &device; }
static void* THISCALL CfgNetwork(void* s) { (void)s; return &network; }
static const char* THISCALL CfgCustom(void* s, uint32_t index) {
  (void)s;
  return index >= 1 && index <= 4 ? customParams[index] : NULL;
}
static const Slot kConfigTable[] = {(Slot)NotCalled, (Slot)CfgDevice, (Slot)CfgNetwork,
                                    (Slot)NotCalled, (Slot)CfgCustom};
static Object config = {kConfigTable};

/* Sample allocator: stored by Open only, never called there. */
static const Slot kAllocatorTable[] = {(Slot)NotCalled, (Slot)NotCalled, (Slot)NotCalled,
                                       (Slot)NotCalled, (Slot)NotCalled, (Slot)NotCalled,
                                       (Slot)NotCalled};
static Object allocator = {kAllocatorTable};

/* ---- Driver slots --------------------------------------------------------- */

enum {
  kDeletingDestructor = 0,
  kOpen = 1,
  kClose = 2,
  kGetVideoCapture = 3,
  kGetIOApi = 4,
  kGetExtension = 5,
  kGetAuxObject = 6
};

typedef void*(THISCALL* DtorFn)(void*, unsigned);
typedef unsigned char(THISCALL* OpenFn)(void*, void*, void*, void*);
typedef void(THISCALL* VoidFn)(void*);
typedef void*(THISCALL* PtrFn)(void*);
typedef void* (*FactoryFn)(void);
typedef void (*DeleteFn)(void*);

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

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: abi_host <library>\n");
    return 2;
  }
  LibHandle lib = OpenLib(argv[1]);
  if (!lib) {
    fprintf(stderr, "abi_host: cannot load %s\n", argv[1]);
    return 1;
  }
  FactoryFn create = (FactoryFn)Sym(lib, "CreateIPCapture");
  FactoryFn createEx = (FactoryFn)Sym(lib, "CreateIPCaptureEx");
  DeleteFn destroy = (DeleteFn)Sym(lib, "DeleteIPCapture");
  DeleteFn destroyEx = (DeleteFn)Sym(lib, "DeleteIPCaptureEx");
  CHECK(create && createEx && destroy && destroyEx, "a factory export is missing");
  if (failures) return 1;

  DebugSink sink = {kSinkTable, 0, {0}, {{0}}};
  void* driver = create();
  CHECK(driver != NULL, "CreateIPCapture returned null");
  OpenAndClose(driver, &sink);
  /* Opened again after Close: a second line. */
  OpenAndClose(driver, &sink);
  destroy(driver);
  destroy(NULL);

  CHECK(sink.count == 2, "sink received %d lines", sink.count);
  for (int i = 0; i < sink.count && i < 2; ++i) {
    /* No host core library here: 5.12 is assumed, so level 100 arrives as 3. */
    CHECK(sink.level[i] == 3, "line %d level %d", i, sink.level[i]);
    CHECK(strcmp(sink.text[i], kOpenLine) == 0, "line %d was \"%s\"", i, sink.text[i]);
  }

  /* The Ex factory, destroyed through slot 0 directly as a host may do. */
  DebugSink sinkEx = {kSinkTable, 0, {0}, {{0}}};
  void* driverEx = createEx();
  CHECK(driverEx != NULL, "CreateIPCaptureEx returned null");
  OpenAndClose(driverEx, &sinkEx);
  void* self = CALL(driverEx, kDeletingDestructor, DtorFn)(driverEx, 1);
  CHECK(self == driverEx, "the deleting destructor returned %p, not the object", self);
  CHECK(sinkEx.count == 1, "Ex sink received %d lines", sinkEx.count);
  destroyEx(NULL);

  CloseLib(lib);
  if (failures) {
    fprintf(stderr, "abi_host: %d check(s) failed\n", failures);
    return 1;
  }
  printf("abi_host: all checks passed\n");
  return 0;
}
