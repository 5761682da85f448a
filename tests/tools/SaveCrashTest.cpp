// A save killed at any point never costs the document it replaces: the
// target opens with the old or the new document (a database passes its
// integrity check), and the next save leaves the target alone in its folder.

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "save/InstallSection.h"
#include "common/TempDir.h"
#include "formats/containers/FormatIO_ZlibHTML.h"
#include "formats/native/FormatIOHtml.h"
#include "model/FileFormatFactory.h"
#include "model/NoteDocument.h"
#include "model/RecursiveTreeWalker.h"
#include "samples/SampleNotebook.h"
#include "sqlite/codec/CodecVfs.h"
#include "sqlite/format/FormatIO_Sqlite.h"
#include "sqlite/format/FormatIO_SqliteEnc.h"

namespace {

std::atomic<int> g_writesLeft{-1};

// Kills the process at the database or journal write that uses up the count.
int CountWrite(bool, sqlite3_int64, int) {
  if (g_writesLeft.load() >= 0 && g_writesLeft.fetch_sub(1) == 0) raise(SIGKILL);
  return SQLITE_OK;
}

int Save(NoteDocument& doc, const std::string& path) {
  RecursiveTreeWalker walker(doc, WALK_ALL);
  return doc.Save(path.c_str(), walker, false, 0, nullptr, "pw", 0, 0, true);
}

// The old (40 notes) and the new (60 notes) document of a replace.
void MakeBeforeAndAfter(NoteDocument& before, NoteDocument& after) {
  quillery::NotebookOptions o;
  o.nNotes = 40;
  quillery::MakeSampleNotebook(before, o);
  o.nNotes = 60;
  quillery::MakeSampleNotebook(after, o);
}

// The notes at path (-1 when it does not load); a database's integrity.
int NotesIn(const std::string& path, std::string* integrity) {
  NoteDocument doc;
  if (doc.Load(path.c_str(), "pw") != DOC_LOAD_OK) return -1;
  if (FormatIO_Sqlite* db = dynamic_cast<FormatIO_Sqlite*>(doc.GetLoader())) {
    CppSQLite3Exception err;
    CppSQLite3Query q = db->_db.execQuery("PRAGMA integrity_check", &err);
    *integrity = err.errorCode() == 0 && !q.eof() ? q.getStringField(0, "") : "failed";
  }
  return doc.GetNodeCount();
}

class SaveCrash : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    FileFormatFactory& f = FileFormatFactory::Get();
    f.Register(FORMAT_QYD, []() -> FormatIO_Base* { return new FormatIO_HTML; });
    f.Register(FORMAT_QYZ, []() -> FormatIO_Base* { return new FormatIO_ZlibHTML; });
    f.Register(FORMAT_QYDB, []() -> FormatIO_Base* { return new FormatIO_Sqlite; });
    f.Register(FORMAT_QYDE, []() -> FormatIO_Base* { return new FormatIO_SqliteEnc; });
    quillery::CodecVfsSetWriteHook(CountWrite);
  }
  void TearDown() override { quillery::CodecVfsSetWriteHook(nullptr); }
};

TEST_P(SaveCrash, TheTargetKeepsTheOldOrTheNewDocument) {
  const std::string ext = GetParam();
  const bool database = ext == "qydb" || ext == "qyde";
  quillery_test::TempDir dir;
  const std::string target = dir / ("t." + ext);
  NoteDocument before, after;
  MakeBeforeAndAfter(before, after);
  ASSERT_EQ(Save(before, target), DOC_SAVE_OK);
  const int64_t size = File64::FileSize(target);
  // How many database writes a whole save makes, to spread the kills.
  g_writesLeft = 1 << 30;
  ASSERT_EQ(Save(after, target), DOC_SAVE_OK);
  const int writes = (1 << 30) - g_writesLeft.exchange(-1);
  ASSERT_EQ(Save(before, target), DOC_SAVE_OK);

  int olds = 0;
  const int kPoints = 12;
  for (int point = 0; point < kPoints; ++point) {
    SCOPED_TRACE(point);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      if (database) {
        g_writesLeft = point * writes / kPoints;
      } else {  // the write that crosses the limit kills the child
        struct rlimit rl;
        rl.rlim_cur = rl.rlim_max = static_cast<rlim_t>(1 + point * 2 * size / kPoints);
        setrlimit(RLIMIT_FSIZE, &rl);
      }
      _exit(Save(after, target));
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    std::string integrity = "ok";
    const int notes = NotesIn(target, &integrity);
    EXPECT_TRUE((notes == 40 || notes == 60) && integrity == "ok") << notes << " " << integrity;
    olds += notes == 40;
    ASSERT_EQ(Save(before, target), DOC_SAVE_OK);  // back to the old one, clearing up
    DIR* d = opendir(dir.Path().c_str());
    int entries = 0;
    while (readdir(d)) ++entries;
    closedir(d);
    EXPECT_EQ(entries, 3);  // ".", ".." and the target

  }
  EXPECT_GT(olds, 0);  // the kills did land inside saves
}

INSTANTIATE_TEST_SUITE_P(EveryDocumentFormat, SaveCrash, ::testing::Values("qydb", "qyde", "qyd", "qyz"));

// A host's hard stop (a second Ctrl-C) that comes while a database save
// writes into its target waits for the install to end and learns whether it
// committed, so the status it gives cannot contradict the target.
std::atomic<int> g_deferred{0}, g_stops{0}, g_failAt{-1};
std::atomic<bool> g_committed{false};

int StopDuringInstall(bool, sqlite3_int64, int) {
  if (!quillery::InstallSection::DeferStop()) return SQLITE_OK;  // building the new file
  return g_deferred++ == g_failAt ? SQLITE_IOERR_WRITE : SQLITE_OK;
}

TEST(SaveInstall, AStopDuringADatabaseInstallWaitsAndKnowsWhetherItCommitted) {
  FileFormatFactory::Get().Register(FORMAT_QYDB, []() -> FormatIO_Base* { return new FormatIO_Sqlite; });
  quillery_test::TempDir dir;
  const std::string target = dir / "t.qydb";
  NoteDocument before, after;
  MakeBeforeAndAfter(before, after);
  quillery::InstallSection::SetStopFunction([](bool committed) { ++g_stops, g_committed = committed; });
  quillery::CodecVfsSetWriteHook(StopDuringInstall);
  for (int failAt : {-1, 2}) {  // the install commits; a write of it fails
    ASSERT_EQ(Save(before, target), DOC_SAVE_OK);
    g_deferred = g_stops = 0;
    g_failAt = failAt;
    EXPECT_EQ(Save(after, target) == DOC_SAVE_OK, failAt < 0);
    g_failAt = -1;
    EXPECT_GT(g_deferred.load(), failAt);  // every target write came inside the install
    EXPECT_EQ(g_stops.load(), 1);          // the stop ran once, after it
    EXPECT_EQ(g_committed.load(), failAt < 0);
    std::string integrity;
    EXPECT_EQ(NotesIn(target, &integrity), failAt < 0 ? 60 : 40);
    EXPECT_EQ(integrity, "ok");
    EXPECT_NE(access((target + "-journal").c_str(), F_OK), 0);
  }
  quillery::CodecVfsSetWriteHook(nullptr);
  quillery::InstallSection::SetStopFunction(nullptr);
}

}  // namespace
