#include <gtest/gtest.h>

#include <random>

#include "base/Base64.h"
#include "base/StringUtf8.h"

TEST(Base64, LineFeedAfterEveryFullGroupOf72) {
  std::string out;
  b64encode("", 0, out, true);
  EXPECT_EQ(out, "");
  b64encode("Man", 3, out, true);
  EXPECT_EQ(out, "TWFu");
  b64encode("Ma", 2, out, true);
  EXPECT_EQ(out, "TWE=");
  b64encode("M", 1, out, true);
  EXPECT_EQ(out, "TQ==");
  b64encode("M", 1, out, false);
  EXPECT_EQ(out, "TQ");
  b64encode("\xfb\xff", 2, out, true);
  EXPECT_EQ(out, "+/8=");

  std::string bytes(54, '\0');
  b64encode(bytes.data(), 54, out, true);
  EXPECT_EQ(out, std::string(72, 'A') + "\n");
  bytes.assign(55, '\0');
  b64encode(bytes.data(), 55, out, true);
  EXPECT_EQ(out, std::string(72, 'A') + "\nAA==");
  bytes.assign(108, '\0');
  b64encode(bytes.data(), 108, out, true);
  EXPECT_EQ(out, std::string(72, 'A') + "\n" + std::string(72, 'A') + "\n");
  // Padding counts toward the line: 52 bytes give 70 characters and "==".
  bytes.assign(52, '\0');
  b64encode(bytes.data(), 52, out, true);
  EXPECT_EQ(out, std::string(70, 'A') + "==\n");
}

TEST(Base64, RoundTripOfRandomBytes) {
  std::mt19937 rng(12345);
  std::string enc, dec;
  for (int len = 0; len <= 300; ++len) {
    std::string data(static_cast<size_t>(len), '\0');
    for (char& c : data) c = static_cast<char>(rng() & 0xFF);
    for (bool pad : {true, false}) {
      b64encode(data.data(), len, enc, pad);
      b64decode(enc.data(), static_cast<int>(enc.size()), dec);
      ASSERT_EQ(dec, data) << "len " << len << " pad " << pad;
    }
  }
}

TEST(Base64, LenientDecoding) {
  std::string out;
  b64decode("TW\r\nFu", -1, out);
  EXPECT_EQ(out, "Man");
  b64decode(" T W\tF u\v\f", -1, out);  // all ASCII whitespace is skipped
  EXPECT_EQ(out, "Man");
  b64decode("-_.,", 4, out);  // URL-safe and alternative digits
  EXPECT_EQ(out, "\xfb\xff\xbf");
  b64decode("+/+/", 4, out);
  EXPECT_EQ(out, "\xfb\xff\xbf");
  b64decode("TQ==TWFu", -1, out);  // stops at the first "="
  EXPECT_EQ(out, "M");
  b64decode("TWFuTWFu", 4, out);  // length bound
  EXPECT_EQ(out, "Man");
  b64decode("T*Fu", 4, out);  // unknown byte counts as a zero digit
  EXPECT_EQ(out, std::string("L\x01n", 3));
  b64decode("T", 1, out);
  EXPECT_EQ(out, "");
  b64decode(nullptr, 5, out);
  EXPECT_EQ(out, "");
}

TEST(StringUtf8, PrefixAndClampedSubstring) {
  StringUtf8 s("File:///home");
  EXPECT_TRUE(s.StartsWith("File:", true));
  EXPECT_FALSE(s.StartsWith("file:", true));
  EXPECT_TRUE(s.StartsWith("fILE:///", false));
  EXPECT_TRUE(s.StartsWith("File:///home", true));  // equal length is enough
  EXPECT_FALSE(s.StartsWith("File:///home/", false));
  EXPECT_TRUE(s.StartsWith("", true));
  EXPECT_FALSE(StringUtf8("\xC3\xA9").StartsWith("\xC3\x89", false));  // ASCII folding only
  EXPECT_EQ(s.Mid(5, 3), "///");
  EXPECT_EQ(s.Mid(8, 100), "home");
  EXPECT_EQ(s.Mid(100, 2), "");
  EXPECT_EQ(s.Mid(-3, 4), "File");
  EXPECT_EQ(s.Mid(4), ":///home");
}
