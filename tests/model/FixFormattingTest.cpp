#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "model/FakeFormats.h"
#include "model/NoteNode.h"

namespace {

typedef std::vector<std::pair<int, int>> Tags;  // (tag, offset)

NoteNode NoteWith(const std::string& text, const Tags& tags) {
  NoteNode n;
  n.m_objText.SetText(text);
  for (const auto& t : tags) n.m_objText.m_lstFmt.Append(FmtInfo(t.first, t.second));
  return n;
}

Tags TagsOf(const NoteNode& n) {
  Tags out;
  for (const FmtInfo& f : n.m_objText.m_lstFmt.Items()) out.emplace_back(f.nFormatTag, f.nOffset);
  return out;
}

const std::string kText(20, 'x');

}  // namespace

TEST(FixFormattingTest, ValidListIsLeftAlone) {
  const Tags tags{{FMT_BOLD_BEGIN, 0}, {FMT_ITALIC_BEGIN, 2}, {FMT_ITALIC_END, 4}, {FMT_BOLD_END, 4},
                  {FMT_COLOR_BEGIN, 4}, {FMT_COLOR_END, 6}};
  NoteNode n = NoteWith(kText, tags);
  EXPECT_FALSE(n.FixFormatting(nullptr));
  EXPECT_EQ(TagsOf(n), tags);
}

TEST(FixFormattingTest, UnmatchedOutOfRangeAndEmptyTagsGo) {
  NoteNode n = NoteWith(kText, {{FMT_BOLD_END, 1},           // end without begin
                                {FMT_ITALIC_BEGIN, 2},       // never closed
                                {FMT_UNDERLINE_BEGIN, 3},
                                {FMT_UNDERLINE_END, 3},      // empty range
                                {FMT_STRIKE_BEGIN, 4},
                                {FMT_STRIKE_END, 21},        // past the end
                                {40, 5},                     // unknown tag
                                {FMT_COLOR_BEGIN, -1}});
  EXPECT_TRUE(n.FixFormatting(nullptr));
  EXPECT_TRUE(TagsOf(n).empty());
}

TEST(FixFormattingTest, EndsComeBeforeBeginsAndCloseInReverseOrder) {
  // At offset 5: a begin listed before the ends, and two ends in the order
  // of their begins.
  NoteNode n = NoteWith(kText, {{FMT_BOLD_BEGIN, 0}, {FMT_ITALIC_BEGIN, 2}, {FMT_STRIKE_BEGIN, 5},
                                {FMT_BOLD_END, 5}, {FMT_ITALIC_END, 5}, {FMT_STRIKE_END, 8}});
  EXPECT_TRUE(n.FixFormatting(nullptr));
  EXPECT_EQ(TagsOf(n), (Tags{{FMT_BOLD_BEGIN, 0}, {FMT_ITALIC_BEGIN, 2}, {FMT_ITALIC_END, 5}, {FMT_BOLD_END, 5},
                             {FMT_STRIKE_BEGIN, 5}, {FMT_STRIKE_END, 8}}));
}

TEST(FixFormattingTest, KindNestedInItselfIsSplit) {
  NoteNode n = NoteWith(kText, {{FMT_COLOR_BEGIN, 0}, {FMT_COLOR_BEGIN, 2}, {FMT_COLOR_END, 4}, {FMT_COLOR_END, 6}});
  n.m_objText.m_lstFmt.GetAt(0).color.red = 0xFFFF;  // outer red
  n.m_objText.m_lstFmt.GetAt(1).color.blue = 0xFFFF;  // inner blue
  EXPECT_TRUE(n.FixFormatting(nullptr));
  EXPECT_EQ(TagsOf(n), (Tags{{FMT_COLOR_BEGIN, 0}, {FMT_COLOR_END, 2}, {FMT_COLOR_BEGIN, 2}, {FMT_COLOR_END, 4},
                             {FMT_COLOR_BEGIN, 4}, {FMT_COLOR_END, 6}}));
  const FmtInfoList& l = n.m_objText.m_lstFmt;
  EXPECT_EQ(l.GetAt(0).color.red, 0xFFFF);
  EXPECT_EQ(l.GetAt(2).color.blue, 0xFFFF);
  EXPECT_EQ(l.GetAt(4).color.red, 0xFFFF);  // the outer colour resumes
  EXPECT_FALSE(n.FixFormatting(nullptr));  // the result is stable
}

TEST(FixFormattingTest, NestedRangesEndingTogetherLeaveNoEmptyPiece) {
  NoteNode n = NoteWith(kText, {{FMT_BOLD_BEGIN, 0}, {FMT_BOLD_BEGIN, 2}, {FMT_BOLD_END, 5}, {FMT_BOLD_END, 5}});
  n.FixFormatting(nullptr);
  EXPECT_EQ(TagsOf(n), (Tags{{FMT_BOLD_BEGIN, 0}, {FMT_BOLD_END, 2}, {FMT_BOLD_BEGIN, 2}, {FMT_BOLD_END, 5}}));
}

TEST(FixFormattingTest, CrossingSpansAreSplitButOtherKindsMayCross) {
  // Colour 0..6 and font 3..9 cross; bold 1..4 and italic 2..7 cross too.
  NoteNode n = NoteWith(kText, {{FMT_COLOR_BEGIN, 0}, {FMT_BOLD_BEGIN, 1}, {FMT_ITALIC_BEGIN, 2},
                                {FMT_FONT_BEGIN, 3}, {FMT_BOLD_END, 4}, {FMT_COLOR_END, 6},
                                {FMT_ITALIC_END, 7}, {FMT_FONT_END, 9}});
  n.m_objText.m_lstFmt.GetAt(3).strFont = "Sans 12";
  EXPECT_TRUE(n.FixFormatting(nullptr));
  EXPECT_EQ(TagsOf(n), (Tags{{FMT_COLOR_BEGIN, 0}, {FMT_BOLD_BEGIN, 1}, {FMT_ITALIC_BEGIN, 2}, {FMT_FONT_BEGIN, 3},
                             {FMT_BOLD_END, 4}, {FMT_FONT_END, 6}, {FMT_COLOR_END, 6}, {FMT_FONT_BEGIN, 6},
                             {FMT_ITALIC_END, 7}, {FMT_FONT_END, 9}}));
  EXPECT_EQ(n.m_objText.m_lstFmt.GetAt(7).strFont, "Sans 12");
}

TEST(FixFormattingTest, SecondBeginAtOneOffsetWins) {
  // <span red><span blue>x</span>y</span> read as two begins at 0.
  NoteNode n = NoteWith(kText, {{FMT_COLOR_BEGIN, 0}, {FMT_COLOR_BEGIN, 0}, {FMT_COLOR_END, 1}, {FMT_COLOR_END, 2}});
  n.m_objText.m_lstFmt.GetAt(0).color.red = 0xFFFF;
  n.m_objText.m_lstFmt.GetAt(1).color.blue = 0xFFFF;
  n.FixFormatting(nullptr);
  EXPECT_EQ(TagsOf(n), (Tags{{FMT_COLOR_BEGIN, 0}, {FMT_COLOR_END, 1}, {FMT_COLOR_BEGIN, 1}, {FMT_COLOR_END, 2}}));
  EXPECT_EQ(n.m_objText.m_lstFmt.GetAt(0).color.blue, 0xFFFF);
  EXPECT_EQ(n.m_objText.m_lstFmt.GetAt(2).color.red, 0xFFFF);
}

TEST(FixFormattingTest, UnsortedListIsSortedStably) {
  NoteNode n = NoteWith(kText, {{FMT_BOLD_BEGIN, 4}, {FMT_BOLD_END, 6}, {FMT_ITALIC_BEGIN, 0}, {FMT_ITALIC_END, 2}});
  EXPECT_TRUE(n.FixFormatting(nullptr));
  EXPECT_EQ(TagsOf(n), (Tags{{FMT_ITALIC_BEGIN, 0}, {FMT_ITALIC_END, 2}, {FMT_BOLD_BEGIN, 4}, {FMT_BOLD_END, 6}}));
}

TEST(FixFormattingTest, PicturesLinksAndAnchorsOutsideTheTextGo) {
  NoteNode n;
  n.m_objText.SetText(std::string("abcd"));  // 4 characters
  auto pic = [](int off) {
    PixInfo p;
    p.nOffset = off;
    return p;
  };
  PictureList& pics = n.m_objText.m_lstPictures;
  pics.Push(pic(0));
  pics.Push(pic(0));   // taken offset
  pics.Push(pic(5));   // after 4 chars + 1 picture: valid (position 5 of 6)
  pics.Push(pic(-1));
  pics.Push(pic(9));   // past the end
  LinkInfo ok, bad;
  ok.nStartOffset = 1;
  ok.nTextLength = 5;  // ends at 6 = total length
  bad.nStartOffset = 3;
  bad.nTextLength = 4;
  n.m_objText.m_lstLinks.Append(ok);
  n.m_objText.m_lstLinks.Append(bad);
  n.m_objText.m_lstAnchors.Append(AnchorInfo("a", 6));
  n.m_objText.m_lstAnchors.Append(AnchorInfo("b", 7));
  EXPECT_TRUE(n.FixFormatting(nullptr));
  ASSERT_EQ(pics.GetSize(), 2);
  EXPECT_EQ(pics[0].nOffset, 0);
  EXPECT_EQ(pics[1].nOffset, 5);
  ASSERT_EQ(n.m_objText.m_lstLinks.GetSize(), 1);
  EXPECT_EQ(n.m_objText.m_lstLinks[0].nTextLength, 5);
  ASSERT_EQ(n.m_objText.m_lstAnchors.GetSize(), 1);
  EXPECT_EQ(n.m_objText.m_lstAnchors[0].strName, "a");
}

namespace {

// Checks every ordering invariant of a repaired list; returns "" or the
// first broken rule.
std::string CheckInvariants(const FmtInfoList& l) {
  struct Open {
    int kind;
    int offset;
  };
  std::vector<Open> open;
  for (int i = 0; i < l.GetSize(); ++i) {
    const FmtInfo& f = l.GetAt(i);
    if (i > 0 && l.GetAt(i - 1).nOffset > f.nOffset) return "not sorted";
    if (i > 0 && l.GetAt(i - 1).nOffset == f.nOffset && l.GetAt(i - 1).IsBegin() && f.IsEnd())
      return "end after begin at one offset";
    const int kind = f.GetKind();
    if (f.IsBegin()) {
      for (const Open& o : open)
        if (o.kind == kind) return "kind nested in itself";
      open.push_back(Open{kind, f.nOffset});
    } else if (f.IsEnd()) {
      int k = static_cast<int>(open.size()) - 1;
      while (k >= 0 && open[k].kind != kind) --k;
      if (k < 0) return "unmatched end";
      if (open[k].offset == f.nOffset) return "empty range";
      if (FmtInfo::IsSpanKind(kind))
        for (size_t t = k + 1; t < open.size(); ++t)
          if (FmtInfo::IsSpanKind(open[t].kind)) return "crossing spans";
      // Ends at one offset close the most recent begins first: every range
      // opened after this one must already be closed unless it ends later.
      for (size_t t = k + 1; t < open.size(); ++t) {
        int j = i + 1;
        while (j < l.GetSize() && l.GetAt(j).nOffset == f.nOffset) {
          if (l.GetAt(j).IsEnd() && l.GetAt(j).GetKind() == open[t].kind) return "ends out of order";
          ++j;
        }
      }
      open.erase(open.begin() + k);
    }
  }
  if (!open.empty()) return "unmatched begin";
  return "";
}

}  // namespace

TEST(FixFormattingTest, RandomListsEndValidAndStable) {
  unsigned seed = 12345;
  auto rnd = [&seed](int n) {
    seed = seed * 1103515245u + 12345u;
    return static_cast<int>((seed >> 16) % n);
  };
  const int kinds[] = {FMT_BOLD_BEGIN, FMT_ITALIC_BEGIN, FMT_COLOR_BEGIN, FMT_FONT_BEGIN, FMT_BKG_COLOR_BEGIN,
                       FMT_LINE_SPACING_BEGIN};
  for (int round = 0; round < 3000; ++round) {
    NoteNode n;
    n.m_objText.SetText(std::string(12, 'x'));
    const int count = rnd(14);
    for (int i = 0; i < count; ++i) {
      FmtInfo f(kinds[rnd(6)] + rnd(2), rnd(14) - 1);
      f.nValue = i;
      n.m_objText.m_lstFmt.Append(f);
    }
    if (rnd(2)) std::stable_sort(n.m_objText.m_lstFmt.Items().begin(), n.m_objText.m_lstFmt.Items().end(),
                                 [](const FmtInfo& a, const FmtInfo& b) { return a.nOffset < b.nOffset; });
    const Tags before = TagsOf(n);
    n.FixFormatting(nullptr);
    std::string dump;
    for (const auto& t : before) dump += std::to_string(t.first) + "@" + std::to_string(t.second) + " ";
    dump += "=> ";
    for (const auto& t : TagsOf(n)) dump += std::to_string(t.first) + "@" + std::to_string(t.second) + " ";
    const std::string broken = CheckInvariants(n.m_objText.m_lstFmt);
    ASSERT_EQ(broken, "") << "round " << round << " " << dump;
    ASSERT_FALSE(n.FixFormatting(nullptr)) << "round " << round;
  }
}

// Deep nesting of one kind and a span lifted at every offset: each level hands
// its chain of interrupted ranges on. With 100,000 levels a repair that copied
// that chain per level would run for minutes.
TEST(FixFormattingTest, DeepNestingIsRepairedInLinearTime) {
  const int n = 100000;
  NoteNode nested;
  nested.m_objText.SetText(std::string(2 * n + 2, 'x'));
  for (int i = 0; i < n; ++i) nested.m_objText.m_lstFmt.Append(FmtInfo(FMT_BOLD_BEGIN, i));
  for (int i = 0; i < n; ++i) nested.m_objText.m_lstFmt.Append(FmtInfo(FMT_BOLD_END, n + i));
  EXPECT_TRUE(nested.FixFormatting(nullptr));
  // Every inner begin splits the outer range (end + begin); every inner end
  // resumes the next outer range (end + begin): 4n - 2 tags.
  EXPECT_EQ(nested.m_objText.m_lstFmt.GetSize(), 4 * n - 2);
  EXPECT_EQ(CheckInvariants(nested.m_objText.m_lstFmt), "");
  EXPECT_FALSE(nested.FixFormatting(nullptr));

  NoteNode lifted;
  lifted.m_objText.SetText(std::string(n + 2, 'x'));
  for (int i = 0; i < n; ++i) {
    lifted.m_objText.m_lstFmt.Append(FmtInfo(FMT_COLOR_BEGIN, i));
    lifted.m_objText.m_lstFmt.Append(FmtInfo(FMT_BOLD_BEGIN, i));
  }
  EXPECT_TRUE(lifted.FixFormatting(nullptr));
  EXPECT_EQ(CheckInvariants(lifted.m_objText.m_lstFmt), "");
  EXPECT_FALSE(lifted.FixFormatting(nullptr));
}

// Bad links, anchors and pictures interleaved with good ones go in one pass
// (removing them one at a time shifts the good ones each time).
TEST(FixFormattingTest, ManyBadItemsAmongGoodOnesGoInOnePass) {
  const int n = 400000;
  NoteNode note;
  note.m_objText.SetText(std::string(n, 'x'));
  for (int i = 0; i < n; ++i) {
    LinkInfo l;
    l.nStartOffset = i;
    l.nTextLength = i % 2;  // every other link is empty
    note.m_objText.m_lstLinks.Append(l);
    note.m_objText.m_lstAnchors.Append(AnchorInfo("a", i % 2 ? i : -1));
  }
  EXPECT_TRUE(note.FixFormatting(nullptr));
  ASSERT_EQ(note.m_objText.m_lstLinks.GetSize(), n / 2);
  ASSERT_EQ(note.m_objText.m_lstAnchors.GetSize(), n / 2);
  for (int i = 0; i < n / 2; ++i) {
    ASSERT_EQ(note.m_objText.m_lstLinks[i].nStartOffset, 2 * i + 1);
    ASSERT_EQ(note.m_objText.m_lstAnchors[i].nOffset, 2 * i + 1);
  }
}

namespace {

// Records what the repair reports: the index and the offset of the picture
// at that index when it is reported.
class PixRemovalRecorder : public FakeDbFormat {
 public:
  void OnNodePixRemoved(NoteNode& note, int index) override {
    removed.emplace_back(index, note.m_objText.m_lstPictures[index].nOffset);
  }
  std::vector<std::pair<int, int>> removed;
};

}  // namespace

TEST(FixFormattingTest, DroppedPicturesAreReportedHighestIndexFirst) {
  NoteNode n;
  n.m_objText.SetText(std::string("abcd"));
  const int offsets[] = {0, 0, 2, -1, 3, 9, 2};
  for (int off : offsets) {
    PixInfo p;
    p.nOffset = off;
    n.m_objText.m_lstPictures.Push(p);
  }
  PixRemovalRecorder db;
  EXPECT_TRUE(n.FixFormatting(&db));
  // Dropped: index 1 (offset taken), 3 (negative), 5 (past the end), 6 (taken).
  const std::vector<std::pair<int, int>> expected{{6, 2}, {5, 9}, {3, -1}, {1, 0}};
  EXPECT_EQ(db.removed, expected);
  std::vector<int> kept;
  for (const PixInfo& p : n.m_objText.m_lstPictures.Items()) kept.push_back(p.nOffset);
  EXPECT_EQ(kept, (std::vector<int>{0, 2, 3}));
}
