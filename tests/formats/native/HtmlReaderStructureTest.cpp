// Reading the document and tree markup of native HTML files: the note tree,
// document and note comments, META, duplicate IDs, merges under a parent,
// results for inputs that are not documents, and foreign HTML as one note.

#include <gtest/gtest.h>

#include "HtmlReaderTestUtil.h"
#include "base/Log.h"
#include "model/FileFormatFactory.h"
#include "model/InternalIcons.h"

using namespace qyread;

namespace {

const char* const kThreeLevels =
    "<!--LastNote:2-->\n"
    "<!--property:UID=DOC-->\n<!--property:read_only-->\n<!--property:note_count=4-->\n"
    "<!--property:prop_modified=4102444800-->\n"
    "<!--property:bookmark:1/2;My mark-->\n<!--property:bookmark:nopath-->\n"
    "<!--custom-property name=\"dp\" value=\"a &amp;lt; b\"-->\n"
    "<!--property:note_deleted=GONE-->\n<!--property:att_deleted=ATT-->\n"
    "<DL>\n"
    "<DT><A name=\"P\"></A>Parent</DT>\n<!--property:keywords=;;a;;;b-->\n<!--property:read_only-->\n"
    "<!--property:note_count=99-->\n<!--property:icon_internal=star-->\n"
    "<DD>\nptext<DL>\n"
    "<DT><A name=\"C1\"></A>Child 1</DT>\n<!--property:date_created=4102444800-->\n"
    "<DD>\n<DL>\n"
    "<DT><A name=\"G\"></A>Grandchild</DT>\n<DD>\ng\n</DD>\n"
    "</DL>\n</DD>\n"
    "<!--property:finished=1-->\n"
    "<DT><A name=\"C2\"></A>Child 2</DT>\n"
    "<!--task:date_due=1700000000-->\n<!--task:priority=3-->\n<!--task:sound_file=a--&gt;b.wav-->\n"
    "<!--custom-property name=\"np\" value=\"x\"-->\n<!--custom-property name=\"np\" value=\"y\"-->\n"
    "</DL>\n</DD>\n"
    "<DT><A name=\"S\"></A>Sibling</DT>\n<!--property:is_template-->\n<!--property:expanded-->\n"
    "</DL>\n";

}  // namespace

TEST(HtmlReaderStructure, ThreeLevelsAndComments) {
  NoteDocument doc;
  ASSERT_EQ(0, LoadString(doc, Native(kThreeLevels)));
  ASSERT_EQ(5, doc.GetNodeCount());
  NoteNode& p = doc.GetNodeByIdx(0);
  NoteNode& c1 = doc.GetNodeByIdx(1);
  NoteNode& g = doc.GetNodeByIdx(2);
  NoteNode& c2 = doc.GetNodeByIdx(3);
  NoteNode& s = doc.GetNodeByIdx(4);
  EXPECT_EQ("P", p.m_strID);
  EXPECT_EQ("", p.m_strParentID);
  EXPECT_EQ("P", c1.m_strParentID);
  EXPECT_EQ("C1", g.m_strParentID);
  EXPECT_EQ("P", c2.m_strParentID);
  EXPECT_EQ(1, c2.m_nSibling);
  EXPECT_EQ("", s.m_strParentID);
  EXPECT_EQ(1, s.m_nSibling);
  EXPECT_EQ("ptext", p.GetText());
  EXPECT_EQ("g", g.GetText());

  // Note comments.
  EXPECT_EQ(";a;b", p.GetKeywords());
  EXPECT_EQ(1, doc.m_mapTagUseCount["a"]);
  EXPECT_TRUE(p.m_bReadOnly);
  EXPECT_EQ(InternalIcon_Name2Index("star"), p.m_nIconType);
  EXPECT_EQ("star", p.m_strIconPath);
  EXPECT_EQ(4102444800LL, c1.m_nDateCreated);  // after 2038: 64 bits
  // A key after </DL> belongs to the last note read.
  EXPECT_TRUE(g.m_bFinished);
  EXPECT_TRUE(c2.m_objTask.IsValid());
  EXPECT_EQ(1700000000, c2.m_objTask.dateDue.GetValue());
  EXPECT_EQ(3, c2.m_objTask.nPriority);
  EXPECT_EQ("a-->b.wav", c2.m_objTask.strSoundPath);
  ASSERT_EQ(1u, c2.m_lstCustomProperties.size());
  EXPECT_EQ("y", c2.m_lstCustomProperties[0].strValue);
  EXPECT_TRUE(s.m_bTemplate);
  EXPECT_TRUE(s.m_bExpanded);

  // Document comments.
  EXPECT_EQ("DOC", doc.GetUID());
  EXPECT_TRUE(doc.IsReadOnly());
  EXPECT_EQ(2, doc.m_nLastNoteIdx);
  EXPECT_EQ(4102444800LL, doc.m_nPropModifiedTime);
  ASSERT_EQ(1, doc.GetBookmarkList().GetCount());
  EXPECT_EQ("My mark", doc.GetBookmarkList().GetBookTitle(0));
  EXPECT_EQ("1/2", doc.GetBookmarkList().GetBookPath(0));
  ASSERT_EQ(1u, doc.m_lstCustomProperties.size());
  EXPECT_EQ("a &lt; b", doc.m_lstCustomProperties[0].strValue);  // decoded once
  EXPECT_EQ(2, doc.m_mapCustomPropNameCount["np"]);
  EXPECT_EQ(1u, doc.m_mapDeletedNotes.count("GONE"));
  EXPECT_EQ(1u, doc.m_mapDeletedAttachments.count("ATT"));
}

TEST(HtmlReaderStructure, MetaTitleAndAuthor) {
  NoteDocument doc;
  FormatIO_HTML fmt;
  ASSERT_EQ(0, LoadString(doc,
                          Native("", "<meta name=\"author\" content=\"A &quot;Q&quot;\">\n"
                                     "<TITLE>Doc &lt;1&gt;</TITLE>\n"),
                          &fmt));
  EXPECT_EQ("Doc <1>", doc.GetTitle());
  EXPECT_EQ("A \"Q\"", doc.GetAuthor());
  EXPECT_EQ("Quillery Pro", fmt.GetGenerator());
  EXPECT_EQ("4.5.5", fmt.GetGeneratorVersion());
  EXPECT_EQ("4.5.1", fmt.GetFormatVersion());
  EXPECT_FALSE(fmt.m_bForeignHtml);

  // The value is searched after the name; without a blank nothing is set.
  NoteDocument doc2;
  FormatIO_HTML fmt2;
  ASSERT_EQ(0, LoadString(doc2,
                          "<HTML><HEAD><meta content=\"Quillery 1\" name=\"generator\">"
                          "<meta name=\"generator\" content=\"Quillery\"></HEAD><BODY></BODY></HTML>",
                          &fmt2));
  EXPECT_EQ("", fmt2.GetGenerator());
  EXPECT_TRUE(fmt2.m_bForeignHtml);
  // A document without TITLE keeps its title.
  EXPECT_EQ("", doc2.GetTitle());
}

TEST(HtmlReaderStructure, DuplicateIdsGetNewIdsAndFollowLinks) {
  quillery::LogCapture log;
  NoteDocument doc;
  const std::string body =
      "<DL>\n<DT><A name=\"AAAAAAAAAAAAAAAAAAAAAA\"></A>first</DT>\n<DD>\n<A name=\"anc\"></A>x\n</DD>\n"
      "<DT><A name=\"AAAAAAAAAAAAAAAAAAAAAA\"></A>second</DT>\n<DD>\ny\n</DD>\n"
      "<DT><A name=\"L\"></A><A href=\"#AAAAAAAAAAAAAAAAAAAAAA\">linker</A></DT>\n"
      "<!--property:clone_source=AAAAAAAAAAAAAAAAAAAAAA-->\n"
      "<DD>\n<A href=\"#AAAAAAAAAAAAAAAAAAAAAA\">to</A>\n</DD>\n</DL>\n";
  ASSERT_EQ(0, LoadString(doc, Native(body)));
  ASSERT_EQ(3, doc.GetNodeCount());
  const std::string newID = doc.GetNodeByIdx(1).m_strID;
  EXPECT_NE("AAAAAAAAAAAAAAAAAAAAAA", newID);
  EXPECT_EQ(22u, newID.size());
  EXPECT_EQ("AAAAAAAAAAAAAAAAAAAAAA", doc.GetNodeByIdx(0).m_strID);
  EXPECT_TRUE(log.Has("Two notes with same ID (AAAAAAAAAAAAAAAAAAAAAA): [first][second]. New one changed to: (" +
                      newID + ").\n"));
  NoteNode& linker = doc.GetNodeByIdx(2);
  EXPECT_EQ(newID, linker.m_objLink.strTargetID);
  ASSERT_EQ(1, linker.m_objText.m_lstLinks.GetSize());
  EXPECT_EQ(newID, linker.m_objText.m_lstLinks[0].strTargetID);
  EXPECT_EQ(newID, linker.m_strCloneOf);
  // The first note keeps its anchor.
  EXPECT_EQ("AAAAAAAAAAAAAAAAAAAAAA", doc.m_mapAnchors["anc"]);
}

TEST(HtmlReaderStructure, MergeUnderParentKeepsHostValues) {
  FileFormatFactory::Get().Register(FORMAT_QYD, []() -> FormatIO_Base* { return new FormatIO_HTML; });
  TempDir tmp;
  WriteFile(tmp / "host.qyd", Native("<DL>\n<DT><A name=\"X\"></A>host</DT>\n<DD>\n<A href=\"#X\">h</A>\n</DD>\n"
                                     "<DT><A name=\"Y\"></A>under</DT>\n</DL>\n",
                                     "<TITLE>Host</TITLE>\n"));
  NoteDocument doc;
  ASSERT_EQ(0, doc.Load((tmp / "host.qyd").c_str()));
  const std::string uid = doc.GetUID();
  // The incoming file repeats ID X, carries its own document values, and
  // closes more lists than it opens.
  WriteFile(tmp / "in.qyd", Native("<!--property:UID=OTHER-->\n<!--property:read_only-->\n<!--LastNote:0-->\n"
                                   "<DL>\n<DT><A name=\"X\"></A>incoming</DT>\n<DD>\n<A href=\"#X\">i</A>\n</DD>\n"
                                   "</DL>\n</DL>\n</DL>\n<DL>\n<DT><A name=\"Z\"></A>z</DT>\n</DL>\n",
                                   "<TITLE>Other</TITLE>\n"));
  ASSERT_EQ(0, doc.Load((tmp / "in.qyd").c_str(), nullptr, 0, true, true, 1));
  ASSERT_EQ(4, doc.GetNodeCount());
  NoteNode& incoming = doc.GetNodeByIdx(2);
  EXPECT_NE("X", incoming.m_strID);
  EXPECT_EQ("Y", incoming.m_strParentID);
  // Never above the load's parent (a DL after </DL> descends into the last
  // note read).
  EXPECT_EQ(incoming.m_strID, doc.GetNodeByIdx(3).m_strParentID);
  EXPECT_EQ(incoming.m_strID, incoming.m_objText.m_lstLinks[0].strTargetID);
  EXPECT_EQ("X", doc.GetNodeByIdx(0).m_objText.m_lstLinks[0].strTargetID);
  EXPECT_EQ("Host", doc.GetTitle());
  EXPECT_EQ(uid, doc.GetUID());
  EXPECT_FALSE(doc.IsReadOnly());
  EXPECT_EQ(-1, doc.m_nLastNoteIdx);
}

TEST(HtmlReaderStructure, PastingIntoANoteAppendsAtItsEnd) {
  NoteDocument doc;
  ASSERT_EQ(0, LoadString(doc, OneNote("abc", "T") ));
  doc.AddNotePicture(doc.GetNodeByIdx(0), 1, "p", std::string("x"), true, -1, -1);
  doc.SetTitle("Host");
  FormatIO_HTML paste;
  paste.m_bNoNewNote = true;
  paste.m_nNodeIdx = 0;
  ASSERT_EQ(0, LoadString(doc, Native("<!--property:read_only--><DL><DT>t</DT><DD><b>bold</b> x</DD></DL>",
                                      "<TITLE>Other</TITLE>"),
                          &paste));
  NoteNode& n = doc.GetNodeByIdx(0);
  EXPECT_EQ(1, doc.GetNodeCount());
  EXPECT_EQ("abctbold x", n.GetText());
  EXPECT_EQ("T", n.GetTitle());
  EXPECT_EQ("Host", doc.GetTitle());
  EXPECT_FALSE(n.m_bReadOnly);
  // Offsets count the picture the note already held.
  ASSERT_EQ(2, n.m_objText.m_lstFmt.GetSize());
  EXPECT_EQ(5, TagAt(n, 0).nOffset);
  EXPECT_EQ(9, TagAt(n, 1).nOffset);
}

TEST(HtmlReaderStructure, InputsThatAreNoDocumentGive5) {
  TempDir tmp;
  const std::string cases[] = {
      std::string(),                                           // empty file
      std::string("QUILLERYzlib1\0\0\0\0\x78\x5e\x01\x02", 18),  // a renamed container
      "just some text < with > signs",
      "<HTML><HEAD><TITLE>x</TITLE></HEAD></HTML>",
  };
  for (const std::string& c : cases) {
    NoteDocument doc;
    EXPECT_EQ(5, LoadFile(doc, tmp, "x.qyd", c)) << c;
    EXPECT_EQ(0, doc.GetNodeCount());
    NoteDocument doc2;
    EXPECT_EQ(5, LoadString(doc2, c));
  }
  // As plain HTML the same inputs load.
  NoteDocument doc;
  FormatIO_HTML html;
  html.m_bContentsOnly = true;
  EXPECT_EQ(0, LoadFile(doc, tmp, "x.html", "just text", &html));
}

TEST(HtmlReaderStructure, ForeignHtmlIsOneNote) {
  TempDir tmp;
  NoteDocument doc;
  FormatIO_HTML fmt;
  fmt.m_bContentsOnly = true;
  ASSERT_EQ(0, LoadFile(doc, tmp, "x.html",
                        "<html><head><title>T</title></head><body><p>one</p><p>two</p></body>\n</html>", &fmt));
  ASSERT_EQ(1, doc.GetNodeCount());
  EXPECT_EQ("x", doc.GetNodeByIdx(0).GetTitle());
  EXPECT_EQ("one\n\ntwo\n\n", doc.GetNodeByIdx(0).GetText());
  EXPECT_EQ("T", doc.GetTitle());

  // Imported under a note, the note goes under it; text after TITLE without
  // BODY is kept.
  FormatIO_HTML under;
  under.m_bContentsOnly = true;
  WriteFile(tmp / "y.htm", "<html><head><title>U</title></head><p>kept</p></html>");
  ASSERT_EQ(0, under.Load((tmp / "y.htm").c_str(), doc, 0));
  ASSERT_EQ(2, doc.GetNodeCount());
  EXPECT_EQ(doc.GetNodeByIdx(0).m_strID, doc.GetNodeByIdx(1).m_strParentID);
  EXPECT_EQ("kept\n\n", doc.GetNodeByIdx(1).GetText());
}

TEST(HtmlReaderStructure, HostileNumbersAndNesting) {
  NoteDocument doc;
  ASSERT_EQ(0, LoadString(doc, Native("<!--property:note_count=-5-->\n<!--property:note_count=2000000000-->\n"
                                      "<!--LastNote:99999999-->\n<DL>\n<DT>a</DT>\n</DL>\n")));
  EXPECT_EQ(-1, doc.m_nLastNoteIdx);

  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "<DL>";
  NoteDocument doc2;
  EXPECT_EQ(0, LoadString(doc2, Native(deep + "<DT>x")));
  EXPECT_EQ(1, doc2.GetNodeCount());
  EXPECT_EQ("", doc2.GetNodeByIdx(0).m_strParentID);

  std::string nested;
  for (int i = 0; i < 2000; ++i) nested += "<DL><DT>n<DD>";
  NoteDocument doc3;
  EXPECT_EQ(0, LoadString(doc3, Native(nested)));
  EXPECT_EQ(2000, doc3.GetNodeCount());
  EXPECT_EQ(doc3.GetNodeByIdx(1998).m_strID, doc3.GetNodeByIdx(1999).m_strParentID);

  // An unclosed quote swallows the rest of the file, the end of the body with
  // it: the document is refused rather than loaded without its end.
  NoteDocument doc4;
  EXPECT_EQ(5, LoadString(doc4, Native("<DL><DT>t<DD>text<A href=\"")));
}
