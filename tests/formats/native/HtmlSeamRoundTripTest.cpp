// Save -> load through every document format for content at the edges: empty
// titles, markup characters in titles and text, control characters, a long
// line, a note holding only a picture, and attribute values (URLs, anchor and
// picture names) that literally contain character-reference text.

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "formats/containers/ContainerTestUtil.h"
#include "common/NoteBuilder.h"
#include "common/TempDir.h"
#include "formats/native/FormatIOHtml.h"
#include "html/HtmlWriteEscape.h"
#include "model/DocumentCompare.h"
#include "model/NoteDocument.h"
#include "model/RecursiveTreeWalker.h"

namespace {

using quillery_test::AddNote;

std::string Png() { return qycont::TinyPng(); }

// Saves doc in every document format, loads each file and compares.
void ExpectEveryFormatKeeps(NoteDocument& doc, int cloneMode = 0) {
  qycont::RegisterFormats();
  FileFormatFactory::Get().Register(FORMAT_HQY, []() -> FormatIO_Base* { return new FormatIO_HTML; });
  quillery_test::TempDir t;
  for (const char* ext : {".qyd", ".hqy", ".qyz", ".qye"}) {
    const std::string path = t / (std::string("doc") + ext);
    RecursiveTreeWalker walker(doc, WALK_ALL);
    ASSERT_EQ(doc.Save(path.c_str(), walker, false, 0, nullptr, "pw", 0, cloneMode, true), DOC_SAVE_OK) << ext;
    NoteDocument back;
    ASSERT_EQ(back.Load(path.c_str(), "pw"), DOC_LOAD_OK) << ext;
    std::string diff;
    quillery::DocCompareOptions opt;
    opt.bUID = false;
    EXPECT_TRUE(quillery::CompareDocuments(doc, back, &diff, opt)) << ext << ": " << diff;
  }
}

// Saves doc to native HTML in memory and reads it into back.
void SaveAndReadBack(NoteDocument& doc, NoteDocument& back) {
  RecursiveTreeWalker walker(doc, WALK_ALL);
  FormatIO_HTML writer;
  std::string html;
  ASSERT_EQ(writer.SaveToString(html, doc, walker), 0);
  FormatIO_HTML reader;
  ASSERT_EQ(reader.LoadFromString(html, back), 0);
}

TEST(HtmlSeamRoundTrip, UnusualContentSurvivesEveryFormat) {
  NoteDocument doc;
  AddNote(doc, "", "", "");
  AddNote(doc, "", "", "<b>&amp; </DT><DD>\"q\" 'x' <!-- c --> ]]>");
  std::string controls;
  for (int c = 1; c < 32; ++c)
    if (c != '\r') controls += char(c);  // a lone CR is read as a line feed, by design
  AddNote(doc, "", "", "controls", controls + "\x7f end");
  AddNote(doc, "", "", "long line", std::string(1 << 20, 'x'));
  NoteNode& pic = AddNote(doc, "", "", "picture only");
  ASSERT_TRUE(doc.AddNotePicture(pic, 0, "p.png", Png(), true, 0, 0));
  AddNote(doc, "", "", "markup", "<BR></DD></DL></BODY></HTML>&amp;&#0;&#x41; <!-- -->");
  AddNote(doc, "", "", "blanks", "  lead\n\n\ntrail  \n \t");
  ExpectEveryFormatKeeps(doc);
}

// Clone mode 4 writes each clone with a copy of its original's text, anchors
// included; the copies never take an anchor over from the original, whether
// they stand before or after it.
TEST(HtmlSeamRoundTrip, ClonesSavedWithTheirTextsKeepTheAnchorsWithTheOriginal) {
  NoteDocument doc;
  AddNote(doc, "", "K0", "before").m_strCloneOf = "O";
  NoteNode& original = AddNote(doc, "", "O", "original", "see here");
  original.m_objText.m_lstAnchors.Append(AnchorInfo("here", 4));
  doc.m_mapAnchors["here"] = "O";
  AddNote(doc, "", "K1", "after").m_strCloneOf = "O";
  doc.RefreshCloneMaps();
  ExpectEveryFormatKeeps(doc, 4);
}

TEST(HtmlSeamRoundTrip, AttributeValuesWithReferenceTextReadBackAsWritten) {
  NoteDocument doc;
  const char* const values[] = {"http://x.org/a?b=1&amp;c=2", "http://x/&#65;&#x41;", "http://x/&lt;&gt;&nbsp;",
                                "http://x/&#13;", "http://x/a--&gt;b", "http://x/?a=1&b=2&c", "http://x/&#X41;&foo;"};
  for (const char* v : values) {
    NoteNode& n = AddNote(doc, "", "", v);
    n.m_objText.SetText("hello world");
    LinkInfo link;
    link.strLink = v;
    link.nStartOffset = 0;
    link.nTextLength = 5;
    link.RecalcRelative();
    n.m_objText.m_lstLinks.Append(link);
    ASSERT_TRUE(doc.AddNotePicture(n, 7, std::string("p") + v + ".png", Png(), true, 0, 0));
  }
  ExpectEveryFormatKeeps(doc);

  // Anchor names take the same path.
  NoteDocument one;
  NoteNode& n = AddNote(one, "", "", "anchor");
  n.m_objText.SetText("hello");
  n.m_objText.m_lstAnchors.Append(AnchorInfo("a&amp;b&#65;", 2));
  NoteDocument back;
  ASSERT_NO_FATAL_FAILURE(SaveAndReadBack(one, back));
  ASSERT_EQ(back.GetNodeByIdx(0).m_objText.m_lstAnchors.GetSize(), 1);
  EXPECT_EQ(back.GetNodeByIdx(0).m_objText.m_lstAnchors[0].strName, "a&amp;b&#65;");
}

TEST(HtmlSeamRoundTrip, OrdinaryAmpersandsInAttributesKeepTheirBytes) {
  std::string out;
  quillery::AppendAttrValue(out, "http://x/?a=1&b=2&c&;&&#;&#xZ;&#X41;&foo;\"");
  EXPECT_EQ(out, "http://x/?a=1&b=2&c&;&&#;&#xZ;&#X41;&foo;&quot;");
  out.clear();
  quillery::AppendAttrValue(out, "&amp;&#65;&nbsp;&euro;");
  EXPECT_EQ(out, "&amp;amp;&amp;#65;&amp;nbsp;&amp;euro;");
}

TEST(HtmlSeamRoundTrip, TextAfterTheBodyStaysOutOfTheLastNote) {
  for (bool lastHasText : {true, false}) {
    NoteDocument doc;
    AddNote(doc, "", "", "first", "one");
    NoteNode& last = AddNote(doc, "", "", "last");
    if (lastHasText) last.m_objText.SetText("two");
    RecursiveTreeWalker walker(doc, WALK_ALL);
    FormatIO_HTML writer;
    std::string html;
    ASSERT_EQ(writer.SaveToString(html, doc, walker), 0);
    const size_t body = html.rfind("</BODY>");
    ASSERT_NE(body, std::string::npos);
    for (const std::string& damaged :
         {html + "\n\n   ", html + "junk <b>x</b> &amp;", html.substr(0, body + 8) + " stray\n" + html.substr(body + 8)}) {
      NoteDocument back;
      FormatIO_HTML reader;
      std::string input = damaged;
      ASSERT_EQ(reader.LoadFromString(input, back), 0);
      std::string diff;
      quillery::DocCompareOptions opt;
      opt.bUID = false;
      EXPECT_TRUE(quillery::CompareDocuments(doc, back, &diff, opt)) << lastHasText << ": " << diff;
    }
  }
}

int CountTags(const RichText& rt, int tag) {
  int n = 0;
  for (const FmtInfo& f : rt.m_lstFmt.Items()) n += f.nFormatTag == tag;
  return n;
}

// Lists opened inside unclosed bullet lines or inside empty lists are repaired
// one by one; each repair looks only at the open line, never at the whole text
// or at every tag at one offset (100k of them used to take minutes).
TEST(HtmlSeamRoundTrip, ManyUnclosedNestedListsLoadInLinearTime) {
  const std::string head =
      "<!DOCTYPE Quillery-File>\n<HTML><HEAD><meta name=\"generator\" content=\"Quillery Pro 4.5.5\">"
      "<meta name=\"format_version\" content=\"4.5.1\"></HEAD><BODY><DL><DT>x</DT><DD>";
  const int n = 100000;
  std::string lines = head, empty = head;
  for (int i = 0; i < n; ++i) lines += "<ul><li>a";
  for (int i = 0; i < n; ++i) empty += "<ul>";
  empty += "<li>a";
  // Pictures ahead of the lists: only those read since a line began count.
  gchar* b64 = g_base64_encode(reinterpret_cast<const guchar*>(Png().data()), Png().size());
  const std::string img = std::string("<img src=\"data:image/png;base64,") + b64 + "\">";
  g_free(b64);
  std::string pictures = head;
  for (int i = 0; i < n / 2; ++i) pictures += img;
  for (int i = 0; i < n / 2; ++i) pictures += "<ul><li>a";
  for (std::string* html : {&lines, &empty, &pictures}) {
    *html += "</BODY></HTML>\n";
    NoteDocument doc;
    FormatIO_HTML reader;
    ASSERT_EQ(reader.LoadFromString(*html, doc), 0);
    ASSERT_EQ(doc.GetNodeCount(), 1);
    const RichText& rt = doc.GetNodeByIdx(0).m_objText;
    const int expected = html == &lines ? n : html == &empty ? 1 : n / 2;
    EXPECT_EQ(rt.GetTextLen(), 3 * expected);  // a bullet, the letter and the line's break
    EXPECT_EQ(rt.m_lstPictures.GetSize(), html == &pictures ? n / 2 : 0);
    EXPECT_EQ(CountTags(rt, FMT_BULLET_LINE_BEGIN), expected);
    EXPECT_EQ(CountTags(rt, FMT_BULLET_LINE_END), expected);
    EXPECT_EQ(CountTags(rt, FMT_BULLET_LIST_BEGIN), CountTags(rt, FMT_BULLET_LIST_END));
  }
}

}  // namespace

// Every bullet shape the reader makes reads back from a save as it was: the
// line breaks it puts inside a line (a BR, a paragraph end) stay where they
// were, and a line ends with its own line break, which is left to "</LI>",
// also where a nested list ends it.
TEST(HtmlSeamRoundTrip, LineBreaksInsideBulletLinesSurviveASave) {
  quillery_test::TempDir t;
  const std::string page = t / "in.html";
  const char* const shapes[] = {
      "<li>plain</li><li>second</li>",
      "<li>one<br>two</li>",
      "<li><p>three</p>four</li>",
      "<li>five<ul><li>six</li></ul></li>",
      "<li>five<br><ul><li>six<br>seven</li></ul></li>",
      "<li>a<ul><li>b<ul><li>c</li></ul></li></ul>tail</li><li>d</li>",
  };
  for (const char* shape : shapes) {
    SCOPED_TRACE(shape);
    {
      std::ofstream out(page, std::ios::binary | std::ios::trunc);
      out << "<html><body><ul>" << shape << "</ul><p>end</p></body></html>";
    }
    NoteDocument doc;
    FormatIO_HTML reader;
    reader.SetContentsOnly(true);  // as a document load opens a page
    ASSERT_EQ(DOC_LOAD_OK, reader.Load(page.c_str(), doc, -1));
    ASSERT_EQ(1, doc.GetNodeCount());
    const std::string text = doc.GetNodeByIdx(0).m_objText.GetText();
    EXPECT_EQ(std::string::npos, text.find("\n\n\xe2\x80\xa2")) << text;
    ExpectEveryFormatKeeps(doc);
  }

  // Documents stored by earlier versions hold a line ended before its break
  // ("<li>five<ul>" was read so): a save keeps the text all the same, with or
  // without a picture in the note.
  for (bool picture : {false, true}) {
    NoteDocument old;
    NoteNode& n = AddNote(old, "", "", "old", "\xe2\x80\xa2" "five\n\xe2\x80\xa2" "six\n");
    if (picture) {
      ASSERT_TRUE(old.AddNotePicture(n, 0, "p.png", Png(), true, 0, 0));
    }
    for (const auto& tag : {std::make_pair(FMT_BULLET_LIST_BEGIN, 0), std::make_pair(FMT_BULLET_LINE_BEGIN, 0),
                            std::make_pair(FMT_BULLET_LINE_END, 5), std::make_pair(FMT_BULLET_LIST_END, 5),
                            std::make_pair(FMT_BULLET_LIST_BEGIN, 5), std::make_pair(FMT_BULLET_LINE_BEGIN, 6),
                            std::make_pair(FMT_BULLET_LINE_END, 10), std::make_pair(FMT_BULLET_LIST_END, 10)})
      n.m_objText.m_lstFmt.Append(FmtInfo(tag.first, tag.second + picture));
    NoteDocument back;
    ASSERT_NO_FATAL_FAILURE(SaveAndReadBack(old, back));
    EXPECT_EQ(back.GetNodeByIdx(0).m_objText.GetText(), n.m_objText.GetText());
  }
}
