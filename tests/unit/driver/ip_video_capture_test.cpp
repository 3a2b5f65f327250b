#include "driver/ip_video_capture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_driver.h"
#include "media/sample_contract.h"

namespace quenlix {
namespace {

struct Journal {
  std::vector<std::string> events;
};

class FakeChannel : public ICameraChannel {
 public:
  QUENLIX_IMPLEMENTS_DESTRUCTOR()
  FakeChannel(Journal* j, uint32_t i, bool ok) : journal(j), index(i), startOk(ok) {}
  virtual ~FakeChannel() { Note("destroy"); }

  bool Start(const STREAM_SETTINGS& s) override {
    started = s;
    Note("start");
    return startOk;
  }
  void Stop() override { Note("stop"); }
  bool Restart(const STREAM_SETTINGS& s) override {
    restarted = s;
    Note("restart");
    return true;
  }
  uint32_t GetState() override { return state; }
  void SetState(uint32_t value) override { state = value; }

  void Note(const char* what) {
    journal->events.push_back(std::string(what) + std::to_string(index));
  }

  Journal* journal;
  uint32_t index;
  bool startOk;
  uint32_t state = CameraSignalLost;
  STREAM_SETTINGS started;
  STREAM_SETTINGS restarted;
};

class FakeCreator : public ICustomCreator {
 public:
  QUENLIX_IMPLEMENTS_DESTRUCTOR()
  explicit FakeCreator(Journal* j) : journal(j) {}
  virtual ~FakeCreator() = default;
  ICameraChannel* CreateChannel(uint32_t index, IFrameSink*) override {
    journal->events.push_back("create" + std::to_string(index));
    if (!known) return nullptr;
    last = new FakeChannel(journal, index, startOk);
    return last;
  }
  Journal* journal;
  bool known = true;
  bool startOk = true;
  FakeChannel* last = nullptr;
};

// The host's stream settings; records the order in which they are read.
class HostSettings : public IStreamSettings, IStreamFormat, IStreamRate, IResolution {
 public:
  HostSettings(uint16_t interval, uint16_t q, uint16_t w, uint16_t h)
      : frameInterval(interval), quality(q), width(w), height(h) {}
  void Reserved0() override {}
  IStreamFormat* GetFormat() override { return this; }
  IStreamRate* GetRate() override { return this; }
  void Reserved1() override {}
  void Reserved2() override {}
  IResolution* GetResolution() override { return this; }
  uint16_t GetFrameInterval() override {
    reads += "i";
    return frameInterval;
  }
  uint16_t GetQuality() override {
    reads += "q";
    return quality;
  }
  uint16_t GetWidth() override {
    reads += "w";
    return width;
  }
  uint16_t GetHeight() override {
    reads += "h";
    return height;
  }
  IResolution* Resolution() { return this; }

  uint16_t frameInterval, quality, width, height;
  std::string reads;
};

struct Fixture {
  Fixture() : creator(&journal), capture(2, &creator, &log) { log.codecType = 7; }
  Journal journal;
  FakeCreator creator;
  testhost::FakeDriver log;
  CIPVideoCapture capture;
};

TEST(IPVideoCapture, SlotTable) {
  Fixture f;
  HostSettings host(40, 75, 704, 288);
  uint32_t state = 99, code = 99;
  char text[8] = "xxxxxxx";

  EXPECT_EQ(f.capture.GetChannelCount(), 2u);
  EXPECT_FALSE(f.capture.StartChannel(2, nullptr, &host));               // out of range
  EXPECT_TRUE(f.journal.events.empty());                                 // nothing created
  EXPECT_FALSE(f.capture.StopChannel(0));                                // empty
  EXPECT_FALSE(f.capture.StopChannel(7));                                // out of range
  EXPECT_FALSE(f.capture.ReconfigureChannel(1, host.Resolution(), 40));  // empty
  EXPECT_FALSE(f.capture.GetChannelStatus(0, &state, &code, text, sizeof text));
  EXPECT_EQ(state, 99u);  // untouched
  EXPECT_EQ(code, 0u);    // but code and text are cleared
  EXPECT_EQ(text[0], '\0');

  ASSERT_TRUE(f.capture.StartChannel(1, nullptr, &host));
  EXPECT_EQ(host.reads, "iqwh");
  FakeChannel* first = f.creator.last;
  EXPECT_EQ(first->started.frameIntervalMs, 40u);
  EXPECT_EQ(first->started.quality, 75u);
  EXPECT_EQ(first->started.width, 704u);
  EXPECT_EQ(first->started.height, 288u);
  EXPECT_TRUE(f.capture.GetChannelStatus(1, &state, &code, text, sizeof text));
  EXPECT_EQ(state, uint32_t(CameraSignalLost));

  // Occupied: the old channel is stopped and destroyed before the new one.
  ASSERT_TRUE(f.capture.StartChannel(1, nullptr, &host));
  const std::vector<std::string> replace = {"create1",  "start1",  "stop1",
                                            "destroy1", "create1", "start1"};
  EXPECT_EQ(f.journal.events, replace);

  HostSettings other(100, 5, 1280, 720);
  ASSERT_TRUE(f.capture.ReconfigureChannel(1, other.Resolution(), 250));
  FakeChannel* second = f.creator.last;
  EXPECT_EQ(second->restarted.frameIntervalMs, 250u);
  EXPECT_EQ(second->restarted.quality, 0u);  // the channel keeps its own
  EXPECT_EQ(second->restarted.width, 1280u);
  EXPECT_EQ(second->restarted.height, 720u);

  EXPECT_TRUE(f.capture.StopChannel(1));
  EXPECT_FALSE(f.capture.StopChannel(1));
  EXPECT_FALSE(f.capture.ReservedOperationA(1, 2, 3));
  EXPECT_FALSE(f.capture.ReservedOperationB(1, 2, 3));
  EXPECT_EQ(f.capture.ReservedQuery(), 0u);
  EXPECT_TRUE(f.log.Lines().empty());
}

TEST(IPVideoCapture, ChannelWhoseStartFailsStaysInItsSlot) {
  Fixture f;
  f.creator.startOk = false;
  HostSettings host(40, 75, 352, 288);
  EXPECT_FALSE(f.capture.StartChannel(0, nullptr, &host));
  uint32_t state = 0, code = 0;
  EXPECT_TRUE(f.capture.GetChannelStatus(0, &state, &code, nullptr, 0));
  EXPECT_TRUE(f.capture.StopChannel(0));
}

TEST(IPVideoCapture, FrameIntervalOfZeroIsRefusedWithOneErrorLine) {
  Fixture f;
  HostSettings good(40, 75, 352, 288);
  ASSERT_TRUE(f.capture.StartChannel(0, nullptr, &good));
  HostSettings zero(0, 75, 352, 288);
  EXPECT_FALSE(f.capture.StartChannel(0, nullptr, &zero));
  EXPECT_FALSE(f.capture.ReconfigureChannel(0, good.Resolution(), 0));
  ASSERT_EQ(f.log.Lines().size(), 2u);
  EXPECT_EQ(f.log.Texts()[0],
            "1 quenlix::CIPVideoCapture::StartChannel: Frame interval of 0 ms refused (channel 0)");
  EXPECT_EQ(f.log.Texts()[1],
            "1 quenlix::CIPVideoCapture::ReconfigureChannel: Frame interval of 0 ms refused "
            "(channel 0)");
  // The running channel was left alone.
  const std::vector<std::string> events = {"create0", "start0"};
  EXPECT_EQ(f.journal.events, events);
}

TEST(IPVideoCapture, NoChannelClassIsAFailureAndIsLogged) {
  Fixture f;
  f.creator.known = false;
  HostSettings host(40, 75, 352, 288);
  EXPECT_FALSE(f.capture.StartChannel(0, nullptr, &host));
  ASSERT_EQ(f.log.Lines().size(), 1u);
  EXPECT_EQ(f.log.Texts()[0],
            "1 quenlix::CIPVideoCapture::StartChannel: No channel for codec type 7 (channel 0): "
            "unknown codec or no memory");
  EXPECT_FALSE(f.capture.StopChannel(0));
}

TEST(IPVideoCapture, DestructionStopsEveryChannelInIndexOrder) {
  Journal journal;
  FakeCreator creator(&journal);
  {
    CIPVideoCapture capture(3, &creator, nullptr);
    HostSettings host(40, 75, 352, 288);
    capture.StartChannel(2, nullptr, &host);
    capture.StartChannel(0, nullptr, &host);
    journal.events.clear();
  }
  const std::vector<std::string> expected = {"stop0", "destroy0", "stop2", "destroy2"};
  EXPECT_EQ(journal.events, expected);
}

TEST(SampleContract, SizeClassesAndCapacities) {
  struct SizeCase {
    uint32_t width, height, sizeClass;
  };
  for (const SizeCase& c :
       {SizeCase{704, 288, 3}, SizeCase{704, 576, 4}, SizeCase{352, 288, 2}, SizeCase{1280, 720, 4},
        SizeCase{1280, 480, 4}, SizeCase{400, 100, 3}, SizeCase{401, 400, 4}, SizeCase{0, 0, 2}}) {
    EXPECT_EQ(SizeClass(c.width, c.height), c.sizeClass) << c.width << "x" << c.height;
  }
  EXPECT_EQ(H264Capacity(5000), 16384u + 40960u);
  EXPECT_EQ(H264Capacity(4096), 4096u + 40960u);
  EXPECT_EQ(JpegCapacity(5000), 6024u);
  EXPECT_EQ(Mpeg4Capacity(200000), 200000u);
  EXPECT_EQ(Mpeg4Capacity(32769), 131072u);
}

}  // namespace
}  // namespace quenlix
