#include <gtest/gtest.h>

#include "base/StringUtil.h"

TEST(StringUtil, ReplaceAllIsLeftToRightWithoutRescan) {
  std::string s = "aaa";
  replaceall(s, "aa", -1, "b", -1);
  EXPECT_EQ(s, "ba");
  s = "abab";
  replaceall(s, "a", -1, "aa", -1);  // inserted text is not scanned again
  EXPECT_EQ(s, "aabaab");
  s = "x<y>z";
  replaceall(s, "<y>", 3, "", 0);
  EXPECT_EQ(s, "xz");
  s = "keep";
  replaceall(s, "", -1, "boom", -1);  // empty search text: no change, no hang
  EXPECT_EQ(s, "keep");
  s = "a\\b\\c";
  replaceall(s, '\\', '/');
  EXPECT_EQ(s, "a/b/c");
  // Length arguments cut the texts.
  s = "abcabc";
  replaceall(s, "bcd", 2, "XYZ", 1);
  EXPECT_EQ(s, "aXaX");
}

TEST(StringUtil, ReplaceAllStaysLinearOnManyHits) {
  std::string s(200000, 'a');
  replaceall(s, "a", 1, "bc", 2);
  EXPECT_EQ(s.size(), 400000u);
  EXPECT_EQ(s.substr(0, 4), "bcbc");
}

TEST(StringUtil, EqualityAndAscii) {
  EXPECT_TRUE(StringsEqual(std::string("a\0b", 3), std::string("a\0b", 3)));
  EXPECT_FALSE(StringsEqual(std::string("a\0b", 3), std::string("a\0c", 3)));
  EXPECT_TRUE(StringsEqual(static_cast<const char*>(nullptr), nullptr));
  EXPECT_FALSE(StringsEqual("a", nullptr));
  EXPECT_TRUE(quillery::isascii('a'));
  EXPECT_TRUE(quillery::isascii(127));
  EXPECT_FALSE(quillery::isascii(128));
  EXPECT_TRUE(quillery::isascii(static_cast<char>(0xC3)));  // signed byte of UTF-8
}

TEST(StringUtil, Utf8CountAndOffsetsOnValidText) {
  const std::string s = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";  // a é € 😀 z
  EXPECT_EQ(quillery::Utf8CharCount(s), 5u);
  EXPECT_EQ(quillery::Utf8CharToByteOffset(s, 0), 0u);
  EXPECT_EQ(quillery::Utf8CharToByteOffset(s, 1), 1u);
  EXPECT_EQ(quillery::Utf8CharToByteOffset(s, 2), 3u);
  EXPECT_EQ(quillery::Utf8CharToByteOffset(s, 3), 6u);
  EXPECT_EQ(quillery::Utf8CharToByteOffset(s, 4), 10u);
  EXPECT_EQ(quillery::Utf8CharToByteOffset(s, 5), 11u);
  EXPECT_EQ(quillery::Utf8CharToByteOffset(s, 99), 11u);
  EXPECT_EQ(quillery::Utf8CharToByteOffset(s, -3), 0u);
  EXPECT_EQ(quillery::Utf8CharCount("", 0), 0u);
}

TEST(StringUtil, Utf8StaysInBoundsOnInvalidText) {
  // Stray continuation byte, a lead whose tail is cut by the end, a lead
  // followed by ASCII, and bytes that are never valid.
  EXPECT_EQ(quillery::Utf8CharCount("\x80", 1), 1u);
  EXPECT_EQ(quillery::Utf8CharCount("a\xE2\x82", 3), 2u);
  EXPECT_EQ(quillery::Utf8CharCount("\xC3" "A", 2), 2u);
  EXPECT_EQ(quillery::Utf8CharCount("\xFF\xFE", 2), 2u);
  // The length bound is respected even when more bytes follow in memory.
  const char buf[] = "\xF0\x9F\x98\x80";
  EXPECT_EQ(quillery::Utf8CharCount(buf, 2), 1u);
  EXPECT_EQ(quillery::Utf8CharToByteOffset(buf, 2, 1), 2u);
  // Offsets and counts agree: walking count characters lands on the end.
  const std::string bad = "x\x80\xC3\xE2\x82y\xF8\xF0\x9F";
  size_t n = quillery::Utf8CharCount(bad);
  EXPECT_EQ(quillery::Utf8CharToByteOffset(bad, static_cast<long long>(n)), bad.size());
  EXPECT_LT(quillery::Utf8CharToByteOffset(bad, static_cast<long long>(n) - 1), bad.size());
}
