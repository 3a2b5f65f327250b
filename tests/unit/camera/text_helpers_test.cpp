#include "camera/text_helpers.h"

#include <gtest/gtest.h>

#include <string>

#include "camera/tavrik_camera_properties.h"

namespace {

using quenlix::FormatString;

TEST(FormatStringTest, FormatsWholeResultsOfAnyLength) {
  const std::string long1(70000, 'a');
  const std::string long2(5000, 'b');
  EXPECT_EQ(FormatString("<%s|%d|%s>", long1.c_str(), -42, long2.c_str()),
            "<" + long1 + "|-42|" + long2 + ">");
  EXPECT_EQ(FormatString("%s:%u", "10.0.0.1", 8080u), "10.0.0.1:8080");
  EXPECT_EQ(FormatString("%s", ""), "");
  EXPECT_EQ(FormatString("%dx%d", 1920, 1080), "1920x1080");
}

TEST(TrimBlanksTest, Table) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"", ""},
      {"   ", ""},
      {"\t \t", ""},
      {"abc", "abc"},
      {"  abc", "abc"},
      {"abc \t", "abc"},
      {" a b ", "a b"},
      {"\tx\t", "x"},
      {"\r\nx\r\n", "\r\nx\r\n"},  // only blanks and tabs are trimmed
  };
  for (const Case& c : cases) {
    EXPECT_EQ(quenlix::TrimBlanks(c.in), c.out) << "input \"" << c.in << "\"";
  }
}

TEST(ReadDecimalValueTest, Table) {
  struct Case {
    const char* in;
    uint32_t out;
  } cases[] = {
      {"", 0},
      {"  42", 42},
      {"\t7", 7},
      {"+5", 5},
      {"-5", 0},
      {"+", 0},
      {"4294967295", 4294967295u},
      {"4294967296", 0},
      {" 1 2", 1},
  };
  for (const Case& c : cases) EXPECT_EQ(quenlix::ReadDecimalValue(c.in), c.out) << c.in;
}

TEST(GetKeyValueTest, Table) {
  struct Case {
    const char* name;
    const char* key;
    const char* separator;
    std::string text;
    const char* delimiters;
    const char* expected;
  } cases[] = {
      {"first line CRLF", "root.Brand.Brand", "=", "root.Brand.Brand=Siqura\r\nroot.X=1\r\n",
       "\r\n", "Siqura"},
      {"LF only", "root.X", "=", "root.A=1\nroot.X=two\nroot.B=3\n", "\r\n", "two"},
      {"last line without end", "root.X", "=", "root.A=1\r\nroot.X=tail value", "\r\n",
       "tail value"},
      {"blanks around separator keep the value's blank", "root.X", "=", "root.X = v\r\n", "\r\n",
       " v"},
      {"missing key", "root.Y", "=", "root.X=1\r\n", "\r\n", ""},
      {"empty value", "root.X", "=", "root.X=\r\nroot.Y=2\r\n", "\r\n", ""},
      {"empty value at end of text", "root.X", "=", "root.X=", "\r\n", ""},
      {"blank value kept", "root.X", "=", "root.X=   \r\n", "\r\n", "   "},
      {"key as prefix of a longer name is skipped", "root.In", "=", "root.Input=5\r\nroot.In=7\r\n",
       "\r\n", "7"},
      {"key as suffix of a longer name is not that name", "Port", "=",
       "root.RTSP.Port=554\r\nPort=80\r\n", "\r\n", "80"},
      {"input key inside a longer name", "Input1", "=", "XInput1=active\r\n", "\r\n", ""},
      {"blanks before the key", "root.X", "=", " \troot.X=4\r\n", "\r\n", "4"},
      {"key inside a value is not a name", "root.X", "=", "root.A=root.X\r\nroot.X=9\r\n", "\r\n",
       "9"},
      {"first match wins", "k", "=", "k=1\r\nk=2\r\n", "\r\n", "1"},
      {"separator on the next line does not count", "k", "=", "k\r\n=1\r\n", "\r\n", ""},
      {"key after other text on its line", "timeout", "=", "session: 12ab;timeout=60", "\r\n", ""},
      {"lines of the key without separator", "k", "=", "k\r\nk\r\nk x=1\r\nk=2", "\r\n", "2"},
      {"long lines of the key before it", "k", "=", std::string(200000, 'k') + "\nk=1", "\n", "1"},
      {"multi-character key and blank separator", "session:", " ", "session: 12ab;timeout=60", ";",
       "12ab"},
      {"several delimiters", "realm", "=", "Digest realm=cam, nonce=xyz", ", \r\n", "cam"},
      {"key beginning with a delimiter ends", "\nk", "=", "x\nk\nk=1", "\r\n", ""},
      {"empty key", "", "=", "a=1", "\r\n", ""},
      {"empty separator", "a", "", "a=1", "\r\n", ""},
      {"empty delimiters", "a", "=", "a=1", "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(quenlix::GetKeyValue(c.key, c.separator, c.text, c.delimiters), c.expected) << c.name;
  }
}

}  // namespace
