// A save that dies at any point never costs the document it replaces: a
// forked child saving a new document over an existing one of each document
// format is killed at many points (by a file-size limit, or in the middle
// of its database writes); the target then opens with the old or the new
// document, a database passes its integrity check, and one more save
// leaves nothing but the target in its folder.

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "common/SampleNotebook.h"
#include "common/TempDir.h"
#include "formats/containers/FormatIO_ZlibHTML.h"
#include "formats/native/FormatIOHtml.h"
#include "model/FileFormatFactory.h"
#include "model/NoteDocument.h"
#include "model/RecursiveTreeWalker.h"
#include "sqlite/codec/CodecVfs.h"
#include "sqlite/format/FormatIO_Sqlite.h"
#include "sqlite/format/FormatIO_SqliteEnc.h"

namespace {

std::atomic<int> g_writesLeft{-1};

// Counts the database and journal writes; the one that uses up the count
// kills the process before it happens.
int CountWrite(bool, sqlite3_int64, int) {
  if (g_writesLeft.load() >= 0 && g_writesLeft.fetch_sub(1) == 0) raise(SIGKILL);
  return SQLITE_OK;
}

void Notebook(NoteDocument& doc, int notes, uint64_t seed) {
  quillery::NotebookOptions o;
  o.nNotes = notes;
  o.nSeed = seed;
  quillery::MakeSampleNotebook(doc, o);
}

int Save(NoteDocument& doc, const std::string& path) {
  RecursiveTreeWalker walker(doc, WALK_ALL);
  return doc.Save(path.c_str(), walker, false, 0, nullptr, "pw", 0, 0, true);
}

// The notes of the document at path; -1 when it does not load.
int NotesIn(const std::string& path) {
  NoteDocument doc;
  return doc.Load(path.c_str(), "pw") == DOC_LOAD_OK ? doc.GetNodeCount() : -1;
}

std::string Integrity(const std::string& path, bool keyed) {
  CppSQLite3DB db;
  CppSQLite3Exception err;
  db.open(path.c_str(), &err);
  if (keyed) db.setPassword("pw", &err);
  CppSQLite3Query q = db.execQuery("PRAGMA integrity_check", &err);
  return err.errorCode() == 0 && !q.eof() ? q.getStringField(0, "") : "failed";
}

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
    closedir(d);
  }
  return names;
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
  void TearDown() override {
    quillery::CodecVfsSetWriteHook(nullptr);
    for (int id : {FORMAT_QYD, FORMAT_QYZ, FORMAT_QYDB, FORMAT_QYDE}) FileFormatFactory::Get().Register(id, nullptr);
  }
};

TEST_P(SaveCrash, TheTargetKeepsTheOldOrTheNewDocument) {
  const std::string ext = GetParam();
  const bool database = ext == "qydb" || ext == "qyde";
  quillery_test::TempDir dir;
  const std::string target = dir / ("t." + ext);
  NoteDocument before, after;
  Notebook(before, 40, 1);
  Notebook(after, 60, 2);
  ASSERT_EQ(Save(before, target), DOC_SAVE_OK);
  const off_t size = File64::FileSize(target);

  // How many database writes one whole save makes, to spread the kills.
  int writes = 0;
  if (database) {
    g_writesLeft = 1 << 30;
    ASSERT_EQ(Save(after, target), DOC_SAVE_OK);
    writes = (1 << 30) - g_writesLeft.load();
    g_writesLeft = -1;
    ASSERT_EQ(Save(before, target), DOC_SAVE_OK);
    ASSERT_GT(writes, 4);
  }
  int olds = 0, news = 0;
  const int kPoints = 12;
  for (int point = 0; point < kPoints; ++point) {
    SCOPED_TRACE(point);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      if (database) {
        g_writesLeft = point * writes / kPoints;
      } else {
        struct rlimit rl;  // the write that crosses the limit kills the child
        rl.rlim_cur = rl.rlim_max = static_cast<rlim_t>(1 + point * (2 * size) / kPoints);
        setrlimit(RLIMIT_FSIZE, &rl);
      }
      _exit(Save(after, target) == DOC_SAVE_OK ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    const int notes = NotesIn(target);
    EXPECT_TRUE(notes == 40 || notes == 60) << notes;
    olds += notes == 40;
    news += notes == 60;
    if (database) {
      EXPECT_EQ(Integrity(target, ext == "qyde"), "ok");
    }
    // The next save takes the target back to the old document and clears
    // whatever the killed one left.
    ASSERT_EQ(Save(before, target), DOC_SAVE_OK);
    EXPECT_EQ(Entries(dir.Path()), std::vector<std::string>{"t." + ext});
  }
  EXPECT_GT(olds, 0);  // the kills did land inside saves
}

INSTANTIATE_TEST_SUITE_P(EveryDocumentFormat, SaveCrash, ::testing::Values("qydb", "qyde", "qyd", "qyz"));

}  // namespace
