// Backup, plain dump, compaction and size of an open SQLite document.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "base/File64.h"
#include "base/Log.h"
#include "common/TempDir.h"
#include "sqlite/format/FormatIO_Sqlite.h"
#include "sqlite/format/SqliteOpenDb.h"

using namespace quillery_test;

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteAll(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

// A committed database of n notes with big texts, closed again.
void MakeDatabase(const std::string& path, int n, int textSize) {
  FormatIO_Sqlite fmt;
  ASSERT_TRUE(MakeCommittedDatabase(fmt, path, n, textSize));
}

class SqliteBackupTest : public ::testing::Test {
 protected:
  TempDir dir;
};

TEST_F(SqliteBackupTest, CopyOfAnOpenTransactionIsCompleteAndTheTransactionGoesOn) {
  const std::string db = dir / "doc.qydb", copy = dir / "copy.qydb";
  FormatIO_Sqlite fmt;
  ASSERT_TRUE(OpenLikeLoad(fmt, db));
  ASSERT_TRUE(AddNotes(fmt, "a", 300));
  quillery::LogCapture log;

  ASSERT_TRUE(fmt.BackupTo(copy.c_str()));
  EXPECT_TRUE(log.Has("Backup sqlite: document changes commit\n"));
  EXPECT_TRUE(log.Has("Backup sqlite: document transaction restarted\n"));
  EXPECT_EQ(CountRows(copy, "notes"), 300);
  EXPECT_EQ(CountRows(copy, "notes_tree"), 300);
  EXPECT_TRUE(IntegrityOk(copy));

  // The format is inside a new transaction: what follows is rolled back on
  // close, what came before was committed by the backup.
  EXPECT_TRUE(fmt.InTransaction());
  EXPECT_TRUE(ConnectionInTransaction(fmt));
  ASSERT_TRUE(AddNotes(fmt, "b", 10));
  fmt.Close();
  EXPECT_EQ(CountRows(db, "notes"), 300);
  EXPECT_EQ(CountRows(copy, "notes"), 300);
}

TEST_F(SqliteBackupTest, FailedCopiesReportFalseAndLeaveNothingBehind) {
  const std::string db = dir / "doc.qydb";
  FormatIO_Sqlite fmt;
  // A closed format has nothing to copy: no empty file pretends to be one.
  EXPECT_FALSE(fmt.BackupTo((dir / "none.qydb").c_str()));
  EXPECT_FALSE(File64::PathExists(dir / "none.qydb"));

  ASSERT_TRUE(OpenLikeLoad(fmt, db));
  ASSERT_TRUE(AddNotes(fmt, "a", 5));
  // A folder that does not exist: the transaction is left as it was.
  EXPECT_FALSE(fmt.BackupTo((dir / "missing/copy.qydb").c_str()));
  EXPECT_TRUE(ConnectionInTransaction(fmt));
  // Onto the open database itself.
  EXPECT_FALSE(fmt.BackupTo(db.c_str()));
  // Onto a file that is not a database: it stays as it was.
  const std::string text = dir / "notes.txt";
  WriteAll(text, std::string(5000, 'x'));
  EXPECT_FALSE(fmt.BackupTo(text.c_str()));
  EXPECT_EQ(ReadAll(text), std::string(5000, 'x'));

  fmt.Close();
  EXPECT_EQ(CountRows(db, "notes"), 5);
  EXPECT_TRUE(IntegrityOk(db));
}

TEST_F(SqliteBackupTest, AFileHeldByAnotherProcessIsCopiedWithoutCommitOrBegin) {
  const std::string db = dir / "doc.qydb", copy = dir / "copy.qydb";
  MakeDatabase(db, 12, 10);
  FormatIO_Sqlite fmt;
  ASSERT_TRUE(OpenLikeSharedLoad(fmt, db));
  quillery::LogCapture log;
  ASSERT_TRUE(fmt.BackupTo(copy.c_str()));
  EXPECT_FALSE(log.Contains("", LOG_ERROR)) << log.Lines().size();
  EXPECT_EQ(CountRows(copy, "notes"), 12);
  EXPECT_FALSE(ConnectionInTransaction(fmt));
}

TEST_F(SqliteBackupTest, DiskFullDuringTheCopyReportsFalseAndRemovesThePartialCopy) {
  const std::string db = dir / "doc.qydb", copy = dir / "copy.qydb";
  MakeDatabase(db, 200, 2000);
  ASSERT_GT(File64::FileSize(db), 200000);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    FormatIO_Sqlite fmt;
    if (!OpenLikeLoad(fmt, db)) _exit(2);
    struct rlimit rl = {100000, 100000};
    setrlimit(RLIMIT_FSIZE, &rl);
    const bool ok = fmt.BackupTo(copy.c_str());
    const bool left = File64::PathExists(copy) || File64::PathExists(copy + "-journal");
    const bool still = ConnectionInTransaction(fmt);
    _exit(ok ? 3 : left ? 4 : still ? 0 : 5);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(CountRows(db, "notes"), 200);
}

TEST_F(SqliteBackupTest, DumpFileCopiesAClosedDatabaseAndClosesTheFormat) {
  const std::string db = dir / "doc.qydb", copy = dir / "copy.qydb";
  MakeDatabase(db, 20, 50);
  FormatIO_Sqlite fmt;
  ASSERT_TRUE(OpenLikeLoad(fmt, dir / "other.qydb"));
  EXPECT_TRUE(fmt.DumpFile(db.c_str(), copy.c_str(), nullptr));
  EXPECT_FALSE(fmt._db.isOpen());
  EXPECT_FALSE(fmt.InTransaction());
  EXPECT_EQ(CountRows(copy, "notes"), 20);

  // A missing source is not created, and nothing is copied onto the source.
  const std::string missing = dir / "missing.qydb";
  EXPECT_FALSE(fmt.DumpFile(missing.c_str(), (dir / "x.qydb").c_str(), ""));
  EXPECT_FALSE(File64::PathExists(missing));
  EXPECT_FALSE(File64::PathExists(dir / "x.qydb"));
  EXPECT_FALSE(fmt.DumpFile(db.c_str(), db.c_str(), nullptr));
  EXPECT_EQ(CountRows(db, "notes"), 20);
  // A file that is not a database gives no copy.
  WriteAll(dir / "junk.qydb", std::string(4096, 'j'));
  EXPECT_FALSE(fmt.DumpFile((dir / "junk.qydb").c_str(), (dir / "y.qydb").c_str(), nullptr));
  EXPECT_FALSE(File64::PathExists(dir / "y.qydb"));
}

TEST_F(SqliteBackupTest, CompactionDropsRowsOfMissingNotesOnlyAndShrinksTheFile) {
  const std::string db = dir / "doc.qydb";
  FormatIO_Sqlite fmt;
  ASSERT_TRUE(OpenLikeLoad(fmt, db));
  ASSERT_TRUE(AddNotes(fmt, "keep", 2));
  ASSERT_TRUE(AddNotes(fmt, "gone", 300, 3000));
  for (const char* id : {"keep0", "gone0"}) {
    const std::string n = id;
    ASSERT_TRUE(Exec(fmt, "INSERT INTO custom_properties (note_id, prop_name, prop_value) VALUES ('" + n + "', 'p', 'v')"));
    ASSERT_TRUE(Exec(fmt, "INSERT INTO tags_notes (note_id, tag_id) VALUES ('" + n + "', 1)"));
    ASSERT_TRUE(Exec(fmt, "INSERT INTO attachments (note_id, att_title, att_data) VALUES ('" + n + "', 'a', x'00')"));
    ASSERT_TRUE(Exec(fmt, "INSERT INTO images (note_id, note_offset) VALUES ('" + n + "', 0)"));
    ASSERT_TRUE(Exec(fmt, "INSERT INTO formatting (note_id, note_offset, fmt_tag) VALUES ('" + n + "', 0, 1)"));
    ASSERT_TRUE(Exec(fmt, "INSERT INTO links (note_id, note_offset) VALUES ('" + n + "', 0)"));
    ASSERT_TRUE(Exec(fmt, "INSERT INTO tasks (note_id) VALUES ('" + n + "')"));
    ASSERT_TRUE(Exec(fmt, "INSERT INTO anchors (note_id, anc_name, anc_offset) VALUES ('" + n + "', 'x', 0)"));
    ASSERT_TRUE(Exec(fmt, "INSERT INTO icons (note_id) VALUES ('" + n + "')"));
  }
  ASSERT_TRUE(Exec(fmt, "INSERT INTO custom_properties (note_id, prop_name, prop_value) VALUES (NULL, 'doc', 'v')"));
  ASSERT_TRUE(Exec(fmt, "DELETE FROM notes WHERE note_id LIKE 'gone%'"));
  fmt.CommitTransaction();
  fmt.StartTransaction();
  const float fragmented = fmt.CalcDbFragmentationPercent();
  const int64_t before = fmt.GetFileSize();
  EXPECT_GT(fragmented, 50.0f);

  std::string error = "untouched";
  ASSERT_TRUE(fmt.CompactDatabase(error));
  EXPECT_EQ(error, "untouched");
  EXPECT_TRUE(ConnectionInTransaction(fmt));
  EXPECT_EQ(fmt.CalcDbFragmentationPercent(), 0.0f);
  EXPECT_LT(fmt.GetFileSize(), before / 5);
  fmt.Close();

  for (const char* table : {"tags_notes", "attachments", "images", "formatting", "links", "tasks"}) {
    EXPECT_EQ(QueryFile(db, std::string("SELECT count(*) FROM ") + table + " WHERE note_id='keep0'"), 1) << table;
    EXPECT_EQ(QueryFile(db, std::string("SELECT count(*) FROM ") + table + " WHERE note_id='gone0'"), 0) << table;
  }
  EXPECT_EQ(QueryFile(db, "SELECT count(*) FROM custom_properties WHERE note_id IS NULL"), 1);
  EXPECT_EQ(QueryFile(db, "SELECT count(*) FROM custom_properties WHERE note_id='gone0'"), 0);
  // Tree rows, anchors and icons are not touched.
  EXPECT_EQ(CountRows(db, "notes_tree"), 302);
  EXPECT_EQ(CountRows(db, "anchors"), 2);
  EXPECT_EQ(CountRows(db, "icons"), 2);
  EXPECT_EQ(File64::FileSize(db), QueryFile(db, "PRAGMA page_count") * QueryFile(db, "PRAGMA page_size"));
}

TEST_F(SqliteBackupTest, CompactionStopsAtTheFirstFailureAndRestartsTheTransaction) {
  const std::string db = dir / "doc.qydb";
  FormatIO_Sqlite fmt;
  ASSERT_TRUE(OpenLikeLoad(fmt, db));
  ASSERT_TRUE(AddNotes(fmt, "gone", 100, 3000));
  ASSERT_TRUE(Exec(fmt, "INSERT INTO formatting (note_id, note_offset, fmt_tag) VALUES ('gone1', 0, 1)"));
  ASSERT_TRUE(Exec(fmt, "DELETE FROM notes"));
  ASSERT_TRUE(Exec(fmt, "DROP TABLE links"));
  fmt.CommitTransaction();
  fmt.StartTransaction();
  const float fragmented = fmt.CalcDbFragmentationPercent();

  std::string error;
  EXPECT_FALSE(fmt.CompactDatabase(error));
  EXPECT_NE(error.find("no such table: links"), std::string::npos) << error;
  EXPECT_TRUE(ConnectionInTransaction(fmt));
  // No VACUUM ran; the deletions before the failure were committed.
  EXPECT_EQ(fmt.CalcDbFragmentationPercent(), fragmented);
  fmt.Close();
  EXPECT_EQ(CountRows(db, "formatting"), 0);
}

TEST_F(SqliteBackupTest, SizesOfClosedEmptyAndFilledDatabases) {
  FormatIO_Sqlite fmt;
  EXPECT_EQ(fmt.GetFileSize(), -1);
  EXPECT_EQ(fmt.CalcDocSize(), -1);
  EXPECT_EQ(fmt.CalcDbFragmentationPercent(), -1.0f);

  // An empty file has no pages: no share of free pages (not a division by 0).
  const std::string empty = dir / "empty.qydb";
  WriteAll(empty, "");
  CppSQLite3Exception e;
  fmt._db.open(empty.c_str(), &e);
  EXPECT_EQ(fmt.GetFileSize(), 0);
  EXPECT_EQ(fmt.CalcDbFragmentationPercent(), 0.0f);
  fmt.Close();

  const std::string db = dir / "doc.qydb";
  MakeDatabase(db, 50, 1000);
  FormatIO_Sqlite open;
  ASSERT_TRUE(OpenLikeLoad(open, db));
  EXPECT_EQ(open.GetFileSize(), File64::FileSize(db));
  EXPECT_EQ(open.CalcDocSize(), open.GetFileSize());
  EXPECT_EQ(open.CalcDbFragmentationPercent(), 0.0f);
}

}  // namespace
