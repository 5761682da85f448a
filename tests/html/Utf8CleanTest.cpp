// The UTF-8 check used on every parsed string, against GLib's validator as the oracle:
// every 1- and 2-byte string, every 3-byte string with a lead byte of 0xE0 or above,
// the 4-byte edges, and random mixtures with ASCII runs that cross the 8- and 16-byte
// blocks of the fast path.

#include <glib.h>
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "html/Utf8Clean.h"

namespace {

bool Oracle(const std::string& s) { return g_utf8_validate_len(s.data(), s.size(), nullptr); }

TEST(Utf8Clean, AgreesWithGlibOnShortStrings) {
  std::string s;
  for (int a = 0; a < 256; ++a) {
    s.assign(1, char(a));
    ASSERT_EQ(quillery::IsCleanUtf8(s.data(), 1), Oracle(s)) << a;
    for (int b = 0; b < 256; ++b) {
      s.assign({char(a), char(b)});
      ASSERT_EQ(quillery::IsCleanUtf8(s.data(), 2), Oracle(s)) << a << " " << b;
    }
  }
  for (int a = 0xE0; a < 256; ++a)
    for (int b = 0; b < 256; ++b)
      for (int c = 0; c < 256; ++c) {
        s.assign({char(a), char(b), char(c)});
        ASSERT_EQ(quillery::IsCleanUtf8(s.data(), 3), Oracle(s)) << a << " " << b << " " << c;
      }
  for (int a : {0xF0, 0xF1, 0xF3, 0xF4, 0xF5})
    for (int b : {0x7F, 0x80, 0x8F, 0x90, 0xBF, 0xC0})
      for (int c : {0x7F, 0x80, 0xBF, 0xC0})
        for (int d : {0x7F, 0x80, 0xBF, 0xC0}) {
          s.assign({char(a), char(b), char(c), char(d)});
          ASSERT_EQ(quillery::IsCleanUtf8(s.data(), 4), Oracle(s));
        }
}

TEST(Utf8Clean, AgreesWithGlibOnMixtures) {
  std::mt19937 rng(7);
  const std::string pieces[] = {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",   "\xFF",
                                "\xC3",     "\xED\xA0\x80", std::string(1, '\0'), "\x80"};
  for (int round = 0; round < 20000; ++round) {
    std::string s;
    int parts = 1 + int(rng() % 4);
    for (int i = 0; i < parts; ++i) {
      s.append(rng() % 40, 'a');
      if (rng() % 3) s += pieces[rng() % 8];
    }
    ASSERT_EQ(quillery::IsCleanUtf8(s.data(), s.size()), Oracle(s)) << round;
    std::string fixed = s;
    quillery::MakeValidUtf8(fixed);
    ASSERT_TRUE(Oracle(fixed));
    if (Oracle(s)) {
      ASSERT_EQ(fixed, s);
    }
  }
  std::string nul("a\0b", 3);
  quillery::DropNulBytes(nul);
  EXPECT_EQ(nul, "ab");
}

}  // namespace
