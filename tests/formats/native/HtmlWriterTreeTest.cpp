// The note tree: DL/DT/DD nesting for full and partial walks, the title
// element, the note comments in their order, icons and clones.

#include <gtest/gtest.h>

#include "HtmlWriterTestUtil.h"
#include "common/CloneAnswerController.h"

using namespace qytest;

namespace {

std::string Dt(const std::string& id) { return "<DT><A name=\"" + id + "\"></A>" + id + "</DT>\n"; }

// Everything after the document comments and before "</BODY>".
std::string Tree(const std::string& out) {
  size_t a = out.find("<DL>");
  size_t b = out.rfind("</BODY>");
  if (a == std::string::npos || b == std::string::npos || b < a) return out;
  return out.substr(a, b - a);
}

// R(r; C1(x), C2(; G(g))), T()
void WorkedTree(NoteDocument& doc) {
  AddNote(doc, "", "R", "R", "r");
  AddNote(doc, "R", "C1", "C1", "x");
  AddNote(doc, "R", "C2", "C2", "");
  AddNote(doc, "C2", "G", "G", "g");
  AddNote(doc, "", "T", "T", "");
}

using AnsweringController = quillery_test::CloneAnswerController;

}  // namespace

TEST(HtmlWriterTree, WorkedTreeAllWalk) {
  NoteDocument doc;
  WorkedTree(doc);
  const std::string C = DefaultComments();
  EXPECT_EQ(Tree(SaveString(doc)),
            "<DL>\n" + Dt("R") + C + "<DD>\nr<DL>\n" + Dt("C1") + C + "<DD>\nx\n</DD>\n" + Dt("C2") + C +
                "<DD>\n<DL>\n" + Dt("G") + C + "<DD>\ng\n</DD>\n</DL>\n</DD>\n</DL>\n</DD>\n" + Dt("T") + C +
                "</DL>\n");
}

TEST(HtmlWriterTree, PartialWalks) {
  NoteDocument doc;
  WorkedTree(doc);
  const std::string C = DefaultComments();
  // Branch: only the UID comment, the root's DD and the outer list stay open.
  std::string branch = SaveString(doc, WALK_BRANCH, doc.GetIdxFromID("R"));
  EXPECT_EQ(branch.find("LastNote"), std::string::npos);
  EXPECT_EQ(branch.find("note_count"), std::string::npos);
  EXPECT_EQ(Tree(branch), "<DL>\n" + Dt("R") + C + "<DD>\nr<DL>\n" + Dt("C1") + C + "<DD>\nx\n</DD>\n" + Dt("C2") +
                              C + "<DD>\n<DL>\n" + Dt("G") + C + "<DD>\ng\n</DD>\n</DL>\n</DD>\n</DL>\n");

  // Marked R, C1 and T (C2 skipped): C1's list is closed before T, so T
  // stays at the top level.
  for (const char* id : {"R", "C1", "T"}) doc.GetNodeByIdx(doc.GetIdxFromID(id)).m_bMarked = true;
  EXPECT_EQ(Tree(SaveString(doc, WALK_MARKED)),
            "<DL>\n" + Dt("R") + C + "<DD>\nr<DL>\n" + Dt("C1") + C + "<DD>\nx\n</DD>\n</DL>\n" + Dt("T") + C);

  // List: every note at depth 0.
  RecursiveTreeWalker list(doc, std::vector<std::string>{"G", "R"});
  FormatIO_HTML fmt;
  std::string out;
  ASSERT_EQ(fmt.SaveToString(out, doc, list), 0);
  EXPECT_EQ(Tree(out), "<DL>\n" + Dt("G") + C + "<DD>\ng\n</DD>\n" + Dt("R") + C + "<DD>\nr");
}

TEST(HtmlWriterTree, TitleElement) {
  NoteDocument doc;
  NoteNode& n = AddNote(doc, "", "I\"D", "a\r\nb<c\rd");
  n.m_bUseTxtColor = n.m_bUseBkgColor = n.m_bUseFont = true;
  n.m_clrTxt = {0, 0xFF00, 0x0100, 0};
  n.m_clrBkg = {0, 0, 0, 0xFFFF};
  n.m_strCustomFont = "Serif 9";
  n.m_objLink.strLink = "http://u";
  n.m_objLink.strTargetID = "TID";
  EXPECT_NE(SaveString(doc).find(
                "<DL>\n<DT><span style=\"color:#ff0100\"><span style=\"background-color:#0000ff\">"
                "<span style=\"font:Serif 9\"><A name=\"I&quot;D\"></A><A href=\"http://u#TID\">a<BR>\nb&lt;c<BR>\nd"
                "</A></span>\n</span>\n</span>\n</DT>\n"),
            std::string::npos);
}

TEST(HtmlWriterTree, CommentsInOrder) {
  TempDir tmp;
  NoteDocument doc;
  NoteNode& n = AddNote(doc, "", "N", "t", "x");
  n.m_nIconType = ICON_FILE;
  n.m_strIconPath = tmp / "icons\\a.png";
  n.m_strKeywords = ";a;b<;";
  n.m_strSourceLanguage = "c++";
  n.m_bReadOnly = n.m_bTemplate = n.m_bFinished = n.m_bExpanded = true;
  n.m_nDateCreated = 1700000000;
  n.m_nDateModified = 5000000000LL;  // after 2038: written in full
  n.m_strHash = "aa";
  n.m_strHashHtml = "bb";
  Task& t = n.m_objTask;
  t.SetValid(true);
  t.dateCreated = 10;
  t.dateCompleted = 12;
  t.dateExpire = 13;
  t.dateLastAck = 14;
  t.nPriority = 2;
  t.nStatus = 3;
  t.nRepeat = 4;
  t.strSoundPath = "/s-->x";
  t.strScriptPath = "/p";
  n.m_lstCustomProperties.push_back(CustomProperty("k<", "v&\">"));
  n.m_lstCustomProperties.push_back(CustomProperty("k2", "v2"));
  RecursiveTreeWalker walker(doc);
  FormatIO_HTML fmt;
  std::string path = tmp / "doc.qyd";
  ASSERT_EQ(fmt.Save(path.c_str(), walker), 0);
  std::string out = ReadFile(path);
  EXPECT_NE(out.find("</DT>\n"
                     "<!--property:icon_file=icons/a.png-->\n"
                     "<!--property:keywords=;a;b&lt;;-->\n"
                     "<!--property:syntax_highlight=c++-->\n"
                     "<!--property:read_only-->\n"
                     "<!--property:is_template-->\n"
                     "<!--property:date_created=1700000000-->\n"
                     "<!--property:date_modified=5000000000-->\n"
                     "<!--property:finished=1-->\n"
                     "<!--property:expanded-->\n"
                     "<!--property:hash=aa-->\n"
                     "<!--property:hash_html=bb-->\n"
                     "<!--task:date_created=10-->\n"
                     "<!--task:date_completed=12-->\n"
                     "<!--task:date_expire=13-->\n"
                     "<!--task:date_last_acknowledged=14-->\n"
                     "<!--task:priority=2-->\n"
                     "<!--task:status=3-->\n"
                     "<!--task:sound_file=/s--&gt;x-->\n"
                     "<!--task:script_path=/p-->\n"
                     "<!--task:repeating=4-->\n"
                     "<!--custom-property name=\"k&lt;\" value=\"v&amp;&quot;&gt;\"-->\n"
                     "<!--custom-property name=\"k2\" value=\"v2\"-->\n"
                     "<DD>\nx\n</DD>\n"),
            std::string::npos)
      << out;

  // Outside the folder of the file written the icon path stays absolute;
  // a built-in icon is written by name; an unfinished note has no comment.
  n.m_strIconPath = "/elsewhere/i.png";
  n.m_bFinished = false;
  std::string again = SaveString(doc);
  EXPECT_NE(again.find("<!--property:icon_file=/elsewhere/i.png-->"), std::string::npos);
  EXPECT_EQ(again.find("finished"), std::string::npos);
  n.m_nIconType = 3;
  n.m_strIconPath = "star";
  EXPECT_NE(SaveString(doc).find("</DT>\n<!--property:icon_internal=star-->\n"), std::string::npos);
}

TEST(HtmlWriterTree, CustomIconAndDdRules) {
  NoteDocument doc;
  NoteNode& n = AddNote(doc, "", "N", "t");
  n.m_nIconType = ICON_CUSTOM;
  PixInfo icon;
  icon.nOffset = 0;
  icon.strEncoded = "ICON";
  doc.m_lstCustomIcons.Push(icon);
  doc.m_mapNoteIcon["N"] = 0;
  // A picture-only note still gets its DD.
  NoteNode& p = AddNote(doc, "", "P", "p");
  PixInfo pix;
  pix.nOffset = 0;
  pix.strEncoded = "X";
  p.m_objText.m_lstPictures.Push(pix);
  std::string out = SaveString(doc);
  EXPECT_NE(out.find("<DT><A name=\"N\"></A><img title=\"N\" src=\"data:image/png;base64,SUNPTg==\">t</DT>\n" +
                     DefaultComments() + "<DT>"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("icon_"), std::string::npos);
  EXPECT_NE(out.find("<DD>\n<img title=\"\" src=\"data:image/png;base64,WA==\">\n</DD>\n"), std::string::npos);
}

TEST(HtmlWriterTree, Clones) {
  NoteDocument doc;
  AddNote(doc, "", "O", "orig", "body").m_strHash = "OHASH";
  AddNote(doc, "", "B", "branch");
  NoteNode& c1 = AddNote(doc, "B", "K1", "k1");
  c1.m_strCloneOf = "O";
  NoteNode& c2 = AddNote(doc, "B", "K2", "k2");
  c2.m_strCloneOf = "O";
  doc.RefreshCloneMaps();

  // Original inside the walk: a clone keeps its source and has no text.
  std::string all = SaveString(doc);
  EXPECT_NE(all.find("<!--property:clone_source=O-->\n"), std::string::npos);
  EXPECT_EQ(all.find("body", all.find("name=\"K1\"")), std::string::npos);

  // Outside, default controller: the save is cancelled and leaves no file.
  TempDir tmp;
  std::string path = tmp / "b.qyd";
  {
    RecursiveTreeWalker branch(doc, WALK_BRANCH, doc.GetIdxFromID("B"));
    FormatIO_HTML fmt;
    EXPECT_EQ(fmt.Save(path.c_str(), branch), 1);
    EXPECT_FALSE(Exists(path));
  }
  // Answer 2: every clone becomes an ordinary note with the original's text.
  AnsweringController two(2);
  doc.SetGuiController(&two);
  std::string conv = SaveString(doc, WALK_BRANCH, doc.GetIdxFromID("B"));
  EXPECT_EQ(two.asked, 1);
  EXPECT_EQ(conv.find("clone_source"), std::string::npos);
  EXPECT_NE(conv.find("<DD>\nbody\n</DD>\n"), std::string::npos);
  // A converted clone carries its original's text and so its hashes.
  EXPECT_NE(conv.find("<!--property:hash=OHASH-->", conv.find("name=\"K1\"")), std::string::npos);
  // Answer 1: the first converted, the second points at it.
  AnsweringController one(1);
  doc.SetGuiController(&one);
  doc.m_nCloneMode = 0;
  doc.m_mapCloneConversion.clear();
  std::string first = SaveString(doc, WALK_BRANCH, doc.GetIdxFromID("B"));
  EXPECT_NE(first.find("<!--property:clone_source=K1-->"), std::string::npos) << first;
  EXPECT_EQ(first.find("body"), first.rfind("body"));
  // Mode 4: clones kept, texts written.
  doc.SetGuiController(nullptr);
  doc.m_nCloneMode = 4;
  std::string four = SaveString(doc);
  size_t k1 = four.find("<!--property:clone_source=O-->\n");
  ASSERT_NE(k1, std::string::npos) << four;
  EXPECT_EQ(four.find("<DD>\nbody\n</DD>\n", k1), four.find("<DD>\n", k1)) << four;
}
