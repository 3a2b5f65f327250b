// The codec channels against the simulator's CGI over loopback: the stream
// update each sends before reception, its failure, and the RTSP port and
// path each names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "channel_test_helpers.h"
#include "channels/h264_channel_rtsp.h"
#include "channels/mjpeg_channel_rtsp.h"
#include "channels/mpeg4_channel_rtsp.h"

#ifdef QUENLIX_WITH_CAMSIM
#include "sim_camera.h"
#endif

namespace quenlix {
namespace {

using testing_channels::FakeDriver;

// Exposes the hooks with settings set directly, without a worker.
template <class Channel>
class Exposed : public Channel {
 public:
  Exposed(IDriver* driver, const STREAM_SETTINGS& s) : Channel(0, driver, nullptr) {
    this->settings = s;
  }
};

template <class Channel>
RTSP_SESSION_INFO SessionInfo(FakeDriver* driver, const STREAM_SETTINGS& settings) {
  RTSP_SESSION_INFO info;
  Exposed<Channel>(driver, settings).FillSessionInfo(info);
  return info;
}

template <class Channel>
bool Prepare(FakeDriver* driver, const STREAM_SETTINGS& settings) {
  return Exposed<Channel>(driver, settings).PrepareParser();
}

TEST(CodecChannels, FillSessionInfoNamesPortAndPath) {
  // The driver's custom parameters 2 and 4: the RTSP port and camera group.
  const struct {
    RTSP_SESSION_INFO (*fill)(FakeDriver*, const STREAM_SETTINGS&);
    bool custom;
    uint32_t width, height;
    uint16_t port;
    const char* path;
  } cases[] = {
      {SessionInfo<CH264ChannelRTSP>, false, 640, 480, 554, "h264_2"},
      {SessionInfo<CH264ChannelRTSP>, false, 1280, 720, 554, "h264"},
      {SessionInfo<CH264ChannelRTSP>, false, 1280, 960, 554, "h264_2"},  // quadvga
      {SessionInfo<CH264ChannelRTSP>, true, 640, 480, 8554, "h264"},
      {SessionInfo<CMJPEGChannelRTSP>, true, 640, 480, 8554, "jpeg"},
      {SessionInfo<CMPEG4ChannelRTSP>, true, 640, 480, 8554, "mpeg4"},
  };
  for (const auto& c : cases) {
    FakeDriver driver;
    if (c.custom) driver.custom = {{2, 8554}, {4, 2}};
    const RTSP_SESSION_INFO info = c.fill(&driver, STREAM_SETTINGS{40, 50, c.width, c.height});
    EXPECT_EQ(info.port, c.port) << c.path;
    EXPECT_EQ(info.path, c.path) << c.width;
  }
}

#ifdef QUENLIX_WITH_CAMSIM
TEST(CodecChannels, PrepareParserSendsTheUpdateOfEachCodec) {
  testhost::SimCamera camera;
  FakeDriver driver;
  driver.info = camera.Device("", "", 3000);
  driver.custom[4] = 1;
  const struct {
    bool (*prepare)(FakeDriver*, const STREAM_SETTINGS&);
    STREAM_SETTINGS settings;
    std::string expected;
  } cases[] = {
      {Prepare<CH264ChannelRTSP>,
       {40, 50, 640, 480},
       testing_channels::StreamUpdate(StreamCodec::kH264, "disable,720p,vga", 4096, 25, 0)},
      {Prepare<CMJPEGChannelRTSP>,
       {500, 0, 352, 288},
       testing_channels::StreamUpdate(StreamCodec::kMjpeg, "cif,720p,disable", 1, 2, 3)},
      {Prepare<CMPEG4ChannelRTSP>,
       {200, 100, 1920, 1080},
       testing_channels::StreamUpdate(StreamCodec::kMpeg4, "1080p,1080p,disable,disable", 8192, 5,
                                      1)},
  };
  for (const auto& c : cases) {
    camera.core.ClearRequests();
    EXPECT_TRUE(c.prepare(&driver, c.settings)) << c.expected;
    EXPECT_EQ(camera.core.Requests(), std::vector<std::string>{c.expected});
  }
  EXPECT_TRUE(driver.Lines().empty());

  // A refused update fails the preparation and is logged.
  camera.SetFault("status:500");
  EXPECT_FALSE(Prepare<CH264ChannelRTSP>(&driver, STREAM_SETTINGS{40, 50, 640, 480}));
  const std::vector<std::string> lines = driver.Texts();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("1 ", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("status code = 500"), std::string::npos) << lines[0];
}
#endif

}  // namespace
}  // namespace quenlix
