// Font helpers, writer escaping and the segment merge: the small pieces under
// the rich-text encoder, each checked against exact bytes.

#include <gtest/gtest.h>

#include <limits>

#include "formats/native/HtmlFontHelpers.h"
#include "formats/native/HtmlSegmentList.h"
#include "html/HtmlWriteEscape.h"

using quillery::MergeIntoSegmentList;

TEST(HtmlFontHelpers, Table) {
  EXPECT_EQ(GetFontSizeToEms("Sans Bold 12"), "0.75");
  EXPECT_EQ(GetFontSizeToEms("X 16"), "1.00");
  EXPECT_EQ(GetFontSizeToEms("Sans"), "0.00");
  EXPECT_EQ(GetFontSizeToEms("Sans 0"), "0.00");
  EXPECT_EQ(GetFontFamily("Sans Bold Italic 12"), "Sans");
  EXPECT_EQ(GetFontFamily("DejaVu Sans Oblique"), "DejaVu Sans");
  EXPECT_EQ(GetFontFamily("Arial, 12"), "Arial");
  EXPECT_EQ(GetFontSizeFromEms("0.75em"), "12");
  EXPECT_EQ(GetFontSizeFromEms("0em"), "0");
  EXPECT_EQ(GetFontSizeFromEms("12px"), "");
  EXPECT_EQ(GetFontSize("Sans"), "16");
  EXPECT_EQ(GetFontSize("Sans Bold 9"), "9");
  GdkColor a = {1, 0xFFFF, 0x8000, 0}, b = {2, 0xFFFF, 0x8000, 0}, c = {1, 0xFFFF, 0x8001, 0};
  EXPECT_TRUE(gdk_colors_equal(a, b));
  EXPECT_FALSE(gdk_colors_equal(a, c));
}

TEST(HtmlWriteEscape, AttributesCommentsAndText) {
  std::string out;
  quillery::AppendAttrValue(out, "a\"b'<&>\"");
  EXPECT_EQ(out, "a&quot;b'<&>&quot;");
  out.clear();
  quillery::AppendCommentValue(out, "x-->y--->z-- >");
  EXPECT_EQ(out, "x--&gt;y---&gt;z-- >");
  out.clear();
  std::string t = "<&\">'\xC3\xA9 a\nb\r\nc\rd";
  quillery::AppendNoteText(out, t.data(), t.size(), false);
  EXPECT_EQ(out, "&lt;&amp;&quot;&gt;'\xC3\xA9 a<BR>\nb<BR>\nc\rd");
  out.clear();
  t += "\r\n";
  quillery::AppendNoteText(out, t.data(), t.size(), true);
  EXPECT_EQ(out, "&lt;&amp;&quot;&gt;'\xC3\xA9 a<BR>\nb<BR>\nc\rd");
}

TEST(HtmlWriteEscape, ColoursAndNumbersAsPrintfWritesThem) {
  std::string out;
  quillery::AppendHexColor(out, 0xffff, 0x0a00, 0x00ff);
  out += ' ';
  quillery::AppendDecimal(out, 0);
  out += ' ';
  quillery::AppendDecimal(out, -1234567890123LL);
  out += ' ';
  quillery::AppendDecimal(out, std::numeric_limits<long long>::min());
  EXPECT_EQ(out, "#ff0a00 0 -1234567890123 -9223372036854775808");
}

namespace {

tSegmentList TextList(const std::string& text) {
  tSegmentList segs;
  if (!text.empty()) segs.emplace_back(text, true, -1);
  return segs;
}

std::string Join(const tSegmentList& segs) {
  std::string s;
  for (const tSegment& seg : segs) s += seg.bText ? "[" + seg.text + "]" : seg.text;
  return s;
}

}  // namespace

TEST(HtmlSegmentList, MergeOrderAndCuts) {
  // Pictures first (they take a position), then zero-length markup in batches.
  tSegmentList segs = TextList("ab");
  std::vector<tSegmentInsert> pics = {{1, 1, "<img>"}};
  MergeIntoSegmentList(segs, pics);
  std::vector<tSegmentInsert> fmt = {{1, 0, "<b>"}, {2, 0, "</b>"}};
  MergeIntoSegmentList(segs, fmt);
  EXPECT_EQ(Join(segs), "[a]<b><img></b>[b]");

  // A multibyte character is never cut inside.
  segs = TextList("a\xC3\xA9" "b");
  std::vector<tSegmentInsert> bold = {{2, 0, "</b>"}, {1, 0, "<b>"}};
  MergeIntoSegmentList(segs, bold);
  EXPECT_EQ(Join(segs), "[a]<b>[\xC3\xA9]</b>[b]");

  // Equal offsets keep batch order; later batches follow earlier ones.
  segs = TextList("abcde");
  std::vector<tSegmentInsert> links = {{0, 0, "<A1>"}, {3, 0, "</A>"}, {3, 0, "<A2>"}, {5, 0, "</A>"}};
  MergeIntoSegmentList(segs, links);
  std::vector<tSegmentInsert> tags = {{3, 0, "</b>"}, {3, 0, "<i>"}};
  MergeIntoSegmentList(segs, tags);
  EXPECT_EQ(Join(segs), "<A1>[abc]</A><A2></b><i>[de]</A>");

  // Beyond the end dropped, exactly at the end appended; unsorted input.
  segs = TextList("ab");
  std::vector<tSegmentInsert> ends = {{3, 0, "<x>"}, {2, 0, "<end>"}, {0, 0, "<s>"}};
  MergeIntoSegmentList(segs, ends);
  EXPECT_EQ(Join(segs), "<s>[ab]<end>");

  // Unsorted pictures and a picture-only note.
  segs = TextList("abcd");
  std::vector<tSegmentInsert> pics2 = {{3, 1, "<P3>"}, {1, 1, "<P1>"}};
  MergeIntoSegmentList(segs, pics2);
  EXPECT_EQ(Join(segs), "[a]<P1>[b]<P3>[cd]");
  segs = TextList("");
  std::vector<tSegmentInsert> only = {{0, 1, "<img>"}, {1, 0, "<a>"}};
  MergeIntoSegmentList(segs, only);
  EXPECT_EQ(Join(segs), "<img><a>");
}

TEST(HtmlSegmentList, NestedItemsInOneSegmentStayLinear) {
  // Many cuts inside one long segment: each byte is copied once per pass.
  std::string text(200000, 'x');
  tSegmentList segs = TextList(text);
  std::vector<tSegmentInsert> items;
  for (int i = 0; i < 20000; ++i) items.push_back({i * 10, 0, "<b>"});
  MergeIntoSegmentList(segs, items);
  EXPECT_EQ(segs.size(), 40000u);  // no empty text piece before offset 0
  size_t bytes = 0;
  for (const tSegment& s : segs) bytes += s.bText ? s.text.size() : 0;
  EXPECT_EQ(bytes, text.size());
}
