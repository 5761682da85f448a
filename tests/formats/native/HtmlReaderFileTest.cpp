// Loading native HTML files: result codes, the lock kept on the document
// file, detection of a second holder, cancel, chunking, hostile input,
// documents kept by a dynamic format, and the hash fill-in.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <random>

#include <gdk-pixbuf/gdk-pixbuf.h>

#include "HtmlReaderTestUtil.h"
#include "base/Base64.h"
#include "base/Progress.h"
#include "model/FileFormatFactory.h"
#include "common/NullDynamicFormat.h"

using namespace qyread;

namespace {

// True when another open file description can take an exclusive lock now.
bool CanLockExclusive(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = flock(fd, LOCK_EX | LOCK_NB) == 0;
  const int err = errno;
  close(fd);
  if (!ok) {
    EXPECT_EQ(EWOULDBLOCK, err);
  }
  return ok;
}

// A document with most of what the format carries, written by the writer.
std::string SampleDocument() {
  std::string body = "<!--property:UID=U-->\n<DL>\n";
  for (int i = 0; i < 60; ++i) {
    const std::string id = "N" + std::to_string(i);
    body += "<DT><A name=\"" + id + "\"></A>Note &amp; " + id + "</DT>\n<!--property:keywords=;k" +
            std::to_string(i % 7) + ";-->\n<!--property:date_created=" + std::to_string(1600000000 + i) +
            "-->\n<DD>\n<b>bold " + id + "</b> <span style=\"color:#ff0000\">red</span><BR>\n<UL>\n<LI>a</LI>\n"
            "</UL>\n<A href=\"#N" + std::to_string((i + 1) % 60) + "\">next</A><A name=\"a" + id + "\"></A> tail " +
            std::string(200, 'x') + "\n</DD>\n";
  }
  return Native(body + "</DL>\n");
}

}  // namespace

TEST(HtmlReaderFile, ResultsAndTheKeptLock) {
  TempDir tmp;
  NoteDocument doc;
  FormatIO_HTML missing;
  EXPECT_EQ(2, missing.Load((tmp / "none.qyd").c_str(), doc, -1));
  EXPECT_EQ(7, missing.Load(tmp.Path().c_str(), doc, -1));
  EXPECT_FALSE(missing.m_bFileLocked);

  const std::string path = tmp / "doc.qyd";
  WriteFile(path, SampleDocument());
  {
    FormatIO_HTML fmt;
    ASSERT_EQ(0, fmt.Load(path.c_str(), doc, -1));
    EXPECT_TRUE(fmt.m_bFileLocked);
    EXPECT_FALSE(CanLockExclusive(path));
    EXPECT_FALSE(fmt.IsLoadedByAnotherProcess());
    // A second reader of the same file: both see the other.
    FormatIO_HTML second;
    NoteDocument doc2;
    ASSERT_EQ(0, second.Load(path.c_str(), doc2, -1));
    EXPECT_TRUE(fmt.IsLoadedByAnotherProcess());
    EXPECT_TRUE(second.IsLoadedByAnotherProcess());
    second.ReleaseFile();
    EXPECT_FALSE(fmt.IsLoadedByAnotherProcess());
    EXPECT_TRUE(fmt.m_bFileLocked);
  }
  EXPECT_TRUE(CanLockExclusive(path));
  FormatIO_HTML none;
  EXPECT_TRUE(none.IsLoadedByAnotherProcess());  // nothing kept

  // Kept again after a save, and released when the document closes.
  ASSERT_TRUE(none.KeepFile(path.c_str()));
  EXPECT_TRUE(none.m_bFileLocked);
  EXPECT_FALSE(CanLockExclusive(path));
  none.ReleaseFile();
  FileFormatFactory::Get().Register(FORMAT_QYD, []() -> FormatIO_Base* { return new FormatIO_HTML; });
  NoteDocument owner;
  ASSERT_EQ(0, owner.Load(path.c_str()));
  EXPECT_FALSE(CanLockExclusive(path));
  owner.Close();
  EXPECT_TRUE(CanLockExclusive(path));
}

// A document this program wrote always closes its body: one that stops before
// that was cut off and is refused instead of loading the notes read so far.
TEST(HtmlReaderFile, CutOffDocumentIsRefused) {
  TempDir tmp;
  const std::string whole = SampleDocument();
  const std::string path = tmp / "cut.qyd";
  WriteFile(path, whole.substr(0, whole.size() / 2));
  NoteDocument doc;
  FormatIO_HTML fmt;
  EXPECT_EQ(5, fmt.Load(path.c_str(), doc, -1));
  EXPECT_FALSE(fmt.m_bFileLocked);
  EXPECT_TRUE(CanLockExclusive(path));
  // A table cell in one note reads that note as foreign HTML, but the
  // document is still this program's: cut, it is refused just the same.
  std::string table = whole;
  table.insert(table.find("<DD>") + 4, "a<TD>b");
  NoteDocument doc1;
  EXPECT_EQ(5, LoadString(doc1, table.substr(0, table.size() / 2)));

  // Without the final </HTML> the body still ended: that loads.
  NoteDocument doc2;
  EXPECT_EQ(0, LoadString(doc2, whole.substr(0, whole.rfind("</HTML>"))));
  EXPECT_EQ(60, doc2.GetNodeCount());
  // HTML from elsewhere is taken as it comes.
  NoteDocument doc3;
  EXPECT_EQ(0, LoadString(doc3, "<html><body><DL><DT>a</DT><DD>text"));
  EXPECT_EQ(1, doc3.GetNodeCount());
}

TEST(HtmlReaderFile, TwoProcessesSeeEachOther) {
  TempDir tmp;
  const std::string path = tmp / "doc.qyd";
  WriteFile(path, SampleDocument());
  int toChild[2], toParent[2];
  ASSERT_EQ(0, pipe(toChild));
  ASSERT_EQ(0, pipe(toParent));
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    NoteDocument doc;
    FormatIO_HTML fmt;
    char c = fmt.Load(path.c_str(), doc, -1) == 0 ? 'L' : 'E';
    if (write(toParent[1], &c, 1) != 1 || read(toChild[0], &c, 1) != 1) _exit(2);
    c = fmt.IsLoadedByAnotherProcess() ? 'T' : 'F';
    if (write(toParent[1], &c, 1) != 1 || read(toChild[0], &c, 1) != 1) _exit(2);
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(1, read(toParent[0], &c, 1));
  ASSERT_EQ('L', c);
  NoteDocument doc;
  FormatIO_HTML fmt;
  ASSERT_EQ(0, fmt.Load(path.c_str(), doc, -1));
  EXPECT_TRUE(fmt.IsLoadedByAnotherProcess());
  ASSERT_EQ(1, write(toChild[1], "x", 1));
  ASSERT_EQ(1, read(toParent[0], &c, 1));
  EXPECT_EQ('T', c);
  ASSERT_EQ(1, write(toChild[1], "x", 1));
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_FALSE(fmt.IsLoadedByAnotherProcess());
  for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) close(fd);
}

TEST(HtmlReaderFile, CancelKeepsNothing) {
  TempDir tmp;
  const std::string path = tmp / "doc.qyd";
  WriteFile(path, SampleDocument());
  ProgressInfo::SetCanceled(true);
  NoteDocument doc;
  FormatIO_HTML fmt;
  EXPECT_EQ(1, fmt.Load(path.c_str(), doc, -1));
  ProgressInfo::SetCanceled(false);
  EXPECT_FALSE(fmt.m_bFileLocked);
  EXPECT_TRUE(CanLockExclusive(path));
}

TEST(HtmlReaderFile, FileAndStringGiveTheSameDocument) {
  TempDir tmp;
  const std::string html = SampleDocument();
  ASSERT_GT(html.size(), 20000u);
  NoteDocument a, b;
  ASSERT_EQ(0, LoadFile(a, tmp, "doc.qyd", html));
  ASSERT_EQ(0, LoadString(b, html));
  EXPECT_EQ(60, a.GetNodeCount());
  EXPECT_EQ(SaveString(a), SaveString(b));
  EXPECT_EQ(a.m_mapAnchors, b.m_mapAnchors);
}

TEST(HtmlReaderFile, HostileInputNeverCrashes) {
  const std::string html = SampleDocument();
  for (size_t cut = 0; cut < html.size(); cut += 97) {
    NoteDocument doc;
    const int rc = LoadString(doc, html.substr(0, cut));
    EXPECT_TRUE(rc == 0 || rc == 5) << cut;
  }
  std::mt19937 rng(7);
  for (int round = 0; round < 20; ++round) {
    std::string junk(1 << 16, '\0');
    for (char& c : junk) c = static_cast<char>(rng());
    if (round % 2) junk = html.substr(0, 5000) + junk;  // garbage inside a real file
    NoteDocument doc;
    const int rc = LoadString(doc, junk);
    EXPECT_TRUE(rc == 0 || rc == 5);
  }
}

namespace {

// A dynamic format that records what the reader hands over.
class RecordingDynamic : public quillery_test::NullDynamicFormat {
 public:
  bool OnNodeUpdate(NoteNode& note, unsigned int mask, bool, std::string*) override {
    if (mask & NIF_TITLE) updates.push_back(note.GetTitle() + ":" + std::to_string(mask));
    return true;
  }
  void OnNodePixAdded(NoteNode&, PixInfo&, const std::string& bytes) override { pictureBytes += bytes; }
  void OnNodeCustomIconSet(NoteNode& note, PixInfo&) override { icons.push_back(note.m_strID); }
  void StoreGlobalData() override { ++stores; }

  // The records are shared by every object the factory makes and outlive a
  // test: cleared before the load a test watches.
  static void Reset() {
    updates.clear();
    icons.clear();
    pictureBytes.clear();
    stores = 0;
  }

  static std::vector<std::string> updates;
  static std::vector<std::string> icons;
  static std::string pictureBytes;
  static int stores;
};
std::vector<std::string> RecordingDynamic::updates;
std::vector<std::string> RecordingDynamic::icons;
std::string RecordingDynamic::pictureBytes;
int RecordingDynamic::stores = 0;

}  // namespace

TEST(HtmlReaderFile, ImportIntoADynamicDocumentHandsOverEveryNote) {
  TempDir tmp;
  WriteFile(tmp / "db.qydb", "x");
  FileFormatFactory::Get().Register(FORMAT_QYDB, []() -> FormatIO_Base* { return new RecordingDynamic; });
  NoteDocument doc;
  ASSERT_EQ(0, doc.Load((tmp / "db.qydb").c_str()));
  GdkPixbuf* pix = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 2, 2);
  gdk_pixbuf_fill(pix, 0);
  gchar* buf = nullptr;
  gsize len = 0;
  gdk_pixbuf_save_to_buffer(pix, &buf, &len, "png", nullptr, nullptr);
  const std::string png(buf, len);
  g_free(buf);
  g_object_unref(pix);
  std::string b64;
  b64encode(png.data(), static_cast<int>(png.size()), b64, true);
  const std::string html = Native(
      "<!--property:UID=NOT_MINE-->\n<DL>\n<DT><A name=\"P\"></A><img src=\"data:image/png;base64," + b64 +
      "\">parent</DT>\n<A title=\"f\" href=\"data:application/octet-stream;base64,YWJj\"></A>\n<DD>\np<DL>\n"
      "<DT><A name=\"C\"></A>child</DT>\n<DD>\n<img src=\"data:image/png;base64," + b64 + "\">c\n</DD>\n"
      "</DL>\n</DD>\n</DL>\n");
  WriteFile(tmp / "in.qyd", html);
  RecordingDynamic::Reset();
  FormatIO_HTML fmt;
  ASSERT_EQ(0, fmt.Load((tmp / "in.qyd").c_str(), doc, -1));
  const unsigned int note = 0x36F3;
  ASSERT_EQ(2u, RecordingDynamic::updates.size());
  EXPECT_EQ("parent:" + std::to_string(note | NIF_ATTACHMENTS), RecordingDynamic::updates[0]);
  EXPECT_EQ("child:" + std::to_string(note), RecordingDynamic::updates[1]);
  EXPECT_EQ(1, RecordingDynamic::stores);
  EXPECT_EQ(std::vector<std::string>{"P"}, RecordingDynamic::icons);
  EXPECT_EQ(png, RecordingDynamic::pictureBytes);
  EXPECT_NE("NOT_MINE", doc.GetUID());
}

TEST(HtmlReaderFile, HashFillIn) {
  NoteDocument doc;
  ASSERT_EQ(0, LoadString(doc, Native("<DL>\n<DT><A name=\"A\"></A>a</DT>\n"
                                      "<A title=\"t\" href=\"data:application/octet-stream;base64,YWJj\"></A>\n"
                                      "<DD>\n<b>x</b>\n</DD>\n<DT><A name=\"B\"></A>b</DT>\n"
                                      "<!--property:clone_source=A-->\n<DD>\nclone text\n</DD>\n</DL>\n")));
  FormatIO_HTML fmt;
  fmt.SetDoc(doc);
  EXPECT_TRUE(fmt.AnyHashesToBeDone());
  NoteNode& a = doc.GetNodeByIdx(0);
  EXPECT_TRUE(a.m_strHash.empty());  // asking changes nothing
  EXPECT_TRUE(fmt.UpdateHashes(true));
  EXPECT_FALSE(a.m_strHash.empty());
  EXPECT_TRUE(a.m_lstAttachments[0].strCode.empty());  // one fill-in per call
  while (fmt.UpdateHashes(true)) {
  }
  EXPECT_FALSE(fmt.AnyHashesToBeDone());
  std::string expect;
  NoteNode::CalcDataHash(std::string("x"), expect);
  EXPECT_EQ(expect, a.m_strHash);
  ASSERT_EQ(a.CalcHtmlHash(expect), 0);
  EXPECT_EQ(expect, a.m_strHashHtml);
  EXPECT_EQ(22u, a.m_lstAttachments[0].strCode.size());
  NoteNode::CalcDataHash(std::string("abc"), expect);
  EXPECT_EQ(expect, a.m_lstAttachments[0].strHash);
  EXPECT_TRUE(doc.GetNodeByIdx(1).m_strHash.empty());  // clones are skipped
  EXPECT_FALSE(fmt.UpdateHashes(false));
}

TEST(HtmlReaderFile, ReadOnlyFileLoadsWithoutLock) {
  TempDir tmp;
  const std::string path = tmp / "ro.qyd";
  WriteFile(path, SampleDocument());
  chmod(path.c_str(), 0444);
  chmod(tmp.Path().c_str(), 0755);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // As another user, the read-write open is refused.
    if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
    NoteDocument doc;
    FormatIO_HTML fmt;
    if (fmt.Load(path.c_str(), doc, -1) != 0) _exit(4);
    if (fmt.m_bFileLocked || doc.GetNodeCount() != 60) _exit(5);
    _exit(fmt.IsLoadedByAnotherProcess() ? 0 : 6);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 3) GTEST_SKIP() << "cannot drop privileges";
  EXPECT_EQ(0, WEXITSTATUS(status));
}
