#pragma once

// CppSQLite3Exception: the error record of the SQLite access layer. Nothing in
// the layer throws; an operation that fails writes an error into the record the
// caller passed (when the pointer is non-null) and returns a neutral value.
// Success leaves a record untouched, so several statements can share one record
// and the first failure stays visible.
//
// Invariants: the message is either null or text allocated by SQLite's
// allocator and owned by this object; it has the form "%s[%d]: %s" (code name,
// code, message). Copies duplicate the text.

constexpr int CPPSQLITE_ERROR = 1000;

class CppSQLite3Exception {
 public:
  CppSQLite3Exception();
  // message may be null. With freeMessage set, a non-null message is taken to
  // be allocated by SQLite (sqlite3_mprintf, sqlite3_exec) and is freed here.
  CppSQLite3Exception(int errCode, const char* message, bool freeMessage = false);
  CppSQLite3Exception(const CppSQLite3Exception& other);
  CppSQLite3Exception& operator=(const CppSQLite3Exception& other);
  virtual ~CppSQLite3Exception();

  int errorCode() const { return mnErrCode; }
  const char* errorMessage() const { return mpszErrMess; }

  // The name of a primary result code, "CPPSQLITE_ERROR" for 1000 and
  // "UNKNOWN_ERROR" for anything else (extended codes included).
  static const char* errorCodeAsString(int code);

 private:
  int mnErrCode;
  char* mpszErrMess;
};

namespace quillery {

// Writes an error into err when err is given; frees an SQLite-allocated
// message when freeMessage is set, whether or not err is given.
void SqliteReport(CppSQLite3Exception* err, int code, const char* message,
                  bool freeMessage = false);

}  // namespace quillery
