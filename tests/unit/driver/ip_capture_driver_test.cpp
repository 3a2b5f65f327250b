#include "driver/ip_capture_driver.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "driver/debug_info.h"
#include "driver/ip_video_capture.h"
#include "driver/tavrik_ip_capture_driver.h"
#include "fake_driver.h"
#include "media/sample_contract.h"
#include "quenlix/ipcapture.h"
#include "support/fake_host.h"

namespace quenlix {
namespace {

using testhost::FakeCameraConfig;
using testhost::FakeDebugSink;

TEST(ParseCustomInt, AcceptsOnlyDecimalNumbersThatFit) {
  const std::pair<const char*, int32_t> numbers[] = {
      {"-5", -5}, {"+7", 7}, {"-7", -7}, {"0", 0}, {"007", 7}};
  for (const auto& n : numbers) EXPECT_EQ(ParseCustomInt(n.first), n.second) << n.first;
  EXPECT_EQ(ParseCustomInt("2147483647"), INT32_MAX);
  EXPECT_EQ(ParseCustomInt("-2147483648"), INT32_MIN);
  for (const char* text : {"", "+", "-", "12a", "a12", " 12", "12 ", "+-1", "2147483648",
                           "-2147483649", "99999999999999999999"}) {
    EXPECT_EQ(ParseCustomInt(text), kNoValue) << '"' << text << '"';
  }
}

TEST(AdaptMessageLevel, FollowsTheHostVersionAndNeverChangesAnError) {
  const struct {
    uint16_t major, minor;
    uint32_t given;
    uint8_t posted;
  } cases[] = {{5, 11, 3, 2},   {5, 11, 100, 2},   {5, 11, 1, 1},    {5, 12, 3, 3},
               {5, 12, 100, 3}, {6, 2, 100, 3},    {6, 2, 1, 1},     {6, 3, 100, 100},
               {6, 3, 3, 3},    {6, 3, 1, 1},      {7, 0, 100, 100}, {0, 0, 100, 2},
               {0, 0, 1, 1},    {6, 10, 100, 100}, {5, 99, 100, 3},  {4, 20, 3, 2}};
  for (const auto& c : cases) {
    EXPECT_EQ(AdaptMessageLevel(c.given, c.major, c.minor), c.posted)
        << c.given << " for " << c.major << "." << c.minor;
  }
}

// Time-outs, address, port and credentials.
std::string Info(const DEVICE_INFO& i) {
  return std::to_string(i.timeoutMs) + "/" + std::to_string(i.signalTimeoutMs) + " ms " +
         i.address + ":" + std::to_string(i.port) + " " + i.userName + "/" + i.password;
}

class DriverTest : public ::testing::Test {
 protected:
  void TearDown() override { DeleteIPCaptureEx(driver); }
  CTavrikIPCaptureDriver* Driver() { return static_cast<CTavrikIPCaptureDriver*>(driver); }

  ipcapture::IIPCaptureDriverEx* driver = CreateIPCaptureEx();
  FakeDebugSink sink;
  testhost::FakeAllocator allocator;
  FakeCameraConfig config;
};

TEST_F(DriverTest, OpenNeedsAConfigurationAndTakesTheHostSettings) {
  EXPECT_EQ(Info(Driver()->GetDeviceInfo()), "5000/5000 ms :80 /");
  EXPECT_FALSE(driver->Open(&sink, &allocator, nullptr));
  config.withoutNetwork = true;
  EXPECT_FALSE(driver->Open(&sink, &allocator, &config));
  config.withoutNetwork = false;
  config.withoutDevice = true;
  EXPECT_FALSE(driver->Open(&sink, &allocator, &config));
  config.withoutDevice = false;

  config.network.address = "10.1.2.3";
  config.network.port = 8081;
  config.network.codecType = 7;
  ASSERT_TRUE(driver->Open(&sink, &allocator, &config));
  EXPECT_EQ(Info(Driver()->GetDeviceInfo()), "40000/10000 ms 10.1.2.3:8081 admin/secret");
  EXPECT_EQ(sink.Count(), 1u) << "only the open line: a refusal posts nothing";
  EXPECT_EQ(Driver()->CreateChannel(0, nullptr), nullptr) << "unknown codec";
}

TEST(Driver, CustomParametersAndTheOpenLine) {
  const struct {
    std::map<uint32_t, std::string> custom;
    const char* firmware;  // as the open line shows it
    uint32_t variant;      // 1 for NTSC
    uint32_t index;        // a parameter read back
    int32_t asInt;
    const char* asText;
  } cases[] = {
      {{{1, "1"}, {2, "8554"}, {3, "V2.4.1"}, {4, "2"}}, "V2.4.1", 1, 2, 8554, "8554"},
      {{{1, "1"}, {2, "8554"}, {3, "V2.4.1"}, {4, "2"}}, "V2.4.1", 1, 4, 2, "2"},
      {{}, "(none)", 0, 1, kNoValue, ""},
      {{{1, "0"}, {2, "554"}, {3, "(none)"}}, "(none)", 0, 3, kNoValue, ""},
      // Enumeration stops at the first gap.
      {{{1, "1"}, {2, "554"}, {4, "2"}}, "(none)", 1, 4, kNoValue, ""},
      {{{1, "ntsc"}}, "(none)", 0, 1, kNoValue, "ntsc"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.firmware + std::to_string(c.index));
    FakeDebugSink sink;
    FakeCameraConfig config;
    config.custom = c.custom;
    auto* driver = static_cast<CTavrikIPCaptureDriver*>(CreateIPCapture());
    ASSERT_TRUE(driver->Open(&sink, nullptr, &config));
    ASSERT_EQ(sink.Count(), 1u);
    EXPECT_EQ(sink.Lines()[0].text,
              std::string("DRIVER IS OPENED (name: TavrikIPCapture, device model: Siqura TestCam, "
                          "FW: ") +
                  c.firmware + ", address: 127.0.0.1:8080)");
    EXPECT_EQ(driver->GetVariantFlag(), c.variant);
    EXPECT_EQ(driver->GetCustomInt(c.index), c.asInt);
    EXPECT_EQ(driver->GetCustomString(c.index), c.asText);
    DeleteIPCapture(driver);
  }
}

TEST_F(DriverTest, MessagesArriveWholeOnlyOnceOpenAndNeverAtLevelFour) {
  Driver()->DebugMessage(1, "early %d", 1);
  EXPECT_EQ(sink.Count(), 0u);
  ASSERT_TRUE(driver->Open(&sink, &allocator, &config));
  Driver()->DebugMessage(4, "%s: dropped", "x");
  const std::string big(5000, 'm');
  Driver()->DebugMessage(1, "%s: %s", "quenlix::Test", big.c_str());
  Driver()->DebugMessage(1, "%s", "");
  const auto lines = sink.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1].text, "quenlix::Test: " + big);
  EXPECT_EQ(lines[1].level, 1);
  EXPECT_FALSE(lines[2].hadText);
}

// Points the library search at one directory and puts the old path back.
class ScopedLibraryPath {
 public:
  explicit ScopedLibraryPath(const std::string& dir) {
    if (const char* old = std::getenv(kVariable)) old_.reset(new std::string(old));
    Set(dir.c_str());
  }
  ~ScopedLibraryPath() { Set(old_ ? old_->c_str() : nullptr); }

 private:
#if defined(_WIN32)
  static constexpr const char* kVariable = "PATH";
  static void Set(const char* value) { _putenv_s(kVariable, value ? value : ""); }
#else
  static constexpr const char* kVariable = "LD_LIBRARY_PATH";
  static void Set(const char* value) { value ? setenv(kVariable, value, 1) : unsetenv(kVariable); }
#endif
  std::unique_ptr<std::string> old_;
};

TEST(DriverHostVersion, MessageLevelsFollowTheInstalledHost) {
  const struct {
    const char* dir;
    uint16_t major, minor, build, revision;
    uint8_t openLevel;
  } cases[] = {{"no-host-library", 5, 12, 0, 0, 3},  // the fallback version
               {"host-5.11", 5, 11, 0, 0, 2},
               {"host-6.2.9.9", 6, 2, 9, 9, 3},
               {"host-6.3", 6, 3, 0, 0, 100}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dir);
    ScopedLibraryPath path(std::string(QUENLIX_DRIVER_FIXTURES) + "/" + c.dir);
    FakeDebugSink sink;
    FakeCameraConfig config;
    auto* driver = static_cast<CTavrikIPCaptureDriver*>(CreateIPCapture());
    ASSERT_TRUE(driver->Open(&sink, nullptr, &config));
    const HostVersion v = driver->GetHostVersion();
    EXPECT_EQ(std::vector<uint16_t>({v.major, v.minor, v.build, v.revision}),
              std::vector<uint16_t>({c.major, c.minor, c.build, c.revision}));
    ASSERT_EQ(sink.Count(), 1u);
    EXPECT_EQ(sink.Lines()[0].level, c.openLevel);
    DeleteIPCapture(driver);
  }
}

// Without bit 0 of the slot-0 flags the object is destroyed but not freed,
// and bit 1 (a host's array form) must not make the driver read a count
// before the object or free from there: the driver lives in storage that is
// not the heap's, so a free of it, or of an address before it, aborts.
TEST(DriverExports, DeletingDestructorWithoutBitZeroDoesNotFreeAndIgnoresTheArrayBit) {
  FakeCameraConfig config;
  for (const unsigned flags : {0u, 2u}) {
    alignas(CTavrikIPCaptureDriver) unsigned char storage[sizeof(CTavrikIPCaptureDriver)];
    auto* driver = new (storage) CTavrikIPCaptureDriver();
    ASSERT_TRUE(driver->Open(nullptr, nullptr, &config));
    EXPECT_EQ(driver->DeletingDestructor(flags), driver) << flags;
  }
}

using Journal = std::vector<std::string>;

// Journals each call with its channel index, and the settings it was given.
class FakeChannel : public ICameraChannel {
 public:
  QUENLIX_IMPLEMENTS_DESTRUCTOR()
  FakeChannel(Journal* j, uint32_t i, bool ok) : journal(j), index(i), startOk(ok) {}
  virtual ~FakeChannel() { Note("destroy"); }
  bool Start(const STREAM_SETTINGS& s) override { return Note("start", &s) && startOk; }
  void Stop() override { Note("stop"); }
  bool Restart(const STREAM_SETTINGS& s) override { return Note("restart", &s); }
  uint32_t GetState() override { return CameraSignalLost; }
  void SetState(uint32_t) override {}
  bool Note(const char* what, const STREAM_SETTINGS* s = nullptr) {
    std::string entry = what + std::to_string(index);
    if (s != nullptr)
      entry += " " + std::to_string(s->frameIntervalMs) + "ms q" + std::to_string(s->quality) +
               " " + std::to_string(s->width) + "x" + std::to_string(s->height);
    journal->push_back(entry);
    return true;
  }

  Journal* journal;
  uint32_t index;
  bool startOk;
};

class FakeCreator : public ICustomCreator {
 public:
  QUENLIX_IMPLEMENTS_DESTRUCTOR()
  explicit FakeCreator(Journal* j) : journal(j) {}
  virtual ~FakeCreator() = default;
  ICameraChannel* CreateChannel(uint32_t index, IFrameSink*) override {
    journal->push_back("create" + std::to_string(index));
    return known ? new FakeChannel(journal, index, startOk) : nullptr;
  }
  Journal* journal;
  bool known = true, startOk = true;
};

// The host's stream settings.
class HostSettings : public IStreamSettings, IStreamFormat, IStreamRate, IResolution {
 public:
  HostSettings(uint16_t interval, uint16_t q, uint16_t w, uint16_t h)
      : frameInterval(interval), quality(q), width(w), height(h) {}
  void Reserved0() override {}
  void Reserved1() override {}
  void Reserved2() override {}
  IStreamFormat* GetFormat() override { return this; }
  IStreamRate* GetRate() override { return this; }
  IResolution* GetResolution() override { return this; }
  uint16_t GetFrameInterval() override { return frameInterval; }
  uint16_t GetQuality() override { return quality; }
  uint16_t GetWidth() override { return width; }
  uint16_t GetHeight() override { return height; }
  IResolution* Resolution() { return this; }

  uint16_t frameInterval, quality, width, height;
};

struct Fixture {
  Fixture() : creator(&journal), capture(2, &creator, &log) { log.codecType = 7; }
  Journal journal;
  FakeCreator creator;
  testhost::FakeDriver log;
  CIPVideoCapture capture;
  HostSettings host{40, 75, 704, 288};
};

TEST(IPVideoCapture, SlotTable) {
  Fixture f;
  uint32_t state = 99, code = 99;
  char text[8] = "xxxxxxx";

  EXPECT_FALSE(f.capture.StartChannel(2, nullptr, &f.host));               // out of range
  EXPECT_TRUE(f.journal.empty());                                          // nothing created
  EXPECT_FALSE(f.capture.StopChannel(0));                                  // empty
  EXPECT_FALSE(f.capture.StopChannel(7));                                  // out of range
  EXPECT_FALSE(f.capture.ReconfigureChannel(1, f.host.Resolution(), 40));  // empty
  EXPECT_FALSE(f.capture.GetChannelStatus(0, &state, &code, text, sizeof text));
  EXPECT_EQ(state, 99u);  // untouched
  EXPECT_EQ(code, 0u);    // but code and text are cleared
  EXPECT_EQ(text[0], '\0');

  ASSERT_TRUE(f.capture.StartChannel(1, nullptr, &f.host));
  EXPECT_TRUE(f.capture.GetChannelStatus(1, &state, &code, text, sizeof text));
  EXPECT_EQ(state, uint32_t(CameraSignalLost));
  // Occupied: the old channel is stopped and destroyed before the new one.
  ASSERT_TRUE(f.capture.StartChannel(1, nullptr, &f.host));
  HostSettings other(100, 5, 1280, 720);
  ASSERT_TRUE(f.capture.ReconfigureChannel(1, other.Resolution(), 250));
  // A reconfigured channel keeps its own quality.
  EXPECT_EQ(f.journal,
            (Journal{"create1", "start1 40ms q75 704x288", "stop1", "destroy1", "create1",
                     "start1 40ms q75 704x288", "restart1 250ms q0 1280x720"}));
  EXPECT_TRUE(f.capture.StopChannel(1));
  EXPECT_FALSE(f.capture.StopChannel(1));
  EXPECT_TRUE(f.log.Lines().empty());
  // A channel whose start fails stays in its slot; a status without room
  // for text writes none.
  f.creator.startOk = false;
  EXPECT_FALSE(f.capture.StartChannel(0, nullptr, &f.host));
  text[0] = 'x';
  EXPECT_TRUE(f.capture.GetChannelStatus(0, &state, &code, text, 0));
  EXPECT_EQ(text[0], 'x');
  EXPECT_TRUE(f.capture.StopChannel(0));
}

TEST(IPVideoCapture, RefusalsLeaveTheRunningChannelAloneAndLogOneErrorLineEach) {
  Fixture f;
  ASSERT_TRUE(f.capture.StartChannel(0, nullptr, &f.host));
  HostSettings zero(0, 75, 352, 288);
  EXPECT_FALSE(f.capture.StartChannel(0, nullptr, &zero));
  EXPECT_FALSE(f.capture.StartChannel(0, nullptr, nullptr));
  EXPECT_FALSE(f.capture.ReconfigureChannel(0, f.host.Resolution(), 0));
  EXPECT_FALSE(f.capture.ReconfigureChannel(0, nullptr, 40));
  EXPECT_EQ(f.journal, (Journal{"create0", "start0 40ms q75 704x288"}));
  f.creator.known = false;
  EXPECT_FALSE(f.capture.StartChannel(1, nullptr, &f.host));
  EXPECT_FALSE(f.capture.StopChannel(1));
  const std::string start = "1 quenlix::CIPVideoCapture::StartChannel: ";
  const std::string reconfigure = "1 quenlix::CIPVideoCapture::ReconfigureChannel: ";
  EXPECT_EQ(f.log.Texts(),
            (std::vector<std::string>{
                start + "Frame interval of 0 ms refused (channel 0)",
                start + "Stream settings missing (channel 0)",
                reconfigure + "Frame interval of 0 ms refused (channel 0)",
                reconfigure + "Missing resolution refused (channel 0)",
                start + "No channel for codec type 7 (channel 1): unknown codec or no memory"}));
}

TEST(IPVideoCapture, DestructionStopsEveryChannelInIndexOrder) {
  Journal journal;
  FakeCreator creator(&journal);
  {
    CIPVideoCapture capture(3, &creator, nullptr);
    HostSettings host(40, 75, 352, 288);
    capture.StartChannel(2, nullptr, &host);
    capture.StartChannel(0, nullptr, &host);
    journal.clear();
  }
  EXPECT_EQ(journal, (Journal{"stop0", "destroy0", "stop2", "destroy2"}));
}

TEST(SampleContract, SizeClassesAndCapacities) {
  const struct {
    uint32_t width, height, sizeClass;
  } cases[] = {{704, 288, 3},  {704, 576, 4}, {352, 288, 2}, {1280, 720, 4},
               {1280, 480, 4}, {400, 100, 3}, {401, 400, 4}, {0, 0, 2}};
  for (const auto& c : cases)
    EXPECT_EQ(SizeClass(c.width, c.height), c.sizeClass) << c.width << "x" << c.height;
  EXPECT_EQ(H264Capacity(5000), 16384u + 40960u);
  EXPECT_EQ(H264Capacity(4096), 4096u + 40960u);
  EXPECT_EQ(JpegCapacity(5000), 6024u);
  EXPECT_EQ(Mpeg4Capacity(200000), 200000u);
  EXPECT_EQ(Mpeg4Capacity(32769), 131072u);
}

}  // namespace
}  // namespace quenlix
