#include <gtest/gtest.h>

#include "platform/TextConv.h"

TEST(TextConv, ConvertsBetweenUtf8AndUtf16) {
  const std::string utf8 = "host-\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80";  // e-acute, a CJK sign, an emoji
  const std::u16string utf16 = u"host-\u00E9\u4E2D\U0001F600";
  EXPECT_EQ(Utf8ToUtf16(utf8), utf16);
  EXPECT_EQ(Utf16ToUtf8(utf16), utf8);
  EXPECT_EQ(WideToUtf8(Utf8ToWide(utf8)), utf8);
  std::string reused(100, 'x');
  Utf16ToUtf8(utf16, reused);
  EXPECT_EQ(reused, utf8);
  Utf16ToUtf8(u"a\xD800", reused);
  EXPECT_EQ(reused, "a\xEF\xBF\xBD");
}

TEST(TextConv, MalformedInputBecomesReplacementCharacters) {
  EXPECT_EQ(Utf8ToUtf16("a\xFF" "b\xC3"), u"a\uFFFDb\uFFFD");
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD");  // overlong "/"
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, u'\xD800')), "\xEF\xBF\xBD");
}

TEST(TextConv, WidensAndNarrowsByteByByte) {
  EXPECT_EQ(WidenBytes("a\xE9"), std::wstring(L"a\u00E9"));
  EXPECT_EQ(NarrowBytes(L"proxy\u0141"), "proxy\x41");
}
