#include "os/text_encoding.h"

#include <gtest/gtest.h>

#include "os/text_compare.h"

#include <string>
#include <utility>

namespace {

// Every byte is one character, and what comes out is UTF-8 a toolkit takes:
// decoding the UTF-8 back gives exactly one code point per byte.
TEST(AnsiToUtf8, EveryByteBecomesOneCharacterOfTheCodePage) {
  for (int b = 1; b < 256; ++b) {
    const std::string utf8 = os::AnsiToUtf8(std::string(1, static_cast<char>(b)));
    const auto lead = static_cast<unsigned char>(utf8[0]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : 3;
    ASSERT_EQ(utf8.size(), length) << b;
    for (std::size_t i = 1; i < length; ++i) EXPECT_EQ(static_cast<unsigned char>(utf8[i]) & 0xC0, 0x80) << b;
  }
  EXPECT_EQ(os::AnsiToUtf8("Orvanta 5.71"), "Orvanta 5.71");
  EXPECT_EQ(os::AnsiToUtf8("\x80 \x9F \xE9 \x81"), "\u20ac \u0178 \u00e9 \u0081");
}

// Paths match as the display maker's driver matches them: whatever the case,
// but only whole and of the same length.
TEST(SameText, IgnoresCaseOnlyAndComparesWholeTexts) {
  const std::string path = "\\\\?\\USB#VID_0F4E&PID_0114#5&ab#{guid}";
  EXPECT_TRUE(os::SameText(path, "\\\\?\\usb#vid_0f4e&pid_0114#5&AB#{GUID}"));
  EXPECT_TRUE(os::SameText("", ""));
  EXPECT_FALSE(os::SameText(path, path + "\\"));
  EXPECT_FALSE(os::SameText(path.substr(1), path.substr(0, path.size() - 1)));
  EXPECT_FALSE(os::SameText("brldsp0", "brldsp1"));
}

}  // namespace

// Well-formed UTF-8 stays as it is; every byte of a sequence that is not
// (a stray continuation, an overlong form, a surrogate, beyond U+10FFFF, cut
// short) becomes its Latin-1 character, so no byte is lost.
TEST(Utf8OrLatin1, KeepsUtf8AndTakesEveryOtherByteAsLatin1) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain \xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "plain \xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
      {"\xff", "\xc3\xbf"},
      {"\x80x", "\xc2\x80x"},
      {"\xc0\xaf", "\xc3\x80\xc2\xaf"},                  // overlong "/"
      {"\xed\xa0\x80", "\xc3\xad\xc2\xa0\xc2\x80"},      // a surrogate
      {"\xf4\x90\x80\x80", "\xc3\xb4\xc2\x90\xc2\x80\xc2\x80"},  // beyond U+10FFFF
      {"\xe2\x82", "\xc3\xa2\xc2\x82"},                  // cut short
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(os::Utf8OrLatin1(in), out) << in;
}
