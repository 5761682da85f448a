#include "sqlite/access/CppSQLite3DB.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sqlite/codec/CodecVfs.h"
#include "sqlite/access/CppSQLite3Exception.h"
#include "sqlite/codec/SqliteCodecApi.h"

using quillery::SqliteReport;

namespace {

constexpr int kDefaultBusyTimeoutMs = 60000;

// The existence probes paste a schema name into a fixed-size statement. A name
// that does not fit is refused rather than cut (a cut name could match another
// table), and so is one with an apostrophe, which would end the literal and
// let the rest of the name run as SQL.
bool FormatProbe(char (&buf)[128], const char* fmt, const char* name) {
  if (!name || strchr(name, '\'')) return false;
  int n = snprintf(buf, sizeof(buf), fmt, name);
  return n > 0 && static_cast<size_t>(n) < sizeof(buf);
}

// The size of the write-ahead log beside the database file path, -1 when
// there is none (or something that is no regular file). A log of a
// non-zero size holds frames: changes a writer committed and that may not
// yet be in the file.
off_t LogSize(const std::string& path) {
  struct stat wal;
  return !path.empty() && lstat((path + "-wal").c_str(), &wal) == 0 && S_ISREG(wal.st_mode) ? wal.st_size : -1;
}

// A read-only connection to a database in write-ahead-log mode makes the
// log and its index beside the file when they are missing, and cannot
// remove them: only a connection that may write removes them, at its close,
// when it is the last connection to the file. So before such a connection
// closes, a second one that may write opens and reads (while the first
// still holds the file, no other program can have put a journal there);
// closed after the first, it checkpoints the log and removes both, unless
// another connection uses them. Only an empty log is taken on: it holds no
// one's changes, so the checkpoint writes nothing into the file. Null when
// there is nothing to remove or it cannot be done.
sqlite3* OpenWalSweeper(sqlite3* readOnly) {
  if (sqlite3_db_readonly(readOnly, "main") != 1) return nullptr;
  const char* file = sqlite3_db_filename(readOnly, "main");
  if (!file || !*file) return nullptr;
  const std::string path = file;
  if (LogSize(path) != 0) return nullptr;
  struct stat journal;
  if (lstat((path + "-journal").c_str(), &journal) == 0) return nullptr;
  sqlite3* sweeper = nullptr;
  if (sqlite3_open_v2(path.c_str(), &sweeper, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) == SQLITE_OK &&
      CppSQLite3DB::distrustSchema(sweeper) == SQLITE_OK && sqlite3_db_readonly(sweeper, "main") == 0 &&
      sqlite3_exec(sweeper, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr) == SQLITE_OK)
    return sweeper;
  sqlite3_close(sweeper);
  return nullptr;
}

}  // namespace

CppSQLite3DB::CppSQLite3DB() : mpDB(nullptr), mnBusyTimeoutMs(kDefaultBusyTimeoutMs) {}

CppSQLite3DB::CppSQLite3DB(sqlite3* handle)
    : mpDB(handle), mnBusyTimeoutMs(kDefaultBusyTimeoutMs) {}

CppSQLite3DB::~CppSQLite3DB() { close(); }

bool CppSQLite3DB::checkDB(CppSQLite3Exception* err) const {
  if (mpDB) return true;
  SqliteReport(err, CPPSQLITE_ERROR, "Database not open");
  return false;
}

int CppSQLite3DB::open(const char* path, CppSQLite3Exception* err, bool readOnly) {
  close();
  // Connections go through the enciphering file layer, so that any of them
  // can be keyed.
  quillery::CodecVfsRegister();
  // Taken before SQLite opens the log: whether it held another writer's
  // frames when this connection came (see close).
  mbLogHeldFrames = !readOnly && path && LogSize(path) > 0;
  mbCommitted = false;
  // A read-only connection serves one thread at a time (see the header):
  // it goes without the per-call mutex, which costs a lock and an unlock on
  // every column of every row read.
  int rc = readOnly ? sqlite3_open_v2(path ? path : "", &mpDB, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr)
                    : sqlite3_open(path ? path : "", &mpDB);
  if (rc == SQLITE_OK) {
    sqlite3_extended_result_codes(mpDB, 1);
    sqlite3_commit_hook(mpDB, NoteCommit, this);
    rc = distrustSchema(mpDB);
  }
  if (rc != SQLITE_OK) SqliteReport(err, rc, mpDB ? sqlite3_errmsg(mpDB) : sqlite3_errstr(rc));
  if (mpDB) sqlite3_busy_timeout(mpDB, mnBusyTimeoutMs);
  return rc;
}

int CppSQLite3DB::distrustSchema(sqlite3* db) {
  if (!db) return SQLITE_MISUSE;
  struct Setting {
    int op;
    int value;
  };
  static const Setting kSettings[] = {{SQLITE_DBCONFIG_ENABLE_TRIGGER, 0},
                                      {SQLITE_DBCONFIG_ENABLE_VIEW, 0},
                                      {SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0},
                                      {SQLITE_DBCONFIG_DEFENSIVE, 1}};
  for (const Setting& s : kSettings) {
    int now = -1;
    const int rc = sqlite3_db_config(db, s.op, s.value, &now);
    if (rc != SQLITE_OK) return rc;
    // A library that ignores the setting would leave the schema trusted.
    if (now != s.value) return SQLITE_ERROR;
  }
  return SQLITE_OK;
}

int CppSQLite3DB::close() {
  clearStatementCache();
  if (!mpDB) return SQLITE_OK;
  // The last connection to a file in write-ahead-log mode checkpoints the
  // log into the file at its close. One that committed nothing leaves a log
  // that held another writer's frames when it came as it is: moving them
  // would change the file's bytes for a command that wrote nothing (the
  // next writer, or reader, still sees them through the log).
  if (mbLogHeldFrames && !mbCommitted) sqlite3_db_config(mpDB, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  sqlite3* sweeper = OpenWalSweeper(mpDB);
  int rc = sqlite3_close(mpDB);
  // A handle that refuses to close (unfinalized statements) is handed to
  // SQLite to close once they are gone, so it never leaks.
  if (rc != SQLITE_OK) sqlite3_close_v2(mpDB);
  mpDB = nullptr;
  if (sweeper) sqlite3_close(sweeper);
  return rc;
}

int CppSQLite3DB::NoteCommit(void* self) {
  static_cast<CppSQLite3DB*>(self)->mbCommitted = true;
  return 0;  // the commit goes on
}

void CppSQLite3DB::setBusyTimeout(int ms) {
  mnBusyTimeoutMs = ms;
  if (mpDB) sqlite3_busy_timeout(mpDB, ms);
}

sqlite3_stmt* CppSQLite3DB::compile(const char* sql, CppSQLite3Exception* err) {
  if (!checkDB(err)) return nullptr;
  sqlite3_stmt* vm = nullptr;
  int rc = sqlite3_prepare_v2(mpDB, sql ? sql : "", -1, &vm, nullptr);
  if (rc != SQLITE_OK) {
    SqliteReport(err, rc, sqlite3_errmsg(mpDB));
    return nullptr;
  }
  return vm;
}

CppSQLite3Statement CppSQLite3DB::compileStatement(const char* sql, CppSQLite3Exception* err) {
  if (!checkDB(err)) return CppSQLite3Statement();
  return CppSQLite3Statement(mpDB, compile(sql, err));
}

CppSQLite3Statement CppSQLite3DB::cachedStatement(const char* sql, CppSQLite3Exception* err) {
  if (!checkDB(err)) return CppSQLite3Statement();
  if (!sql) sql = "";
  std::unique_ptr<CacheSlot>& slot = mCache[sql];
  if (!slot) slot.reset(new CacheSlot());
  if (slot->lent) return compileStatement(sql, err);  // in use further up: one of its own
  if (!slot->vm) {
    slot->vm = compile(sql, err);
    if (!slot->vm) {
      mCache.erase(sql);
      return CppSQLite3Statement();
    }
  }
  slot->lent = true;
  CppSQLite3Statement stmt(mpDB, slot->vm);
  stmt.mpLender = this;
  stmt.mpSlot = slot.get();
  stmt.mnGeneration = mnCacheGeneration;
  return stmt;
}

void CppSQLite3DB::giveBack(CacheSlot* slot, unsigned generation, sqlite3_stmt* vm) {
  if (generation == mnCacheGeneration && slot && slot->vm == vm) {
    // Ready for the next use: no row pending (no read lock held), no old
    // values (a text bound last time would otherwise stay alive).
    sqlite3_reset(vm);
    sqlite3_clear_bindings(vm);
    slot->lent = false;
    return;
  }
  sqlite3_finalize(vm);  // the cache was cleared while it was lent
}

void CppSQLite3DB::clearStatementCache() {
  for (auto& entry : mCache)
    if (!entry.second->lent && entry.second->vm) sqlite3_finalize(entry.second->vm);
  mCache.clear();
  ++mnCacheGeneration;
}

int CppSQLite3DB::execDML(const char* sql, CppSQLite3Exception* err) {
  if (!checkDB(err)) return -1;
  char* msg = nullptr;
  int rc = sqlite3_exec(mpDB, sql ? sql : "", nullptr, nullptr, &msg);
  if (rc != SQLITE_OK) {
    SqliteReport(err, rc, msg, true);
    return -1;
  }
  return sqlite3_changes(mpDB);
}

CppSQLite3Query CppSQLite3DB::execQuery(const char* sql, CppSQLite3Exception* err) {
  if (!checkDB(err)) return CppSQLite3Query();
  sqlite3_stmt* vm = compile(sql, err);
  if (err && err->errorCode() != 0) {
    // An earlier failure in the shared record decides: run nothing.
    if (vm) sqlite3_finalize(vm);
    return CppSQLite3Query();
  }
  if (!vm) return CppSQLite3Query();  // an empty statement (only blanks or a comment)
  int rc = sqlite3_step(vm);
  if (rc == SQLITE_DONE) return CppSQLite3Query(mpDB, vm, true, true);
  if (rc == SQLITE_ROW) return CppSQLite3Query(mpDB, vm, false, true);
  rc = sqlite3_finalize(vm);
  SqliteReport(err, rc, sqlite3_errmsg(mpDB));
  return CppSQLite3Query();
}

int CppSQLite3DB::execScalar(const char* sql, CppSQLite3Exception* err) {
  CppSQLite3Query q = execQuery(sql);
  if (q.eof() || q.numFields() < 1) {
    SqliteReport(err, CPPSQLITE_ERROR, "Invalid scalar query");
    return -1;
  }
  const char* v = q.fieldValue(0);
  return v ? atoi(v) : 0;
}

CppSQLite3Table CppSQLite3DB::getTable(const char* sql, CppSQLite3Exception* err) {
  if (!checkDB(err)) return CppSQLite3Table();
  char** results = nullptr;
  int rows = 0;
  int cols = 0;
  char* msg = nullptr;
  int rc = sqlite3_get_table(mpDB, sql ? sql : "", &results, &rows, &cols, &msg);
  if (rc != SQLITE_OK) {
    if (results) sqlite3_free_table(results);
    SqliteReport(err, rc, msg, true);
    return CppSQLite3Table();
  }
  return CppSQLite3Table(results, rows, cols);
}

bool CppSQLite3DB::tableExists(const char* table) {
  char sql[128];
  if (!FormatProbe(sql, "select count(*) from sqlite_master where type='table' and name='%s'",
                   table))
    return false;
  return execScalar(sql) > 0;
}

bool CppSQLite3DB::indexExists(const char* index) {
  char sql[128];
  if (!FormatProbe(sql, "PRAGMA index_info('%s')", index)) return false;
  CppSQLite3Exception err;
  CppSQLite3Query q = execQuery(sql, &err);
  return err.errorCode() == 0 && !q.eof();
}

bool CppSQLite3DB::getTableColExists(const char* table, const char* column) {
  if (!mpDB || !table || !column) return false;
  return sqlite3_table_column_metadata(mpDB, nullptr, table, column, nullptr, nullptr, nullptr,
                                       nullptr, nullptr) == SQLITE_OK;
}

sqlite3_int64 CppSQLite3DB::lastRowId() const {
  return mpDB ? sqlite3_last_insert_rowid(mpDB) : 0;
}

int CppSQLite3DB::keyResult(int rc, CppSQLite3Exception* err) {
  if (rc == SQLITE_OK) return rc;
  std::string msg = sqlite3_errmsg(mpDB);
  if (msg.empty() || sqlite3_errcode(mpDB) == SQLITE_OK) msg = sqlite3_errstr(rc);
  close();
  SqliteReport(err, rc, msg.c_str());
  return rc;
}

int CppSQLite3DB::setPassword(const char* password, CppSQLite3Exception* err) {
  if (!checkDB(err)) return CPPSQLITE_ERROR;
  const char* pw = password ? password : "";
  clearStatementCache();
  return keyResult(sqlite3_key(mpDB, pw, static_cast<int>(strlen(pw))), err);
}

int CppSQLite3DB::changePassword(const char* password, CppSQLite3Exception* err) {
  if (!checkDB(err)) return CPPSQLITE_ERROR;
  const char* pw = password ? password : "";
  clearStatementCache();
  return keyResult(sqlite3_rekey(mpDB, pw, static_cast<int>(strlen(pw))), err);
}

void CppSQLite3DB::trace(TraceCallback callback, void* context) {
  if (!mpDB) return;
  sqlite3_trace_v2(mpDB, SQLITE_TRACE_STMT, callback, context);
}
