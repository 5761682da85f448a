#pragma once

// CppSQLite3Query: a forward-only cursor over the rows of one statement.
//
// Invariants: without a statement the cursor is at its end and has no fields.
// Only an owning cursor finalizes its statement (when finalized, destroyed, or
// overwritten); a cursor from CppSQLite3Statement::execQuery does not own it.
// Copying moves the statement from the source, which is left empty. The
// connection is never owned.

#include <sqlite3.h>

class CppSQLite3Exception;

class CppSQLite3Query {
 public:
  CppSQLite3Query();
  CppSQLite3Query(sqlite3* db, sqlite3_stmt* vm, bool eof, bool ownVM = true);
  CppSQLite3Query(const CppSQLite3Query& other);
  CppSQLite3Query& operator=(const CppSQLite3Query& other);
  virtual ~CppSQLite3Query();

  int numFields() const { return mnCols; }
  // -1 and "Invalid field name requested" when no column has the name.
  int fieldIndex(const char* name, CppSQLite3Exception* err = nullptr) const;
  const char* fieldName(int col, CppSQLite3Exception* err = nullptr) const;
  const char* fieldDeclType(int col, CppSQLite3Exception* err = nullptr) const;
  // sqlite3_column_type (SQLITE_NULL = 5), -1 for a bad index.
  int fieldDataType(int col, CppSQLite3Exception* err = nullptr) const;

  const char* fieldValue(int field, CppSQLite3Exception* err = nullptr) const;
  const char* fieldValueByName(const char* name, CppSQLite3Exception* err = nullptr) const;
  bool fieldIsNull(int field) const;
  bool fieldIsNullByName(const char* name) const;

  int getIntField(int field, int nullValue = 0) const;
  int getIntFieldByName(const char* name, int nullValue = 0) const;
  long long getInt64Field(int field, long long nullValue = 0) const;
  long long getInt64FieldByName(const char* name, long long nullValue = 0) const;
  double getFloatField(int field, double nullValue = 0.0) const;
  double getFloatFieldByName(const char* name, double nullValue = 0.0) const;
  const char* getStringField(int field, const char* nullValue = "") const;
  const char* getStringFieldByName(const char* name, const char* nullValue = "") const;
  const unsigned char* getBlobField(int field, int& length, CppSQLite3Exception* err = nullptr) const;
  const unsigned char* getBlobFieldByName(const char* name, int& length) const;

  bool eof() const { return mbEof; }
  void nextRow(CppSQLite3Exception* err = nullptr);
  void finalize(CppSQLite3Exception* err = nullptr);

 private:
  bool checkVM(CppSQLite3Exception* err) const;
  bool checkIndex(int field, CppSQLite3Exception* err) const;
  void release();
  void takeFrom(const CppSQLite3Query& other);

  sqlite3* mpDB;
  sqlite3_stmt* mpVM;
  bool mbEof;
  int mnCols;
  bool mbOwnVM;
};
