#include "sqlite/format/SqliteWriteUtil.h"

#include <sqlite3.h>

#include <cstdio>

#include "base/Log.h"

namespace quillery {

namespace {
const char kSavepointSql[] = "SAVEPOINT quillery_change";
const char kReleaseSql[] = "RELEASE quillery_change";
const char kRollbackSql[] = "ROLLBACK TO quillery_change";
}  // namespace

std::string SqlColorText(const GdkColor& color) {
  char buf[16];
  snprintf(buf, sizeof(buf), "#%02x%02x%02x", color.red >> 8, color.green >> 8, color.blue >> 8);
  return buf;
}

const char* SqlErrorText(const CppSQLite3Exception& err) {
  const char* msg = err.errorMessage();
  return msg ? msg : "";
}

void LogSqlFailure(const char* what, const char* sql, const CppSQLite3Exception& err) {
  xLog(LOG_ERROR, "Sqlite format [%s]: Sql [%s] failed! Error: %s\n", what, sql ? sql : "", SqlErrorText(err));
}

namespace {

// Runs one of the savepoint statements; they are compiled once per
// connection, since a single-note change runs them every time.
void RunSavepointSql(CppSQLite3DB& db, const char* sql, CppSQLite3Exception& err) {
  CppSQLite3Statement stmt = db.cachedStatement(sql, &err);
  if (!SqlFailed(err)) stmt.execDML(&err);
}

}  // namespace

SqlSavepoint::SqlSavepoint(CppSQLite3DB& db, bool open) : m_db(db) {
  if (!open) return;
  m_bOwnTransaction = m_db.isOpen() && sqlite3_get_autocommit(m_db.handle()) != 0;
  CppSQLite3Exception err;
  RunSavepointSql(m_db, kSavepointSql, err);
  m_bOpen = !SqlFailed(err);
  if (!m_bOpen) xLog(LOG_DEBUG, "Sqlite savepoint not opened: %s\n", SqlErrorText(err));
}

bool SqlSavepoint::Release() {
  // Never opened (the statements ran on their own) or released already.
  if (!m_bOpen) return true;
  CppSQLite3Exception err;
  RunSavepointSql(m_db, kReleaseSql, err);
  if (SqlFailed(err)) {
    xLog(LOG_ERROR, "%s\n", SqlErrorText(err));
    return false;
  }
  m_bOpen = false;
  return true;
}

SqlSavepoint::~SqlSavepoint() {
  if (!m_bOpen) return;
  // Undo, then drop the savepoint itself (ROLLBACK TO keeps it open). When
  // SQLite already rolled the whole transaction back after a hard failure,
  // there is no savepoint left and both statements only fail.
  CppSQLite3Exception err;
  RunSavepointSql(m_db, kRollbackSql, err);
  if (SqlFailed(err)) xLog(LOG_DEBUG, "Sqlite savepoint rollback: %s\n", SqlErrorText(err));
  CppSQLite3Exception err2;
  RunSavepointSql(m_db, kReleaseSql, err2);
  // A savepoint that was its own transaction must not leave one open.
  if (m_bOwnTransaction && m_db.isOpen() && !sqlite3_get_autocommit(m_db.handle())) m_db.execDML("ROLLBACK");
}

}  // namespace quillery
