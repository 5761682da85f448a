// Rich text to HTML: the markup of every construct, its order at one offset,
// line breaks and escaping, bullets, pictures, links and attachments, each
// against exact bytes (these bytes enter every stored HTML hash).

#include <gtest/gtest.h>

#include "HtmlWriterTestUtil.h"
#include "base/Log.h"

using namespace qytest;

namespace {

class HtmlWriterEncode : public ::testing::Test {
 protected:
  NoteNode& Note(const std::string& text) {
    doc.Close();
    return AddNote(doc, "", "N1", "t", text);
  }
  NoteDocument doc;
};

GdkColor Color(guint16 r, guint16 g, guint16 b) {
  GdkColor c = {0, r, g, b};
  return c;
}

}  // namespace

TEST_F(HtmlWriterEncode, FormattingTable) {
  struct Row {
    int tag;
    const char* begin;
  } rows[] = {
      {1, "<b>"}, {3, "<i>"}, {5, "<u>"}, {9, "<s>"}, {19, "<p>"}, {21, "<p align=\"right\">"},
      {23, "<p align=\"center\">"}, {25, "<sup>"}, {27, "<sub>"}, {29, "<p align=\"justify\">"},
  };
  const char* ends[] = {"</b>", "</i>", "</u>", "</s>", "</p>", "</p>", "</p>", "</sup>", "</sub>", "</p>"};
  for (size_t i = 0; i < sizeof(rows) / sizeof(rows[0]); ++i) {
    NoteNode& n = Note("x");
    n.m_objText.m_lstFmt.Append(Tag(rows[i].tag, 0));
    n.m_objText.m_lstFmt.Append(Tag(rows[i].tag + 1, 1));
    EXPECT_EQ(NoteHtml(n), std::string(rows[i].begin) + "x" + ends[i]) << rows[i].tag;
  }

  NoteNode& n = Note("x");
  FmtInfo color = Tag(7, 0);
  color.color = Color(0xFFFF, 0x8000, 0);
  FmtInfo spacing = Tag(31, 0);
  spacing.nValue = 150;
  FmtInfo font = Tag(17, 0);
  font.strFont = " Sans Bold 12 ";
  FmtInfo bkg = Tag(15, 0);
  bkg.color = Color(0x1234, 0xABCD, 0x00FF);
  for (const FmtInfo& t : {color, spacing, font, bkg}) n.m_objText.m_lstFmt.Append(t);
  n.m_objText.m_lstFmt.Append(Tag(16, 1));
  n.m_objText.m_lstFmt.Append(Tag(18, 1));
  n.m_objText.m_lstFmt.Append(Tag(32, 1));
  n.m_objText.m_lstFmt.Append(Tag(8, 1));
  n.m_objText.m_lstFmt.Append(Tag(33, 1));  // text indent: no markup
  n.m_objText.m_lstFmt.Append(Tag(0, 1));
  EXPECT_EQ(NoteHtml(n),
            "<span style=\"color:#ff8000\"><span style=\"line-height: 150%\"><span style=\"font: Sans Bold 12\">"
            "<span style=\"background-color:#12ab00\">x</span></span></span></span>");
}

TEST_F(HtmlWriterEncode, OrderAtOneOffset) {
  // Link ends before the next link starts; formatting follows links.
  NoteNode& n = Note("abcde");
  LinkInfo a, b;
  a.strTargetID = "T1";
  a.nStartOffset = 0;
  a.nTextLength = 3;
  b.strLink = "http://x/?a=1&b=\"2\"";
  b.nStartOffset = 3;
  b.nTextLength = 2;
  n.m_objText.m_lstLinks.Append(b);  // unsorted on purpose
  n.m_objText.m_lstLinks.Append(a);
  n.m_objText.m_lstFmt.Append(Tag(1, 0));
  n.m_objText.m_lstFmt.Append(Tag(2, 3));
  n.m_objText.m_lstFmt.Append(Tag(3, 3));
  n.m_objText.m_lstFmt.Append(Tag(4, 5));
  n.m_objText.m_lstAnchors.Append(AnchorInfo("n\"m", 3));
  EXPECT_EQ(NoteHtml(n),
            "<A href=\"#T1\"><b>abc</A><A href=\"http://x/?a=1&b=&quot;2&quot;\"></b><i><A name=\"n&quot;m\"></A>"
            "de</A></i>");
  // The note's own lists are not reordered by a save.
  EXPECT_EQ(n.m_objText.m_lstLinks[0].nStartOffset, 3);

  // A picture between two letters, bold around the picture.
  NoteNode& p = Note("ab");
  PixInfo pix;
  pix.nOffset = 1;
  pix.strName = "p";
  pix.strEncoded = "PNGDATA";
  p.m_objText.m_lstPictures.Push(pix);
  p.m_objText.m_lstFmt.Append(Tag(1, 1));
  p.m_objText.m_lstFmt.Append(Tag(2, 2));
  EXPECT_EQ(NoteHtml(p), "a<b><img title=\"p\" src=\"data:image/png;base64,UE5HREFUQQ==\"></b>b");
}

TEST_F(HtmlWriterEncode, TextLineBreaksEscapingAndMultibyte) {
  EXPECT_EQ(NoteHtml(Note("a\nb")), "a<BR>\nb");
  EXPECT_EQ(NoteHtml(Note("a\r\nb")), "a<BR>\nb");
  EXPECT_EQ(NoteHtml(Note("a\rb")), "a\rb");
  EXPECT_EQ(NoteHtml(Note("<&\">'\xC3\xA9\t x")), "&lt;&amp;&quot;&gt;'\xC3\xA9\t x");
  NoteNode& m = Note("a\xC3\xA9" "b");
  m.m_objText.m_lstFmt.Append(Tag(1, 1));
  m.m_objText.m_lstFmt.Append(Tag(2, 2));
  EXPECT_EQ(NoteHtml(m), "a<b>\xC3\xA9</b>b");
  EXPECT_EQ(NoteHtml(Note("")), "");
}

TEST_F(HtmlWriterEncode, OutOfRangeMarkup) {
  NoteNode& n = Note("ab");
  n.m_objText.m_lstFmt.Append(Tag(1, 2));
  n.m_objText.m_lstFmt.Append(Tag(2, 3));
  EXPECT_EQ(NoteHtml(n), "ab<b>");

  NoteNode& only = Note("");
  PixInfo pix;
  pix.nOffset = 0;
  pix.strName = "q";
  pix.strEncoded = "abc";
  pix.bPNG = false;
  only.m_objText.m_lstPictures.Push(pix);
  EXPECT_EQ(NoteHtml(only), "<img title=\"q\" src=\"data:image/jpeg;base64,YWJj\">");
}

TEST_F(HtmlWriterEncode, Bullets) {
  const std::string bullet = "\xE2\x80\xA2";
  NoteNode& n = Note(bullet + "x\n");
  n.m_objText.m_lstFmt.Append(Tag(11, 0));
  n.m_objText.m_lstFmt.Append(Tag(13, 0));
  n.m_objText.m_lstFmt.Append(Tag(14, 3));
  n.m_objText.m_lstFmt.Append(Tag(12, 3));
  EXPECT_EQ(NoteHtml(n), "<UL>\n<LI>x</LI>\n</UL>\n");

  // Bold between the line start and its text, and between the text and its
  // end: still exactly one bullet removed, the line feed dropped; a bullet
  // inside the line stays.
  NoteNode& b = Note(bullet + "x" + bullet + "\n");
  for (const FmtInfo& t : {Tag(11, 0), Tag(13, 0), Tag(1, 0), Tag(2, 3), Tag(14, 4), Tag(12, 4)})
    b.m_objText.m_lstFmt.Append(t);
  EXPECT_EQ(NoteHtml(b), "<UL>\n<LI><b>x" + bullet + "</b></LI>\n</UL>\n");
}

TEST_F(HtmlWriterEncode, PicturesUnsortedLongAndUnencodable) {
  NoteNode& n = Note("abcd");
  PixInfo late, early;
  late.nOffset = 3;
  late.strName = "L";
  late.strEncoded = "2";
  early.nOffset = 1;
  early.strName = "E";
  early.strEncoded = "1";
  n.m_objText.m_lstPictures.Push(late);
  n.m_objText.m_lstPictures.Push(early);
  EXPECT_EQ(NoteHtml(n),
            "a<img title=\"E\" src=\"data:image/png;base64,MQ==\">b<img title=\"L\" "
            "src=\"data:image/png;base64,Mg==\">cd");

  NoteNode& big = Note("");
  PixInfo pix;
  pix.nOffset = 0;
  pix.strEncoded = std::string(60, 'z');  // 80 base64 characters
  big.m_objText.m_lstPictures.Push(pix);
  std::string html = NoteHtml(big);
  EXPECT_EQ(html.find('\n'), std::string("<img title=\"\" src=\"data:image/png;base64,").size() + 72);

  // No bytes and no image: a placeholder keeps the next picture's position.
  NoteNode& lost = Note("ab");
  PixInfo empty;
  empty.nOffset = 0;
  lost.m_objText.m_lstPictures.Push(empty);
  lost.m_objText.m_lstFmt.Append(Tag(1, 2));
  lost.m_objText.m_lstFmt.Append(Tag(2, 3));
  quillery::LogCapture cap(LOG_ERROR);
  html = NoteHtml(lost);
  EXPECT_EQ(html.compare(0, 42, "<img title=\"\" src=\"data:image/png;base64,i"), 0) << html;
  EXPECT_NE(html.find("\">a<b>b</b>"), std::string::npos) << html;
  EXPECT_FALSE(cap.Lines().empty());
}

TEST_F(HtmlWriterEncode, LinksAndRebasing) {
  NoteNode& n = Note("abc");
  LinkInfo link;
  link.strLink = "http://h/p";
  link.strTargetID = "T";
  link.nStartOffset = 0;
  link.nTextLength = 1;
  n.m_objText.m_lstLinks.Append(link);
  EXPECT_EQ(NoteHtml(n), "<A href=\"http://h/p#T\">a</A>bc");

  // A relative file link is rebased from the document's folder to the
  // folder of the file written; an absolute one stays.
  TempDir tmp;
  doc.SetPath("/d/docs/doc.qyd");
  NoteNode& f = doc.GetNodeByIdx(0);
  f.m_objText.m_lstLinks.Clear();
  link.strTargetID.clear();
  link.strLink = "file://img/a.png";
  f.m_objText.m_lstLinks.Append(link);
  link.strLink = "file:////d/x";
  link.nStartOffset = 1;
  f.m_objText.m_lstLinks.Append(link);
  RecursiveTreeWalker walker(doc);
  FormatIO_HTML fmt;
  std::string path = tmp / "x.qyd";
  ASSERT_EQ(fmt.Save(path.c_str(), walker), 0);
  std::string file = ReadFile(path);
  // From /tmp/<dir>/ up to the root, then down to the picture.
  EXPECT_NE(file.find("<A href=\"file://../../d/docs/img/a.png\">a</A><A href=\"file:////d/x\">b</A>c"),
            std::string::npos)
      << file;
  // A rendering for the hash has no destination: the link stays as stored.
  EXPECT_EQ(NoteHtml(f), "<A href=\"file://img/a.png\">a</A><A href=\"file:////d/x\">b</A>c");
}

TEST_F(HtmlWriterEncode, Attachments) {
  NoteNode& n = Note("t");
  AttInfo att;
  att.strName = "a<b>.txt";
  att.strData = "abc";
  att.nDataSize = 3;
  att.strCode = "C1";
  n.m_lstAttachments.push_back(att);
  att.strName = "x";
  att.strHash = "h\"1";
  att.strTarget = "tg";
  att.nDataSize = 7;  // wrong: the real length is written
  n.m_lstAttachments.push_back(att);
  std::string out = SaveString(doc);
  EXPECT_NE(out.find("<!--property:hash_html=-->\n"
                     "<A code=\"C1\" title=\"a&lt;b&gt;.txt\" href=\"data:application/octet-stream;base64,YWJj\"></A>\n"
                     "<A hash=\"h&quot;1\" code=\"C1\" target=\"tg\" title=\"x\" "
                     "href=\"data:application/octet-stream;base64,YWJj\"></A>\n<DD>\nt\n</DD>\n"),
            std::string::npos)
      << out;
}
