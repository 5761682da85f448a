#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "base/Log.h"
#include "common/TempDir.h"

using quillery::LogCapture;

TEST(Log, CaptureTakesLevelsUpToItsThreshold) {
  LogCapture cap(LOG_INFO);
  xLog(LOG_ERROR, "bad %d\n", 7);
  xLog(LOG_INFO, "info [%s]\n", "x");
  xLog(LOG_DEBUG, "not taken\n");
  ASSERT_EQ(cap.Lines().size(), 2u);
  EXPECT_TRUE(cap.Has("bad 7\n"));
  EXPECT_TRUE(cap.Has("info [x]\n"));
  EXPECT_FALSE(cap.Contains("not taken"));
  EXPECT_TRUE(cap.Contains("info", LOG_INFO));
  EXPECT_FALSE(cap.Contains("info", LOG_WARNING));
}

TEST(Log, NoFormattingWhenNoTargetWantsTheLevel) {
  // With every target off, the level check comes first: a format that would
  // fault if it were expanded is never touched.
  ASSERT_FALSE(quillery::LogWants(LOG_TRACE));
  xLog(LOG_TRACE, "%s", static_cast<const char*>(reinterpret_cast<void*>(1)));
  {
    LogCapture cap(LOG_DEBUG);
    EXPECT_TRUE(quillery::LogWants(LOG_DEBUG));
    EXPECT_FALSE(quillery::LogWants(LOG_TRACE));
  }
  EXPECT_FALSE(quillery::LogWants(LOG_ERROR));
}

TEST(Log, NestedCaptureRestoresTheOuterOne) {
  LogCapture outer;
  {
    LogCapture inner;
    xLog(LOG_WARNING, "inner\n");
    EXPECT_TRUE(inner.Has("inner\n"));
  }
  xLog(LOG_WARNING, "outer\n");
  EXPECT_FALSE(outer.Contains("inner"));
  EXPECT_TRUE(outer.Has("outer\n"));
}

TEST(Log, FileTargetWritesPrefixedLines) {
  quillery_test::TempDir dir;
  std::string path = dir / "log.txt";
  ASSERT_TRUE(quillery::LogOpenFile(path.c_str(), LOG_WARNING));
  xLog(LOG_ERROR, "first %s\n", "one");
  xLog(LOG_WARNING, "second\n");
  xLog(LOG_INFO, "third\n");
  std::string longText(3000, 'z');
  xLog(LOG_WARNING, "%s\n", longText.c_str());
  quillery::LogCloseFile();

  std::ifstream in(path);
  std::string l1, l2, l3, l4;
  std::getline(in, l1);
  std::getline(in, l2);
  std::getline(in, l3);
  EXPECT_FALSE(std::getline(in, l4));
  // "hh:mm:ss.mmm " then the message, "Error: " below level 3.
  ASSERT_EQ(l1.size(), 13u + 7u + 9u);
  EXPECT_EQ(l1[2], ':');
  EXPECT_EQ(l1[5], ':');
  EXPECT_EQ(l1[8], '.');
  EXPECT_EQ(l1.substr(12), " Error: first one");
  EXPECT_EQ(l2.substr(12), " second");
  EXPECT_EQ(l3.substr(13), longText);
  EXPECT_FALSE(quillery::LogWants(LOG_ERROR));
}
