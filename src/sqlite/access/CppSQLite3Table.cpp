#include "sqlite/access/CppSQLite3Table.h"

#include <cstdlib>
#include <cstring>
#include <sqlite3.h>

#include "sqlite/access/CppSQLite3Exception.h"

using quillery::SqliteReport;

CppSQLite3Table::CppSQLite3Table()
    : mnCols(0), mnRows(0), mnCurrentRow(0), mpaszResults(nullptr) {}

CppSQLite3Table::CppSQLite3Table(char** results, int rows, int cols)
    : mnCols(results ? cols : 0), mnRows(results ? rows : 0), mnCurrentRow(0),
      mpaszResults(results) {}

CppSQLite3Table::CppSQLite3Table(const CppSQLite3Table& other)
    : mnCols(0), mnRows(0), mnCurrentRow(0), mpaszResults(nullptr) {
  takeFrom(other);
}

CppSQLite3Table& CppSQLite3Table::operator=(const CppSQLite3Table& other) {
  if (this == &other) return *this;
  finalize();
  takeFrom(other);
  return *this;
}

CppSQLite3Table::~CppSQLite3Table() { finalize(); }

void CppSQLite3Table::takeFrom(const CppSQLite3Table& other) {
  CppSQLite3Table& src = const_cast<CppSQLite3Table&>(other);
  mnCols = src.mnCols;
  mnRows = src.mnRows;
  mnCurrentRow = src.mnCurrentRow;
  mpaszResults = src.mpaszResults;
  src.mpaszResults = nullptr;
  src.mnCols = 0;
  src.mnRows = 0;
  src.mnCurrentRow = 0;
}

void CppSQLite3Table::finalize() {
  if (mpaszResults) sqlite3_free_table(mpaszResults);
  mpaszResults = nullptr;
  mnCols = 0;
  mnRows = 0;
  mnCurrentRow = 0;
}

bool CppSQLite3Table::checkResults(CppSQLite3Exception* err) const {
  if (mpaszResults) return true;
  SqliteReport(err, CPPSQLITE_ERROR, "Null Results pointer");
  return false;
}

int CppSQLite3Table::numFields(CppSQLite3Exception* err) const {
  checkResults(err);
  return mnCols;
}

int CppSQLite3Table::numRows(CppSQLite3Exception* err) const {
  checkResults(err);
  return mnRows;
}

void CppSQLite3Table::setRow(int row, CppSQLite3Exception* err) {
  checkResults(err);
  if (row < 0 || row >= mnRows) {
    SqliteReport(err, CPPSQLITE_ERROR, "Invalid row index requested");
    return;
  }
  mnCurrentRow = row;
}

const char* CppSQLite3Table::fieldValue(int field, CppSQLite3Exception* err) const {
  // A table without results has no fields, so every index is out of range;
  // so is any access while there is no current row.
  if (!mpaszResults || field < 0 || field >= mnCols || mnRows == 0) {
    SqliteReport(err, CPPSQLITE_ERROR, "Invalid field index requested");
    return nullptr;
  }
  return mpaszResults[(mnCurrentRow + 1) * mnCols + field];
}

int CppSQLite3Table::columnOf(const char* name) const {
  if (!mpaszResults || !name) return -1;
  for (int i = 0; i < mnCols; i++) {
    if (mpaszResults[i] && strcmp(name, mpaszResults[i]) == 0) return i;
  }
  return -1;
}

const char* CppSQLite3Table::fieldValueByName(const char* name, CppSQLite3Exception* err) const {
  int col = columnOf(name);
  if (col < 0) {
    SqliteReport(err, CPPSQLITE_ERROR, "Invalid field name requested");
    return nullptr;
  }
  return fieldValue(col, err);
}

const char* CppSQLite3Table::fieldName(int col, CppSQLite3Exception* err) const {
  if (!mpaszResults || col < 0 || col >= mnCols) {
    SqliteReport(err, CPPSQLITE_ERROR, "Invalid field index requested");
    return nullptr;
  }
  return mpaszResults[col];
}

bool CppSQLite3Table::fieldIsNull(int field) const { return fieldValue(field) == nullptr; }

bool CppSQLite3Table::fieldIsNullByName(const char* name) const {
  return fieldValueByName(name) == nullptr;
}

int CppSQLite3Table::getIntField(int field, int nullValue) const {
  const char* v = fieldValue(field);
  return v ? atoi(v) : nullValue;
}

int CppSQLite3Table::getIntFieldByName(const char* name, int nullValue) const {
  const char* v = fieldValueByName(name);
  return v ? atoi(v) : nullValue;
}

double CppSQLite3Table::getFloatField(int field, double nullValue) const {
  const char* v = fieldValue(field);
  return v ? atof(v) : nullValue;
}

double CppSQLite3Table::getFloatFieldByName(const char* name, double nullValue) const {
  const char* v = fieldValueByName(name);
  return v ? atof(v) : nullValue;
}

const char* CppSQLite3Table::getStringField(int field, const char* nullValue) const {
  const char* v = fieldValue(field);
  return v ? v : nullValue;
}

const char* CppSQLite3Table::getStringFieldByName(const char* name, const char* nullValue) const {
  const char* v = fieldValueByName(name);
  return v ? v : nullValue;
}
