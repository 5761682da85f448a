// Loading a file that another process holds, or that may only be read.
// SQLite locks between two connections of one process as between two
// processes, so a raw connection of the test plays the other program. The
// waits here are the format's busy timeout (a few seconds each).

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "model/RecursiveTreeWalker.h"
#include "save/SafeSave.h"
#include "sqlite/format/SqliteLoadFixture.h"

using namespace quillery_test;

namespace {

TEST_F(SqliteLoadTest, FileHeldExclusivelyIsNotOpened) {
  const std::string path = NewDb();
  RawDb other(path);
  AddNote(other, "A", "", 0, "A");
  other.Exec("BEGIN EXCLUSIVE");
  NoteDocument doc;
  EXPECT_EQ(doc.Load(path.c_str(), nullptr, FORMAT_QYDB, false), DOC_LOAD_NOT_OPEN);
  other.Exec("ROLLBACK");
}

TEST_F(SqliteLoadTest, SharedFileLoadsWithoutTransaction) {
  const std::string path = NewDb();
  RawDb other(path);
  AddNote(other, "A", "", 0, "A");
  AddNote(other, "B", "", 1, "B");
  // The other program reads inside its own long-running transaction.
  other.Exec("BEGIN");
  EXPECT_EQ(other.Scalar("SELECT count(*) FROM notes"), "2");
  NoteDocument doc;
  ASSERT_EQ(doc.Load(path.c_str(), nullptr, FORMAT_QYDB, true), DOC_LOAD_OK);
  FormatIO_Sqlite* fmt = Loader(doc);
  ASSERT_NE(fmt, nullptr);
  EXPECT_TRUE(fmt->IsLoadedByAnotherProcess());
  EXPECT_TRUE(fmt->InTransaction());
  EXPECT_EQ(doc.GetNodeCount(), 2);
  other.Exec("COMMIT");
}

// Saving in place a file that another program holds for writing fails
// after one wait for the lock, and says so, rather than after a wait for
// every statement with the blame on the commit.
TEST_F(SqliteLoadTest, SaveInPlaceOfAHeldFileSaysItIsInUse) {
  const std::string path = NewDb();
  RawDb other(path);
  AddNote(other, "A", "", 0, "A");
  other.Exec("BEGIN IMMEDIATE");
  NoteDocument doc;
  ASSERT_EQ(doc.Load(path.c_str(), nullptr, FORMAT_QYDB, true), DOC_LOAD_OK);
  ASSERT_TRUE(Loader(doc) && Loader(doc)->IsLoadedByAnotherProcess());
  doc.SetTitle("Saved");
  RecursiveTreeWalker walker(doc);
  quillery::ClearFailureReason();
  EXPECT_EQ(doc.Save(path.c_str(), walker, false), DOC_SAVE_RENAME_FAILED);
  EXPECT_EQ(quillery::TakeFailureReason(), "in use by another program");
  other.Exec("ROLLBACK");
  EXPECT_EQ(other.Scalar("SELECT count(*) FROM options WHERE opt_value='Saved'"), "0");
}

// Loads the file as an unprivileged user when running as root; returns the
// load result, plus 16 when the file counted as held by another process.
int LoadReadOnly(const std::string& dir, const std::string& path, bool sharing) {
  auto load = [&]() {
    FormatIO_Base::SetEnableSharing(sharing);
    NoteDocument doc;
    const int r = doc.Load(path.c_str(), nullptr, FORMAT_QYDB, sharing);
    FormatIO_Base* f = doc.GetLoader();
    return r + (f && f->IsLoadedByAnotherProcess() ? 16 : 0);
  };
  chmod(path.c_str(), 0444);
  if (geteuid() != 0) return load();
  chmod(dir.c_str(), 0755);
  const pid_t pid = fork();
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(100);
    _exit(load());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(SqliteLoadTest, ReadOnlyFileCountsAsHeldElsewhere) {
  const std::string path = NewDb();
  {
    RawDb db(path);
    AddNote(db, "A", "", 0, "A");
  }
  EXPECT_EQ(LoadReadOnly(m_dir.Path(), path, false), DOC_LOAD_NOT_OPEN + 16);
  EXPECT_EQ(LoadReadOnly(m_dir.Path(), path, true), DOC_LOAD_OK + 16);
}

TEST_F(SqliteLoadTest, ReadOnlyFileIsRefusedRatherThanReadWithoutItsNotes) {
  const std::string path = NewDb();
  {
    RawDb db(path);
    AddNote(db, "A", "", 0, "A");
    db.Exec("ALTER TABLE tasks DROP COLUMN alarm_mode");  // version 18
  }
  EXPECT_EQ(LoadReadOnly(m_dir.Path(), path, true), DOC_LOAD_FORMAT_ERROR + 16);
  const std::string damaged = NewDb("damaged.qydb");
  RawDb(damaged).Exec("DROP TABLE notes_tree");  // the tree cannot be read
  EXPECT_EQ(LoadReadOnly(m_dir.Path(), damaged, true), DOC_LOAD_FORMAT_ERROR + 16);
}

// A read-only load reads one state of its file until it is closed: a
// writer waits (fails busy) or, with a write-ahead log, writes past it.
TEST_F(SqliteLoadTest, ReadOnlyLoadReadsOneStateUntilClosed) {
  for (bool wal : {false, true}) {
    SCOPED_TRACE(wal ? "write-ahead log" : "rollback journal");
    const std::string path = m_dir / (wal ? "wal.qydb" : "journal.qydb");
    CreateSchema(path);
    RawDb other(path);
    if (wal) other.Exec("PRAGMA journal_mode=WAL");
    AddNote(other, "A", "", 0, "A", "old text");
    NoteDocument doc;
    doc.SetReadOnlyLoad(true);
    ASSERT_EQ(doc.Load(path.c_str(), nullptr, FORMAT_QYDB, false), DOC_LOAD_OK);
    EXPECT_EQ(other.RawSqlite::Exec("DELETE FROM notes"), wal ? "" : "database is locked");
    NoteNode& a = doc.GetNodeByIdx(0);
    Loader(doc)->FetchNodeInfo(a, NIF_TEXT);
    EXPECT_EQ(a.GetText(), "old text");
    doc.Close();
    EXPECT_EQ(other.RawSqlite::Exec("DELETE FROM notes"), "");  // free again
  }
}

}  // namespace
