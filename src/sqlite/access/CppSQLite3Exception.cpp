#include "sqlite/access/CppSQLite3Exception.h"

#include <sqlite3.h>

CppSQLite3Exception::CppSQLite3Exception() : mnErrCode(0), mpszErrMess(nullptr) {}

CppSQLite3Exception::CppSQLite3Exception(int errCode, const char* message, bool freeMessage)
    : mnErrCode(errCode) {
  mpszErrMess = sqlite3_mprintf("%s[%d]: %s", errorCodeAsString(errCode), errCode,
                                message ? message : "");
  if (freeMessage && message) sqlite3_free(const_cast<char*>(message));
}

CppSQLite3Exception::CppSQLite3Exception(const CppSQLite3Exception& other)
    : mnErrCode(other.mnErrCode), mpszErrMess(nullptr) {
  if (other.mpszErrMess) mpszErrMess = sqlite3_mprintf("%s", other.mpszErrMess);
}

CppSQLite3Exception& CppSQLite3Exception::operator=(const CppSQLite3Exception& other) {
  if (this == &other) return *this;
  sqlite3_free(mpszErrMess);
  mpszErrMess = nullptr;
  mnErrCode = other.mnErrCode;
  if (other.mpszErrMess) mpszErrMess = sqlite3_mprintf("%s", other.mpszErrMess);
  return *this;
}

CppSQLite3Exception::~CppSQLite3Exception() { sqlite3_free(mpszErrMess); }

const char* CppSQLite3Exception::errorCodeAsString(int code) {
  static const char* const kNames[] = {
      "SQLITE_OK",       "SQLITE_ERROR",    "SQLITE_INTERNAL", "SQLITE_PERM",
      "SQLITE_ABORT",    "SQLITE_BUSY",     "SQLITE_LOCKED",   "SQLITE_NOMEM",
      "SQLITE_READONLY", "SQLITE_INTERRUPT", "SQLITE_IOERR",   "SQLITE_CORRUPT",
      "SQLITE_NOTFOUND", "SQLITE_FULL",     "SQLITE_CANTOPEN", "SQLITE_PROTOCOL",
      "SQLITE_EMPTY",    "SQLITE_SCHEMA",   "SQLITE_TOOBIG",   "SQLITE_CONSTRAINT",
      "SQLITE_MISMATCH", "SQLITE_MISUSE",   "SQLITE_NOLFS",    "SQLITE_AUTH",
      "SQLITE_FORMAT",   "SQLITE_RANGE"};
  if (code >= 0 && code < static_cast<int>(sizeof(kNames) / sizeof(kNames[0])))
    return kNames[code];
  switch (code) {
    case 100: return "SQLITE_ROW";
    case 101: return "SQLITE_DONE";
    case CPPSQLITE_ERROR: return "CPPSQLITE_ERROR";
    default: return "UNKNOWN_ERROR";
  }
}

namespace quillery {

void SqliteReport(CppSQLite3Exception* err, int code, const char* message, bool freeMessage) {
  if (err) {
    *err = CppSQLite3Exception(code, message, freeMessage);
  } else if (freeMessage && message) {
    sqlite3_free(const_cast<char*>(message));
  }
}

}  // namespace quillery
