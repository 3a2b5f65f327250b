#include "camera/tavrik_camera_properties.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "capability_helpers.h"
#if QUENLIX_TEST_WITH_CAMSIM
#include "sim_camera.h"
#endif

namespace {

using quenlix::CTavrikCameraProperties;

quenlix::DEVICE_INFO Device() {
  quenlix::DEVICE_INFO info;
  info.address = "127.0.0.1";
  info.port = 1;  // never contacted by these tests
  info.userName = "admin";
  info.password = "pw";
  return info;
}

std::string Base(const std::string& format, const std::string& resolution,
                 const std::string& standard = "pal") {
  return "root.Brand.Brand=Siqura\r\nroot.Brand.ProdShortName=HSD 621\r\n"
         "root.ImageSource.I0.Video.DetectedType=" +
         standard + "\r\nroot.Properties.Image.Format=" + format +
         "\r\nroot.Properties.Image.Resolution=" + resolution + "\r\n";
}

// Each resolution as "WxH/first frame interval".
std::string Sizes(const CTavrikCameraProperties& p) {
  std::string s;
  for (const auto& r : p.resolutions) {
    s += " " + std::to_string(r.width) + "x" + std::to_string(r.height) + "/" +
         std::to_string(r.frameIntervals.empty() ? 0u : r.frameIntervals[0]);
  }
  return s;
}

TEST(TavrikCameraPropertiesTest, CodecsGroupsAndFrameRates) {
  struct Case {
    const char* name;
    const char* format;
    const char* standard;
    std::vector<uint32_t> codecs;
    uint32_t group;
    std::set<uint32_t> rates;
    uint32_t reduced;
  } cases[] = {
      {"mjpeg+h264 PAL", "mjpeg,h264", "pal", {1, 16}, 1, {2, 3, 5, 25}, 0},
      {"mjpeg+h264 NTSC", "h264,mjpeg", "ntsc", {1, 16}, 1, {2, 3, 6, 30}, 0},
      {"all three PAL", "h264,mpeg4,mjpeg", "pal", {1, 4, 16}, 2, {1, 2, 5, 6, 12, 25}, 12},
      {"all three NTSC", "mpeg4 mjpeg h264", "ntsc", {1, 4, 16}, 2, {1, 3, 6, 7, 15, 30}, 15},
      {"mpeg4 only keeps group 1", "mpeg4", "pal", {4}, 1, {2, 3, 5, 25}, 0},
      {"capital NTSC is PAL", "mjpeg,h264", "NTSC", {1, 16}, 1, {2, 3, 5, 25}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CTavrikCameraProperties p(Device());
    ASSERT_TRUE(p.ParseParameterList(Base(c.format, "cif", c.standard)));
    EXPECT_EQ(p.codecs, c.codecs);
    EXPECT_EQ(p.cameraGroup, c.group);
    EXPECT_EQ(p.frameRates, c.rates);
    EXPECT_EQ(p.reducedRate, c.reduced);
  }
}

TEST(TavrikCameraPropertiesTest, ResolutionsMatchWholeNamesOnly) {
  struct Case {
    const char* name;
    const char* value;
    const char* standard;
    const char* sizes;
  } cases[] = {
      // "vga" is part of "qvga", but a camera offering qvga does not offer vga.
      {"qvga and 720p PAL", "qvga,720p", "pal", " 320x240/40 1280x720/40"},
      {"qcif is not cif", "qcif", "pal", " 176x144/40"},
      {"quadvga NTSC", "quadvga", "ntsc", " 1280x960/66"},
      {"quadvga PAL", "quadvga", "pal", " 1280x960/83"},
      {"all, in table order", "1080p,d1,vga,cif,qcif,qvga,720p,quadvga", "ntsc",
       " 176x120/33 320x240/33 352x240/33 640x480/33 720x480/33 1280x720/33 1280x960/66 "
       "1920x1080/33"},
      {"separators of any kind", "cif;d1 | vga", "pal", " 352x288/40 640x480/40 720x576/40"},
      {"duplicates vanish", "cif,cif", "pal", " 352x288/40"},
      {"unknown names", "4k,svga", "pal", ""},
  };
  for (const Case& c : cases) {
    CTavrikCameraProperties p(Device());
    ASSERT_TRUE(p.ParseParameterList(Base("mjpeg,h264", c.value, c.standard))) << c.name;
    EXPECT_EQ(Sizes(p), c.sizes) << c.name;
  }
}

TEST(TavrikCameraPropertiesTest, ReadFailures) {
  struct Case {
    const char* name;
    const char* from;  // replaced in a list that reads well
    const char* to;
  } cases[] = {
      {"other brand", "Siqura", "Norrvik"},
      {"brand in lower case", "Siqura", "siqura"},
      {"no short name", "root.Brand.ProdShortName=HSD 621\r\n", ""},
      {"no format", "root.Properties.Image.Format=h264\r\n", ""},
      {"no resolution", "root.Properties.Image.Resolution=cif\r\n", ""},
      {"empty text", nullptr, ""},
  };
  for (const Case& c : cases) {
    std::string text = Base("h264", "cif");
    if (c.from == nullptr) {
      text.clear();
    } else {
      text.replace(text.find(c.from), std::string(c.from).size(), c.to);
    }
    CTavrikCameraProperties p(Device());
    EXPECT_FALSE(p.ParseParameterList(text)) << c.name;
    EXPECT_EQ(p.propertiesRead, 1u) << c.name;
  }
  CTavrikCameraProperties p(Device());
  std::string text = Base("h264", "cif");
  text.replace(text.find("Siqura"), 6, "Siqura Video Systems B.V.");
  ASSERT_TRUE(p.ParseParameterList(text)) << "brand among other words";
  EXPECT_EQ(p.brand, "Siqura Video Systems B.V.");
  EXPECT_EQ(p.modelName, "Siqura Video Systems B.V. HSD 621");
}

TEST(TavrikCameraPropertiesTest, NumericValues) {
  struct Case {
    const char* name;
    const char* port;
    const char* inputs;
    uint32_t expectPort;
    uint32_t expectInputs;
  } cases[] = {
      {"plain", "8554", "4", 8554, 4},
      {"zero keeps defaults", "0", "0", 554, 0},
      {"leading blanks and sign", "  +7070", " 2", 7070, 2},
      {"trailing text", "9000abc", "3 inputs", 9000, 3},
      {"no digits", "none", "x", 554, 0},
      {"negative is ignored", "-1", "-2", 554, 0},
      // A value that does not fit in 32 bits must not wrap into a small one.
      {"overflow is ignored", "4294967850", "4294967297", 554, 0},
      {"port above 65535 is ignored", "70000", "1", 554, 1},
  };
  for (const Case& c : cases) {
    CTavrikCameraProperties p(Device());
    const std::string text = Base("h264", "cif") + "root.Network.RTSP.Port=" + c.port +
                             "\r\nroot.Input.NbrOfInputs=" + c.inputs + "\r\n";
    ASSERT_TRUE(p.ParseParameterList(text)) << c.name;
    EXPECT_EQ(p.rtspPort, c.expectPort) << c.name;
    EXPECT_EQ(p.inputCount, c.expectInputs) << c.name;
  }
}

TEST(TavrikCameraPropertiesTest, OptionalValues) {
  const std::string extra =
      "root.Properties.Audio.Audio=yes\r\nroot.Properties.Firmware.Version=1.2.3\r\n"
      "root.Output.NbrOfOutputs=2\r\n";
  // A zero byte ends the list: a version that starts with one is empty.
  std::string cut = extra;
  cut.insert(cut.find("1.2.3"), 3, '\0');
  struct Case {
    const char* name;
    std::string list;
    const char* firmware;
    bool audio;
    uint32_t outputs;
  } cases[] = {{"absent", Base("h264", "cif"), "none", false, 0},
               {"present", Base("h264", "cif") + extra, "1.2.3", true, 2},
               {"after a zero byte", Base("h264", "cif") + cut, "none", true, 0}};
  for (const Case& c : cases) {
    CTavrikCameraProperties p(Device());
    ASSERT_TRUE(p.ParseParameterList(c.list)) << c.name;
    EXPECT_EQ(p.firmwareVersion, c.firmware) << c.name;
    EXPECT_EQ(p.hasAudio, c.audio) << c.name;
    EXPECT_EQ(p.outputCount, c.outputs) << c.name;
  }
}

// What the host holds after the hand-over; an abort before parsing skips
// every step after the brand check but still succeeds.
TEST(TavrikCameraPropertiesTest, HandOverToTheHost) {
  const std::string fields = "\nfields 1:127.0.0.1 2:1 3:admin 4:pw\n";
  struct Case {
    const char* name;
    std::string list;
    bool abort;
    std::string summary;
  } cases[] = {
      {"aborted", Base("mjpeg,h264", "cif,d1", "ntsc"), true,
       "model Siqura HSD 621\ncaps 0=1 11=0 11=0 12=0 12=0\nsizes\nrates default 0 list 1" +
           fields +
           "1 Video standard=0 [0 0]\n2 RTSP port=554 [0 0]\n3 Firmware version=(none) [1 0]\n"
           "4 Camera group=1 [0 0]"},
      {"PAL, group 1",
       Base("jpeg,mjpeg,h264", "qcif,d1") +
           "root.Properties.Audio.Audio=yes\r\nroot.Properties.Firmware.Version=4.1\r\n"
           "root.Input.NbrOfInputs=1\r\nroot.Output.NbrOfOutputs=2\r\n"
           "root.Network.RTSP.Port=8554\r\n",
       false,
       "model Siqura HSD 621\ncaps 0=1 2=1 3=2 4=1 7=1 8=1 11=0 11=0 12=0 12=0\n"
       "sizes 176x144=176x144/40 720x576=720x576/40\nrates 500 333 200 40 default 40 list 1" +
           fields +
           "1 Video standard=0 [0 0]\n2 RTSP port=8554 [0 0]\n3 Firmware version=4.1 [1 0]\n"
           "4 Camera group=1 [0 0]"},
      {"NTSC, group 2: the default interval is the reduced rate's",
       Base("mjpeg,mpeg4,h264", "cif", "ntsc"), false,
       "model Siqura HSD 621\ncaps 0=1 6=1 7=1 8=1 11=0 11=0 12=0 12=0\n"
       "sizes 352x240=352x240/33\nrates 1000 333 166 142 66 33 default 66 list 1" +
           fields +
           "1 Video standard=1 [0 0]\n2 RTSP port=554 [0 0]\n3 Firmware version=none [1 0]\n"
           "4 Camera group=2 [0 0]"},
  };
  for (const Case& c : cases) {
    CTavrikCameraProperties p(Device());
    if (c.abort) p.Abort();
    ASSERT_TRUE(p.ParseParameterList(c.list)) << c.name;
    camtest::HostResults results;
    ASSERT_TRUE(p.SaveResults(&results)) << c.name;
    EXPECT_EQ(results.Summary(), c.summary) << c.name;
  }
  EXPECT_FALSE(CTavrikCameraProperties(Device()).SaveResults(nullptr));
}

#if QUENLIX_TEST_WITH_CAMSIM

std::string Describe(const CTavrikCameraProperties& p) {
  std::string s = p.modelName + " std " + std::to_string(p.videoStandard) + " port " +
                  std::to_string(p.rtspPort) + " group " + std::to_string(p.cameraGroup) + " io " +
                  std::to_string(p.inputCount) + "/" + std::to_string(p.outputCount) + " fw " +
                  p.firmwareVersion + (p.hasAudio ? " audio" : "") + " codecs";
  for (uint32_t c : p.codecs) s += " " + std::to_string(c);
  return s + " sizes" + Sizes(p);
}

TEST(TavrikCameraPropertiesTest, ReadOverHttp) {
  struct Case {
    const char* fixture;
    const char* fault;
    const char* described;  // null: the read fails
  } cases[] = {
      {"siqura_pal_h264", "none",
       "Siqura HSD 621 std 0 port 554 group 1 io 1/1 fw 4.12.3 audio codecs 1 16 sizes "
       "176x144/40 352x288/40 720x576/40 1280x720/40 1920x1080/40"},
      {"siqura_ntsc_h264", "none",
       "Siqura BC 820 HD std 1 port 8554 group 2 io 2/2 fw 5.0.1 codecs 1 4 16 sizes "
       "320x240/33 640x480/33 1280x960/66"},
      {"siqura_mjpeg_mpeg4", "none",
       "Siqura Video Systems MSK 5010 std 0 port 554 group 1 io 0/0 fw none codecs 1 4 sizes "
       "176x144/40 352x288/40 720x576/40"},
      {"other_brand", "none", nullptr},
      {"siqura_pal_h264", "status:500", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.fixture) + " " + c.fault);
    camsim::CamsimOptions options;
    options.fixture = c.fixture;
    options.auth = camsim::AuthMode::kDigest;
    options.user = "admin";
    options.password = "secret";
    testhost::SimCamera camera(options);
    camera.SetFault(c.fault);
    CTavrikCameraProperties p(camera.Device("admin", "secret"));
    uint32_t level = 0;
    EXPECT_EQ(p.ReadProperties(level), c.described != nullptr);
    EXPECT_EQ(p.propertiesRead, 1u);
    if (c.described != nullptr) {
      EXPECT_EQ(Describe(p), c.described);
    } else {
      EXPECT_EQ(level, 3u);
      EXPECT_TRUE(p.codecs.empty());
    }
  }
}

#endif

}  // namespace
