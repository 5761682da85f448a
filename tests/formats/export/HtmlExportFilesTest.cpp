// What an HTML export writes beside its page: file names made safe,
// pictures and attachments as files (never outside the side folder, never
// overwriting each other, an earlier side folder replaced whole and only
// with the host's consent),
// failures that fail the export, and the frames layout.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <iterator>
#include <set>

#include "base/FaultPoint.h"
#include "base/FileUtil.h"
#include "base/Progress.h"
#include "save/InstallSection.h"
#include "model/FileFormatFactory.h"
#include "formats/native/HtmlExportNames.h"
#include "formats/export/HtmlExportTestUtil.h"

using namespace qytest;
using namespace quillery;

TEST(HtmlExportNames, SideFolderAndSafeNames) {
  EXPECT_EQ("out_files", ExportSubName("/d/out.html"));
  EXPECT_EQ("out_files", ExportSubName("/d/out.html.part"));
  EXPECT_EQ("a.b_files", ExportSubName("/d/a.b.htm"));
  EXPECT_EQ("/d/out_files/", ExportSubDir("/d/out.html.part"));
  EXPECT_EQ("out_files/", ExportSubDir("out.html"));

  EXPECT_EQ(".._.._etc_passwd", SafeExportFileName("../../etc/passwd"));
  EXPECT_EQ("a_b_c", SafeExportFileName("a\\b\nc"));
  EXPECT_EQ("", SafeExportFileName(".."));
  EXPECT_EQ("", SafeExportFileName("."));
  EXPECT_EQ("", SafeExportFileName(""));
  EXPECT_EQ("x..y", SafeExportFileName("x..y"));
  const std::string longName = std::string(300, 'a') + "\xC3\xA9" + ".png";
  const std::string cut = SafeExportFileName(longName);
  EXPECT_LE(cut.size(), 200u);
  EXPECT_EQ(".png", cut.substr(cut.size() - 4));
  EXPECT_TRUE(g_utf8_validate(cut.c_str(), -1, nullptr));

  EXPECT_EQ("a-2Fb.html", ExportPageName("a/b"));
  EXPECT_EQ("a-2D2Fb.html", ExportPageName("a-2Fb"));  // the escape itself is escaped: names stay apart
  EXPECT_EQ("a%20b%23c", UriEscapePathSegment("a b#c"));
  EXPECT_EQ("red_tag blue", ExportTagClasses(" red tag; blue ;"));
  EXPECT_EQ("x&quot;y", ExportTagClasses("x\"y"));
  EXPECT_EQ("it\\'s a \\\\ \\n", JsStringEscape("it's a \\ \n"));
}

namespace {

class HtmlExportFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeExportDoc(doc);
    doc.SetGuiController(&host);
    doc.bExportPicturesToFiles = true;
    page = dir / "out.html";
    side = dir / "out_files/";
  }
  void AddAttachment(int idx, const std::string& name, const std::string& data) {
    AttInfo att;
    att.strName = name;
    att.strData = data;
    att.nDataSize = static_cast<int>(data.size());
    doc.GetNodeByIdx(idx).m_lstAttachments.push_back(att);
  }
  TempDir dir;
  NoteDocument doc;
  ExportHost host;
  std::string page, side;
};

}  // namespace

TEST_F(HtmlExportFiles, PicturesAndAttachmentsStayInsideTheSideFolder) {
  ASSERT_TRUE(doc.AddNotePicture(doc.GetNodeByIdx(0), 0, "p.png", "PIC-A", true, -1, -1));
  ASSERT_TRUE(doc.AddNotePicture(doc.GetNodeByIdx(3), 0, "p.png", "PIC-B", true, -1, -1));
  ASSERT_TRUE(doc.AddNotePicture(doc.GetNodeByIdx(3), 2, "", "PIC-C", false, -1, -1));
  ASSERT_TRUE(doc.AddNotePicture(doc.GetNodeByIdx(1), 0, "../../up.png", "PIC-D", true, -1, -1));
  AddAttachment(0, "../../evil.txt", "EVIL");
  AddAttachment(0, "a.txt", "first");
  AddAttachment(3, "a.txt", "second");
  AddAttachment(3, "", "unnamed");
  AddAttachment(3, "/etc/..", "dots");
  ASSERT_EQ(0, Export(doc, page));
  const std::string html = ReadFile(page);

  EXPECT_EQ("PIC-A", ReadFile(side + "img/p.png"));
  EXPECT_EQ("PIC-B", ReadFile(side + "img/Image_B_0001.png"));
  EXPECT_EQ("PIC-C", ReadFile(side + "img/Image_0004.jpg"));
  EXPECT_EQ("PIC-D", ReadFile(side + "img/.._.._up.png"));
  EXPECT_NE(std::string::npos, html.find("<img alt=\"\" title=\"p.png\" src=\"out_files/img/p.png\">"));
  EXPECT_NE(std::string::npos, html.find("src=\"out_files/img/Image_B_0001.png\">"));

  EXPECT_EQ("EVIL", ReadFile(side + "attach/.._.._evil.txt"));
  EXPECT_FALSE(Exists(dir / "evil.txt"));
  EXPECT_FALSE(Exists(dir / "up.png"));
  EXPECT_EQ("first", ReadFile(side + "attach/a.txt"));
  EXPECT_EQ("second", ReadFile(side + "attach/a_2.txt"));
  EXPECT_EQ("unnamed", ReadFile(side + "attach/Attachment04"));
  EXPECT_EQ("dots", ReadFile(side + "attach/_etc_.."));
  EXPECT_NE(std::string::npos, html.find("title=\"a.txt\" href=\"out_files/attach/a_2.txt\">Attachment #03 (a.txt)</A>"));
  EXPECT_NE(std::string::npos, html.find("<span class=\"qy_attachments\">\n"));
  EXPECT_TRUE(host.asked.empty());
}

TEST_F(HtmlExportFiles, PictureWithoutStoredBytesIsEncoded) {
  PixInfo pix;
  pix.SetPixbufOwned(gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 2, 2));
  pix.nOffset = 0;
  pix.strName = "drawn";
  doc.GetNodeByIdx(1).m_objText.m_lstPictures.Push(pix);
  ASSERT_EQ(0, Export(doc, page));
  const std::string png = ReadFile(side + "img/drawn");
  ASSERT_GT(png.size(), 8u);
  EXPECT_EQ(0, png.compare(0, 8, "\x89PNG\r\n\x1a\n"));
  GdkPixbuf* back = PixInfo::LoadFromBuffer(png.data(), png.size(), -1);
  ASSERT_NE(nullptr, back);
  EXPECT_EQ(2, gdk_pixbuf_get_width(back));
  g_object_unref(back);
}

// An earlier export's side folder is replaced whole, and only with the
// host's consent; a failed or cancelled export leaves it as it was.
TEST_F(HtmlExportFiles, AnEarlierSideFolderIsReplacedWholeWithTheHostsConsent) {
  AddAttachment(0, "a.txt", "new");
  ASSERT_TRUE(EnsureDirExists(side + "attach"));
  WriteText(side + "attach/a.txt", "old");
  WriteText(side + "stale.html", "old page");
  EXPECT_EQ(DOC_SAVE_ABORTED, Export(doc, page));
  EXPECT_EQ(1u, host.asked.size());
  EXPECT_EQ("old", ReadFile(side + "attach/a.txt"));
  EXPECT_FALSE(Exists(page));

  host.allowOverwrite = true;
  ProgressInfo::SetCanceled(true);
  EXPECT_EQ(DOC_SAVE_ABORTED, Export(doc, page));
  ProgressInfo::Reset();
  EXPECT_EQ("old", ReadFile(side + "attach/a.txt"));

  ASSERT_EQ(0, Export(doc, page));
  EXPECT_EQ("new", ReadFile(side + "attach/a.txt"));
  EXPECT_FALSE(Exists(side + "stale.html"));
  EXPECT_NE(std::string::npos, ReadFile(page).find("href=\"out_files/attach/a.txt\""));
  // Nothing of the build is left beside the page.
  EXPECT_EQ(2, std::distance(std::filesystem::directory_iterator(dir.Path()), {}));
}

TEST_F(HtmlExportFiles, FilesThatCannotBeWrittenFailTheExport) {
  // A frames template whose file stands where the pictures' folder goes.
  TempDir tmpl;
  ASSERT_TRUE(EnsureDirExists(tmpl / "notes"));
  WriteText(tmpl / "notes/img", "a file where the folder belongs");
  host.templateDir = tmpl.Path();
  doc.bExportFrames = true;
  ASSERT_TRUE(doc.AddNotePicture(doc.GetNodeByIdx(1), 0, "q.png", "PIC", true, -1, -1));
  EXPECT_EQ(DOC_SAVE_WRITE_ERROR, Export(doc, page));
  EXPECT_FALSE(Exists(page));
  EXPECT_FALSE(Exists(side));
}

TEST_F(HtmlExportFiles, SafeSaveTargetNamesTheSideFolderWithoutPart) {
  FileFormatFactory::Get().Register(FORMAT_HTML, []() -> FormatIO_Base* { return new FormatIO_HTMLExport; });
  ASSERT_TRUE(doc.AddNotePicture(doc.GetNodeByIdx(1), 0, "q.png", "PIC", true, -1, -1));
  WriteText(page, "an older export");
  RecursiveTreeWalker walker(doc);
  doc.SetReportProgress(false);
  EXPECT_EQ(0, doc.Save(page.c_str(), walker, false));
  FileFormatFactory::Get().Register(FORMAT_HTML, nullptr);
  EXPECT_EQ("PIC", ReadFile(side + "img/q.png"));
  EXPECT_FALSE(Exists(dir / "out.html_files"));
  EXPECT_FALSE(Exists(page + ".part"));
  const std::string html = ReadFile(page);
  EXPECT_NE(std::string::npos, html.find("src=\"out_files/img/q.png\""));
  EXPECT_NE(std::string::npos, html.find("<TITLE>Doc Title</TITLE>"));
}

namespace {

// At the moment the side folder is in its place and the page is not yet,
// another program takes the page: a shared lock on an existing one (as an
// open document holds it), a new file at a new one's name.
std::string g_pageAtInstall;
int g_pageHolder = -1;
void TakeThePageAtTheInstall(const char* point) {
  if (std::string(point) != "install-pair") return;
  if (!Exists(g_pageAtInstall)) {
    WriteText(g_pageAtInstall, "appeared");
    return;
  }
  g_pageHolder = open(g_pageAtInstall.c_str(), O_RDONLY | O_CLOEXEC);
  flock(g_pageHolder, LOCK_SH);
}

}  // namespace

// The page and its side folder go in as one: a page that cannot follow its
// folder into place takes the folder back, and the earlier export (or the
// place of a new one) stays as it was, with nothing left beside it.
TEST_F(HtmlExportFiles, APageThatCannotFollowItsFolderTakesTheFolderBack) {
  FileFormatFactory::Get().Register(FORMAT_HTML, []() -> FormatIO_Base* { return new FormatIO_HTMLExport; });
  doc.SetReportProgress(false);
  ASSERT_TRUE(doc.AddNotePicture(doc.GetNodeByIdx(1), 0, "q.png", "OLD", true, -1, -1));
  RecursiveTreeWalker walker(doc);
  ASSERT_EQ(0, doc.Save(page.c_str(), walker, false));
  const std::string before = ReadFile(page);
  ASSERT_TRUE(doc.AddNotePicture(doc.GetNodeByIdx(3), 0, "r.png", "NEW", true, -1, -1));
  host.allowOverwrite = true;
  const std::string fresh = dir / "new.html";
  g_pageAtInstall = page;
  SetFaultHook(TakeThePageAtTheInstall);
  EXPECT_EQ(DOC_SAVE_RENAME_FAILED, doc.Save(page.c_str(), walker, false));
  g_pageAtInstall = fresh;
  EXPECT_EQ(DOC_SAVE_RENAME_FAILED, doc.Save(fresh.c_str(), walker, false));
  SetFaultHook(nullptr);
  FileFormatFactory::Get().Register(FORMAT_HTML, nullptr);
  close(g_pageHolder);
  EXPECT_EQ(before, ReadFile(page));
  EXPECT_EQ("OLD", ReadFile(side + "img/q.png"));
  EXPECT_FALSE(Exists(side + "img/r.png"));
  EXPECT_EQ("appeared", ReadFile(fresh));
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir.Path())) names.insert(e.path().filename().string());
  EXPECT_EQ(names, (std::set<std::string>{"out.html", "out_files", "new.html"}));
}

namespace {

// A hard stop (a host's second Ctrl-C) that comes while the folder is in
// its place and the page cannot follow: it ends the process once the
// install ends, and what it finds there then is what the host leaves.
std::string g_sideAtStop;
int g_stops = 0;
bool g_committedAtStop = true, g_sideThereAtStop = true;
void StopWhileThePageCannotFollow(const char* point) {
  if (std::string(point) == "install-pair") InstallSection::DeferStop();
  TakeThePageAtTheInstall(point);
}

}  // namespace

TEST_F(HtmlExportFiles, AStopWhileThePageCannotFollowFindsTheFolderTakenBack) {
  FileFormatFactory::Get().Register(FORMAT_HTML, []() -> FormatIO_Base* { return new FormatIO_HTMLExport; });
  doc.SetReportProgress(false);
  RecursiveTreeWalker walker(doc);
  g_pageAtInstall = page;  // a file appears at the new page's name
  g_sideAtStop = side;
  SetFaultHook(StopWhileThePageCannotFollow);
  InstallSection::SetStopFunction([](bool committed) {
    ++g_stops;
    g_committedAtStop = committed;
    g_sideThereAtStop = Exists(g_sideAtStop);
  });
  EXPECT_EQ(DOC_SAVE_RENAME_FAILED, doc.Save(page.c_str(), walker, false));
  InstallSection::SetStopFunction(nullptr);
  SetFaultHook(nullptr);
  FileFormatFactory::Get().Register(FORMAT_HTML, nullptr);
  EXPECT_EQ(1, g_stops);
  EXPECT_FALSE(g_committedAtStop);
  EXPECT_FALSE(g_sideThereAtStop);
  EXPECT_EQ("appeared", ReadFile(page));
}

TEST_F(HtmlExportFiles, FramesLayout) {
  TempDir tmpl;
  ASSERT_TRUE(EnsureDirExists(tmpl / "web/css"));
  WriteText(tmpl / "web/toc.html", "toc");
  WriteText(tmpl / "web/css/main.css", "css");
  host.templateDir = tmpl.Path();
  doc.bExportFrames = true;
  doc.bExportPicturesToFiles = false;
  doc.GetNodeByIdx(3).SetTitle("It's a \\ test");
  ASSERT_TRUE(doc.AddNotePicture(doc.GetNodeByIdx(3), 0, "q.png", "PIC", true, -1, -1));
  AddAttachment(3, "b.txt", "bee");
  LinkInfo back;
  back.strTargetID = "A/x";
  back.nStartOffset = 0;
  back.nTextLength = 4;
  doc.GetNodeByIdx(3).m_objText.m_lstLinks.Append(back);

  ASSERT_EQ(0, Export(doc, page));
  const std::string main = ReadFile(page);
  EXPECT_EQ(std::string::npos, main.find("<BODY"));
  EXPECT_NE(std::string::npos, main.find("<frameset rows=\"100,*\" border=0>\n"));
  EXPECT_NE(std::string::npos, main.find("<frame name=\"main\" src=\"./out_files/notes/A-2Fx.html\" frameborder=\"0\">"));
  EXPECT_EQ("toc", ReadFile(side + "web/toc.html"));
  EXPECT_NE(std::string::npos, ReadFile(side + "web/top.html").find("<center><h1>Doc Title</h1></center>"));

  const std::string tree = ReadFile(side + "web/tree_data.js");
  EXPECT_EQ(0u, tree.find("d = new dTree('d');\n\n// nodeId | parentNodeId | nodeName | nodeUrl\n"
                          "d.add(0,-1,'Alpha','../notes/A-2Fx.html');\nd.add(1,0,'First child','../notes/A1.html');\n"
                          "d.add(2,0,'Second child','../notes/A2.html');\n"
                          "d.add(3,-1,'It\\'s a \\\\ test','../notes/B.html');\n"
                          "document.write(d);\ndocument.s(0);\n"));

  // Links between pages name the page files, which hold no slashes.
  const std::string a1 = ReadFile(side + "notes/A1.html");
  EXPECT_EQ(0u, a1.find("<!DOCTYPE HTML PUBLIC"));
  EXPECT_NE(std::string::npos, a1.find("<h1>First child</h1>\n"));
  EXPECT_NE(std::string::npos, a1.find("<A href=\"B.html\">beta</A>"));
  EXPECT_EQ(a1.size() - 17, a1.rfind("\n</BODY>\n</HTML>\n"));
  const std::string b = ReadFile(side + "notes/B.html");
  EXPECT_NE(std::string::npos, b.find("<A href=\"A-2Fx.html\">"));
  EXPECT_NE(std::string::npos, b.find("src=\"img/q.png\""));
  EXPECT_NE(std::string::npos, b.find("href=\"attach/b.txt\""));
  EXPECT_EQ("PIC", ReadFile(side + "notes/img/q.png"));
  EXPECT_EQ("bee", ReadFile(side + "notes/attach/b.txt"));

  // No template: the frames pages would have nothing to run.
  host.templateDir.clear();
  EXPECT_EQ(DOC_SAVE_ERROR, Export(doc, dir / "other.html"));
  EXPECT_FALSE(Exists(dir / "other.html"));
}

TEST_F(HtmlExportFiles, ShippedFramesTemplate) {
  host.templateDir = std::string(QY_SOURCE_DIR) + "/data/html_export_frames";
  doc.bExportFrames = true;
  ASSERT_EQ(0, Export(doc, page));
  // What the pages refer to is there.
  const std::string toc = ReadFile(side + "web/toc.html");
  EXPECT_NE(std::string::npos, toc.find("src=\"tree.js\""));
  EXPECT_NE(std::string::npos, toc.find("src=\"tree_data.js\""));
  EXPECT_NE(std::string::npos, ReadFile(side + "web/tree.js").find("function dTree(name)"));
  EXPECT_TRUE(Exists(side + "web/blank.html"));
  EXPECT_TRUE(Exists(side + "web/css/main.css"));
  EXPECT_NE(std::string::npos, ReadFile(side + "notes/B.html").find("href=\"../web/css/main.css\""));
}

// IDs that differ only in their slashes, or only in letter case, still get
// pages of their own, and the tree and the links name those pages.
TEST_F(HtmlExportFiles, EveryFramesNoteHasItsOwnPage) {
  host.templateDir = std::string(QY_SOURCE_DIR) + "/data/html_export_frames";
  doc.bExportFrames = true;
  AddNote(doc, "", "Ax", "Plain", "");
  AddNote(doc, "", "a/x", "Lower", "");
  doc.GetNodeByIdx(1).m_objText.m_lstLinks[0].strTargetID = "Ax";
  ASSERT_EQ(0, Export(doc, page));
  EXPECT_NE(std::string::npos, ReadFile(side + "notes/A-2Fx.html").find("<h1>Alpha</h1>"));
  EXPECT_NE(std::string::npos, ReadFile(side + "notes/Ax.html").find("<h1>Plain</h1>"));
  EXPECT_NE(std::string::npos, ReadFile(side + "notes/a-2Fx~2.html").find("<h1>Lower</h1>"));
  const std::string tree = ReadFile(side + "web/tree_data.js");
  for (const char* url : {"'../notes/A-2Fx.html'", "'../notes/Ax.html'", "'../notes/a-2Fx~2.html'"})
    EXPECT_NE(std::string::npos, tree.find(url)) << url;
  EXPECT_NE(std::string::npos, ReadFile(side + "notes/A1.html").find("<A href=\"Ax.html\">beta</A>"));
}

// Folders beside the page are made only for files that go into them; an
// export that fails takes back every file and folder it made.
TEST_F(HtmlExportFiles, FailedExportLeavesNothingBeside) {
  // A template whose copy stands where a note page must go.
  TempDir tmpl;
  ASSERT_TRUE(EnsureDirExists(tmpl / "web") && EnsureDirExists(tmpl / "notes/B.html"));
  WriteText(tmpl / "web/toc.html", "toc");
  WriteText(tmpl / "notes/B.html/x", "x");
  host.templateDir = tmpl.Path();
  doc.bExportFrames = true;
  EXPECT_EQ(DOC_SAVE_WRITE_ERROR, Export(doc, page));
  EXPECT_FALSE(Exists(page));
  EXPECT_FALSE(Exists(side));
}

// No link below the page's folder leads a side file elsewhere: neither a
// linked side folder nor a link in a file's place.
TEST_F(HtmlExportFiles, SideFilesAreNeverWrittenThroughALink) {
  TempDir elsewhere;
  ASSERT_TRUE(doc.AddNotePicture(doc.GetNodeByIdx(1), 0, "q.png", "PIC", true, -1, -1));
  ASSERT_EQ(0, symlink(elsewhere.Path().c_str(), (dir / "out_files").c_str()));
  host.allowOverwrite = true;
  EXPECT_EQ(DOC_SAVE_NOT_OPEN, Export(doc, page));
  EXPECT_FALSE(Exists(elsewhere / "img"));
  ASSERT_EQ(0, unlink((dir / "out_files").c_str()));

  AddAttachment(3, "a.txt", "new");
  WriteText(elsewhere / "victim", "keep");
  ASSERT_TRUE(EnsureDirExists(side + "attach"));
  ASSERT_EQ(0, symlink((elsewhere / "victim").c_str(), (side + "attach/a.txt").c_str()));
  EXPECT_EQ(0, Export(doc, page));
  EXPECT_EQ("keep", ReadFile(elsewhere / "victim"));
  EXPECT_EQ("new", ReadFile(side + "attach/a.txt"));
}
