#pragma once

// CppSQLite3Statement: one prepared statement, bound, executed, reset by its
// own execDML and reused. Parameters are numbered from 1.
//
// Invariants: owns the statement (finalized by finalize or the destructor),
// unless it is lent by the connection's statement cache: then finalize and
// the destructor give it back instead. Never owns the connection. Copying
// moves the statement (and the loan) from the source, which is left empty.

#include <sqlite3.h>

#include "sqlite/access/CppSQLite3Query.h"

class CppSQLite3DB;
class CppSQLite3Exception;

class CppSQLite3Statement {
 public:
  CppSQLite3Statement();
  CppSQLite3Statement(sqlite3* db, sqlite3_stmt* vm);
  CppSQLite3Statement(const CppSQLite3Statement& other);
  CppSQLite3Statement& operator=(const CppSQLite3Statement& other);
  virtual ~CppSQLite3Statement();

  // Runs the statement once; the number of changed rows, -1 on failure.
  int execDML(CppSQLite3Exception* err = nullptr);
  // Steps once; the cursor does not own the statement.
  CppSQLite3Query execQuery(CppSQLite3Exception* err = nullptr);

  void bind(int param, const char* value, CppSQLite3Exception* err = nullptr);
  void bind(int param, int value, CppSQLite3Exception* err = nullptr);
  void bind(int param, long long value, CppSQLite3Exception* err = nullptr);
  void bind(int param, double value, CppSQLite3Exception* err = nullptr);
  void bind(int param, const unsigned char* blob, int length, CppSQLite3Exception* err = nullptr);
  void bindNull(int param, CppSQLite3Exception* err = nullptr);

  void reset(CppSQLite3Exception* err = nullptr);
  void finalize(CppSQLite3Exception* err = nullptr);

 private:
  bool checkDB(CppSQLite3Exception* err) const;
  bool checkVM(CppSQLite3Exception* err) const;
  bool ready(CppSQLite3Exception* err) const { return checkDB(err) && checkVM(err); }
  void takeFrom(const CppSQLite3Statement& other);

  friend class CppSQLite3DB;
  sqlite3* mpDB;
  sqlite3_stmt* mpVM;
  // Set for a statement lent by the cache of that connection object.
  CppSQLite3DB* mpLender = nullptr;
  void* mpSlot = nullptr;
  unsigned mnGeneration = 0;
};
