// UTF-8 conversions and ASCII letter case shared by every layer, for both
// widths of wchar_t.
#include <gtest/gtest.h>

#include <string>

#include "base/ascii.h"
#include "base/utf8.h"

namespace kq::test {
namespace {

TEST(Utf8, DecodesEveryLengthForEitherWcharWidth) {
  std::wstring out = L"x";
  ASSERT_TRUE(decodeUtf8("A\xC3\xA4\xE2\x82\xAC\xF0\x9F\x8E\x99", &out));
  // U+1F399 becomes a surrogate pair where wchar_t has 16 bits, as L"" does.
  EXPECT_EQ(out, L"xA\u00e4\u20ac\U0001F399");
  EXPECT_EQ(out.size(), sizeof(wchar_t) == 2 ? 6u : 5u);
}

TEST(Utf8, RejectsMalformedInputAndLeavesOutputAlone) {
  const char* bad[] = {
      "\x80",              // continuation without lead
      "\xC3",              // truncated
      "\xE2\x82",          // truncated
      "\xC3\x28",          // missing continuation
      "\xC0\x80",          // overlong NUL
      "\xE0\x80\xAF",      // overlong '/'
      "\xED\xA0\x80",      // UTF-16 surrogate
      "\xF4\x90\x80\x80",  // beyond U+10FFFF
      "\xF8\x88\x80\x80\x80",
  };
  for (const char* text : bad) {
    std::wstring out = L"kept";
    EXPECT_FALSE(decodeUtf8(std::string("ok") + text, &out)) << testing::PrintToString(text);
    EXPECT_EQ(out, L"kept");
  }
}

TEST(Utf8, EncodesPairsAndReplacesLoneSurrogates) {
  EXPECT_EQ(encodeUtf8(L"A\u00e4\u20ac\U0001F399"), "A\xC3\xA4\xE2\x82\xAC\xF0\x9F\x8E\x99");
  // A high surrogate without its low half, then a low one on its own.
  const std::wstring lone{L'x', static_cast<wchar_t>(0xD83C), L'y', static_cast<wchar_t>(0xDF99)};
  EXPECT_EQ(encodeUtf8(lone), "x\xEF\xBF\xBDy\xEF\xBF\xBD");
  EXPECT_EQ(encodeUtf8(L""), "");
}

TEST(Utf8, ValidityAgreesWithDecoding) {
  for (const char* text : {"", "plain", "Gr\xC3\xBC\xC3\x9F""e", "\xF0\x9F\x8E\x99", "\xC3", "\xC0\x80",
                           "\xED\xA0\x80", "a\x80"}) {
    std::wstring out;
    EXPECT_EQ(isValidUtf8(text), decodeUtf8(text, &out)) << testing::PrintToString(text);
  }
  EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80"));
  EXPECT_TRUE(isValidUtf8("\xF4\x8F\xBF\xBF"));  // U+10FFFF itself
}

TEST(Utf8, TextFromOutsideDecodesOrKeepsEveryByte) {
  EXPECT_EQ(wideFromUtf8("caf\xC3\xA9"), L"caf\u00e9");
  // Not UTF-8 as a whole: every byte, the valid sequence's too, is one code point.
  EXPECT_EQ(wideFromUtf8("\xFF\xC3\xA9-"), std::wstring(L"\u00ff\u00c3\u00a9-"));
  EXPECT_EQ(wideFromUtf8(""), L"");
}

TEST(AsciiCase, FoldsOnlyAsciiLetters) {
  EXPECT_EQ(toAsciiUpper(std::wstring(L"usb\\vid_0483&pid_a1df\\\u00e9\u00df[`{@")),
            L"USB\\VID_0483&PID_A1DF\\\u00e9\u00df[`{@");
  EXPECT_EQ(toAsciiLower(std::string("ABC-Z[@\xC3\x89")), "abc-z[@\xC3\x89");
  EXPECT_TRUE(equalsIgnoringAsciiCase(std::string_view("CON"), "con"));
  EXPECT_FALSE(equalsIgnoringAsciiCase(std::string_view("CON"), "co"));
  EXPECT_FALSE(equalsIgnoringAsciiCase(std::wstring_view(L"\u00e9"), L"\u00c9"));
  EXPECT_FALSE(equalsIgnoringAsciiCase(std::string_view("@"), "`"));  // 0x40 and 0x60 differ by the case bit
}

}  // namespace
}  // namespace kq::test
