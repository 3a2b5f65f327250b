#include "camera/tavrik_camera_properties.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "camsim_helpers.h"
#include "capability_helpers.h"

namespace {

using quenlix::CTavrikCameraProperties;
using quenlix::DEVICE_INFO;

std::string Lines(std::initializer_list<const char*> lines) {
  std::string text;
  for (const char* l : lines) text += std::string(l) + "\r\n";
  return text;
}

DEVICE_INFO Device() {
  DEVICE_INFO info;
  info.address = "127.0.0.1";
  info.port = 1;  // never contacted by these tests
  info.userName = "admin";
  info.password = "pw";
  return info;
}

std::string Base(const char* format, const char* resolution, const char* standard = "pal") {
  return Lines({"root.Brand.Brand=Siqura", "root.Brand.ProdShortName=HSD 621"}) +
         "root.ImageSource.I0.Video.DetectedType=" + standard + "\r\n" +
         "root.Properties.Image.Format=" + format + "\r\n" +
         "root.Properties.Image.Resolution=" + resolution + "\r\n";
}

struct Size {
  uint32_t w, h, ms;
  bool operator==(const Size& o) const { return w == o.w && h == o.h && ms == o.ms; }
};

std::vector<Size> Sizes(const CTavrikCameraProperties& p) {
  std::vector<Size> out;
  for (const auto& r : p.resolutions) {
    out.push_back({r.width, r.height, r.frameIntervals.empty() ? 0u : r.frameIntervals[0]});
  }
  return out;
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
      {"all three PAL, any order",
       "h264,mpeg4,mjpeg",
       "pal",
       {1, 4, 16},
       2,
       {1, 2, 5, 6, 12, 25},
       12},
      {"all three NTSC", "mpeg4 mjpeg h264", "ntsc", {1, 4, 16}, 2, {1, 3, 6, 7, 15, 30}, 15},
      {"mpeg4 only keeps group 1", "mpeg4", "pal", {4}, 1, {2, 3, 5, 25}, 0},
      {"capital NTSC is PAL", "mjpeg,h264", "NTSC", {1, 16}, 1, {2, 3, 5, 25}, 0},
  };
  for (const Case& c : cases) {
    CTavrikCameraProperties p(Device());
    ASSERT_TRUE(p.ParseParameterList(Base(c.format, "cif", c.standard))) << c.name;
    EXPECT_EQ(p.codecs, c.codecs) << c.name;
    EXPECT_EQ(p.cameraGroup, c.group) << c.name;
    EXPECT_EQ(p.frameRates, c.rates) << c.name;
    EXPECT_EQ(p.reducedRate, c.reduced) << c.name;
  }
}

TEST(TavrikCameraPropertiesTest, ResolutionsMatchWholeNamesOnly) {
  struct Case {
    const char* name;
    const char* value;
    const char* standard;
    std::vector<Size> sizes;
  } cases[] = {
      // "vga" is part of "qvga", but a camera offering qvga does not offer vga.
      {"qvga and 720p PAL", "qvga,720p", "pal", {{320, 240, 40}, {1280, 720, 40}}},
      {"qcif is not cif", "qcif", "pal", {{176, 144, 40}}},
      {"quadvga NTSC", "quadvga", "ntsc", {{1280, 960, 66}}},
      {"quadvga PAL", "quadvga", "pal", {{1280, 960, 83}}},
      {"all, in table order",
       "1080p,d1,vga,cif,qcif,qvga,720p,quadvga",
       "ntsc",
       {{176, 120, 33},
        {320, 240, 33},
        {352, 240, 33},
        {640, 480, 33},
        {720, 480, 33},
        {1280, 720, 33},
        {1280, 960, 66},
        {1920, 1080, 33}}},
      {"separators of any kind",
       "cif;d1 | vga",
       "pal",
       {{352, 288, 40}, {640, 480, 40}, {720, 576, 40}}},
      {"duplicates vanish", "cif,cif", "pal", {{352, 288, 40}}},
      {"unknown names", "4k,svga", "pal", {}},
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
    std::string text;
  } cases[] = {
      {"other brand",
       Lines({"root.Brand.Brand=Norrvik", "root.Brand.ProdShortName=X",
              "root.Properties.Image.Format=h264", "root.Properties.Image.Resolution=cif"})},
      {"brand in lower case",
       Lines({"root.Brand.Brand=siqura", "root.Brand.ProdShortName=X",
              "root.Properties.Image.Format=h264", "root.Properties.Image.Resolution=cif"})},
      {"no short name", Lines({"root.Brand.Brand=Siqura", "root.Properties.Image.Format=h264",
                               "root.Properties.Image.Resolution=cif"})},
      {"no format", Lines({"root.Brand.Brand=Siqura", "root.Brand.ProdShortName=X",
                           "root.Properties.Image.Resolution=cif"})},
      {"no resolution", Lines({"root.Brand.Brand=Siqura", "root.Brand.ProdShortName=X",
                               "root.Properties.Image.Format=h264"})},
      {"empty text", ""},
  };
  for (const Case& c : cases) {
    CTavrikCameraProperties p(Device());
    EXPECT_FALSE(p.ParseParameterList(c.text)) << c.name;
    EXPECT_EQ(p.propertiesRead, 1u) << c.name;
  }
}

TEST(TavrikCameraPropertiesTest, BrandAmongOtherWordsPasses) {
  CTavrikCameraProperties p(Device());
  std::string text = Base("h264", "cif");
  text.replace(text.find("Siqura"), 6, "Siqura Video Systems B.V.");
  ASSERT_TRUE(p.ParseParameterList(text));
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
  CTavrikCameraProperties p(Device());
  ASSERT_TRUE(p.ParseParameterList(Base("h264", "cif")));
  EXPECT_EQ(p.firmwareVersion, "none");
  EXPECT_FALSE(p.hasAudio);
  EXPECT_EQ(p.outputCount, 0u);

  CTavrikCameraProperties q(Device());
  ASSERT_TRUE(
      q.ParseParameterList(Base("h264", "cif") + Lines({"root.Properties.Audio.Audio=yes",
                                                        "root.Properties.Firmware.Version=1.2.3",
                                                        "root.Output.NbrOfOutputs=2"})));
  EXPECT_EQ(q.firmwareVersion, "1.2.3");
  EXPECT_TRUE(q.hasAudio);
  EXPECT_EQ(q.outputCount, 2u);

  // A zero byte ends the list: a version that starts with one is empty.
  CTavrikCameraProperties z(Device());
  std::string list = Base("h264", "cif") + "root.Properties.Firmware.Version=";
  list += std::string(3, '\0') + "5.0.1\r\nroot.Output.NbrOfOutputs=2\r\n";
  ASSERT_TRUE(z.ParseParameterList(list));
  EXPECT_EQ(z.firmwareVersion, "none");
  EXPECT_EQ(z.outputCount, 0u);
}

TEST(TavrikCameraPropertiesTest, AbortBeforeParsingSkipsEveryStepButSucceeds) {
  CTavrikCameraProperties p(Device());
  p.Abort();
  ASSERT_TRUE(p.ParseParameterList(Base("mjpeg,h264", "cif,d1", "ntsc")));
  EXPECT_EQ(p.videoStandard, 0u);
  EXPECT_TRUE(p.codecs.empty());
  EXPECT_TRUE(p.resolutions.empty());
  EXPECT_TRUE(p.frameRates.empty());

  camtest::RecordingResults results;
  ASSERT_TRUE(p.SaveResults(&results));
  const std::vector<std::string> expected = {
      "GetFrameRateList 1",
      "SetCapability 11 0",
      "SetCapability 12 0",
      "SetModelName Siqura HSD 621",
      "SetCapability 0 1",
      "SetCapability 11 0",
      "SetCapability 12 0",
      "Field 1 127.0.0.1",
      "Field 2 1",
      "Field 3 admin",
      "Field 4 pw",
      "Property 1 SetName Video standard",
      "Property 1 SetReserved 0",
      "Property 1 SetFlag 0",
      "Property 1 SetValue 0",
      "Property 2 SetName RTSP port",
      "Property 2 SetReserved 0",
      "Property 2 SetFlag 0",
      "Property 2 SetValue 554",
      "Property 3 SetName Firmware version",
      "Property 3 SetReserved 0",
      "Property 3 SetFlag 1",
      "Property 3 SetValue (none)",
      "Property 4 SetName Camera group",
      "Property 4 SetReserved 0",
      "Property 4 SetFlag 0",
      "Property 4 SetValue 1",
  };
  EXPECT_EQ(results.Calls(), expected);
}

TEST(TavrikCameraPropertiesTest, HandOverOfAPalCamera) {
  CTavrikCameraProperties p(Device());
  ASSERT_TRUE(p.ParseParameterList(
      Base("jpeg,mjpeg,h264", "qcif,d1") +
      Lines({"root.Properties.Audio.Audio=yes", "root.Properties.Firmware.Version=4.1",
             "root.Input.NbrOfInputs=1", "root.Output.NbrOfOutputs=2",
             "root.Network.RTSP.Port=8554"})));
  camtest::RecordingResults results;
  ASSERT_TRUE(p.SaveResults(&results));
  const std::vector<std::string> expected = {
      "GetFrameRateList 1",
      "AddInterval 500",
      "AddInterval 333",
      "AddInterval 200",
      "AddInterval 40",
      "SetDefaultInterval 40",
      "SetCapability 11 0",
      "SetCapability 12 0",
      "SetModelName Siqura HSD 621",
      "SetCapability 0 1",
      "SetCapability 2 1",
      "SetCapability 3 2",
      "SetCapability 4 1",
      "SetCapability 11 0",
      "SetCapability 12 0",
      "SetCapability 7 1",
      "SetCapability 8 1",
      "AddResolution 176x144 176 144 40",
      "AddResolution 720x576 720 576 40",
      "Field 1 127.0.0.1",
      "Field 2 1",
      "Field 3 admin",
      "Field 4 pw",
      "Property 1 SetName Video standard",
      "Property 1 SetReserved 0",
      "Property 1 SetFlag 0",
      "Property 1 SetValue 0",
      "Property 2 SetName RTSP port",
      "Property 2 SetReserved 0",
      "Property 2 SetFlag 0",
      "Property 2 SetValue 8554",
      "Property 3 SetName Firmware version",
      "Property 3 SetReserved 0",
      "Property 3 SetFlag 1",
      "Property 3 SetValue 4.1",
      "Property 4 SetName Camera group",
      "Property 4 SetReserved 0",
      "Property 4 SetFlag 0",
      "Property 4 SetValue 1",
  };
  EXPECT_EQ(results.Calls(), expected);
}

TEST(TavrikCameraPropertiesTest, GroupTwoDefaultIntervalIsTheReducedRate) {
  CTavrikCameraProperties p(Device());
  ASSERT_TRUE(p.ParseParameterList(Base("mjpeg,mpeg4,h264", "cif", "ntsc")));
  camtest::RecordingResults results;
  ASSERT_TRUE(p.SaveResults(&results));
  const std::vector<std::string> rates = {"AddInterval 1000", "AddInterval 333", "AddInterval 166",
                                          "AddInterval 142",  "AddInterval 66",  "AddInterval 33"};
  EXPECT_EQ(results.CallsStartingWith("AddInterval"), rates);
  EXPECT_EQ(results.CallsStartingWith("SetDefaultInterval"),
            std::vector<std::string>{"SetDefaultInterval 66"});
  EXPECT_EQ(results.CallsStartingWith("SetCapability 6"),
            std::vector<std::string>{"SetCapability 6 1"});
}

TEST(TavrikCameraPropertiesTest, NullResultsIsRefused) {
  CTavrikCameraProperties p(Device());
  EXPECT_FALSE(p.SaveResults(nullptr));
}

#if QUENLIX_TEST_WITH_CAMSIM

TEST(TavrikCameraPropertiesTest, EachFixtureReadOverHttp) {
  struct Case {
    const char* fixture;
    bool ok;
    std::string model;
    uint32_t standard, port, group, inputs, outputs;
    std::vector<uint32_t> codecs;
    std::vector<Size> sizes;
    std::string firmware;
    bool audio;
  } cases[] = {
      {"siqura_pal_h264",
       true,
       "Siqura HSD 621",
       0,
       554,
       1,
       1,
       1,
       {1, 16},
       {{176, 144, 40}, {352, 288, 40}, {720, 576, 40}, {1280, 720, 40}, {1920, 1080, 40}},
       "4.12.3",
       true},
      {"siqura_ntsc_h264",
       true,
       "Siqura BC 820 HD",
       1,
       8554,
       2,
       2,
       2,
       {1, 4, 16},
       {{320, 240, 33}, {640, 480, 33}, {1280, 960, 66}},
       "5.0.1",
       false},
      {"siqura_mjpeg_mpeg4",
       true,
       "Siqura Video Systems MSK 5010",
       0,
       554,
       1,
       0,
       0,
       {1, 4},
       {{176, 144, 40}, {352, 288, 40}, {720, 576, 40}},
       "none",
       false},
      {"other_brand", false, "", 0, 554, 1, 0, 0, {}, {}, "", false},
  };
  for (const Case& c : cases) {
    camtest::TestCamera camera(c.fixture, camsim::AuthMode::kDigest, "admin", "secret");
    CTavrikCameraProperties p(camera.Device("admin", "secret"));
    uint32_t level = 0;
    EXPECT_EQ(p.ReadProperties(level), c.ok) << c.fixture;
    EXPECT_EQ(p.propertiesRead, 1u);
    if (!c.ok) {
      EXPECT_EQ(level, 3u);
      EXPECT_TRUE(p.codecs.empty());
      continue;
    }
    EXPECT_EQ(p.modelName, c.model) << c.fixture;
    EXPECT_EQ(p.videoStandard, c.standard) << c.fixture;
    EXPECT_EQ(p.rtspPort, c.port) << c.fixture;
    EXPECT_EQ(p.cameraGroup, c.group) << c.fixture;
    EXPECT_EQ(p.inputCount, c.inputs) << c.fixture;
    EXPECT_EQ(p.outputCount, c.outputs) << c.fixture;
    EXPECT_EQ(p.codecs, c.codecs) << c.fixture;
    EXPECT_EQ(Sizes(p), c.sizes) << c.fixture;
    EXPECT_EQ(p.firmwareVersion, c.firmware) << c.fixture;
    EXPECT_EQ(p.hasAudio, c.audio) << c.fixture;
  }
}

TEST(TavrikCameraPropertiesTest, HttpFailureFailsTheRead) {
  camtest::TestCamera camera;
  camera.SetFault("status:500");
  CTavrikCameraProperties p(camera.Device("", ""));
  uint32_t level = 0;
  EXPECT_FALSE(p.ReadProperties(level));
  EXPECT_EQ(level, 3u);
}

#endif

}  // namespace
