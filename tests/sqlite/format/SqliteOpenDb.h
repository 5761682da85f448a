#pragma once

// Test helpers for the whole-database operations of the SQLite formats: a
// format object opened the way a successful load leaves it (keyed, schema in
// place, inside its long-running transaction) without going through Load,
// and plain SQLite access to files from outside the format.

#include <sqlite3.h>

#include <string>

#include "sqlite/codec/CodecVfs.h"
#include "sqlite/format/FormatIO_Sqlite.h"
#include "sqlite/codec/SqliteCodecApi.h"

namespace quillery_test {

// Opens path on fmt, keyed with fmt._strPassword when that is set, creates the
// tables and begins the long-running transaction.
inline bool OpenLikeLoad(FormatIO_Sqlite& fmt, const std::string& path) {
  CppSQLite3Exception e;
  fmt._db.open(path.c_str(), &e);
  fmt._db.setBusyTimeout(FormatIO_Sqlite::BUSY_TIMEOUT_MS);
  if (!fmt._strPassword.empty()) fmt._db.setPassword(fmt._strPassword.c_str(), &e);
  fmt._strPath = path;
  fmt.StartTransaction(e);
  fmt.CreateTables(e);
  fmt._bInTransaction = e.errorCode() == 0;
  return e.errorCode() == 0;
}

// Opens an existing database on fmt the way a load leaves a file that another
// process holds (sharing enabled): no transaction of its own, though the
// flag says so.
inline bool OpenLikeSharedLoad(FormatIO_Sqlite& fmt, const std::string& path) {
  CppSQLite3Exception e;
  fmt._db.open(path.c_str(), &e);
  fmt._db.setBusyTimeout(FormatIO_Sqlite::BUSY_TIMEOUT_MS);
  if (!fmt._strPassword.empty()) fmt._db.setPassword(fmt._strPassword.c_str(), &e);
  fmt._strPath = path;
  fmt._bLoadedByAnotherProcess = true;
  fmt._bInTransaction = true;
  return e.errorCode() == 0;
}

// Runs SQL on the format's connection; true on success.
inline bool Exec(FormatIO_Sqlite& fmt, const std::string& sql) {
  CppSQLite3Exception e;
  fmt._db.execDML(sql.c_str(), &e);
  return e.errorCode() == 0;
}

// Adds n notes "<prefix>0" .. with a note text of textSize bytes each.
inline bool AddNotes(FormatIO_Sqlite& fmt, const std::string& prefix, int n, int textSize = 100) {
  for (int i = 0; i < n; ++i) {
    const std::string id = prefix + std::to_string(i);
    if (!Exec(fmt, "INSERT INTO notes (note_id, note_title, is_finished, note_text) VALUES ('" + id + "', 'T" + id +
                       "', 0, '" + std::string(textSize, 'a' + i % 26) + "')") ||
        !Exec(fmt, "INSERT INTO notes_tree (note_id, note_pid, note_pos, is_expanded) VALUES ('" + id + "', '', " +
                       std::to_string(i) + ", 0)"))
      return false;
  }
  return true;
}

// Fills a new database at path through fmt (keyed with its password, if any)
// with n notes, commits and closes it.
inline bool MakeCommittedDatabase(FormatIO_Sqlite& fmt, const std::string& path, int n, int textSize) {
  if (!OpenLikeLoad(fmt, path) || !AddNotes(fmt, "n", n, textSize)) return false;
  CppSQLite3Exception e;
  fmt.CommitTransaction(e);
  fmt._bInTransaction = false;
  fmt.Close();
  return e.errorCode() == 0;
}

// The first column of the first row of sql, run on the file at path through
// a connection of its own (keyed when key is not empty); -1 when the file
// cannot be read that way.
inline long long QueryFile(const std::string& path, const std::string& sql, const std::string& key = "") {
  quillery::CodecVfsRegister();
  sqlite3* db = nullptr;
  long long result = -1;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
      (key.empty() || sqlite3_key(db, key.data(), static_cast<int>(key.size())) == SQLITE_OK)) {
    sqlite3_busy_timeout(db, 100);
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
      result = sqlite3_column_int64(st, 0);
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return result;
}

inline long long CountRows(const std::string& path, const std::string& table, const std::string& key = "") {
  return QueryFile(path, "SELECT count(*) FROM " + table, key);
}

// True when the file at path passes SQLite's integrity check.
inline bool IntegrityOk(const std::string& path, const std::string& key = "") {
  quillery::CodecVfsRegister();
  sqlite3* db = nullptr;
  bool ok = false;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
      (key.empty() || sqlite3_key(db, key.data(), static_cast<int>(key.size())) == SQLITE_OK)) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
      ok = std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, 0))) == "ok";
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return ok;
}

// Whether the format's connection is inside a transaction right now.
inline bool ConnectionInTransaction(FormatIO_Sqlite& fmt) {
  return fmt._db.isOpen() && sqlite3_get_autocommit(fmt._db.handle()) == 0;
}

}  // namespace quillery_test
