#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include "media/h264_sps_reader.h"
#include "media/h264_sps_writer.h"
#include "media_test_util.h"

namespace quenlix {
namespace test {
namespace {

// "0100 1..." to bytes (spaces ignored), padded with a stop bit and zeros.
Bytes Bits(const std::string& bits) {
  std::string all;
  for (char c : bits + "1") {
    if (c == '0' || c == '1') all.push_back(c);
  }
  all.append((8 - all.size() % 8) % 8, '0');
  Bytes out;
  for (size_t i = 0; i < all.size(); i += 8)
    out.push_back(uint8_t(std::stoi(all.substr(i, 8), nullptr, 2)));
  return out;
}

// Two zero bytes are sent as 00 00 03 before a byte of 3 or less.
Bytes Nal(uint8_t header, const Bytes& rbsp) {
  Bytes nal = {header};
  int zeros = 0;
  for (uint8_t b : rbsp) {
    if (zeros >= 2 && b <= 3) {
      nal.push_back(3);
      zeros = 0;
    }
    nal.push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
  return nal;
}

std::string Ue(uint32_t v) {
  std::string bits;
  for (uint64_t c = uint64_t(v) + 1; c > 0; c >>= 1) bits.insert(bits.begin(), char('0' + (c & 1)));
  return std::string(bits.size() - 1, '0') + bits + " ";
}
std::string Se(int v) { return Ue(v > 0 ? uint32_t(2 * v - 1) : uint32_t(-2 * v)); }
std::string Rep(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

// An SPS NAL unit with its start code.
Bytes Sps(const std::string& bits) { return Cat({{0, 0, 1}, Nal(0x67, Bits(bits))}); }

TEST(H264SpsReader, SizesFromHandcraftedSpsAndStreams) {
  struct Case {
    const char* name;
    Bytes stream;
    bool ok;
    uint32_t width, height;
  };
  const std::string base = "01000010 11000000 00011110 " + Ue(0);
  const std::string high = "01100100 00000000 00101000 " + Ue(0);
  const std::string size720 = Ue(1) + "0 " + Ue(79) + Ue(44) + "1";
  const Bytes sps = CH264SpsWriter::BuildSps(640, 360);
  const Case cases[] = {
      {"baseline poc 0, field pairs",
       Sps(base + Ue(0) + Ue(0) + Ue(0) + Ue(1) + "0 " + Ue(79) + Ue(35) + "0"), true, 1280,
       2 * 36 * 16},
      {"poc type 1 with a cycle of two",
       Sps(base + Ue(0) + Ue(1) + "1 " + Se(-3) + Se(2) + Ue(2) + Se(1) + Se(-1) + size720), true,
       1280, 720},
      {"poc cycle beyond 255 is refused",
       Sps(base + Ue(0) + Ue(1) + "1 " + Se(0) + Se(0) + Ue(300) + Rep(Se(1), 300) + size720),
       false, 0, 0},
      {"high, a scaling list ended early by a zero scale",
       Sps(high + Ue(1) + Ue(0) + Ue(0) + "0 1 1 " + Se(-8) + "0000000 " + Ue(0) + Ue(2) + size720),
       true, 1280, 720},
      {"high, a full 8x8 scaling list",
       Sps(high + Ue(1) + Ue(0) + Ue(0) + "0 1 000000 1 " + Rep(Se(1), 64) + "0 " + Ue(0) + Ue(2) +
           size720),
       true, 1280, 720},
      {"4:4:4 reads twelve list flags",
       Sps(high + Ue(3) + "0 " + Ue(0) + Ue(0) + "0 1 " + Rep("0", 12) + " " + Ue(0) + Ue(2) +
           size720),
       true, 1280, 720},
      {"truncated before the size", Sps(base + Ue(0) + Ue(0) + Ue(0) + Ue(1)), false, 0, 0},
      // Constraint flags and level 0, then sps id 63: 00 00 02 in the RBSP.
      // Read as it stands, the escape byte would shift every later field.
      {"escaped",
       Cat({Sps("01000010 00000000 00000000 " + Ue(63) + Ue(0) + Ue(2) + Ue(1) + "0 " + Ue(7) +
                Ue(7) + "1"),
            {0, 0, 1, 0x65, 0x88}}),
       true, 128, 128},
      {"after a delimiter", Cat({{0, 0, 1, 0x09, 0x30, 0, 0, 1}, sps, {0, 0, 1, 0x68, 0xCE}}), true,
       640, 368},
      {"no start code", sps, false, 0, 0},
      {"start code with nothing after it", {0x41, 0, 0, 1}, false, 0, 0},
      // A cut SPS is not completed from the NAL unit after it.
      {"cut by the next start code",
       Cat({{0, 0, 1}, Bytes(sps.begin(), sps.begin() + 4), {0, 0, 1}, sps}), false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uint32_t w = 0, h = 0;
    EXPECT_EQ(CH264SpsReader::ReadPictureSize(c.stream.data(), c.stream.size(), &w, &h), c.ok);
    EXPECT_EQ(w, c.width);
    EXPECT_EQ(h, c.height);
  }
}

// The decoder is the build machine's ffmpeg, which a Windows build of the
// tests cannot start.
#if QUENLIX_TEST_DECODER
TEST(H264SpsWriter, BuildsReadableSetsThatADecoderAccepts) {
  for (const auto& size : {std::make_pair(1920u, 1080u), std::make_pair(704u, 576u),
                           std::make_pair(352u, 240u), std::make_pair(1000u, 562u)}) {
    const std::string probed = std::to_string(size.first) + "x" + std::to_string(size.second);
    SCOPED_TRACE(probed);
    const Bytes sps = CH264SpsWriter::BuildSps(size.first, size.second);
    ASSERT_LE(sps.size(), 64u);
    uint32_t w = 0, h = 0;
    ASSERT_TRUE(CH264SpsReader::ReadNalUnit(sps.data(), sps.size(), &w, &h));
    EXPECT_EQ(w, (size.first + 15) / 16 * 16);
    EXPECT_EQ(h, (size.second + 15) / 16 * 16);
    // An IDR picture for the fixed PPS (CAVLC, deblocking control present)
    // whose every macroblock is I_16x16 DC prediction with nothing coded.
    const std::string slice = Ue(0) + Ue(7) + Ue(0) + "0000 " + Ue(0) + "0 0 " + Se(0) + Ue(1) +
                              Rep("00100 1 1 1 ", int(w / 16 * (h / 16)));
    const Bytes sc = {0, 0, 0, 1};
    const Bytes stream = Cat({sc, sps, sc, CH264SpsWriter::FixedPps(), sc, Nal(0x65, Bits(slice))});
    // The file's name is this process's own: runs of several build trees
    // share the folder.
    const char* dir = std::getenv("TMPDIR");
    const std::string path = std::string(dir != nullptr ? dir : "/tmp") + "/quenlix_sps_" +
                             std::to_string(std::random_device{}());
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(stream.data()), std::streamsize(stream.size()));
    const std::string probe =
        "ffprobe -v error -f h264 -count_frames -select_streams v:0 "
        "-show_entries stream=width,height,nb_read_frames -of csv=p=0:s=x " +
        path;
    std::string out;
    if (FILE* pipe = popen(probe.c_str(), "r")) {
      for (int c; (c = std::fgetc(pipe)) != EOF;) out.push_back(char(c));
      pclose(pipe);
    }
    std::remove(path.c_str());
    EXPECT_EQ(out, probed + "x1\n");
  }
  EXPECT_TRUE(CH264SpsWriter::BuildSps(0, 480).empty());
  EXPECT_TRUE(CH264SpsWriter::BuildSps(640, 0).empty());
}
#endif  // QUENLIX_TEST_DECODER

}  // namespace
}  // namespace test
}  // namespace quenlix
