// The SQLite format object: construction, the long-running transaction and
// Close, two connections on one file acting as two processes, the schema
// statements and the debug tree check.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "base/Globals.h"
#include "base/Log.h"
#include "common/RawSqlite.h"
#include "common/TempDir.h"
#include "sqlite/format/FormatIO_Sqlite.h"
#include "sqlite/format/SqliteFormatAttach.h"
#include "sqlite/format/SqliteSchema.h"

using quillery::LogCapture;
using quillery_test::RawSqlite;
using quillery_test::TempDir;

namespace {

// Opens the format's connection on path the way a load does, without a load.
void Attach(FormatIO_Sqlite& fmt, const std::string& path) { quillery_test::AttachSqliteFormat(fmt, path, 0); }

bool InTransaction(FormatIO_Sqlite& fmt) { return sqlite3_get_autocommit(fmt._db.handle()) == 0; }

struct SharingGuard {
  bool saved = FormatIO_Base::_bEnableSharing;
  ~SharingGuard() { FormatIO_Base::_bEnableSharing = saved; }
};

}  // namespace

TEST(SqliteObject, ConstructionAndIdentity) {
  FormatIO_Sqlite fmt;
  EXPECT_EQ(fmt._nDetectedVersion, -1);
  EXPECT_EQ(fmt._nFormatVersion, -1);
  EXPECT_FALSE(fmt._db.isOpen());
  EXPECT_FALSE(fmt.InTransaction());
  EXPECT_FALSE(fmt._bHasIsTaskColumn);
  EXPECT_EQ(fmt._nFirstLoadedIdx, -1);
  EXPECT_EQ(fmt.GetFormat(), 15);
  EXPECT_TRUE(fmt.IsDynamic());
  EXPECT_FALSE(fmt.IsEncrypted());
  EXPECT_EQ(fmt.GetFormatVersion(), "-1");
  fmt._nFormatVersion = 21;
  EXPECT_EQ(fmt.GetFormatVersion(), "21");
  LogCapture cap;
  fmt.Close();  // nothing open: nothing to report
  EXPECT_FALSE(cap.Contains("Failed to close"));
}

TEST(SqliteObject, CloseRollsBackWhatWasNotCommitted) {
  TempDir dir;
  const std::string path = dir / "doc.qydb";
  {
    FormatIO_Sqlite fmt;
    Attach(fmt, path);
    CppSQLite3Exception e;
    fmt.CreateTables(e);
    ASSERT_EQ(e.errorCode(), 0);
    fmt.StartTransaction(e);
    ASSERT_EQ(e.errorCode(), 0);
    fmt._bInTransaction = true;
    fmt._db.execDML("INSERT INTO options (opt_name, opt_value) VALUES ('kept', '1')", &e);
    fmt.CommitTransaction(e);
    fmt.StartTransaction(e);
    fmt._db.execDML("INSERT INTO options (opt_name, opt_value) VALUES ('dropped', '1')", &e);
    ASSERT_EQ(e.errorCode(), 0);
    fmt.Close();
    EXPECT_FALSE(fmt.InTransaction());
    EXPECT_FALSE(fmt._db.isOpen());
  }
  RawSqlite raw(path);
  EXPECT_EQ(raw.Rows("SELECT opt_name FROM options"), std::vector<std::string>{"kept"});
}

TEST(SqliteObject, TransactionKindFollowsSharing) {
  SharingGuard guard;
  TempDir dir;
  const std::string path = dir / "doc.qydb";
  FormatIO_Sqlite fmt;
  Attach(fmt, path);
  CppSQLite3Exception e;
  fmt.CreateTables(e);
  fmt._db.execDML("INSERT INTO options (opt_name, opt_value) VALUES ('a', '1')", &e);
  ASSERT_EQ(e.errorCode(), 0);

  // Sharing enabled: a deferred transaction; another process still reads.
  FormatIO_Base::_bEnableSharing = true;
  fmt.StartTransaction(e);
  ASSERT_EQ(e.errorCode(), 0);
  EXPECT_TRUE(InTransaction(fmt));
  {
    RawSqlite other(path);
    EXPECT_EQ(other.Scalar("SELECT opt_value FROM options WHERE opt_name='a'"), "1");
  }
  fmt.CommitTransaction(e);
  ASSERT_EQ(e.errorCode(), 0);
  EXPECT_FALSE(InTransaction(fmt));

  // Sharing disabled: the file is held exclusively; another process's read
  // fails with SQLITE_BUSY while the transaction is open.
  FormatIO_Base::_bEnableSharing = false;
  fmt.StartTransaction(e);
  ASSERT_EQ(e.errorCode(), 0);
  {
    RawSqlite other(path);
    sqlite3_stmt* st = nullptr;
    const int rc = sqlite3_prepare_v2(other.handle(), "SELECT count(*) FROM options", -1, &st, nullptr);
    const int step = rc == SQLITE_OK ? sqlite3_step(st) : rc;
    sqlite3_finalize(st);
    EXPECT_EQ(step & 0xff, SQLITE_BUSY);
  }
  // A second begin fails, stays in the record and is logged.
  LogCapture cap;
  CppSQLite3Exception e2;
  fmt.StartTransaction(e2);
  EXPECT_NE(e2.errorCode(), 0);
  EXPECT_TRUE(cap.Contains("cannot start a transaction within a transaction", LOG_ERROR));
  fmt.CommitTransaction();
  EXPECT_FALSE(InTransaction(fmt));
}

TEST(SqliteObject, FileHeldByAnotherProcessGetsNoTransactionOfOurs) {
  TempDir dir;
  const std::string path = dir / "doc.qydb";
  FormatIO_Sqlite fmt;
  Attach(fmt, path);
  fmt._bLoadedByAnotherProcess = true;
  CppSQLite3Exception e;
  fmt.StartTransaction(e);
  EXPECT_EQ(e.errorCode(), 0);
  EXPECT_FALSE(InTransaction(fmt));
  fmt._bInTransaction = true;  // as Load leaves it
  LogCapture cap;
  fmt.Close();
  EXPECT_FALSE(cap.Contains("no transaction is active"));
  EXPECT_TRUE(fmt.InTransaction());  // untouched for a file held elsewhere
  EXPECT_FALSE(fmt._db.isOpen());
}

TEST(SqliteObject, FailedRollbackIsLoggedAndCloseStillCloses) {
  TempDir dir;
  FormatIO_Sqlite fmt;
  Attach(fmt, dir / "doc.qydb");
  fmt._bInTransaction = true;  // but no transaction is open
  LogCapture cap;
  fmt.Close();
  EXPECT_TRUE(cap.Contains("no transaction is active", LOG_ERROR));
  EXPECT_FALSE(fmt.InTransaction());
  EXPECT_FALSE(fmt._db.isOpen());
}

TEST(SqliteSchema, CreatesSixteenTablesAndFifteenIndexesOnce) {
  TempDir dir;
  const std::string path = dir / "doc.qydb";
  FormatIO_Sqlite fmt;
  Attach(fmt, path);
  CppSQLite3Exception e;
  fmt.CreateTables(e);
  fmt.CreateIndexes(e);
  ASSERT_EQ(e.errorCode(), 0);
  RawSqlite raw(path);
  const std::vector<std::string> tables =
      raw.Rows("SELECT name FROM sqlite_master WHERE type='table' AND name NOT LIKE 'sqlite_%' ORDER BY rowid");
  const std::vector<std::string> expectTables = {
      "options",   "notes", "notes_tree",        "images", "attachments", "formatting",
      "tags",      "tags_notes", "links",        "bookmarks", "tasks",     "custom_properties",
      "icons",     "anchors", "deletions",       "deletions_attachments"};
  EXPECT_EQ(tables, expectTables);
  EXPECT_EQ(raw.Names("index").size(), static_cast<size_t>(quillery::sqlite_schema::kIndexCount));
  for (const char* idx : quillery::sqlite_schema::kIndexNames) EXPECT_TRUE(raw.Names("index").count(idx)) << idx;

  const std::vector<std::string> notes = {
      "note_id", "note_title", "note_text", "note_clone_id", "date_created", "date_modified", "icon_type",
      "icon_info", "is_finished", "is_readonly", "is_template", "syntax_highlight", "use_custom_txt_color",
      "use_custom_bkg_color", "use_custom_font", "custom_txt_color", "custom_bkg_color", "custom_font",
      "use_custom_note_bkg_color", "custom_note_bkg_color", "hash", "hash_html"};
  EXPECT_EQ(raw.Columns("notes"), notes);
  EXPECT_EQ(raw.Columns("tasks").size(), 15u);
  EXPECT_EQ(raw.Columns("attachments").size(), 10u);
  EXPECT_EQ(raw.Scalar("SELECT dflt_value FROM pragma_table_info('attachments') WHERE name='att_size'"), "0");
  EXPECT_EQ(fmt.CalcFormatVersion(), 21);

  // Running both again changes nothing.
  const std::vector<std::string> before = raw.Rows("SELECT type, name, sql FROM sqlite_master ORDER BY rowid");
  fmt.CreateTables(e);
  fmt.CreateIndexes(e);
  EXPECT_EQ(e.errorCode(), 0);
  EXPECT_EQ(raw.Rows("SELECT type, name, sql FROM sqlite_master ORDER BY rowid"), before);
}

TEST(SqliteSchema, TableCreationStopsAtTheFirstFailure) {
  TempDir dir;
  const std::string path = dir / "doc.qydb";
  {
    RawSqlite raw(path);
    // An index that takes the third table's name.
    ASSERT_EQ(raw.Exec("CREATE TABLE t (a); CREATE INDEX notes_tree ON t(a)"), "");
  }
  FormatIO_Sqlite fmt;
  Attach(fmt, path);
  LogCapture cap;
  CppSQLite3Exception e;
  fmt.CreateTables(e);
  EXPECT_EQ(e.errorCode(), SQLITE_ERROR);
  EXPECT_TRUE(cap.Contains("Sqlite format [create tables]: Error: ", LOG_ERROR));
  RawSqlite raw(path);
  EXPECT_EQ(raw.Names("table"), (std::set<std::string>{"t", "options", "notes"}));
}

TEST(SqliteObject, AssertNodeValidReportsTheFirstGapInDebugMode) {
  TempDir dir;
  const std::string path = dir / "doc.qydb";
  FormatIO_Sqlite fmt;
  Attach(fmt, path);
  CppSQLite3Exception e;
  fmt.CreateTables(e);
  fmt._db.execDML(
      "INSERT INTO notes_tree (note_id, note_pid, note_pos) VALUES ('a','P',0), ('b','P',1), ('c','P',3), "
      "('d','P',4), ('e','Q',0)",
      &e);
  ASSERT_EQ(e.errorCode(), 0);
  const bool saved = g_bDebugMode;
  {
    LogCapture cap;
    g_bDebugMode = false;
    fmt.AssertNodeValid("P");
    EXPECT_TRUE(cap.Lines().empty());
  }
  {
    LogCapture cap;
    g_bDebugMode = true;
    fmt.AssertNodeValid("P");
    fmt.AssertNodeValid("Q");
    fmt.AssertNodeValid("it's");  // an ID with a quote is only looked up
    g_bDebugMode = saved;
    ASSERT_EQ(cap.Lines().size(), 1u);
    EXPECT_EQ(cap.Lines()[0],
              "Sqlite format: error with tree position (starting from 2) for parent node=P (val=3)\n");
  }
}

namespace {
void CountErrLog(void* context, int, const char*) { ++*static_cast<int*>(context); }
}  // namespace

TEST(SqliteObject, ErrorLogHandlerReceivesSqliteErrors) {
  // SQLite takes the handler only while it is not initialised; a child
  // process shuts it down first so that the test's own use does not matter.
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    static int count = 0;
    sqlite3_shutdown();
    const bool taken = FormatIO_Sqlite::RegisterErrLogHandler(CountErrLog, &count);
    sqlite3* db = nullptr;
    sqlite3_open(":memory:", &db);
    sqlite3_exec(db, "SELEC 1", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    const bool refusedLater = !FormatIO_Sqlite::RegisterErrLogHandler(CountErrLog, &count);
    _exit(taken && count > 0 && refusedLater ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
