#include "driver/ip_video_capture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_driver.h"
#include "media/sample_contract.h"

namespace quenlix {
namespace {

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
