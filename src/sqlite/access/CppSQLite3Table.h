#pragma once

// CppSQLite3Table: a whole result held in memory (sqlite3_get_table); row 0 of
// the results holds the column names, the data rows follow.
//
// Invariants: without results the table has no fields and no rows. The
// results are owned and freed with sqlite3_free_table; copying moves them from
// the source, which is left empty. The current row is in 0 .. rows - 1 (0 when
// there are no rows).

class CppSQLite3Exception;

class CppSQLite3Table {
 public:
  CppSQLite3Table();
  CppSQLite3Table(char** results, int rows, int cols);
  CppSQLite3Table(const CppSQLite3Table& other);
  CppSQLite3Table& operator=(const CppSQLite3Table& other);
  virtual ~CppSQLite3Table();

  int numFields(CppSQLite3Exception* err = nullptr) const;
  int numRows(CppSQLite3Exception* err = nullptr) const;
  void setRow(int row, CppSQLite3Exception* err = nullptr);

  const char* fieldValue(int field, CppSQLite3Exception* err = nullptr) const;
  const char* fieldValueByName(const char* name, CppSQLite3Exception* err = nullptr) const;
  const char* fieldName(int col, CppSQLite3Exception* err = nullptr) const;
  bool fieldIsNull(int field) const;
  bool fieldIsNullByName(const char* name) const;
  int getIntField(int field, int nullValue = 0) const;
  int getIntFieldByName(const char* name, int nullValue = 0) const;
  double getFloatField(int field, double nullValue = 0.0) const;
  double getFloatFieldByName(const char* name, double nullValue = 0.0) const;
  const char* getStringField(int field, const char* nullValue = "") const;
  const char* getStringFieldByName(const char* name, const char* nullValue = "") const;

  void finalize();

 private:
  bool checkResults(CppSQLite3Exception* err) const;
  int columnOf(const char* name) const;
  void takeFrom(const CppSQLite3Table& other);

  int mnCols;
  int mnRows;
  int mnCurrentRow;
  char** mpaszResults;
};
