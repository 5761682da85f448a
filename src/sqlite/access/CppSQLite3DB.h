#pragma once

// CppSQLite3DB: one SQLite connection. Every operation that can fail takes an
// optional error record as its last parameter (see CppSQLite3Exception).
//
// Invariants: owns the handle (closed by close() or the destructor); a handle
// that SQLite hands back from a failed open is kept so that close() releases
// it. Not copyable. The busy timeout (ms) is applied at every open.

#include <sqlite3.h>

#include "sqlite/access/CppSQLite3Query.h"
#include "sqlite/access/CppSQLite3Statement.h"
#include "sqlite/access/CppSQLite3Table.h"

class CppSQLite3Exception;

class CppSQLite3DB {
 public:
  // Signature of a statement-trace callback (sqlite3_trace_v2).
  typedef int (*TraceCallback)(unsigned mask, void* context, void* p, void* x);

  CppSQLite3DB();
  // Takes ownership of an open handle.
  explicit CppSQLite3DB(sqlite3* handle);
  virtual ~CppSQLite3DB();
  CppSQLite3DB(const CppSQLite3DB&) = delete;
  CppSQLite3DB& operator=(const CppSQLite3DB&) = delete;

  // Opens (read-write, created when missing; readOnly: an existing file that
  // the connection never writes, not even to roll back a hot journal); the
  // SQLite result code.
  int open(const char* path, CppSQLite3Exception* err = nullptr, bool readOnly = false);
  // The result of sqlite3_close, 0 when nothing was open.
  int close();
  bool isOpen() const { return mpDB != nullptr; }
  sqlite3* handle() const { return mpDB; }
  void setBusyTimeout(int ms);

  sqlite3_stmt* compile(const char* sql, CppSQLite3Exception* err = nullptr);
  CppSQLite3Statement compileStatement(const char* sql, CppSQLite3Exception* err = nullptr);
  // Rows changed, -1 on failure.
  int execDML(const char* sql, CppSQLite3Exception* err = nullptr);
  // A cursor on the first row (or at its end). Runs nothing when err already
  // holds an error.
  CppSQLite3Query execQuery(const char* sql, CppSQLite3Exception* err = nullptr);
  // The first column of the first row as an int (0 for NULL), -1 on failure.
  int execScalar(const char* sql, CppSQLite3Exception* err = nullptr);
  CppSQLite3Table getTable(const char* sql, CppSQLite3Exception* err = nullptr);

  bool tableExists(const char* table);
  bool indexExists(const char* index);
  bool getTableColExists(const char* table, const char* column);
  sqlite3_int64 lastRowId() const;

  // Key and re-key the page encryption. A failure closes the connection.
  int setPassword(const char* password, CppSQLite3Exception* err = nullptr);
  int changePassword(const char* password, CppSQLite3Exception* err = nullptr);

  // Statement tracing (SQLITE_TRACE_STMT); nothing on a closed connection.
  void trace(TraceCallback callback, void* context);

 private:
  bool checkDB(CppSQLite3Exception* err) const;
  int keyResult(int rc, CppSQLite3Exception* err);

  sqlite3* mpDB;
  int mnBusyTimeoutMs;
};
