#include "driver/ip_capture_driver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <cstdlib>

#include "driver/tavrik_ip_capture_driver.h"
#include "quenlix/ipcapture.h"
#include "support/fake_host.h"

namespace quenlix {
namespace {

using testhost::FakeCameraConfig;
using testhost::FakeDebugSink;

TEST(ParseCustomInt, AcceptsOnlyDecimalNumbersThatFit) {
  struct Case {
    const char* text;
    int32_t value;
  };
  const Case cases[] = {
      {"", kNoValue},
      {"+", kNoValue},
      {"-", kNoValue},
      {"-5", -5},
      {"+7", 7},
      {"-7", -7},
      {"12a", kNoValue},
      {"a12", kNoValue},
      {" 12", kNoValue},
      {"12 ", kNoValue},
      {"+-1", kNoValue},
      {"0", 0},
      {"007", 7},
      {"2147483647", INT32_MAX},
      {"2147483648", kNoValue},
      {"-2147483648", INT32_MIN},
      {"-2147483649", kNoValue},
      {"99999999999999999999", kNoValue},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseCustomInt(c.text), c.value) << '"' << c.text << '"';
}

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override { driver = CreateIPCaptureEx(); }
  void TearDown() override { DeleteIPCaptureEx(driver); }

  CTavrikIPCaptureDriver* Tavrik() { return static_cast<CTavrikIPCaptureDriver*>(driver); }
  IDriver* Services() { return Tavrik(); }

  ipcapture::IIPCaptureDriverEx* driver = nullptr;
  FakeDebugSink sink;
  testhost::FakeAllocator allocator;
  FakeCameraConfig config;
};

TEST_F(DriverTest, OpenWithoutAConfigurationIsRefusedAndLeavesTheDriverUsable) {
  EXPECT_FALSE(driver->Open(&sink, &allocator, nullptr));
  config.withoutNetwork = true;
  EXPECT_FALSE(driver->Open(&sink, &allocator, &config));
  config.withoutNetwork = false;
  config.withoutDevice = true;
  EXPECT_FALSE(driver->Open(&sink, &allocator, &config));
  config.withoutDevice = false;
  config.network.address = "10.1.2.3";
  ASSERT_TRUE(driver->Open(&sink, &allocator, &config));
  EXPECT_EQ(Services()->GetDeviceInfo().address, "10.1.2.3");
}

TEST_F(DriverTest, DeviceInfoDefaultsBeforeOpenAndFamilyTimeoutsAfter) {
  DEVICE_INFO before = Services()->GetDeviceInfo();
  EXPECT_EQ(before.timeoutMs, 5000u);
  EXPECT_EQ(before.signalTimeoutMs, 5000u);
  EXPECT_EQ(before.port, 80);
  EXPECT_EQ(before.address, "");
  EXPECT_EQ(before.userName, "");
  EXPECT_EQ(before.password, "");

  config.network.address = "10.1.2.3";
  config.network.port = 8081;
  config.device.inputCount = 4;
  config.device.outputCount = 2;
  config.device.channelCount = 3;
  config.network.codecType = 1;
  ASSERT_TRUE(driver->Open(&sink, &allocator, &config));
  DEVICE_INFO after = Services()->GetDeviceInfo();
  EXPECT_EQ(after.timeoutMs, 40000u);
  EXPECT_EQ(after.signalTimeoutMs, 10000u);
  EXPECT_EQ(after.address, "10.1.2.3");
  EXPECT_EQ(after.port, 8081);
  EXPECT_EQ(after.userName, "admin");
  EXPECT_EQ(after.password, "secret");
  EXPECT_EQ(Services()->GetIOCounts(), std::make_pair(4u, 2u));
  EXPECT_EQ(Services()->GetChannelCount(), 3u);
  EXPECT_EQ(Services()->GetCodecType(), 1u);
  EXPECT_EQ(Services()->GetSampleAllocator(), &allocator);
  EXPECT_EQ(driver->GetExtension(), nullptr);
  EXPECT_EQ(driver->GetAuxObject(), nullptr);
}

TEST_F(DriverTest, WithoutHostLibraryTheOpenLineArrivesAtInformationLevel) {
  config.custom = {{1, "1"}, {2, "8554"}, {3, "V2.4.1"}, {4, "2"}};
  config.device.modelName = "Siqura BC620";
  config.network.address = "192.0.2.7";
  config.network.port = 80;
  ASSERT_TRUE(driver->Open(&sink, &allocator, &config));

  const HostVersion v = Tavrik()->GetHostVersion();
  EXPECT_EQ(v.major, 5);
  EXPECT_EQ(v.minor, 12);
  const auto lines = sink.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 3);
  EXPECT_EQ(lines[0].text,
            "DRIVER IS OPENED (name: TavrikIPCapture, device model: Siqura BC620, FW: V2.4.1, "
            "address: 192.0.2.7:80)");
  EXPECT_EQ(Services()->GetVariantFlag(), 1u);
  EXPECT_EQ(Services()->GetCustomInt(2), 8554);
  EXPECT_EQ(Services()->GetCustomInt(4), 2);
}

TEST_F(DriverTest, NoCustomParametersShowNoneAndKeepPal) {
  ASSERT_TRUE(driver->Open(&sink, &allocator, &config));
  EXPECT_EQ(Services()->GetCustomInt(1), kNoValue);
  EXPECT_EQ(Services()->GetVariantFlag(), 0u);
  ASSERT_EQ(sink.Count(), 1u);
  EXPECT_NE(sink.Lines()[0].text.find("FW: (none),"), std::string::npos);
}

TEST_F(DriverTest, NoneTextReadsAsEmptyAndEnumerationStopsAtTheFirstGap) {
  config.custom = {{1, "0"}, {2, "554"}, {3, "(none)"}};
  ASSERT_TRUE(driver->Open(&sink, &allocator, &config));
  EXPECT_EQ(Services()->GetCustomString(3), "");
  EXPECT_NE(sink.Lines()[0].text.find("FW: (none),"), std::string::npos);

  FakeCameraConfig gap;
  gap.custom = {{1, "1"}, {2, "554"}, {4, "2"}};
  auto* other = CreateIPCapture();
  ASSERT_TRUE(other->Open(nullptr, nullptr, &gap));
  auto* services = static_cast<CTavrikIPCaptureDriver*>(other);
  EXPECT_EQ(services->GetCustomInt(2), 554);
  EXPECT_EQ(services->GetCustomInt(4), kNoValue);
  EXPECT_EQ(services->GetCustomString(4), "");
  DeleteIPCapture(other);
}

TEST_F(DriverTest, NonNumericVideoStandardLeavesPal) {
  config.custom = {{1, "ntsc"}};
  ASSERT_TRUE(driver->Open(&sink, &allocator, &config));
  EXPECT_EQ(Services()->GetVariantFlag(), 0u);
}

TEST_F(DriverTest, LevelFourNeverReachesTheSinkAndLongMessagesArriveWhole) {
  ASSERT_TRUE(driver->Open(&sink, &allocator, &config));
  const size_t afterOpen = sink.Count();
  Services()->DebugMessage(4, "%s: dropped", "x");
  EXPECT_EQ(sink.Count(), afterOpen);

  const std::string big(5000, 'm');
  Services()->DebugMessage(1, "%s: %s", "quenlix::Test", big.c_str());
  Services()->DebugMessage(1, "%s", "");
  const auto lines = sink.Lines();
  ASSERT_EQ(lines.size(), afterOpen + 2);
  EXPECT_EQ(lines[afterOpen].text, "quenlix::Test: " + big);
  EXPECT_EQ(lines[afterOpen].level, 1);
  EXPECT_FALSE(lines[afterOpen + 1].hadText);
}

TEST_F(DriverTest, MessagesBeforeOpenAreDropped) {
  Services()->DebugMessage(1, "early %d", 1);
  EXPECT_EQ(sink.Count(), 0u);
}

TEST_F(DriverTest, ManyThreadsLogAtOnce) {
  ASSERT_TRUE(driver->Open(&sink, &allocator, &config));
  constexpr int kThreads = 8;
  constexpr int kEach = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kEach; ++i) Services()->DebugMessage(1, "thread %d line %d", t, i);
    });
  }
  for (auto& th : threads) th.join();
  const auto lines = sink.Lines();
  ASSERT_EQ(lines.size(), 1u + kThreads * kEach);
  std::vector<int> perThread(kThreads, 0);
  for (size_t i = 1; i < lines.size(); ++i) {
    int t = -1, n = -1;
    ASSERT_EQ(std::sscanf(lines[i].text.c_str(), "thread %d line %d", &t, &n), 2) << lines[i].text;
    ASSERT_GE(t, 0);
    ASSERT_LT(t, kThreads);
    EXPECT_EQ(n, perThread[t]++) << "lines of one thread arrive in order";
  }
}

TEST_F(DriverTest, CloseLeavesSettingsAndTheDriverOpensAgain) {
  ASSERT_TRUE(driver->Open(&sink, &allocator, &config));
  driver->Close();
  EXPECT_EQ(Services()->GetDeviceInfo().address, "127.0.0.1");
  config.network.address = "127.0.0.2";
  ASSERT_TRUE(driver->Open(&sink, &allocator, &config));
  EXPECT_EQ(Services()->GetDeviceInfo().address, "127.0.0.2");
  EXPECT_EQ(sink.Count(), 2u);
}

// Points the library search at one directory and puts the old path back.
class ScopedLibraryPath {
 public:
  explicit ScopedLibraryPath(const std::string& dir) {
    const char* old = std::getenv(kVariable);
    hadOld_ = old != nullptr;
    if (hadOld_) old_ = old;
    Set(dir.c_str());
  }
  ~ScopedLibraryPath() { Set(hadOld_ ? old_.c_str() : nullptr); }

 private:
#if defined(_WIN32)
  static constexpr const char* kVariable = "PATH";
  static void Set(const char* value) { _putenv_s(kVariable, value ? value : ""); }
#else
  static constexpr const char* kVariable = "LD_LIBRARY_PATH";
  static void Set(const char* value) {
    if (value)
      setenv(kVariable, value, 1);
    else
      unsetenv(kVariable);
  }
#endif
  bool hadOld_ = false;
  std::string old_;
};

TEST(DriverHostVersion, OpenLineLevelFollowsTheInstalledHost) {
  struct Case {
    const char* dir;
    uint16_t major, minor, build, revision;
    uint8_t openLevel, infoLevel;
  };
  const Case cases[] = {
      {"host-5.11", 5, 11, 0, 0, 2, 2},
      {"host-6.2.9.9", 6, 2, 9, 9, 3, 3},
      {"host-6.3", 6, 3, 0, 0, 100, 3},
  };
  for (const Case& c : cases) {
    ScopedLibraryPath path(std::string(QUENLIX_DRIVER_FIXTURES) + "/" + c.dir);
    FakeDebugSink sink;
    FakeCameraConfig config;
    auto* driver = static_cast<CTavrikIPCaptureDriver*>(CreateIPCapture());
    ASSERT_TRUE(driver->Open(&sink, nullptr, &config));
    const HostVersion v = driver->GetHostVersion();
    EXPECT_EQ(v.major, c.major) << c.dir;
    EXPECT_EQ(v.minor, c.minor) << c.dir;
    EXPECT_EQ(v.build, c.build) << c.dir;
    EXPECT_EQ(v.revision, c.revision) << c.dir;
    driver->DebugMessage(3, "%s", "information");
    driver->DebugMessage(1, "%s", "error");
    const auto lines = sink.Lines();
    ASSERT_EQ(lines.size(), 3u) << c.dir;
    EXPECT_EQ(lines[0].level, c.openLevel) << c.dir;
    EXPECT_EQ(lines[1].level, c.infoLevel) << c.dir;
    EXPECT_EQ(lines[2].level, 1) << c.dir;
    DeleteIPCapture(driver);
  }
}

TEST(DriverExports, UnknownCodecGivesNoChannel) {
  auto* driver = static_cast<CTavrikIPCaptureDriver*>(CreateIPCapture());
  FakeCameraConfig config;
  config.network.codecType = 7;
  ASSERT_TRUE(driver->Open(nullptr, nullptr, &config));
  EXPECT_EQ(driver->CreateChannel(0, nullptr), nullptr);
  DeleteIPCapture(driver);
}

// Bit 0 of the slot-0 flags frees the object; bit 1, a host's array form,
// must neither read a count before the object nor free from there. Without
// bit 0 the driver lives in storage that is not the heap's: a free of it, or
// of an address before it, aborts.
TEST(DriverExports, DeletingDestructorFreesOnlyOnBitZeroAndIgnoresTheArrayBit) {
  for (const unsigned flags : {0u, 2u}) {
    alignas(CTavrikIPCaptureDriver) unsigned char storage[sizeof(CTavrikIPCaptureDriver)];
    auto* driver = new (storage) CTavrikIPCaptureDriver();
    FakeCameraConfig config;
    ASSERT_TRUE(driver->Open(nullptr, nullptr, &config));
    EXPECT_EQ(driver->DeletingDestructor(flags), driver) << flags;
  }
  for (const unsigned flags : {1u, 3u}) {
    auto* driver = CreateIPCaptureEx();
    FakeCameraConfig config;
    ASSERT_TRUE(driver->Open(nullptr, nullptr, &config));
    EXPECT_EQ(driver->DeletingDestructor(flags), static_cast<void*>(driver)) << flags;
  }
}

}  // namespace
}  // namespace quenlix
