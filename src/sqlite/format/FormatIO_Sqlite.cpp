// The SQLite format object: construction, closing, the long-running
// transaction, the process-wide SQLite callbacks, the debug tree check and
// the creation of the schema.

#include "sqlite/format/FormatIO_Sqlite.h"

#include <sqlite3.h>

#include <string>

#include "base/Globals.h"
#include "base/Log.h"
#include "sqlite/format/SqliteResults.h"
#include "sqlite/format/SqliteSchema.h"

FormatIO_Sqlite::TraceFn FormatIO_Sqlite::_pfnTrace = nullptr;
void* FormatIO_Sqlite::_pTraceData = nullptr;

namespace {

// Runs one statement with an error record of its own; a failure is copied
// into err unless err already holds an earlier one (the first failure is the
// one the caller reports). Returns whether the statement succeeded.
bool ExecInto(CppSQLite3DB& db, const char* sql, CppSQLite3Exception& err, const char* logFmt) {
  CppSQLite3Exception e;
  db.execDML(sql, &e);
  if (e.errorCode() == 0) return true;
  xLog(LOG_ERROR, logFmt, e.errorMessage() ? e.errorMessage() : "");
  if (err.errorCode() == 0) err = e;
  return false;
}

}  // namespace

FormatIO_Sqlite::FormatIO_Sqlite() = default;

FormatIO_Sqlite::~FormatIO_Sqlite() { Close(); }

void FormatIO_Sqlite::Close() {
  if (!_bLoadedByAnotherProcess) {
    if (_bInTransaction) {
      CppSQLite3Exception e;
      _db.execDML("ROLLBACK", &e);
      if (e.errorCode() != 0) xLog(LOG_ERROR, "%s\n", e.errorMessage() ? e.errorMessage() : "");
    }
    _bInTransaction = false;
  }
  if (_db.close() != 0) xLog(LOG_ERROR, "Failed to close the sqlite database\n");
}

void FormatIO_Sqlite::StartTransaction(CppSQLite3Exception& err) const {
  if (_bLoadedByAnotherProcess) return;
  ExecInto(_db, _bEnableSharing ? "BEGIN" : "BEGIN EXCLUSIVE", err, "%s\n");
}

void FormatIO_Sqlite::StartTransaction() const {
  CppSQLite3Exception e;
  StartTransaction(e);
}

void FormatIO_Sqlite::CommitTransaction(CppSQLite3Exception& err) const {
  if (_bChangeLost && !_bLoadedByAnotherProcess) {
    // What did arrive without what was lost is a state the document never
    // had: the file stays as last saved.
    xLog(LOG_ERROR, "Sqlite format: not committed: changes since the last save could not be written\n");
    if (err.errorCode() == 0) err = CppSQLite3Exception(CPPSQLITE_ERROR, "changes since the last save were lost");
    return;
  }
  sqlite3* db = _db.handle();
  const bool wasOpen = db && !sqlite3_get_autocommit(db);
  if (ExecInto(_db, "COMMIT TRANSACTION", err, "%s\n") || !wasOpen || !sqlite3_get_autocommit(db)) return;
  // SQLite dropped the transaction (a full disk, an I/O error): what was
  // written since the last commit is gone from the file while the document
  // still shows it, so no later save to this file may report success. The
  // next transaction begins at once, so that later changes are not
  // committed one by one. A commit that failed on a lock leaves the
  // transaction open, and a later commit may still succeed.
  xLog(LOG_ERROR, "Sqlite format: the commit was rolled back; the changes since the last save are not in the file\n");
  ChangeNotWritten();
  if (sqlite3_get_autocommit(db)) StartTransaction();
}

namespace {

// Sets _bChangeLost; the first time, with the result and reason a save is to
// report, from the connection's last failure (each writer records a lost
// change right after the statement that failed).
void RecordLoss(const FormatIO_Sqlite& fmt) {
  if (fmt._bChangeLost) return;
  sqlite3* db = fmt._db.handle();
  fmt._strLostReason.clear();
  fmt._nLostResult =
      db ? quillery::SqliteSaveResult(sqlite3_extended_errcode(db), db, DOC_SAVE_COMMIT_FAILED, &fmt._strLostReason)
         : DOC_SAVE_COMMIT_FAILED;
  // A change that a Ctrl-C stopped does not make a later save a cancelled one.
  if (fmt._nLostResult == DOC_SAVE_ABORTED) fmt._nLostResult = DOC_SAVE_COMMIT_FAILED;
  fmt._bChangeLost = true;
}

}  // namespace

void FormatIO_Sqlite::ChangeNotWritten() const {
  RecordLoss(*this);
  BeforeChange();
}

void FormatIO_Sqlite::TransactionDropped() const {
  xLog(LOG_ERROR, "Sqlite format: SQLite dropped the transaction; the changes since the last save are not in the "
                  "file\n");
  RecordLoss(*this);
  CppSQLite3Exception err;
  StartTransaction(err);
  if (err.errorCode() == 0) return;
  // Outside a transaction every change would be committed by itself: the
  // connection writes nothing more (changes fail and are lost as well).
  _db.execDML("PRAGMA query_only=ON", nullptr);
  _bInTransaction = false;
}

void FormatIO_Sqlite::CommitTransaction() const {
  CppSQLite3Exception e;
  CommitTransaction(e);
}

std::string FormatIO_Sqlite::GetFormatVersion() const { return std::to_string(_nFormatVersion); }

void FormatIO_Sqlite::RegisterSqlTraceHandler(TraceFn fn, void* context) {
  _pfnTrace = fn;
  _pTraceData = context;
}

bool FormatIO_Sqlite::RegisterErrLogHandler(ErrLogFn fn, void* context) {
  // SQLite accepts this only while it is not initialised.
  return sqlite3_config(SQLITE_CONFIG_LOG, fn, context) == SQLITE_OK;
}

void FormatIO_Sqlite::AssertNodeValid(const char* parentID) const {
  if (!g_bDebugMode || !parentID) return;
  CppSQLite3Buffer sql;
  sql.format("SELECT note_pos FROM notes_tree WHERE note_pid=%Q ORDER BY note_pos ASC", parentID);
  CppSQLite3Exception e;
  CppSQLite3Query q = _db.execQuery(sql, &e);
  int expected = 0;
  while (e.errorCode() == 0 && !q.eof()) {
    const int found = q.getIntField(0, 0);
    if (found != expected) {
      xLog(LOG_ERROR, "Sqlite format: error with tree position (starting from %d) for parent node=%s (val=%d)\n",
           expected, parentID, found);
      return;
    }
    ++expected;
    q.nextRow(&e);
  }
  if (e.errorCode() != 0) xLog(LOG_ERROR, "%s\n", e.errorMessage() ? e.errorMessage() : "");
}

void FormatIO_Sqlite::CreateTables(CppSQLite3Exception& err) const {
  for (const char* sql : quillery::sqlite_schema::kCreateTableSql)
    if (!ExecInto(_db, sql, err, "Sqlite format [create tables]: Error: %s\n")) return;
}

void FormatIO_Sqlite::CreateIndexes(CppSQLite3Exception& err) const {
  std::string script;
  for (const char* sql : quillery::sqlite_schema::kCreateIndexSql) {
    script += sql;
    script += ";";
  }
  ExecInto(_db, script.c_str(), err, "Sqlite format [create indexes]: Error: %s\n");
}
