// The HTML export's page: envelope, options, table of contents, branch
// pages, link warnings, host hooks, reading the page back, and native saves
// that stay untouched by an export.

#include <gtest/gtest.h>

#include <random>

#include "common/NullDynamicFormat.h"
#include "model/FileFormatFactory.h"
#include "formats/export/HtmlExportTestUtil.h"
#include "model/NodeInfoFlags.h"
#include "base/FileUtil.h"
#include "richtext/AnchorInfo.h"

using namespace qytest;

namespace {

class HtmlExport : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeExportDoc(doc);
    doc.SetGuiController(&host);
    host.allowOverwrite = true;  // a test that exports again replaces its earlier export
    page = dir / "out.html";
  }
  std::string Run(int walkType = WALK_ALL, int start = -1) {
    rc = Export(doc, page, walkType, start);
    return ReadFile(page);
  }
  TempDir dir;
  NoteDocument doc;
  ExportHost host;
  std::string page;
  int rc = -1;
};

// Every opened list and item is closed, in order.
void ExpectBalanced(const std::string& html, const std::string& open, const std::string& close) {
  int depth = 0;
  size_t p = 0;
  while (true) {
    size_t o = html.find(open, p), c = html.find(close, p);
    if (o == std::string::npos && c == std::string::npos) break;
    if (o < c) {
      ++depth;
      p = o + open.size();
    } else {
      --depth;
      ASSERT_GE(depth, 0) << "closed before opened at " << c;
      p = c + close.size();
    }
  }
  EXPECT_EQ(0, depth) << open;
}

}  // namespace

TEST_F(HtmlExport, PlainPageOfTheWholeDocument) {
  std::string html = Run();
  ASSERT_EQ(0, rc);
  EXPECT_EQ(0u, html.find("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\"\n"
                          "\"http://www.w3.org/TR/html4/loose.dtd\">\n<HTML>\n<HEAD>\n"));
  EXPECT_NE(std::string::npos, html.find("<TITLE>Doc Title</TITLE>\n<script type=\"text/JavaScript\">\n"));
  EXPECT_NE(std::string::npos, html.find("</script>\n</HEAD>\n<BODY>\n<DL>\n<DT style=\"font-weight: bold;\">"
                                         "<A name=\"A/x\"></A>Alpha</DT>\n<DD>\n"));
  // No native comments; separators after bodies; tabs as four blanks.
  EXPECT_EQ(std::string::npos, html.find("<!--property:"));
  EXPECT_NE(std::string::npos, html.find("beta&nbsp;&nbsp;&nbsp;&nbsp;text<BR>\n<BR>\n\n</DD>\n"));
  EXPECT_NE(std::string::npos, html.find("<A href=\"#B\">beta</A>"));
  EXPECT_EQ(html.size() - 16, html.rfind("</BODY>\n</HTML>\n"));
  ExpectBalanced(html, "<DL", "</DL>");
  ExpectBalanced(html, "<DD", "</DD>");
  // Pictures and attachments all embedded: the side folder beside the page
  // holds only its two empty folders.
  EXPECT_TRUE(IsDir(dir / "out_files/attach") && IsDir(dir / "out_files/img"));
}

TEST_F(HtmlExport, HeadingsNumbersAndStyleSheet) {
  WriteText(dir / "style.css", "body { color: red; }\n");
  doc.strExportCss = dir / "style.css";
  doc.bExportHeadings = true;
  doc.bExportNumbered = true;
  std::string html = Run();
  ASSERT_EQ(0, rc);
  EXPECT_NE(std::string::npos, html.find("<link rel=\"stylesheet\" type=\"text/css\" href=\"style.css\">\n"));
  EXPECT_NE(std::string::npos, html.find("<BODY class=\"qy_export_h\">\n\n<div class=\"qy_title\"><h1>Doc Title"));
  EXPECT_NE(std::string::npos, html.find("<div class=\"qy_content\">\n<h1 class=\"qy_level01\"><A name=\"A/x\"></A>1. Alpha</h1>\n"));
  EXPECT_NE(std::string::npos, html.find("<h2 class=\"qy_level02\"><A name=\"A1\"></A>1.1. First child</h2>\n"));
  EXPECT_EQ(std::string::npos, html.find("<DL"));
  EXPECT_EQ(std::string::npos, html.find("<BR>\n<BR>\n"));

  doc.nExportCssEmbed = 1;
  html = Run();
  ASSERT_EQ(0, rc);
  EXPECT_NE(std::string::npos, html.find("<style type=\"text/css\">\n<!--\nbody { color: red; }\n-->\n</style>\n"));

  // Web addresses are linked as they stand; a missing sheet fails the save
  // and leaves no half page.
  doc.nExportCssEmbed = -1;
  for (const char* url : {"http://example.org/s.css", "https://example.org/s.css"}) {
    doc.strExportCss = url;
    html = Run();
    EXPECT_NE(std::string::npos, html.find(std::string("href=\"") + url + "\">"));
  }
  doc.strExportCss = dir / "missing.css";
  EXPECT_EQ(DOC_SAVE_CSS_FAILED, Export(doc, page));
  EXPECT_FALSE(Exists(page));
  doc.nExportCssEmbed = 1;
  EXPECT_EQ(DOC_SAVE_CSS_FAILED, Export(doc, page));
}

TEST_F(HtmlExport, TableOfContentsIsWellFormedAtEveryDepth) {
  AddNote(doc, "A1", "A1a", "Deep", "d");
  for (int depth = 1; depth <= 3; ++depth) {
    doc.nExportTocDepth = depth;
    doc.bExportNumbered = depth == 2;
    std::string html = Run();
    ASSERT_EQ(0, rc);
    const size_t toc = html.find("<hr>\n<h1><A name=\"TOC\"></a>Contents</h1>\n\n");
    ASSERT_NE(std::string::npos, toc) << depth;
    const std::string list = html.substr(toc, html.find("<hr>\n", toc + 5) - toc);
    ExpectBalanced(list, "<UL", "</UL>");
    ExpectBalanced(list, "<LI>", "</LI>");
    EXPECT_EQ(depth >= 3, list.find("#A1a") != std::string::npos);
    EXPECT_EQ(depth >= 2, list.find("#A2") != std::string::npos);
    EXPECT_NE(std::string::npos, list.find("#B\">Beta</A>"));
  }
  doc.bExportNumbered = true;
  EXPECT_NE(std::string::npos, Run().find("<LI>1.2. <A href=\"#A2\">"));
  EXPECT_EQ(std::string::npos, ReadFile(page).find("</DT>\n</DT>"));
}

TEST_F(HtmlExport, BranchPageWithIntroductionAndWarningLinks) {
  WriteText(dir / "s.css", "x");
  doc.strExportCss = dir / "s.css";
  doc.nExportTocDepth = 2;
  std::string html = Run(WALK_BRANCH, 0);
  ASSERT_EQ(0, rc);
  EXPECT_NE(std::string::npos, html.find("<TITLE>Alpha</TITLE>"));
  EXPECT_NE(std::string::npos, html.find("<div class=\"qy_title\"><h1><A name=\"A/x\"></A>Alpha</h1></div>\n"
                                         "<div class=\"qy_intro\">alpha text</div>\n"));
  EXPECT_NE(std::string::npos, html.find("<div class=\"qy_toc\">"));
  EXPECT_NE(std::string::npos, html.find("<DL class=\"qy_level01\">\n<DT>"));
  // B is outside the branch: its link warns.
  EXPECT_NE(std::string::npos, html.find("<A href=\"javascript:;\" onclick=\"LinkWarning()\">beta</A>"));
  EXPECT_NE(std::string::npos, html.find("function LinkWarning()"));
  ExpectBalanced(html, "<DL", "</DL>");

  // A start note without children: no table of contents.
  html = Run(WALK_BRANCH, 3);
  ASSERT_EQ(0, rc);
  EXPECT_EQ(std::string::npos, html.find("qy_toc"));
  EXPECT_NE(std::string::npos, html.find("<div class=\"qy_intro\">beta"));

  // A single note: its title, its text, nothing else.
  html = Run(WALK_NODE, 1);
  ASSERT_EQ(0, rc);
  EXPECT_NE(std::string::npos, html.find("<TITLE>First child</TITLE>"));
  EXPECT_NE(std::string::npos, html.find("<h1><A name=\"A1\"></A>First child</h1></div>\n<div class=\"qy_intro\">see "));
  EXPECT_EQ(std::string::npos, html.find("qy_toc"));
  EXPECT_EQ(std::string::npos, html.find("Alpha"));
  EXPECT_EQ(std::string::npos, html.find("<DT"));

  // Warnings off: the link stays, dead or not.
  doc.bExportLinkWarning = false;
  html = Run(WALK_BRANCH, 0);
  EXPECT_NE(std::string::npos, html.find("<A href=\"#B\">beta</A>"));
  EXPECT_EQ(std::string::npos, html.find("LinkWarning"));
}

TEST_F(HtmlExport, SubstitutedTargetsAreFollowed) {
  LinkInfo& link = doc.GetNodeByIdx(1).m_objText.m_lstLinks[0];
  link.strTargetID = "OLD";
  doc.m_mapIDSubstitution["OLD"] = "A2";
  std::string html = Run();
  EXPECT_NE(std::string::npos, html.find("<A href=\"#A2\">beta</A>"));
  link.strTargetID = "GONE";
  html = Run();
  EXPECT_NE(std::string::npos, html.find("onclick=\"LinkWarning()\">beta</A>"));
}

// Someone else's notebook must not run script when its export is clicked
// through: such links keep their text and lose their reference; a native
// save keeps them as they were.
TEST_F(HtmlExport, ScriptLinksLoseTheirReference) {
  LinkInfo& link = doc.GetNodeByIdx(1).m_objText.m_lstLinks[0];
  link.strTargetID.clear();
  for (const char* url : {" \tJaVa\nScript:alert(1)", "vbscript:msgbox(1)", "DATA: Text/HTML,<script>x</script>"}) {
    link.strLink = url;
    EXPECT_NE(std::string::npos, Run().find("see <A>beta</A>")) << url;
    EXPECT_NE(std::string::npos, SaveString(doc).find("see <A href=\"" + std::string(url) + "\">beta</A>")) << url;
  }
  link.strLink = "data:image/png;base64,AAAA";
  EXPECT_NE(std::string::npos, Run().find("<A href=\"data:image/png;base64,AAAA\">beta</A>"));
}

// A relative file link is read from the document's folder; the page lies
// elsewhere, so the link is rebased to the page's folder.
TEST_F(HtmlExport, RelativeFileLinksAreRebasedToThePage) {
  doc.SetPath(dir / "docs/notes.qyd");
  LinkInfo& link = doc.GetNodeByIdx(1).m_objText.m_lstLinks[0];
  link.strTargetID.clear();
  link.strLink = "file://images/a.png";
  page = dir / "out/page.html";
  ASSERT_TRUE(EnsureDirExists(dir / "out"));
  EXPECT_NE(std::string::npos, Run().find("<A href=\"../docs/images/a.png\">beta</A>"));
}

// A clone shows its original's text; the anchors on the page stay unique
// and belong to the original, where links to them lead.
TEST_F(HtmlExport, ClonesDoNotRepeatTheirOriginalsAnchors) {
  doc.GetNodeByIdx(0).m_objText.m_lstAnchors.Append(AnchorInfo("here", 6));
  doc.m_mapAnchors["here"] = "A/x";
  int clone = doc.NodeInsert("", 0);  // walked before its original
  doc.NodeInitID(clone, "C");
  doc.GetNodeByIdx(clone).m_strCloneOf = "A/x";
  LinkInfo& link = doc.GetNodeByIdx(doc.GetIdxFromID("A1")).m_objText.m_lstLinks[0];
  link.strTargetID = "here";
  // A tag at the anchor's offset opens before it, as the writer places
  // every pass's markup at one offset.
  doc.GetNodeByIdx(0).m_objText.m_lstFmt.Append(FmtInfo(FMT_BOLD_BEGIN, 6));
  doc.GetNodeByIdx(0).m_objText.m_lstFmt.Append(FmtInfo(FMT_BOLD_END, 7));
  const std::string html = Run();
  EXPECT_EQ(1, CountOf(html, "<A name=\"here\">"));
  EXPECT_NE(std::string::npos, html.find("<b><A name=\"here\">")) << html;
  EXPECT_LT(html.find("Alpha</DT>"), html.find("<A name=\"here\">"));
  EXPECT_NE(std::string::npos, html.find("<A href=\"#here\">beta</A>"));  // not a warning link
}

// A link to a note of another document names that document and the note,
// in a frames export as on a single page.
TEST_F(HtmlExport, LinksToAnotherDocumentKeepItsUrl) {
  LinkInfo& link = doc.GetNodeByIdx(1).m_objText.m_lstLinks[0];
  link.strLink = "file:///d/archive.qyd";
  link.strTargetID = "AAA8H/bw";
  EXPECT_NE(std::string::npos, Run().find("<A href=\"file:///d/archive.qyd#AAA8H/bw\">beta</A>"));
  host.templateDir = dir / "none";
  ASSERT_TRUE(EnsureDirExists(host.templateDir));
  doc.bExportFrames = true;
  ASSERT_EQ(0, Export(doc, page));
  EXPECT_NE(std::string::npos, ReadFile(dir / "out_files/notes/A1.html").find("href=\"file:///d/archive.qyd#AAA8H/bw\""));
}

TEST_F(HtmlExport, ContentsOnlyTagsAndTabs) {
  doc.bExportContentsOnly = true;
  doc.nExportTabSize = 0;
  std::string html = Run();
  ASSERT_EQ(0, rc);
  EXPECT_EQ(0u, html.find("<script"));
  EXPECT_EQ(std::string::npos, html.find("<HTML>"));
  EXPECT_EQ(std::string::npos, html.find("<BODY"));
  EXPECT_EQ(std::string::npos, html.find("<TITLE>"));
  EXPECT_EQ(4, doc.nExportTabSize);

  doc.bExportContentsOnly = false;
  WriteText(dir / "s.css", "x");
  doc.strExportCss = dir / "s.css";
  g_bExportTagsAsCSSClasses = true;
  html = Run();
  g_bExportTagsAsCSSClasses = false;
  EXPECT_NE(std::string::npos, html.find("<DT class=\"red_tag blue\">\n"));
  EXPECT_NE(std::string::npos, html.find("<DD class=\"red_tag blue\">\n"));
}

TEST_F(HtmlExport, HostHooksSeeAndChangeTheText) {
  host.appendOnEvent = "<!--host-->";
  std::string html = Run(WALK_BRANCH, 0);
  ASSERT_EQ(0, rc);
  EXPECT_EQ(1, host.Count(20));
  EXPECT_EQ(3, host.Count(15));
  EXPECT_EQ(3, host.Count(32));
  for (const ExportEvent& e : host.events) {
    EXPECT_NE("<null>", e.text);
    if (e.event == 15) {
      EXPECT_EQ("A/x", e.rootID);
    }
    if (e.event == 20) {
      EXPECT_EQ(e.text.size() - 8, e.text.rfind("</HEAD>\n"));
    }
  }
  std::vector<std::string> done;
  for (const ExportEvent& e : host.events)
    if (e.event == 15) done.push_back(e.noteID);
  EXPECT_EQ((std::vector<std::string>{"A/x", "A1", "A2"}), done);
  EXPECT_NE(std::string::npos, html.find("</HEAD>\n<!--host--><BODY>"));
  EXPECT_NE(std::string::npos, html.find("Alpha&lt;!--host--&gt;</h1>"));  // a title is escaped after its hook
  EXPECT_NE(std::string::npos, html.find("</div>\n<!--host-->"));
  EXPECT_EQ(nullptr, g_pStrHeaderPreHtmlExport);
  EXPECT_EQ(nullptr, g_pStrNotePreHtmlExport);
  EXPECT_EQ(nullptr, g_pStrNoteTitlePreHtmlExport);
  EXPECT_TRUE(g_strNoteIDPreHtmlExport.empty());
  EXPECT_TRUE(g_strRootIDPreHtmlExport.empty());
}

TEST_F(HtmlExport, PageReadsBackAsForeignHtml) {
  WriteText(dir / "s.css", "x");
  doc.strExportCss = dir / "s.css";
  doc.nExportTocDepth = 3;
  doc.bExportNumbered = true;
  for (bool headings : {false, true}) {
    doc.bExportHeadings = headings;
    ASSERT_EQ(0, Export(doc, page));
    FileFormatFactory::Get().Register(FORMAT_HTML, []() -> FormatIO_Base* { return new FormatIO_HTMLExport; });
    NoteDocument back;
    ASSERT_EQ(0, back.Load(page.c_str()));
    ASSERT_EQ(1, back.GetNodeCount());
    EXPECT_NE(std::string::npos, back.GetNodeByIdx(0).GetText().find("alpha text"));
    // The native reader takes it too, without harm.
    FormatIO_HTML reader;
    NoteDocument native;
    EXPECT_EQ(0, reader.Load(page.c_str(), native, -1));
    FileFormatFactory::Get().Register(FORMAT_HTML, nullptr);
  }
}

TEST_F(HtmlExport, NativeSaveAfterAnExportIsUnchanged) {
  const std::string before = dir / "before.qyd", after = dir / "after.qyd";
  auto save = [this](const std::string& path) {
    RecursiveTreeWalker walker(doc);
    FormatIO_HTML fmt;
    fmt.m_bReportProgress = false;
    return fmt.Save(path.c_str(), walker);
  };
  ASSERT_EQ(0, save(before));
  WriteText(dir / "s.css", "x");
  TempDir tmpl;  // an empty template folder will do for this run
  host.templateDir = tmpl.Path();
  doc.strExportCss = dir / "s.css";
  doc.nExportTocDepth = 2;
  doc.bExportHeadings = doc.bExportNumbered = doc.bExportPicturesToFiles = true;
  g_bExportTagsAsCSSClasses = true;
  EXPECT_EQ(DOC_SAVE_NOT_OPEN, Export(doc, dir / "sub/page.html"));  // no folder
  EXPECT_EQ(0, Export(doc, page));
  doc.bExportFrames = true;
  EXPECT_EQ(0, Export(doc, dir / "frames.html"));
  ASSERT_EQ(0, save(after));
  g_bExportTagsAsCSSClasses = false;
  EXPECT_EQ(ReadFile(before), ReadFile(after));
}

namespace {

// A database-backed document of two notes whose attachments (and tags)
// exist only in the "file" until they are fetched.
class AttachmentsInFile : public quillery_test::NullDynamicFormat {
 public:
  int Load(const char*, NoteDocument& doc, int) override {
    SetDoc(doc);
    for (const char* id : {"A", "B"}) AddNote(doc, "", id, id).m_nPartsInMemory = NIF_ALL & ~(NIF_CONTENT | NIF_TAGS);
    return 0;
  }
  void FetchNodeInfo(NoteNode& note, unsigned int mask) override {
    masks.push_back(mask);
    note.m_nPartsInMemory |= mask;
    if (mask & NIF_TAGS) note.SetKeywords("t");
    if ((mask & NIF_ATTACHMENTS) && note.m_lstAttachments.empty()) {
      AttInfo att;
      att.strName = "f" + note.m_strID;
      att.strData = "data of " + note.m_strID;
      att.nDataSize = static_cast<int>(att.strData.size());
      note.m_lstAttachments.push_back(att);
    }
  }
  static std::vector<unsigned int> masks;
};
std::vector<unsigned int> AttachmentsInFile::masks;

}  // namespace

TEST(HtmlExportDynamic, AttachmentsAreFetchedForTheExport) {
  TempDir tmp;
  const std::string src = tmp / "doc.qydb";
  WriteText(src, "x");
  FileFormatFactory::Get().Register(FORMAT_QYDB, []() -> FormatIO_Base* { return new AttachmentsInFile; });
  NoteDocument doc;
  ASSERT_EQ(0, doc.Load(src.c_str()));
  FileFormatFactory::Get().Register(FORMAT_QYDB, nullptr);
  doc.bExportPicturesToFiles = true;
  AttachmentsInFile::masks.clear();
  ASSERT_EQ(0, Export(doc, tmp / "out.html"));
  ASSERT_EQ(2u, AttachmentsInFile::masks.size());
  for (unsigned int m : AttachmentsInFile::masks) EXPECT_EQ(0x2099u | NIF_ATTACHMENTS, m);
  EXPECT_EQ("data of B", ReadFile(tmp / "out_files/attach/fB"));

  // Tags as class names need the tags; no attachments, no attachment bytes.
  doc.bExportNoAttachments = true;
  g_bExportTagsAsCSSClasses = true;
  AttachmentsInFile::masks.clear();
  ASSERT_EQ(0, Export(doc, tmp / "out.html"));
  g_bExportTagsAsCSSClasses = false;
  for (unsigned int m : AttachmentsInFile::masks) EXPECT_EQ(0x2099u | NIF_TAGS, m);
  EXPECT_EQ(std::string::npos, ReadFile(tmp / "out.html").find("qy_attachments"));
}

TEST(HtmlExportString, AStringRenderingWritesNoFiles) {
  TempDir tmp;
  NoteDocument doc;
  MakeExportDoc(doc);
  ASSERT_TRUE(doc.AddNotePicture(doc.GetNodeByIdx(0), 0, "p.png", "PIC", true, -1, -1));
  doc.bExportPicturesToFiles = true;
  ASSERT_EQ(0, Export(doc, tmp / "first.html"));  // leaves the side folder values set
  doc.bExportFrames = true;
  RecursiveTreeWalker walker(doc);
  FormatIO_HTMLExport fmt;
  fmt.SetExport(true, true);
  std::string out;
  ASSERT_EQ(0, fmt.SaveToString(out, doc, walker));
  EXPECT_NE(std::string::npos, out.find("src=\"data:image/png;base64,"));
  EXPECT_NE(std::string::npos, out.find("<BODY>"));
  EXPECT_FALSE(g_bExportFrames);
  EXPECT_FALSE(Exists(tmp / "first_files/img/Image_Ax_0001.png"));
}

TEST(HtmlExportRandom, EveryWalkAndOptionGivesABalancedPageThatReadsBack) {
  std::mt19937 rng(11);
  auto pick = [&rng](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  const char* bits[] = {"a", " ", "'", "\\", "\"", "<b>", "&", "\n", "\xC3\xA9", "../", "\t", ";"};
  auto text = [&](int len) {
    std::string s;
    for (int i = 0; i < len; ++i) s += bits[pick(12)];
    return s;
  };
  FileFormatFactory::Get().Register(FORMAT_HTML, []() -> FormatIO_Base* { return new FormatIO_HTMLExport; });
  for (int round = 0; round < 150; ++round) {
    TempDir dir;
    TempDir tmpl;
    ExportHost host;
    host.templateDir = tmpl.Path();
    host.allowOverwrite = pick(2) == 0;
    NoteDocument doc;
    doc.SetGuiController(&host);
    const int n = 1 + pick(30);
    for (int i = 0; i < n; ++i) {
      const std::string parent = i == 0 || pick(3) == 0 ? "" : "n" + std::to_string(pick(i));
      NoteNode& note = AddNote(doc, parent, "n" + std::to_string(i) + (pick(4) == 0 ? "/s" : ""), text(pick(6)),
                               text(pick(20)));
      note.SetKeywords(text(pick(4)));
      note.m_bMarked = pick(2) == 0;
      if (pick(3) == 0) {
        LinkInfo link;
        link.strTargetID = "n" + std::to_string(pick(n));
        link.nStartOffset = 0;
        link.nTextLength = 1;
        note.m_objText.m_lstLinks.Append(link);
      }
      if (pick(4) == 0) doc.AddNotePicture(note, 0, text(3), "P", true, -1, -1);
      if (pick(4) == 0) {
        AttInfo att;
        att.strName = text(3);
        att.strData = "D";
        att.nDataSize = 1;
        note.m_lstAttachments.push_back(att);
      }
    }
    WriteText(dir / "s.css", "p{}");
    doc.strExportCss = pick(2) ? dir / "s.css" : "";
    doc.nExportCssEmbed = pick(2);
    doc.bExportHeadings = pick(2);
    doc.bExportNumbered = pick(2);
    doc.bExportFrames = pick(4) == 0;
    doc.bExportPicturesToFiles = pick(2);
    doc.nExportTocDepth = pick(4);
    doc.bExportLinkWarning = pick(2);
    g_bExportTagsAsCSSClasses = pick(2);
    const int types[] = {WALK_ALL, WALK_BRANCH, WALK_NODE, WALK_MARKED, WALK_CHILDREN, WALK_DESCENDANTS};
    const int type = types[pick(6)];
    const std::string page = dir / "p.html";
    ASSERT_EQ(0, Export(doc, page, type, pick(n))) << round;
    g_bExportTagsAsCSSClasses = false;
    const std::string html = ReadFile(page);
    if (!doc.bExportFrames) {
      ExpectBalanced(html, "<DL", "</DL>");
      ExpectBalanced(html, "<UL", "</UL>");
      ExpectBalanced(html, "<LI>", "</LI>");
    }
    NoteDocument back;
    EXPECT_EQ(0, back.Load(page.c_str())) << round;
  }
  FileFormatFactory::Get().Register(FORMAT_HTML, nullptr);
}
