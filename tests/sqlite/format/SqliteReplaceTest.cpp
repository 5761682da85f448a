// Saving over an existing database: a hot journal is rolled back onto the
// old file (never replayed onto the new one, and no new file is made beside
// the journal of one that was removed), a file or a save that another
// process holds is refused, a file of another key is replaced only without
// a journal, and the temporary file of a save that died is cleared.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <memory>

#include "save/SafeSave.h"
#include "common/RawSqlite.h"
#include "sqlite/codec/CodecVfs.h"
#include "model/FileFormatFactory.h"
#include "sqlite/format/SqliteWriteTestUtil.h"

using namespace qysqlw;
using quillery_test::RawSqlite;

namespace {

class SqliteReplace : public ::testing::Test {
 protected:
  void SetUp() override {
    FileFormatFactory::Get().Register(FORMAT_QYDB, []() -> FormatIO_Base* { return new FormatIO_Sqlite; });
    for (int i = 0; i < 30; ++i) AddNote(doc, "", "N" + std::to_string(100 + i), "new", std::string(3000, 'n'));
    RawSqlite(path).Exec("CREATE TABLE filler(x); BEGIN; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 "
                         "FROM n WHERE i<200) INSERT INTO filler SELECT randomblob(3000) FROM n; COMMIT");
  }
  void TearDown() override { FileFormatFactory::Get().Register(FORMAT_QYDB, nullptr); }

  int Save() {
    RecursiveTreeWalker walker(doc);
    return doc.Save(path.c_str(), walker, false);
  }
  // hold runs in a child process, which waits while check runs here, then
  // ends with release's answer; the child must end well.
  void WhileHeld(std::function<bool()> hold, std::function<void()> check, std::function<bool()> release) {
    int ready[2], go[2];
    ASSERT_TRUE(pipe(ready) == 0 && pipe(go) == 0);
    const pid_t pid = fork();
    char c = 'n';
    if (pid == 0) {
      c = hold() ? 'y' : 'n';
      _exit(write(ready[1], &c, 1) == 1 && read(go[0], &c, 1) == 1 && release() ? 0 : 1);
    }
    ASSERT_TRUE(read(ready[0], &c, 1) == 1 && c == 'y');
    check();
    ASSERT_EQ(write(go[1], &c, 1), 1);
    int status = 0;
    EXPECT_TRUE(waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (int fd : {ready[0], ready[1], go[0], go[1]}) close(fd);
  }
  void Refused() {
    EXPECT_EQ(Save(), DOC_SAVE_RENAME_FAILED);
    EXPECT_EQ(quillery::TakeFailureReason(), "in use by another program");
  }
  bool Exists(const std::string& p) { return access(p.c_str(), F_OK) == 0; }
  std::string Notes() { return RawSqlite(path).Scalar("SELECT count(*) FROM notes"); }

  TempDir dir;
  std::string path = dir / "t.qydb";
  NoteDocument doc;
};

TEST_F(SqliteReplace, AHotJournalIsRolledBackOntoTheOldFileNotTheNewOne) {
  // A writer dies in a transaction whose pages already reached the file.
  std::unique_ptr<RawSqlite> writer;
  WhileHeld([&] { writer.reset(new RawSqlite(path));
                  return writer->Exec("PRAGMA cache_size=5; BEGIN; UPDATE filler SET x=randomblob(3100)").empty(); },
            [] {}, [&] { return Exists(path + "-journal"); });
  ASSERT_EQ(Save(), DOC_SAVE_OK);
  EXPECT_FALSE(Exists(path + "-journal"));
  EXPECT_EQ(RawSqlite(path).Scalar("PRAGMA integrity_check"), "ok");
  EXPECT_EQ(Notes(), "30");
}

TEST_F(SqliteReplace, ANewDatabaseIsNeverMadeBesideTheHotJournalOfARemovedFile) {
  std::unique_ptr<RawSqlite> writer;
  WhileHeld([&] { writer.reset(new RawSqlite(path));
                  return writer->Exec("PRAGMA cache_size=5; BEGIN; UPDATE filler SET x=randomblob(3100)").empty(); },
            [] {}, [&] { return Exists(path + "-journal"); });
  // The file goes; its journal stays, which SQLite would delete beside a
  // new file of that name: the save leaves it and names it.
  ASSERT_EQ(unlink(path.c_str()), 0);
  const std::string journal = qycont::ReadFile(path + "-journal");
  ASSERT_EQ(Save(), DOC_SAVE_NOT_OPEN);
  EXPECT_EQ(quillery::TakeFailureReason().rfind("t.qydb-journal is in the way", 0), 0u);
  EXPECT_TRUE(qycont::ReadFile(path + "-journal") == journal);
  EXPECT_FALSE(Exists(path));
}

TEST_F(SqliteReplace, ATargetOrASaveAnotherProcessHoldsIsNotReplaced) {
  struct stat before, after;
  ASSERT_EQ(stat(path.c_str(), &before), 0);
  std::unique_ptr<RawSqlite> holder;
  WhileHeld([&] { holder.reset(new RawSqlite(path));
                  return holder->Exec("BEGIN IMMEDIATE; INSERT INTO filler VALUES ('held')").empty(); },
            [&] { Refused(); }, [&] { return holder->Exec("COMMIT").empty(); });
  // The holder's commit landed in the file that is still the target.
  ASSERT_EQ(stat(path.c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(RawSqlite(path).Scalar("SELECT count(*) FROM filler WHERE x='held'"), "1");

  // Another save of the same target, which then dies without cleaning up.
  const std::string temp = quillery::TempFile::NameFor(path);
  quillery::TempFile live;
  WhileHeld([&] { return live.Create(temp) == 0; }, [&] { Refused(); }, [] { return true; });
  // Its journal, which SQLite gives its file's mode.
  { std::ofstream(temp + "-journal") << "stale"; }
  ASSERT_EQ(chmod((temp + "-journal").c_str(), 0600), 0);
  ASSERT_EQ(Save(), DOC_SAVE_OK);
  EXPECT_FALSE(Exists(temp) || Exists(temp + "-journal"));
  EXPECT_EQ(Notes(), "30");
}

TEST_F(SqliteReplace, AFileOfAnotherKeyIsReplacedOnlyWithoutAJournal) {
  { std::ofstream(path, std::ios::binary) << std::string(4096, 'j'); }
  { std::ofstream(path + "-journal", std::ios::binary) << std::string(512, 'J'); }
  EXPECT_EQ(Save(), DOC_SAVE_RENAME_FAILED);
  EXPECT_EQ(File64::FileSize(path), 4096);
  unlink((path + "-journal").c_str());
  ASSERT_EQ(Save(), DOC_SAVE_OK);
  EXPECT_EQ(Notes(), "30");
}

// The disk fills up at the nth write to a database file after the first
// journal write (only the target's replacement writes a journal file).
int g_failAt = -1;
bool g_journalSeen = false;
int FullAfterJournal(bool journal, sqlite3_int64, int) {
  if (journal) g_journalSeen = true;
  else if (g_journalSeen && g_failAt-- == 0) return SQLITE_FULL;
  return SQLITE_OK;
}

TEST_F(SqliteReplace, AReplacementThatFailsLeavesTheTargetAsItWasWithoutAJournal) {
  for (int i = 0; i < 150; ++i) AddNote(doc, "", "M" + std::to_string(i), "more", std::string(20000, 'm'));
  const std::string before = qycont::ReadFile(path);
  quillery::CodecVfsSetWriteHook(FullAfterJournal);
  int failed = 0;
  for (int at = 0; at < 2000; at += 50) {
    SCOPED_TRACE(at);
    g_failAt = at;
    g_journalSeen = false;
    const int r = Save();
    if (r == DOC_SAVE_OK) break;  // past the last write
    ++failed;
    EXPECT_EQ(r, DOC_SAVE_WRITE_ERROR);
    EXPECT_FALSE(Exists(path + "-journal"));
    EXPECT_TRUE(qycont::ReadFile(path) == before);
  }
  quillery::CodecVfsSetWriteHook(nullptr);
  EXPECT_GT(failed, 3);
  EXPECT_EQ(Notes(), "180");
}

// A target in write-ahead-log mode takes pages of another size; it stays in
// that mode.
TEST_F(SqliteReplace, AWriteAheadLogTargetWithAnotherPageSizeIsReplaced) {
  unlink(path.c_str());
  RawSqlite(path).Exec("PRAGMA page_size=8192; PRAGMA journal_mode=WAL; CREATE TABLE t(x)");
  ASSERT_EQ(Save(), DOC_SAVE_OK);
  EXPECT_EQ(Notes(), "30");
  EXPECT_EQ(RawSqlite(path).Scalar("PRAGMA journal_mode"), "wal");
}

}  // namespace
