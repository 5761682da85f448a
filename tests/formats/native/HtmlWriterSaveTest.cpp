// Whole saves: the document envelope and comments, a golden file, string
// saves, export options, cancel, disk full, open failures and the lock kept
// on the written file.

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "HtmlWriterTestUtil.h"
#include "base/File64.h"
#include "base/Progress.h"

using namespace qytest;

namespace {

const char kGolden[] = QY_SOURCE_DIR "/tests/formats/native/data/writer_golden.qyd";

// A small document with fixed IDs, times and UID that uses every document
// comment and the common note features.
void GoldenDocument(NoteDocument& doc) {
  doc.SetUID("DOCUID");
  doc.SetTitle("Golden <doc>");
  doc.SetAuthor("A. \"Q\" Tester");
  doc.m_nLastNoteIdx = 0;
  doc.m_nPropModifiedTime = 1700000000;
  doc.GetBookmarkList().Insert("mark", "NOTEID");
  doc.m_lstCustomProperties.push_back(CustomProperty("p", "v<&>"));
  doc.m_mapDeletedNotes["b"] = 1;
  doc.m_mapDeletedNotes["B"] = 1;
  doc.m_mapDeletedNotes["a"] = 1;
  doc.m_mapDeletedAttachments["z"] = 1;

  NoteNode& a = AddNote(doc, "", "NOTEID", "A", "hi");
  a.m_objText.m_lstFmt.Append(Tag(FMT_BOLD_BEGIN, 0));
  a.m_objText.m_lstFmt.Append(Tag(FMT_BOLD_END, 1));
  a.m_nDateCreated = 1600000000;
  a.m_nDateModified = 1600000100;
  a.m_strKeywords = ";k;";
  a.m_bExpanded = true;
  NoteNode::CalcDataHash(a.GetText(), a.m_strHash);
  a.CalcHtmlHash(a.m_strHashHtml);

  NoteNode& b = AddNote(doc, "NOTEID", "CHILDID", "B & b", "x\ny");
  b.m_nDateCreated = 1600000200;
  b.m_nDateModified = 1600000300;
  AttInfo att;
  att.strName = "a.txt";
  att.strData = "abc";
  att.nDataSize = 3;
  att.strCode = "C1";
  b.m_lstAttachments.push_back(att);
  AddNote(doc, "", "LASTID", "C");
}

void SetEveryExportOption(NoteDocument& doc) {
  doc.bExportHeadings = doc.bExportFrames = doc.bExportNumbered = true;
  doc.bExportContentsOnly = doc.bExportNoAttachments = doc.bExportPicturesToFiles = true;
  doc.strExportCss = "/x/style.css";
  doc.nExportTocDepth = 2;
}

int OpenDescriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

}  // namespace

TEST(HtmlWriterSave, EmptyDocument) {
  NoteDocument doc;
  doc.SetUID("U1");
  EXPECT_EQ(SaveString(doc), Header("U1", 0) + "</BODY>\n</HTML>\n");
}

TEST(HtmlWriterSave, GoldenFile) {
  NoteDocument doc;
  GoldenDocument(doc);
  TempDir tmp;
  std::string path = tmp / "x.qyd";
  RecursiveTreeWalker walker(doc);
  FormatIO_HTML fmt;
  ASSERT_EQ(fmt.Save(path.c_str(), walker), 0);
  const std::string saved = ReadFile(path);
  if (getenv("QY_UPDATE_GOLDEN")) {
    std::ofstream(kGolden, std::ios::binary) << saved;
  }
  EXPECT_EQ(saved, ReadFile(kGolden));
  EXPECT_EQ(SaveString(doc), saved);

  // Export options never shape a native save.
  SetEveryExportOption(doc);
  g_bExportTagsAsCSSClasses = true;
  FormatIO_HTML again;
  ASSERT_EQ(again.Save(path.c_str(), walker), 0);
  g_bExportTagsAsCSSClasses = false;
  EXPECT_EQ(ReadFile(path), saved);
}

TEST(HtmlWriterSave, DocumentVariants) {
  NoteDocument doc;
  doc.SetUID("U-->1");
  doc.SetReadOnly(true);
  doc.m_bStoreBookmarks = false;
  doc.GetBookmarkList().Insert("t", "p");
  std::string out = SaveString(doc);
  EXPECT_NE(out.find("<!--property:UID=U--&gt;1-->\n<!--property:read_only-->\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("bookmark"), std::string::npos);

  FormatIO_HTML raw;
  raw.SetRawText(true);
  RecursiveTreeWalker walker(doc);
  std::string text;
  ASSERT_EQ(raw.SaveToString(text, doc, walker), 0);
  EXPECT_EQ(text.compare(0, 27, "<!DOCTYPE Brindlemar-File>\n"), 0);
}

TEST(HtmlWriterSave, LastNoteIsWrittenAsItsPlaceInTheFile) {
  // The note list holds A, B, C; the tree shows C, A, B (C was inserted in
  // front later): a reader numbering notes in file order must find A again.
  NoteDocument doc;
  AddNote(doc, "", "A", "a");
  AddNote(doc, "", "B", "b");
  const int c = doc.NodeInsert("", 0);
  doc.NodeInitID(c, "C");
  doc.m_nLastNoteIdx = doc.GetIdxFromID("A");
  ASSERT_EQ(doc.m_nLastNoteIdx, 0);
  EXPECT_NE(SaveString(doc).find("<!--LastNote:1-->\n"), std::string::npos);
  doc.m_nLastNoteIdx = doc.GetIdxFromID("C");
  EXPECT_NE(SaveString(doc).find("<!--LastNote:0-->\n"), std::string::npos);
}

TEST(HtmlWriterSave, ContentsOnlyRendering) {
  NoteDocument doc;
  NoteNode& n = AddNote(doc, "", "N", "t", "hi");
  n.m_objText.m_lstFmt.Append(Tag(1, 0));
  n.m_objText.m_lstFmt.Append(Tag(2, 1));
  n.m_nDateCreated = 5;
  doc.bExportContentsOnly = true;
  RecursiveTreeWalker walker(doc);
  FormatIO_HTML fmt;
  fmt.SetContentsOnly(true);
  std::string out;
  ASSERT_EQ(fmt.SaveToString(out, doc, walker), 0);
  EXPECT_EQ(out, "<b>h</b>i");
  EXPECT_EQ(NoteHtml(n), out);
  n.m_bUseNoteBkgColor = true;
  n.m_clrNoteBkg = {0, 0xFFFF, 0x8000, 0};
  EXPECT_EQ(NoteHtml(n), "<DIV class=\"note_bkg\" style=\"background-color:#ff8000\"><b>h</b>i</DIV>");
}

TEST(HtmlWriterSave, CancelRemovesOutput) {
  NoteDocument doc;
  for (int i = 0; i < 20; ++i) AddNote(doc, "", "N" + std::to_string(i), "t", "x");
  TempDir tmp;
  std::string path = tmp / "c.qyd";
  const int fds = OpenDescriptors();
  ProgressInfo::Reset();
  // Cancel at the first progress report after some notes are written.
  ProgressInfo::SetObserver([](int64_t current, int64_t) {
    if (current >= 15) ProgressInfo::SetCanceled(true);
  });
  {
    RecursiveTreeWalker walker(doc);
    FormatIO_HTML fmt;
    EXPECT_EQ(fmt.Save(path.c_str(), walker), 1);
    EXPECT_FALSE(Exists(path));
    EXPECT_EQ(OpenDescriptors(), fds);
    // A string rendering ignores a cancel flag left set.
    std::string out;
    RecursiveTreeWalker again(doc);
    EXPECT_EQ(fmt.SaveToString(out, doc, again), 0);
    EXPECT_NE(out.find("name=\"N19\""), std::string::npos);
  }
  ProgressInfo::SetObserver(nullptr);
  ProgressInfo::Reset();
}

TEST(HtmlWriterSave, DiskFullRemovesOutput) {
  TempDir tmp;
  std::string path = tmp / "full.qyd";
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = {4096, 4096};
    setrlimit(RLIMIT_FSIZE, &lim);
    NoteDocument doc;
    for (int i = 0; i < 50; ++i) AddNote(doc, "", "N" + std::to_string(i), "t", std::string(500, 'x'));
    RecursiveTreeWalker walker(doc);
    FormatIO_HTML fmt;
    int rc = fmt.Save(path.c_str(), walker);
    _exit(rc == 10 && !Exists(path) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(Exists(path));
}

TEST(HtmlWriterSave, OpenFailureLockAndSecondSave) {
  NoteDocument doc;
  AddNote(doc, "", "N", "first", "text");
  TempDir tmp;
  {
    RecursiveTreeWalker walker(doc);
    FormatIO_HTML fmt;
    EXPECT_EQ(fmt.Save(tmp.Path().c_str(), walker), 4);
    EXPECT_EQ(fmt.Save((tmp / "missing/x.qyd").c_str(), walker), 4);
  }
  std::string path = tmp / "l.qyd";
  auto* fmt = new FormatIO_HTML;
  RecursiveTreeWalker walker(doc);
  ASSERT_EQ(fmt->Save(path.c_str(), walker), 0);
  File64 other;  // another open file description acts as another process
  ASSERT_TRUE(other.Open(path, F64_READ | F64_OPEN_EXISTING));
  EXPECT_FALSE(other.Lock(true));
  EXPECT_TRUE(other.Lock(false));  // shared, not exclusive
  other.Unlock();

  // The same object saving a shorter document to the same file: the file
  // is rewritten, not appended to or overlaid.
  doc.GetNodeByIdx(0).SetTitle("2");
  doc.GetNodeByIdx(0).m_objText.SetText("");
  RecursiveTreeWalker again(doc);
  ASSERT_EQ(fmt->Save(path.c_str(), again), 0);
  EXPECT_EQ(ReadFile(path), SaveString(doc));
  delete fmt;
  EXPECT_TRUE(other.Lock(true));
}
