#include "sqlite/access/CppSQLite3Query.h"

#include <cstring>

#include "sqlite/access/CppSQLite3Exception.h"

using quillery::SqliteReport;

CppSQLite3Query::CppSQLite3Query()
    : mpDB(nullptr), mpVM(nullptr), mbEof(true), mnCols(0), mbOwnVM(false) {}

CppSQLite3Query::CppSQLite3Query(sqlite3* db, sqlite3_stmt* vm, bool eof, bool ownVM)
    : mpDB(db), mpVM(vm), mbEof(eof || !vm), mnCols(vm ? sqlite3_column_count(vm) : 0),
      mbOwnVM(ownVM && vm) {}

CppSQLite3Query::CppSQLite3Query(const CppSQLite3Query& other)
    : mpDB(nullptr), mpVM(nullptr), mbEof(true), mnCols(0), mbOwnVM(false) {
  takeFrom(other);
}

CppSQLite3Query& CppSQLite3Query::operator=(const CppSQLite3Query& other) {
  if (this == &other) return *this;
  release();
  takeFrom(other);
  return *this;
}

CppSQLite3Query::~CppSQLite3Query() { release(); }

void CppSQLite3Query::takeFrom(const CppSQLite3Query& other) {
  // Ownership moves: the source is left an empty cursor.
  CppSQLite3Query& src = const_cast<CppSQLite3Query&>(other);
  mpDB = src.mpDB;
  mpVM = src.mpVM;
  mbEof = src.mbEof;
  mnCols = src.mnCols;
  mbOwnVM = src.mbOwnVM;
  src.mpVM = nullptr;
  src.mbEof = true;
  src.mnCols = 0;
  src.mbOwnVM = false;
}

void CppSQLite3Query::release() {
  if (mpVM && mbOwnVM) sqlite3_finalize(mpVM);
  mpVM = nullptr;
  mbOwnVM = false;
  mbEof = true;
  mnCols = 0;
}

bool CppSQLite3Query::checkVM(CppSQLite3Exception* err) const {
  if (mpVM) return true;
  SqliteReport(err, CPPSQLITE_ERROR, "Null Virtual Machine pointer");
  return false;
}

bool CppSQLite3Query::checkIndex(int field, CppSQLite3Exception* err) const {
  if (!checkVM(err)) return false;
  if (field >= 0 && field < mnCols) return true;
  SqliteReport(err, CPPSQLITE_ERROR, "Invalid field index requested");
  return false;
}

int CppSQLite3Query::fieldIndex(const char* name, CppSQLite3Exception* err) const {
  if (!checkVM(err)) return -1;
  if (name) {
    for (int i = 0; i < mnCols; i++) {
      const char* col = sqlite3_column_name(mpVM, i);
      if (col && strcmp(name, col) == 0) return i;
    }
  }
  SqliteReport(err, CPPSQLITE_ERROR, "Invalid field name requested");
  return -1;
}

const char* CppSQLite3Query::fieldName(int col, CppSQLite3Exception* err) const {
  if (!checkIndex(col, err)) return nullptr;
  return sqlite3_column_name(mpVM, col);
}

const char* CppSQLite3Query::fieldDeclType(int col, CppSQLite3Exception* err) const {
  if (!checkIndex(col, err)) return nullptr;
  return sqlite3_column_decltype(mpVM, col);
}

int CppSQLite3Query::fieldDataType(int col, CppSQLite3Exception* err) const {
  if (!checkIndex(col, err)) return -1;
  return sqlite3_column_type(mpVM, col);
}

const char* CppSQLite3Query::fieldValue(int field, CppSQLite3Exception* err) const {
  if (!checkIndex(field, err)) return nullptr;
  return reinterpret_cast<const char*>(sqlite3_column_text(mpVM, field));
}

const char* CppSQLite3Query::fieldValueByName(const char* name, CppSQLite3Exception* err) const {
  return fieldValue(fieldIndex(name, err));
}

bool CppSQLite3Query::fieldIsNull(int field) const {
  return fieldDataType(field) == SQLITE_NULL;
}

bool CppSQLite3Query::fieldIsNullByName(const char* name) const {
  return fieldIsNull(fieldIndex(name));
}

// For a bad index the typed getters hand back what SQLite gives for a bad
// column (0, 0.0, null); without a statement there is nothing to ask.

int CppSQLite3Query::getIntField(int field, int nullValue) const {
  if (!mpVM || fieldDataType(field) == SQLITE_NULL) return nullValue;
  return sqlite3_column_int(mpVM, field);
}

int CppSQLite3Query::getIntFieldByName(const char* name, int nullValue) const {
  return getIntField(fieldIndex(name), nullValue);
}

long long CppSQLite3Query::getInt64Field(int field, long long nullValue) const {
  if (!mpVM || fieldDataType(field) == SQLITE_NULL) return nullValue;
  return sqlite3_column_int64(mpVM, field);
}

long long CppSQLite3Query::getInt64FieldByName(const char* name, long long nullValue) const {
  return getInt64Field(fieldIndex(name), nullValue);
}

double CppSQLite3Query::getFloatField(int field, double nullValue) const {
  if (!mpVM || fieldDataType(field) == SQLITE_NULL) return nullValue;
  return sqlite3_column_double(mpVM, field);
}

double CppSQLite3Query::getFloatFieldByName(const char* name, double nullValue) const {
  return getFloatField(fieldIndex(name), nullValue);
}

const char* CppSQLite3Query::getStringField(int field, const char* nullValue) const {
  if (!mpVM || fieldDataType(field) == SQLITE_NULL) return nullValue;
  return reinterpret_cast<const char*>(sqlite3_column_text(mpVM, field));
}

const char* CppSQLite3Query::getStringFieldByName(const char* name, const char* nullValue) const {
  return getStringField(fieldIndex(name), nullValue);
}

const unsigned char* CppSQLite3Query::getBlobField(int field, int& length,
                                                   CppSQLite3Exception* err) const {
  length = 0;
  if (!checkIndex(field, err)) return nullptr;
  length = sqlite3_column_bytes(mpVM, field);
  return static_cast<const unsigned char*>(sqlite3_column_blob(mpVM, field));
}

const unsigned char* CppSQLite3Query::getBlobFieldByName(const char* name, int& length) const {
  return getBlobField(fieldIndex(name), length);
}

void CppSQLite3Query::nextRow(CppSQLite3Exception* err) {
  if (!checkVM(err)) return;
  // Stepping past the end would start the statement over.
  if (mbEof) return;
  int rc = sqlite3_step(mpVM);
  if (rc == SQLITE_DONE) {
    mbEof = true;
  } else if (rc != SQLITE_ROW) {
    if (mbOwnVM) {
      sqlite3_finalize(mpVM);
    } else {
      sqlite3_reset(mpVM);
    }
    mpVM = nullptr;
    mbOwnVM = false;
    mbEof = true;
    mnCols = 0;
    SqliteReport(err, rc, mpDB ? sqlite3_errmsg(mpDB) : nullptr);
  }
}

void CppSQLite3Query::finalize(CppSQLite3Exception* err) {
  if (mpVM && mbOwnVM) {
    int rc = sqlite3_finalize(mpVM);
    mpVM = nullptr;
    mbOwnVM = false;
    mbEof = true;
    mnCols = 0;
    if (rc != SQLITE_OK) SqliteReport(err, rc, mpDB ? sqlite3_errmsg(mpDB) : nullptr);
  }
}
