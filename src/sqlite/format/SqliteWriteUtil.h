#pragma once

// Small helpers shared by the writing side of the SQLite document format
// (per-change updates and saving): colour texts, failure log lines and a
// savepoint that makes a group of statements all-or-nothing.
//
// SqlSavepoint owns nothing but the open savepoint on the connection it was
// given; the connection must outlive it.

#include <gdk/gdkcolor.h>

#include <string>

#include "sqlite/access/CppSQLite3.h"

namespace quillery {

// "#rrggbb" from the upper 8 bits of each 16-bit channel.
std::string SqlColorText(const GdkColor& color);

// The error record's text, "" when it holds none.
const char* SqlErrorText(const CppSQLite3Exception& err);

// True when the record holds a failure.
inline bool SqlFailed(const CppSQLite3Exception& err) { return err.errorCode() != 0; }

// Logs "Sqlite format [<what>]: Sql [<sql>] failed! Error: <message>" at
// the error level.
void LogSqlFailure(const char* what, const char* sql, const CppSQLite3Exception& err);

// A named savepoint: statements run after construction are kept by
// Release() and undone when the object goes away without it. Inside the
// long-running transaction it nests; on a connection without a transaction
// (a file shared with another process) it is its own small transaction.
// Constructed with open false it opens none and undoes nothing.
class SqlSavepoint {
 public:
  explicit SqlSavepoint(CppSQLite3DB& db, bool open = true);
  ~SqlSavepoint();
  SqlSavepoint(const SqlSavepoint&) = delete;
  SqlSavepoint& operator=(const SqlSavepoint&) = delete;

  // Keeps the changes (true also when no savepoint could be opened and the
  // statements ran on their own); false when the savepoint could not be
  // released
  // (as its own transaction: not committed, e.g. the file is busy), and
  // the changes are then undone when the object goes away.
  bool Release();
  // Whether the statements since construction can still be undone.
  bool IsOpen() const { return m_bOpen; }

 private:
  CppSQLite3DB& m_db;
  bool m_bOpen = false;
  bool m_bOwnTransaction = false;  // no transaction was open: the savepoint is one
};

}  // namespace quillery
