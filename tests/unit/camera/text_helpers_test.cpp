#include "camera/text_helpers.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "camera/tavrik_camera_properties.h"

namespace {

using quenlix::FormatString;

TEST(FormatStringTest, FormatsWholeResultsOfAnyLength) {
  const std::string long1(70000, 'a');
  const std::string long2(5000, 'b');
  EXPECT_EQ(FormatString("<%s|%d|%s>", long1.c_str(), -42, long2.c_str()),
            "<" + long1 + "|-42|" + long2 + ">");
  EXPECT_EQ(FormatString("%s", ""), "");
}

TEST(TrimBlanksTest, OnlyBlanksAndTabsAtEitherEnd) {
  const std::pair<const char*, const char*> cases[] = {
      {"", ""},         {"   ", ""},      {"\t \t", ""},
      {"abc", "abc"},   {"  abc", "abc"}, {"abc \t", "abc"},
      {" a b ", "a b"}, {"\tx\t", "x"},   {"\r\nx\r\n", "\r\nx\r\n"}};
  for (const auto& c : cases) EXPECT_EQ(quenlix::TrimBlanks(c.first), c.second) << c.first;
}

TEST(ReadDecimalValueTest, BlanksSignDigitsAndOverflow) {
  const std::pair<const char*, uint32_t> cases[] = {
      {"", 0},          {"  42", 42}, {"\t7", 7},  {"+5", 5},
      {"-5", 0},        {"+", 0},     {" 1 2", 1}, {"4294967295", 4294967295u},
      {"4294967296", 0}};
  for (const auto& c : cases) EXPECT_EQ(quenlix::ReadDecimalValue(c.first), c.second) << c.first;
}

TEST(GetKeyValueTest, Table) {
  struct Case {
    const char* name;
    std::string text;
    const char* key;
    const char* expected;
    const char* separator = "=";
    const char* delimiters = "\r\n";
  } cases[] = {
      {"LF only", "root.A=1\nroot.X=two\nroot.B=3\n", "root.X", "two"},
      {"last line without end", "root.A=1\r\nroot.X=tail value", "root.X", "tail value"},
      {"blanks around separator keep the value's blank", "root.X = v\r\n", "root.X", " v"},
      {"missing key", "root.X=1\r\n", "root.Y", ""},
      {"empty value", "root.X=\r\nroot.Y=2\r\n", "root.X", ""},
      {"empty value at end of text", "root.X=", "root.X", ""},
      {"blank value kept", "root.X=   \r\n", "root.X", "   "},
      {"key as prefix of a longer name is skipped", "root.Input=5\r\nroot.In=7\r\n", "root.In",
       "7"},
      {"key as suffix of a longer name", "root.RTSP.Port=554\r\nPort=80\r\n", "Port", "80"},
      {"blanks before the key", " \troot.X=4\r\n", "root.X", "4"},
      {"key inside a value is not a name", "root.A=root.X\r\nroot.X=9\r\n", "root.X", "9"},
      {"first match wins", "k=1\r\nk=2\r\n", "k", "1"},
      {"separator on the next line does not count", "k\r\n=1\r\n", "k", ""},
      {"key after other text on its line", "session: 12ab;timeout=60", "timeout", ""},
      {"lines of the key without separator", "k\r\nk\r\nk x=1\r\nk=2", "k", "2"},
      {"a long line of the key before it", std::string(200000, 'k') + "\nk=1", "k", "1"},
      {"multi-character key, blank separator", "session: 12ab;timeout=60", "session:", "12ab", " ",
       ";"},
      {"several delimiters", "Digest realm=cam, nonce=xyz", "realm", "cam", "=", ", \r\n"},
      {"key beginning with a delimiter ends", "x\nk\nk=1", "\nk", ""},
      {"empty key", "a=1", "", ""},
      {"empty separator", "a=1", "a", "", ""},
      {"empty delimiters", "a=1", "a", "", "=", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(quenlix::GetKeyValue(c.key, c.separator, c.text, c.delimiters), c.expected) << c.name;
  }
}

}  // namespace
