#include <gtest/gtest.h>

#include <string>

#include "base/Globals.h"
#include "base/Progress.h"
#include "base/Sha1.h"
#include "base/StopWatch.h"
#include "base/Timestamp.h"

TEST(Sha1, KnownDigests) {
  EXPECT_EQ(CSHA1::HexDigest("abc", 3), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(CSHA1::HexDigest("", 0), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  // Fed in pieces, then reused after Reset.
  CSHA1 sha;
  sha.Update("a", 1);
  sha.Update("bc", 2);
  sha.Final();
  EXPECT_EQ(sha.GetHash()[0], 0xa9);
  EXPECT_EQ(sha.ReportHash(), "a9993e364706816aba3e25717850c26c9cd0d89d");
  sha.Reset();
  std::string million(1000000, 'a');
  sha.Update(million.data(), million.size());
  sha.Final();
  EXPECT_EQ(sha.ReportHash(), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(StopWatch, FormatsHoursMinutesSecondsMillis) {
  std::string out;
  StopWatch::FormatDiffMsec(3723004, out);
  EXPECT_EQ(out, "1:02:03.004");
  StopWatch::FormatDiffMsec(0, out);
  EXPECT_EQ(out, "0:00:00.000");
  StopWatch::FormatDiffMsec(100LL * 3600000 + 59999, out);
  EXPECT_EQ(out, "100:00:59.999");
  StopWatch w;
  EXPECT_GE(w.GetElapsedMiliSeconds(), 0);
}

TEST(Timestamp, SetFlagEmptinessAndSqlText) {
  Timestamp t;
  EXPECT_TRUE(t.IsEmpty());
  EXPECT_EQ(t.GetSqlString(), "NULL");
  t = 1700000000;
  EXPECT_FALSE(t.IsEmpty());
  EXPECT_EQ(t.GetSqlString(), "1700000000");
  t = 0;
  EXPECT_TRUE(t.IsEmpty());
  EXPECT_EQ(t.GetSqlString(), "0");
  t = -5;
  EXPECT_TRUE(t.IsEmpty());
  EXPECT_EQ(t.GetValue(), -5);
  // After 2038 the full value is written, not its low 32 bits.
  t = 4102444800LL;  // 2100-01-01
  EXPECT_FALSE(t.IsEmpty());
  EXPECT_EQ(t.GetSqlString(), "4102444800");
  t.Clear();
  EXPECT_EQ(t.GetSqlString(), "NULL");
}

TEST(Progress, TotalsCancelAndObserver) {
  ProgressInfo::Reset();
  int64_t seenCur = -1, seenTotal = -1;
  int calls = 0;
  ProgressInfo::SetObserver([&](int64_t cur, int64_t total) {
    seenCur = cur;
    seenTotal = total;
    ++calls;
  });
  ProgressInfo::SetCurrentSize(5);
  ProgressInfo::SetTotalSize(5000000000LL);  // above 32 bits; resets current
  EXPECT_EQ(ProgressInfo::GetTotalSize(), 5000000000LL);
  EXPECT_EQ(ProgressInfo::GetCurrentSize(), 0);
  ProgressInfo::SetCurrentSize(4000000000LL);
  EXPECT_EQ(seenCur, 4000000000LL);
  EXPECT_EQ(seenTotal, 5000000000LL);
  EXPECT_EQ(calls, 3);
  EXPECT_FALSE(ProgressInfo::IsCanceled());
  ProgressInfo::SetCanceled(true);
  EXPECT_TRUE(ProgressInfo::IsCanceled());
  ProgressInfo::SetObserver(nullptr);
  ProgressInfo::Reset();
  EXPECT_FALSE(ProgressInfo::IsCanceled());
  EXPECT_EQ(ProgressInfo::GetTotalSize(), 0);
  ProgressInfo::SetCurrentSize(1);
  EXPECT_EQ(calls, 3);
  ProgressInfo::Reset();
  EXPECT_FALSE(g_bDebugMode);
}
