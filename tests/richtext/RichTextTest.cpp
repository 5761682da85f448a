#include <gtest/gtest.h>

#include "richtext/FmtInfo.h"
#include "richtext/LinkInfo.h"
#include "richtext/RichText.h"

TEST(RichTextTest, CountsCharactersIncrementally) {
  RichText rt;
  rt.AppendText("h\xC3\xA9llo");  // "héllo"
  EXPECT_EQ(rt.GetTextLen(), 5);
  rt.AppendText(" w", 2);
  EXPECT_EQ(rt.GetTextLen(), 7);
  rt.AppendText("", 5);  // nothing for an empty text
  EXPECT_EQ(rt.GetTextLen(), 7);
  rt.SetText(std::string("abc"));
  EXPECT_EQ(rt.GetTextLen(), 3);
}

TEST(RichTextTest, TruncatedSequenceAtSeamIsRecounted) {
  RichText rt;
  rt.AppendText("a\xC3");  // truncated lead byte: two characters on its own
  EXPECT_EQ(rt.GetTextLen(), 2);
  rt.AppendText("\xA9");  // completes the character
  RichText fresh;
  fresh.SetText(rt.GetText());
  EXPECT_EQ(rt.GetTextLen(), fresh.GetTextLen());
  EXPECT_EQ(rt.GetTextLen(), 2);
}

TEST(RichTextTest, TextAtOffsetSkipsPictures) {
  RichText rt;
  rt.AppendText("ab\xC3\xA9" "cd");  // a b é c d
  PixInfo p1, p2;
  p1.nOffset = 1;  // between a and b
  p2.nOffset = 4;  // between é and c
  rt.m_lstPictures.Push(p1);
  rt.m_lstPictures.Push(p2);
  EXPECT_EQ(rt.GetTotalLength(), 7);
  EXPECT_EQ(rt.GetTextAtOffset(0, 7), "ab\xC3\xA9" "cd");
  EXPECT_EQ(rt.GetTextAtOffset(1, 3), "b\xC3\xA9");
  EXPECT_EQ(rt.GetTextAtOffset(4, 1), "");
  EXPECT_EQ(rt.GetTextAtOffset(5, 100), "cd");
  EXPECT_EQ(rt.GetTextAtOffset(0, 0), "");
  EXPECT_EQ(rt.GetTextAtOffset(-1, 3), "");
  EXPECT_EQ(rt.GetTextAtOffset(7, 3), "");
}

TEST(FmtInfoListTest, SortedInsertAndSearches) {
  FmtInfoList l;
  l.Append(FmtInfo(FMT_BOLD_BEGIN, 0));
  l.Append(FmtInfo(FMT_ITALIC_BEGIN, 5));
  l.Append(FmtInfo(FMT_ITALIC_END, 9));
  l.AppendSorted(FmtInfo(FMT_UNDERLINE_BEGIN, 3), 2);  // offset 5, after the equal begin
  EXPECT_EQ(l.GetAt(2).nFormatTag, FMT_UNDERLINE_BEGIN);
  EXPECT_EQ(l.GetAt(2).nOffset, 5);
  l.AppendSorted(FmtInfo(FMT_BOLD_END, 5), 0);  // an end goes before begins at its offset
  EXPECT_EQ(l.GetAt(1).nFormatTag, FMT_BOLD_END);

  EXPECT_EQ(FmtInfoList::CalcOppositeTag(FMT_BOLD_BEGIN), FMT_BOLD_END);
  EXPECT_EQ(FmtInfoList::CalcOppositeTag(FMT_TEXT_INDENT_END), FMT_TEXT_INDENT_BEGIN);
  EXPECT_EQ(FmtInfoList::CalcOppositeTag(FMT_REMOVE_FORMATTING), -1);

  EXPECT_EQ(l.FindOppositeTag(FMT_ITALIC_BEGIN, 0, true, false, -1), 4);
  EXPECT_EQ(l.FindOppositeTag(FMT_ITALIC_BEGIN, 0, true, false, FMT_UNDERLINE_BEGIN), -1);
  EXPECT_EQ(l.FindOppositeTag(FMT_ITALIC_END, 4, false, false, -1), 2);
  EXPECT_EQ(l.FindOppositeTag(FMT_ITALIC_BEGIN, -1, true, false, -1), -1);
  EXPECT_EQ(l.FindTagAtOffset(FMT_UNDERLINE_BEGIN, 5, 0), 3);
  EXPECT_EQ(l.FindTagAtOffset(FMT_UNDERLINE_BEGIN, 4, 0), -1);
  EXPECT_EQ(l.FindTagAtOffset(FMT_UNDERLINE_BEGIN, 5, -1), -1);
}

TEST(LinkInfoTest, RelativeFlagAndValidity) {
  LinkInfo l;
  EXPECT_FALSE(l.IsValid());
  l.strTargetID = "x";
  EXPECT_TRUE(l.IsValid());
  EXPECT_TRUE(l.IsInternal());
  l.strLink = "file:///a";
  EXPECT_FALSE(l.IsInternal());
  l.RecalcRelative();
  EXPECT_FALSE(l.bRelative);
  l.strLink = "lua:///";  // exactly 7 bytes: not longer than 7
  l.RecalcRelative();
  EXPECT_TRUE(l.bRelative);
  l.strLink = "http://example.org";
  l.RecalcRelative();
  EXPECT_TRUE(l.bRelative);
}
