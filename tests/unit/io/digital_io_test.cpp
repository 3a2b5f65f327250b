// Reading an input's state from the camera's poll reply.
#include <gtest/gtest.h>

#include "io/digital_io.h"

namespace {

using quenlix::CDigitalIO;
using quenlix::CIOBase;

struct Case {
  const char* name;
  uint32_t number;
  const char* reply;
  bool ok;
  uint32_t state;
};

TEST(DigitalIOReply, ReadsTheInputsOwnLineOnly) {
  const Case cases[] = {
      {"inactive", 1, "Input1=inactive\r\n", true, CIOBase::kStateInactive},
      {"active", 1, "Input1=active\r\n", true, CIOBase::kStateActive},
      {"other input first, last line unended", 2, "Input1=inactive\r\nInput2=active", true,
       CIOBase::kStateActive},
      {"no line for the input", 1, "OK\r\n", false, 0},
      {"empty value", 1, "Input1=\r\n", false, 0},
      {"garbled value", 1, "Input1=on\r\n", false, 0},
  };
  for (const Case& c : cases) {
    uint32_t state = 99;
    EXPECT_EQ(CDigitalIO::ReadInputState(c.number, c.reply, &state), c.ok) << c.name;
    if (c.ok) {
      EXPECT_EQ(state, c.state) << c.name;
    }
  }
}

}  // namespace
