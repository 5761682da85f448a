#include "sqlite/access/CppSQLite3Buffer.h"

#include <cstdarg>
#include <sqlite3.h>

CppSQLite3Buffer::~CppSQLite3Buffer() { clear(); }

void CppSQLite3Buffer::clear() {
  sqlite3_free(mpBuf);
  mpBuf = nullptr;
}

const char* CppSQLite3Buffer::format(const char* fmt, ...) {
  clear();
  va_list va;
  va_start(va, fmt);
  mpBuf = sqlite3_vmprintf(fmt, va);
  va_end(va);
  return mpBuf;
}
