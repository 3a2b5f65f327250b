#include "camera/tavrik_camera_properties.h"

#include <gtest/gtest.h>

#include <string>

#include "capability_helpers.h"

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

// A list that reads well, with the given image lines and any extra lines.
std::string List(const std::string& format, const std::string& resolution,
                 const std::string& standard = "pal", const std::string& extra = "") {
  return "root.Brand.Brand=Siqura\r\nroot.Brand.ProdShortName=HSD 621\r\n"
         "root.ImageSource.I0.Video.DetectedType=" +
         standard + "\r\nroot.Properties.Image.Format=" + format +
         "\r\nroot.Properties.Image.Resolution=" + resolution + "\r\n" + extra;
}

std::string Edit(std::string text, const std::string& from, const std::string& to) {
  return text.replace(text.find(from), from.size(), to);
}

std::string Numbers(const std::string& port, const std::string& inputs) {
  return "root.Network.RTSP.Port=" + port + "\r\nroot.Input.NbrOfInputs=" + inputs + "\r\n";
}

// Everything read, as "name value;" fields: each resolution as
// "WxH/first frame interval", frame rates in frames per second.
std::string Describe(const CTavrikCameraProperties& p) {
  std::string s = "read " + std::to_string(p.propertiesRead) + "; model " + p.modelName + "; std " +
                  std::to_string(p.videoStandard) + "; codecs";
  for (uint32_t c : p.codecs) s += " " + std::to_string(c);
  s += "; group " + std::to_string(p.cameraGroup) + "; rates";
  for (uint32_t r : p.frameRates) s += " " + std::to_string(r);
  s += "; reduced " + std::to_string(p.reducedRate) + "; sizes";
  for (const auto& r : p.resolutions) {
    s += " " + std::to_string(r.width) + "x" + std::to_string(r.height) + "/" +
         std::to_string(r.frameIntervals.empty() ? 0u : r.frameIntervals[0]);
  }
  return s + "; port " + std::to_string(p.rtspPort) + "; io " + std::to_string(p.inputCount) + "/" +
         std::to_string(p.outputCount) + "; fw " + p.firmwareVersion + "; audio " +
         std::to_string(p.hasAudio) + ";";
}

std::string Read(const std::string& list) {
  CTavrikCameraProperties p(Device());
  if (p.ParseParameterList(list)) return Describe(p);
  return "refused; read " + std::to_string(p.propertiesRead) + ";";
}

// Each case names the fields that matter to it, in Describe's order.
TEST(TavrikCameraPropertiesTest, ParameterListsAndWhatIsRead) {
  const std::string cif = List("h264", "cif");
  const std::string extra =
      "root.Properties.Audio.Audio=yes\r\nroot.Properties.Firmware.Version=1.2.3\r\n"
      "root.Output.NbrOfOutputs=2\r\n";
  const std::string h = "mjpeg,h264";
  struct Case {
    const char* name;
    std::string list;
    const char* read;
  } cases[] = {
      {"mjpeg+h264 NTSC", List("h264,mjpeg", "cif", "ntsc"),
       "std 1; codecs 1 16; group 1; rates 2 3 6 30; reduced 0;"},
      {"all three PAL", List("h264,mpeg4,mjpeg", "cif"),
       "codecs 1 4 16; group 2; rates 1 2 5 6 12 25; reduced 12;"},
      {"all three NTSC", List("mpeg4 mjpeg h264", "cif", "ntsc"),
       "codecs 1 4 16; group 2; rates 1 3 6 7 15 30; reduced 15;"},
      {"mpeg4 only keeps group 1", List("mpeg4", "cif"), "codecs 4; group 1; rates 2 3 5 25;"},
      {"capital NTSC is PAL", List(h, "cif", "NTSC"),
       "std 0; codecs 1 16; group 1; rates 2 3 5 25;"},
      // Whole names only: "vga" is part of "qvga", "cif" of "qcif".
      {"qvga is no vga", List(h, "qvga,720p"), "sizes 320x240/40 1280x720/40;"},
      {"qcif is no cif", List(h, "qcif"), "sizes 176x144/40;"},
      {"quadvga NTSC", List(h, "quadvga", "ntsc"), "sizes 1280x960/66;"},
      {"quadvga PAL", List(h, "quadvga"), "sizes 1280x960/83;"},
      {"all sizes, in table order", List(h, "1080p,d1,vga,cif,qcif,qvga,720p,quadvga", "ntsc"),
       "sizes 176x120/33 320x240/33 352x240/33 640x480/33 720x480/33 1280x720/33 1280x960/66 "
       "1920x1080/33;"},
      {"separators of any kind", List(h, "cif;d1 | vga"),
       "sizes 352x288/40 640x480/40 720x576/40;"},
      {"duplicates vanish", List(h, "cif,cif"), "sizes 352x288/40;"},
      {"unknown sizes", List(h, "4k,svga"), "sizes;"},
      {"brand in lower case", Edit(cif, "Siqura", "siqura"), "refused; read 1;"},
      {"brand among other words", Edit(cif, "Siqura", "Siqura Video Systems B.V."),
       "model Siqura Video Systems B.V. HSD 621;"},
      {"no short name", Edit(cif, "root.Brand.ProdShortName=HSD 621\r\n", ""), "refused; read 1;"},
      {"no format", Edit(cif, "root.Properties.Image.Format=h264\r\n", ""), "refused; read 1;"},
      {"no resolution", Edit(cif, "root.Properties.Image.Resolution=cif\r\n", ""),
       "refused; read 1;"},
      {"empty text", "", "refused; read 1;"},
      {"plain numbers", cif + Numbers("8554", "4"), "port 8554; io 4/0;"},
      {"zero keeps defaults", cif + Numbers("0", "0"), "port 554; io 0/0;"},
      {"port above 65535 is ignored", cif + Numbers("70000", "1"), "port 554; io 1/0;"},
      {"no optional values", cif,
       "read 1; model Siqura HSD 621; std 0; codecs 16; group 1; rates 2 3 5 25; reduced 0; sizes "
       "352x288/40; port 554; io 0/0; fw none; audio 0;"},
      {"optional values", cif + extra, "io 0/2; fw 1.2.3; audio 1;"},
      // A zero byte ends the list: a version that starts with one is empty.
      {"zero byte", cif + Edit(extra, "1.2.3", std::string(3, '\0') + "1.2.3"),
       "io 0/0; fw none; audio 1;"},
  };
  for (const Case& c : cases) {
    const std::string read = Read(c.list);
    EXPECT_NE(read.find(c.read), std::string::npos) << c.name << ": " << read;
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
      {"aborted", List("mjpeg,h264", "cif,d1", "ntsc"), true,
       "model Siqura HSD 621\ncaps 0=1 11=0 11=0 12=0 12=0\nsizes\nrates default 0 list 1" +
           fields +
           "1 Video standard=0 [0 0]\n2 RTSP port=554 [0 0]\n3 Firmware version=(none) [1 0]\n"
           "4 Camera group=1 [0 0]"},
      {"PAL, group 1",
       List("jpeg,mjpeg,h264", "qcif,d1") +
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
       List("mjpeg,mpeg4,h264", "cif", "ntsc"), false,
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

}  // namespace
