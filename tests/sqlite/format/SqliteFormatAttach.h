#pragma once

// Opens a FormatIO_Sqlite's connection on a file the way a load does, without
// running a load, so that tests can drive the object's parts one by one.

#include <gtest/gtest.h>

#include <string>

#include "sqlite/format/FormatIO_Sqlite.h"

namespace quillery_test {

// busyMs: how long statements wait for another connection's lock.
inline void AttachSqliteFormat(FormatIO_Sqlite& fmt, const std::string& path,
                               int busyMs = FormatIO_Sqlite::BUSY_TIMEOUT_MS) {
  CppSQLite3Exception e;
  fmt._db.open(path.c_str(), &e);
  ASSERT_EQ(e.errorCode(), 0);
  fmt._db.setBusyTimeout(busyMs);
  fmt._strPath = path;
  fmt._db.execDML("PRAGMA synchronous=OFF", &e);  // test files need no durability
}

}  // namespace quillery_test
