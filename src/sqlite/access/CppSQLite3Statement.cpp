#include "sqlite/access/CppSQLite3Statement.h"

#include "sqlite/access/CppSQLite3DB.h"
#include "sqlite/access/CppSQLite3Exception.h"

using quillery::SqliteReport;

CppSQLite3Statement::CppSQLite3Statement() : mpDB(nullptr), mpVM(nullptr) {}

CppSQLite3Statement::CppSQLite3Statement(sqlite3* db, sqlite3_stmt* vm) : mpDB(db), mpVM(vm) {}

CppSQLite3Statement::CppSQLite3Statement(const CppSQLite3Statement& other)
    : mpDB(nullptr), mpVM(nullptr) {
  takeFrom(other);
}

CppSQLite3Statement& CppSQLite3Statement::operator=(const CppSQLite3Statement& other) {
  if (this == &other) return *this;
  finalize();
  takeFrom(other);
  return *this;
}

CppSQLite3Statement::~CppSQLite3Statement() { finalize(); }

void CppSQLite3Statement::takeFrom(const CppSQLite3Statement& other) {
  CppSQLite3Statement& src = const_cast<CppSQLite3Statement&>(other);
  mpDB = src.mpDB;
  mpVM = src.mpVM;
  mpLender = src.mpLender;
  mpSlot = src.mpSlot;
  mnGeneration = src.mnGeneration;
  src.mpVM = nullptr;
  src.mpLender = nullptr;
  src.mpSlot = nullptr;
}

bool CppSQLite3Statement::checkDB(CppSQLite3Exception* err) const {
  if (mpDB) return true;
  SqliteReport(err, CPPSQLITE_ERROR, "Database not open");
  return false;
}

bool CppSQLite3Statement::checkVM(CppSQLite3Exception* err) const {
  if (mpVM) return true;
  SqliteReport(err, CPPSQLITE_ERROR, "Null Virtual Machine pointer");
  return false;
}

int CppSQLite3Statement::execDML(CppSQLite3Exception* err) {
  if (!ready(err)) return -1;
  int rc = sqlite3_step(mpVM);
  if (rc != SQLITE_DONE) {
    int rcReset = sqlite3_reset(mpVM);
    // A statement that yields rows resets cleanly; its step result is then the
    // one to report, so that -1 never comes with an empty error.
    SqliteReport(err, rcReset != SQLITE_OK ? rcReset : rc, sqlite3_errmsg(mpDB));
    return -1;
  }
  int changes = sqlite3_changes(mpDB);
  rc = sqlite3_reset(mpVM);
  if (rc != SQLITE_OK) {
    SqliteReport(err, rc, sqlite3_errmsg(mpDB));
    return -1;
  }
  return changes;
}

CppSQLite3Query CppSQLite3Statement::execQuery(CppSQLite3Exception* err) {
  if (!ready(err)) return CppSQLite3Query();
  int rc = sqlite3_step(mpVM);
  if (rc == SQLITE_DONE) return CppSQLite3Query(mpDB, mpVM, true, false);
  if (rc == SQLITE_ROW) return CppSQLite3Query(mpDB, mpVM, false, false);
  int rcReset = sqlite3_reset(mpVM);
  SqliteReport(err, rcReset != SQLITE_OK ? rcReset : rc, sqlite3_errmsg(mpDB));
  return CppSQLite3Query();
}

void CppSQLite3Statement::bind(int param, const char* value, CppSQLite3Exception* err) {
  if (!ready(err)) return;
  int rc = sqlite3_bind_text(mpVM, param, value, -1, SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) SqliteReport(err, rc, "Error binding string param");
}

void CppSQLite3Statement::bind(int param, int value, CppSQLite3Exception* err) {
  if (!ready(err)) return;
  int rc = sqlite3_bind_int(mpVM, param, value);
  if (rc != SQLITE_OK) SqliteReport(err, rc, "Error binding int param");
}

void CppSQLite3Statement::bind(int param, long long value, CppSQLite3Exception* err) {
  if (!ready(err)) return;
  int rc = sqlite3_bind_int64(mpVM, param, value);
  if (rc != SQLITE_OK) SqliteReport(err, rc, "Error binding int param");
}

void CppSQLite3Statement::bind(int param, double value, CppSQLite3Exception* err) {
  if (!ready(err)) return;
  int rc = sqlite3_bind_double(mpVM, param, value);
  if (rc != SQLITE_OK) SqliteReport(err, rc, "Error binding double param");
}

void CppSQLite3Statement::bind(int param, const unsigned char* blob, int length,
                               CppSQLite3Exception* err) {
  if (!ready(err)) return;
  int rc = sqlite3_bind_blob(mpVM, param, blob, length, SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) SqliteReport(err, rc, "Error binding blob param");
}

void CppSQLite3Statement::bindNull(int param, CppSQLite3Exception* err) {
  if (!ready(err)) return;
  int rc = sqlite3_bind_null(mpVM, param);
  if (rc != SQLITE_OK) SqliteReport(err, rc, "Error binding NULL param");
}

void CppSQLite3Statement::reset(CppSQLite3Exception* err) {
  if (!mpVM) return;
  int rc = sqlite3_reset(mpVM);
  if (rc != SQLITE_OK) SqliteReport(err, rc, mpDB ? sqlite3_errmsg(mpDB) : nullptr);
}

void CppSQLite3Statement::finalize(CppSQLite3Exception* err) {
  if (!mpVM) return;
  if (mpLender) {
    // A lent statement goes back to the cache; it stays compiled.
    CppSQLite3DB* lender = mpLender;
    mpLender = nullptr;
    sqlite3_stmt* vm = mpVM;
    mpVM = nullptr;
    lender->giveBack(static_cast<CppSQLite3DB::CacheSlot*>(mpSlot), mnGeneration, vm);
    mpSlot = nullptr;
    return;
  }
  int rc = sqlite3_finalize(mpVM);
  mpVM = nullptr;
  if (rc != SQLITE_OK) SqliteReport(err, rc, mpDB ? sqlite3_errmsg(mpDB) : nullptr);
}
