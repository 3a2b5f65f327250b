// The codec channels against the simulator's CGI over loopback: the stream
// update each sends before reception, its failure, and the RTSP port and
// path each names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "channels/h264_channel_rtsp.h"
#include "channels/mjpeg_channel_rtsp.h"
#include "channels/mpeg4_channel_rtsp.h"
#include "fake_driver.h"

#ifdef QUENLIX_WITH_CAMSIM
#include "sim_camera.h"
#endif

namespace quenlix {
namespace {

using ParamDriver = testhost::FakeDriver;

// Exposes the hooks with settings set directly, without a worker.
template <class Channel>
class Exposed : public Channel {
 public:
  Exposed(IDriver* driver, const STREAM_SETTINGS& s) : Channel(0, driver, nullptr) {
    this->settings = s;
  }
};

STREAM_SETTINGS Settings(uint32_t w, uint32_t h, uint32_t intervalMs, uint32_t quality) {
  STREAM_SETTINGS s;
  s.width = w;
  s.height = h;
  s.frameIntervalMs = intervalMs;
  s.quality = quality;
  return s;
}

template <class Channel>
RTSP_SESSION_INFO SessionInfoOf(ParamDriver& driver, uint32_t width, uint32_t height = 480) {
  Exposed<Channel> channel(&driver, Settings(width, height, 40, 50));
  RTSP_SESSION_INFO info;
  channel.FillSessionInfo(info);
  return info;
}

TEST(CodecChannels, FillSessionInfoNamesPortAndPath) {
  ParamDriver driver;
  EXPECT_EQ(SessionInfoOf<CH264ChannelRTSP>(driver, 640).port, 554);
  EXPECT_EQ(SessionInfoOf<CH264ChannelRTSP>(driver, 640).path, "h264_2");
  EXPECT_EQ(SessionInfoOf<CH264ChannelRTSP>(driver, 1280, 720).path, "h264");
  EXPECT_EQ(SessionInfoOf<CH264ChannelRTSP>(driver, 1280, 960).path, "h264_2");  // quadvga
  driver.custom[2] = 8554;
  driver.custom[4] = 2;
  EXPECT_EQ(SessionInfoOf<CH264ChannelRTSP>(driver, 640).port, 8554);
  EXPECT_EQ(SessionInfoOf<CH264ChannelRTSP>(driver, 640).path, "h264");
  EXPECT_EQ(SessionInfoOf<CMJPEGChannelRTSP>(driver, 640).path, "jpeg");
  EXPECT_EQ(SessionInfoOf<CMPEG4ChannelRTSP>(driver, 640).path, "mpeg4");
  EXPECT_EQ(SessionInfoOf<CMPEG4ChannelRTSP>(driver, 640).port, 8554);
}

#ifdef QUENLIX_WITH_CAMSIM
class CodecChannelsCgi : public ::testing::Test {
 protected:
  void SetUp() override { driver.info = camera.Device("", "", 3000); }

  testhost::SimCamera camera;
  camsim::Camsim& core = camera.core;
  ParamDriver driver;
};

TEST_F(CodecChannelsCgi, PrepareParserSendsTheUpdateOfEachCodec) {
  driver.custom[4] = 1;
  struct Case {
    const char* name;
    bool (*prepare)(ParamDriver*);
    const char* expected;
  } cases[] = {
      {"h264",
       [](ParamDriver* d) {
         return Exposed<CH264ChannelRTSP>(d, Settings(640, 480, 40, 50)).PrepareParser();
       },
       "/siqura-cgi/admin/param.cgi?action=update&Image.I0.Appearance.Resolution=disable,720p,vga"
       "&Image.I0.Appearance.H264Bitrate=4096&Image.I0.Appearance.H264VideoKeyFrameInterval=25"
       "&Image.I0.Appearance.H264_2VideoKeyFrameInterval=25&Frameskip.H264=0"},
      {"mjpeg",
       [](ParamDriver* d) {
         return Exposed<CMJPEGChannelRTSP>(d, Settings(352, 288, 500, 0)).PrepareParser();
       },
       "/siqura-cgi/admin/param.cgi?action=update&Image.I0.Appearance.Resolution=cif,720p,disable"
       "&Image.I0.Appearance.MjpegQfactor=1&Frameskip.Mjpeg=3"},
      {"mpeg4",
       [](ParamDriver* d) {
         return Exposed<CMPEG4ChannelRTSP>(d, Settings(1920, 1080, 200, 100)).PrepareParser();
       },
       "/siqura-cgi/admin/param.cgi?action=update&Image.I0.Appearance.Resolution=1080p,1080p,"
       "disable,disable&Image.I0.Appearance.Mpeg4Bitrate=8192"
       "&Image.I0.Appearance.Mpeg4VideoKeyFrameInterval=5&Frameskip.Mpeg4=1"},
  };
  for (const Case& c : cases) {
    core.ClearRequests();
    EXPECT_TRUE(c.prepare(&driver)) << c.name;
    EXPECT_EQ(core.Requests(), std::vector<std::string>{c.expected}) << c.name;
  }
  EXPECT_TRUE(driver.Lines().empty());
}

TEST_F(CodecChannelsCgi, RefusedUpdateFailsThePreparationAndIsLogged) {
  camsim::FaultState fault;
  fault.mode = camsim::FaultMode::kStatus;
  fault.status = 500;
  core.SetFault(fault);
  Exposed<CH264ChannelRTSP> channel(&driver, Settings(640, 480, 40, 50));
  EXPECT_FALSE(channel.PrepareParser());
  const std::vector<std::string> lines = driver.Texts();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("1 ", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("status code = 500"), std::string::npos) << lines[0];
}
#endif

}  // namespace
}  // namespace quenlix
