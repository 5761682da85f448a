// Reading a note's rich text: offsets, line breaks, inline formatting,
// spans, paragraphs, lists, colours, foreign whitespace, and open elements
// that must not leak from one note into the next.

#include <gtest/gtest.h>

#include <climits>
#include <clocale>

#include "HtmlReaderTestUtil.h"
#include "base/Log.h"
#include "formats/native/HtmlReaderHelpers.h"
#include "model/DocumentCompare.h"

using namespace qyread;

namespace {

// Loads one native note with the given text markup and returns it.
NoteNode& Note(NoteDocument& doc, const std::string& text) {
  EXPECT_EQ(0, LoadString(doc, OneNote(text)));
  return doc.GetNodeByIdx(0);
}

// The note's tags as "tag@offset" separated by blanks.
std::string Tags(NoteNode& n) {
  std::string out;
  for (const FmtInfo& f : n.m_objText.m_lstFmt.Items())
    out += (out.empty() ? "" : " ") + std::to_string(f.nFormatTag) + "@" + std::to_string(f.nOffset);
  return out;
}

}  // namespace

TEST(HtmlReaderRichText, OffsetsCountCharactersEntitiesAndPictures) {
  NoteDocument doc;
  NoteNode& n = Note(doc, "a&amp;b<b>\xC3\xA9</b>");
  EXPECT_EQ("a&b\xC3\xA9", n.GetText());
  EXPECT_EQ("1@3 2@4", Tags(n));
}

TEST(HtmlReaderRichText, NativeLineBreaksAreBrElements) {
  NoteDocument doc;
  // After a BR, a line feed inside text is a blank.
  NoteNode& n = Note(doc, "x\n<BR>\ny\r\nz<BR>\n<BR>\n");
  EXPECT_EQ("x\ny z\n\n", n.GetText());
  NoteDocument doc2;
  ASSERT_EQ(0, LoadString(doc2, Native("<DL>\n<DT>a<BR>\nb\r\nc</DT>\n</DL>\n")));
  EXPECT_EQ("a\nbc", doc2.GetNodeByIdx(0).GetTitle());
}

TEST(HtmlReaderRichText, ForeignWhitespaceCollapses) {
  NoteDocument doc;
  FormatIO_HTML fmt;
  fmt.m_bContentsOnly = true;
  ASSERT_EQ(0, LoadString(doc, "<body>a\n  b<table><tr><td>c</td><td>d</td></tr></table>e &nbsp;f</body>", &fmt));
  EXPECT_EQ("a bc\td\t\ne f", doc.GetNodeByIdx(0).GetText());
  EXPECT_TRUE(doc.GetNodeByIdx(0).m_objText.m_lstFmt.IsEmpty());
}

TEST(HtmlReaderRichText, InlineElements) {
  quillery::LogCapture log;
  NoteDocument doc;
  NoteNode& n = Note(doc, "<b></b><b>x</b></b><b><b>y</b></b><i>i</i><u>u</u><s>s</s><sup>p</sup><sub>q</sub>"
                          "<strong>t</strong><em>e</em>");
  EXPECT_EQ("1@0 2@1 1@1 2@2 3@2 4@3 5@3 6@4 9@4 10@5 25@5 26@6 27@6 28@7 1@7 2@8 3@8 4@9", Tags(n));
  EXPECT_TRUE(log.Has("Skip adding empty <b></b> block\n"));
  EXPECT_TRUE(log.Has("Detected bold close tag with no opening tag before\n"));
}

TEST(HtmlReaderRichText, Spans) {
  NoteDocument doc;
  NoteNode& n = Note(doc,
                     "<span style=\"font-family:'Arial'; font-size:0.75em;\">x</span>"
                     "<span style=\"font-family:'Arial'; font-size:12px\">y</span>"
                     "<span style=\"line-height: 150%\">z</span><span style=\"line-height: 1.5\">w</span>"
                     "<span style=\"color:#ff8000\"> </span>"
                     "<span style=\"background-color:red\">v</span><b><span>b</span>c");
  const FmtInfoList& f = n.m_objText.m_lstFmt;
  ASSERT_EQ("17@0 18@1 17@1 18@2 31@2 32@3 31@3 32@4 15@5 16@6 1@6 2@7", Tags(n));
  EXPECT_EQ("Arial, 12", f[0].strFont);
  EXPECT_EQ("Arial, 12", f[1].strFont);
  EXPECT_EQ("Arial", f[2].strFont);
  EXPECT_EQ(150, f[4].nValue);
  EXPECT_EQ(150, f[5].nValue);
  EXPECT_EQ(100, f[6].nValue);
  EXPECT_EQ(0xFFFF, f[8].color.red);
  EXPECT_EQ(0xFFFF, f[9].color.red);
  // A SPAN without style closes the bold that a B opened.
  EXPECT_EQ("xyzw vbc", n.GetText());
}

TEST(HtmlReaderRichText, SpanWithSeveralPropertiesClosesAll) {
  NoteDocument doc;
  NoteNode& n = Note(doc, "<span style=\"color:#0000ff; font:Sans Bold 12; font-weight:bold\">x</span>"
                          "<span style=\"color:red; background:blue\"> </span>");
  // The ends close in reverse order of their begins.
  EXPECT_EQ("7@0 17@0 1@0 2@1 18@1 8@1", Tags(n));
  EXPECT_EQ("Sans Bold 12", n.m_objText.m_lstFmt[1].strFont);
  EXPECT_EQ("Sans Bold 12", n.m_objText.m_lstFmt[4].strFont);
}

TEST(HtmlReaderRichText, ParagraphsAndAlignment) {
  NoteDocument doc;
  NoteNode& n = Note(doc, "<p align=\"center\">c</p><p>l</p><p align=\"right\">r</p><p align=\"justify\">j</p>"
                          "<p align=center>u</p><p style=\"color:red\">q</p>");
  EXPECT_EQ("23@0 24@1 21@2 22@3 29@3 30@4 7@5 8@6", Tags(n));
}

TEST(HtmlReaderRichText, BulletLists) {
  NoteDocument doc;
  NoteNode& n = Note(doc, "<UL>\n<LI>a</LI>\n</UL>\n");
  EXPECT_EQ("\xE2\x80\xA2" "a\n", n.GetText());
  EXPECT_EQ("11@0 13@0 14@3 12@3", Tags(n));

  quillery::LogCapture log;
  NoteDocument doc2;
  NoteNode& m = Note(doc2, "<UL>\n<LI>a<LI>b<BR>\nc");
  EXPECT_EQ("\xE2\x80\xA2" "a\n\xE2\x80\xA2" "b\nc", m.GetText());
  // The unclosed second line ends after its line break, the list at the end.
  EXPECT_EQ("11@0 13@0 14@3 13@3 14@6 12@7", Tags(m));
  EXPECT_TRUE(log.Has("Detected unclosed bulleted line - fixing\n"));
  EXPECT_TRUE(log.Has("Detected unclosed bulleted list - fixing\n"));
  EXPECT_TRUE(doc2.IsModified());

  quillery::LogCapture log2;
  NoteDocument doc3;
  Note(doc3, "x</LI></UL>");
  EXPECT_TRUE(log2.Has("Invalid bullet list closing tag - no matching opening tag\n"));
  EXPECT_TRUE(log2.Has("Invalid bullet line closing tag - no matching opening tag\n"));
}

TEST(HtmlReaderRichText, Colours) {
  GdkColor c = GdkColor();
  ASSERT_TRUE(parse_gtk_color("red", c));
  EXPECT_EQ(0xFFFF, c.red);
  ASSERT_TRUE(parse_gtk_color("#ff8000", c));
  EXPECT_EQ(0x80, c.green >> 8);
  ASSERT_TRUE(parse_gtk_color("rgb(255, 0, 300)", c));
  EXPECT_EQ(0xFFFF, c.red);  // scaled by 257: the high byte survives a save
  EXPECT_EQ(0, c.green);
  EXPECT_EQ(0xFFFF, c.blue);  // clamped
  ASSERT_TRUE(parse_gtk_color("rgb(-4,128,1)", c));
  EXPECT_EQ(0, c.red);
  EXPECT_EQ(128, c.green >> 8);
  quillery::LogCapture log;
  EXPECT_FALSE(parse_gtk_color("bogus", c));
  EXPECT_TRUE(log.Has("Could not parse color: bogus\n"));
  EXPECT_FALSE(parse_gtk_color("rgb(1,2)", c));
}

TEST(HtmlReaderRichText, FontSizesIgnoreTheLocale) {
  const std::string old = setlocale(LC_NUMERIC, nullptr);
  if (!setlocale(LC_NUMERIC, "de_DE.UTF-8")) setlocale(LC_NUMERIC, "fr_FR.UTF-8");
  FormatIO_HTML fmt;
  std::string size;
  fmt.ParseFontSizeInPx("font-size:0.75em", size);
  EXPECT_EQ("12", size);
  fmt.ParseFontSizeInPx("font-size: X-Large", size);
  EXPECT_EQ("16", size);
  fmt.ParseFontSizeInPx("font-size:12pt", size);
  EXPECT_EQ("", size);
  setlocale(LC_NUMERIC, old.c_str());
  int spacing = 0;
  EXPECT_FALSE(fmt.ParseLineSpacing("color:red", spacing));
  EXPECT_TRUE(fmt.ParseLineSpacing("line-height: 130%", spacing));
  EXPECT_EQ(100, spacing);
}

TEST(HtmlReaderRichText, TitleSpansAndBackground) {
  NoteDocument doc;
  ASSERT_EQ(0, LoadString(doc, Native("<DL>\n<DT><span style=\"color:#ff0000\">\n"
                                      "<span style=\"background-color:#00ff00\">\n<span style=\"font:Serif 9\">\n"
                                      "<A name=\"N\"></A>t</span>\n</span>\n</span>\n</DT>\n<DD>\n"
                                      "<DIV class=\"note_bkg\" style=\"background-color:#0000ff\">x</DIV>\n</DD>\n</DL>\n")));
  NoteNode& n = doc.GetNodeByIdx(0);
  EXPECT_TRUE(n.m_bUseTxtColor);
  EXPECT_EQ(0xFFFF, n.m_clrTxt.red);
  EXPECT_TRUE(n.m_bUseBkgColor);
  EXPECT_EQ(0xFFFF, n.m_clrBkg.green);
  EXPECT_TRUE(n.m_bUseFont);
  EXPECT_EQ("Serif 9", n.m_strCustomFont);
  EXPECT_TRUE(n.m_bUseNoteBkgColor);
  EXPECT_EQ(0xFFFF, n.m_clrNoteBkg.blue);
  EXPECT_EQ("x", n.GetText());
  EXPECT_TRUE(n.m_objText.m_lstFmt.IsEmpty());
}

TEST(HtmlReaderRichText, OpenElementsDoNotLeakIntoTheNextNote) {
  NoteDocument doc;
  ASSERT_EQ(0, LoadString(doc, Native("<DL>\n<DT>1</DT>\n<DD>\n<b>a<span style=\"color:red\">b<figure>c\n</DD>\n"
                                      "<DT>2</DT>\n<DD>\n<b>x</b>y\n</DD>\n</DL>\n")));
  NoteNode& first = doc.GetNodeByIdx(0);
  NoteNode& second = doc.GetNodeByIdx(1);
  EXPECT_EQ("ab", first.GetText());
  EXPECT_EQ("xy", second.GetText());
  EXPECT_EQ("1@0 2@1", Tags(second));
}

TEST(HtmlReaderRichText, HqyFilesDeclaringUtf8ReadAsUtf8) {
  NoteDocument doc;
  FormatIO_HTML fmt;
  fmt.m_bRawText = true;
  ASSERT_EQ(0, LoadString(doc, "<!DOCTYPE Brindlemar-File>\n" + OneNote("caf\xC3\xA9 &amp; <b>x</b>", "t&lt;"), &fmt));
  EXPECT_EQ("caf\xC3\xA9 & x", doc.GetNodeByIdx(0).GetText());
  EXPECT_EQ("t<", doc.GetNodeByIdx(0).GetTitle());

  // An old file without the declaration is ANSI.
  NoteDocument doc2;
  FormatIO_HTML old;
  old.m_bRawText = true;
  ASSERT_EQ(0, LoadString(doc2,
                          "<HTML><BODY><DL><DT>t\xE9</DT><!--custom-property name=\"n\" value=\"\xE9\"-->"
                          "<DD>caf\xE9 \x81<PRE>a&amp;<b>b</b></PRE></DD></DL></BODY></HTML>",
                          &old));
  NoteNode& n = doc2.GetNodeByIdx(0);
  EXPECT_EQ("t\xC3\xA9", n.GetTitle());
  EXPECT_EQ("\xC3\xA9", n.m_lstCustomProperties[0].strValue);
  EXPECT_EQ("caf\xC3\xA9 \xEF\xBF\xBD" "a&amp;<b>b</b>", n.GetText());
  EXPECT_TRUE(g_utf8_validate(n.GetText().c_str(), -1, nullptr));
}

TEST(HtmlReaderRichText, ScriptStyleAndFigure) {
  NoteDocument doc;
  FormatIO_HTML fmt;
  fmt.m_bContentsOnly = true;
  ASSERT_EQ(0, LoadString(doc,
                          "<body><script>var x;</script><style>p{}</style>a<figure><b>no</b>"
                          "<figcaption>cap</figcaption></figure><picture>q</picture>b<hr>c<h1>h</h1>d</body>",
                          &fmt));
  EXPECT_EQ("acapb\nch\nd", doc.GetNodeByIdx(0).GetText());
}

TEST(HtmlReaderRichText, LargeDocumentRepairOnThreadsMatchesTheSequentialOne) {
  // Enough notes for the finish to repair formatting on worker threads, each
  // with markup the repair must change: a kind nested in itself, crossing
  // ranges, an end without begin, an unclosed begin, an empty link.
  const char* const kBroken[] = {
      "<sup>a<sup>b</sup>c</sup>d",
      "<span style=\"color:#0000ff\">x<b>y</span>z</b> <span style=\"font: Monospace 9\">m<sub>n</span>o</sub>",
      "</sub>q<sub>r<s>t</s>",
      "<A href=\"https://example.org/\"></A>e <A href=\"#N3\">link</A>",
      "<b>bold</b> <i>plain<BR>"};
  const int notes = 2 * FormatIO_HTML::kParallelRepairMin;
  std::string body = "<DL>\n";
  for (int i = 0; i < notes; ++i)
    body += "<DT><A name=\"N" + std::to_string(i) + "\"></A>t</DT>\n<DD>\n" + kBroken[i % 5] + "\n</DD>\n";
  const std::string html = Native(body + "</DL>\n");

  NoteDocument threaded, sequential;
  ASSERT_EQ(0, LoadString(threaded, html));
  FormatIO_HTML one;
  one.m_nParallelRepairMin = INT_MAX;
  ASSERT_EQ(0, LoadString(sequential, html, &one));
  ASSERT_EQ(notes, threaded.GetNodeCount());
  std::string diff;
  EXPECT_TRUE(quillery::CompareDocuments(threaded, sequential, &diff)) << diff;
  // Every note was repaired (a second repair finds nothing to do), and the
  // empty link is gone.
  int unrepaired = 0;
  for (int i = 0; i < notes; ++i) unrepaired += threaded.GetNodeByIdx(i).FixFormatting(nullptr) ? 1 : 0;
  EXPECT_EQ(0, unrepaired);
  EXPECT_EQ(1, threaded.GetNodeByIdx(3).m_objText.m_lstLinks.GetSize());
}
