// FormatIO_Sqlite: operations on the open database as a whole: online backup
// into another file, a plain copy of a (possibly encrypted) database file,
// compaction and the size measures.
//
// Backup and compaction have to leave the long-running transaction: SQLite can
// neither copy pages that the connection is still writing nor VACUUM inside a
// transaction. Both therefore commit what was changed so far and begin the
// transaction again afterwards.

#include "sqlite/format/FormatIO_SqliteBackup.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "base/File64.h"
#include "base/Log.h"
#include "sqlite/codec/CodecVfs.h"
#include "sqlite/format/FormatIO_Sqlite.h"
#include "sqlite/codec/SqliteCodecApi.h"
#include "save/SafeSave.h"
#include "sqlite/format/SqliteReadHelpers.h"

namespace {

// True when both paths name one existing file (same device and inode).
bool IsSameFile(const char* a, const char* b) {
  struct stat sa, sb;
  if (!a || !b || stat(a, &sa) != 0 || stat(b, &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Removes a file this process created for a copy that failed, with the
// journal SQLite may have left beside it.
void RemoveFailedCopy(const char* path) {
  unlink(path);
  unlink((std::string(path) + "-journal").c_str());
}

// Reads the first column of a one-row PRAGMA as a 64-bit number; missing
// when no row comes back (the error record tells a failure).
int64_t PragmaValue(CppSQLite3DB& db, const char* sql, int64_t missing, CppSQLite3Exception& err) {
  CppSQLite3Query q = db.execQuery(sql, &err);
  if (q.eof() || q.numFields() < 1) return missing;
  return q.getInt64Field(0, missing);
}

// Copies every page of source into target; true only when every page
// arrived: the step must reach the end and the backup object must finish
// cleanly.
bool CopyAllPages(sqlite3* target, sqlite3* source) {
  xLog(LOG_INFO, "Backup sqlite: init backup from document\n");
  sqlite3_backup* backup = sqlite3_backup_init(target, "main", source, "main");
  if (!backup) {
    xLog(LOG_ERROR, "Backup sqlite: %s\n", sqlite3_errmsg(target));
    return false;
  }
  xLog(LOG_INFO, "Backup sqlite: database inited\n");
  const int step = sqlite3_backup_step(backup, -1);
  xLog(LOG_INFO, "Backup sqlite: backup copying done\n");
  const int finish = sqlite3_backup_finish(backup);
  xLog(LOG_INFO, "Backup sqlite: backup finished\n");
  const bool copied = step == SQLITE_DONE && finish == SQLITE_OK;
  if (!copied)
    xLog(LOG_ERROR, "Backup sqlite: copying failed (step %d, finish %d): %s\n", step, finish, sqlite3_errmsg(target));
  return copied;
}

// The first thing wrong with the open database by SQLite's full check:
// each table and index read whole, every page in its place, and every row
// found in each of its table's indexes under its own key, with no index
// entry left over (a page check alone passes an index that lost entries or
// holds other keys, which a copy would keep as a sound file). Empty when
// the check answered "ok", or when it could not run: err then tells why.
std::string FirstProblem(CppSQLite3DB& db, CppSQLite3Exception& err) {
  // The check looks each row up in every index of its table, in the
  // table's order, all over the index: with the default cache of 2 MB the
  // pages of a large index would be read (and, under a key, deciphered)
  // again and again. The cache grows only as far as the file needs.
  db.execDML("PRAGMA cache_size=-65536", &err);
  CppSQLite3Query q = db.execQuery("PRAGMA integrity_check(1)", &err);
  if (err.errorCode() != 0) return std::string();
  const std::string verdict = q.eof() ? std::string("the page check gave no verdict") : q.getStringField(0, "");
  return verdict == "ok" ? std::string() : verdict;
}

// Whether a failure to read a database says nothing of its pages: another
// program holds the file, it may not be opened, memory ran out, or its
// first page does not read as a database (under a key, most likely a wrong
// password). Any other failure (a damaged page, a header or schema that
// does not read, a file format SQLite does not know) is the pages'.
bool SaysNothingOfThePages(int code) {
  const int primary = code & 0xFF;
  return quillery::SqliteIsBusy(code) || quillery::SqliteIsNotADatabase(code) || primary == SQLITE_CANTOPEN ||
         primary == SQLITE_PERM || primary == SQLITE_AUTH || primary == SQLITE_NOMEM;
}

}  // namespace

namespace quillery {

bool BackupSqliteDatabase(FormatIO_Sqlite& fmt, const char* path, const std::string& key) {
  xLog(LOG_INFO, "Backup sqlite document start\n");
  if (!path || !*path || !fmt._db.isOpen()) {
    // Without a source there is nothing to copy; an empty file must not be
    // reported as a backup.
    xLog(LOG_ERROR, "Backup sqlite: no open document database or no target\n");
    xLog(LOG_INFO, "Backup sqlite document end\n");
    return false;
  }
  // Copying a database onto itself would need the lock the source holds and
  // could only damage it.
  const char* source = sqlite3_db_filename(fmt._db.handle(), "main");
  if (source && *source && IsSameFile(source, path)) {
    xLog(LOG_ERROR, "Backup sqlite: the backup target [%s] is the document itself\n", path);
    xLog(LOG_INFO, "Backup sqlite document end\n");
    return false;
  }

  const bool existed = File64::PathExists(path);
  // The copy must be opened through the file layer that applies the codec.
  quillery::CodecVfsRegister();
  sqlite3* target = nullptr;
  if (sqlite3_open(path, &target) != SQLITE_OK || CppSQLite3DB::distrustSchema(target) != SQLITE_OK) {
    xLog(LOG_ERROR, "Backup sqlite failed to open backup database\n");
    sqlite3_close(target);
    if (!existed) RemoveFailedCopy(path);
    xLog(LOG_INFO, "Backup sqlite document end\n");
    return false;
  }
  // The key goes on before the first page is written.
  if (!key.empty() && sqlite3_key(target, key.data(), static_cast<int>(key.size())) != SQLITE_OK) {
    xLog(LOG_ERROR, "Backup sqlite: keying the backup database failed: %s\n", sqlite3_errmsg(target));
    sqlite3_close(target);
    if (!existed) RemoveFailedCopy(path);
    xLog(LOG_INFO, "Backup sqlite document end\n");
    return false;
  }
  xLog(LOG_INFO, "Backup sqlite database opened\n");

  // A file held by another process is never inside a transaction of ours,
  // whatever the flag says: there is nothing to commit or begin again.
  const bool inTransaction = fmt.InTransaction() && !fmt._bLoadedByAnotherProcess;
  bool committed = true;
  if (inTransaction) {
    xLog(LOG_INFO, "Backup sqlite: document changes commit\n");
    CppSQLite3Exception err;
    fmt.CommitTransaction(err);
    // A copy without the changes the document shows is no backup of it (the
    // commit left a transaction open, or recorded their loss and began one).
    committed = err.errorCode() == 0;
    if (committed) xLog(LOG_INFO, "Backup sqlite: document changes commited\n");
    else xLog(LOG_ERROR, "Backup sqlite: committing the document's changes failed: %s\n", err.errorMessage());
  }

  bool copied = committed && CopyAllPages(target, fmt._db.handle());

  if (inTransaction && committed) {
    xLog(LOG_INFO, "Backup sqlite: document transaction restart\n");
    fmt.StartTransaction();
    xLog(LOG_INFO, "Backup sqlite: document transaction restarted\n");
  }

  if (sqlite3_close(target) != SQLITE_OK) {
    xLog(LOG_ERROR, "Backup sqlite: closing the backup database failed\n");
    copied = false;
  }
  if (!copied && !existed) RemoveFailedCopy(path);
  xLog(LOG_INFO, "Backup sqlite document end\n");
  return copied;
}

}  // namespace quillery

bool FormatIO_Sqlite::BackupTo(const char* path) {
  return quillery::BackupSqliteDatabase(*this, path, std::string());
}

bool FormatIO_Sqlite::DumpFile(const char* source, const char* target, const char* password) {
  Close();
  // Opening a missing source would create an empty database there, and a
  // copy onto the source itself could only destroy it.
  if (!source || !target || !File64::PathExists(source)) {
    xLog(LOG_ERROR, "Sqlite dump: no source database [%s]\n", source ? source : "");
    return false;
  }
  if (IsSameFile(source, target)) {
    xLog(LOG_ERROR, "Sqlite dump: the target [%s] is the source itself\n", target);
    return false;
  }
  CppSQLite3Exception err;
  // The source is only copied from: it is left byte-identical.
  _db.open(source, &err, true);
  _db.setBusyTimeout(BUSY_TIMEOUT_MS);
  if (password && *password) _db.setPassword(password, &err);
  const std::string tooShort = err.errorCode() == 0 ? quillery::SqliteShortFileProblem(_db) : std::string();
  if (!tooShort.empty()) {
    xLog(LOG_ERROR, "Sqlite dump: [%s] is no database: %s\n", source, tooShort.c_str());
    Close();
    return false;
  }
  // A source cut short is damaged: its copy would look whole. (Its schema
  // may be of any version: a dump copies pages, it loads no document.) The
  // measure, the check below and the copy read one state of the file: a
  // writer elsewhere waits until the copy is done.
  _db.execDML("BEGIN", &err);
  // (Read through the error record, which keeps SQLite's code: a damaged
  // schema reads as damage, a first page that is no database as a key.)
  int64_t pages = -1;
  {
    CppSQLite3Query count = _db.execQuery("PRAGMA page_count", &err);
    if (err.errorCode() == 0 && !count.eof()) pages = count.getInt64Field(0, -1);
  }
  const std::string problem = err.errorCode() == 0 ? quillery::SqliteFileSizeProblem(_db, pages) : std::string();
  if (!problem.empty()) {
    xLog(LOG_ERROR, "Sqlite dump: [%s] is damaged: %s\n", source, problem.c_str());
    Close();
    return false;
  }
  // The copy takes the pages as they are: one that does not read (a page
  // overwritten, or under a key one whose bytes changed) would become a
  // plain page of garbage, in a copy that looks whole, and so would an
  // index that no longer matches its table. The whole database is checked
  // first, indexes against their tables included, and what could not be
  // checked is not copied. (A failure that says nothing of the pages, such
  // as a wrong key, copies nothing either: the caller tells it, as a load
  // does.)
  std::string damage;
  if (err.errorCode() == 0) damage = FirstProblem(_db, err);
  if (err.errorCode() != 0) {
    if (SaysNothingOfThePages(err.errorCode())) {
      xLog(LOG_ERROR, "Sqlite dump: [%s] could not be read: %s\n", source, quillery::SqliteMessage(err));
      Close();
      return false;
    }
    damage = std::string("it could not be checked: ") + quillery::SqliteMessage(err);
  }
  if (!damage.empty()) {
    quillery::CountReadFailure();
    xLog(LOG_ERROR, "Sqlite dump: [%s] is damaged: %s\n", source, damage.c_str());
    Close();
    return false;
  }
  const bool ok = FormatIO_Sqlite::BackupTo(target);
  _db.execDML("ROLLBACK", nullptr);
  Close();
  return ok;
}

bool FormatIO_Sqlite::CompactDatabase(std::string& error) const {
  static const char* const kOrphanDeletes[] = {
      "DELETE FROM custom_properties WHERE note_id NOT IN (SELECT note_id FROM notes) AND note_id NOT NULL",
      "DELETE FROM tags_notes WHERE note_id NOT IN (SELECT note_id FROM notes)",
      "DELETE FROM attachments WHERE note_id NOT IN (SELECT note_id FROM notes)",
      "DELETE FROM images WHERE note_id NOT IN (SELECT note_id FROM notes)",
      "DELETE FROM formatting WHERE note_id NOT IN (SELECT note_id FROM notes)",
      "DELETE FROM links WHERE note_id NOT IN (SELECT note_id FROM notes)",
      "DELETE FROM tasks WHERE note_id NOT IN (SELECT note_id FROM notes)",
  };
  CppSQLite3DB& db = _db;
  CppSQLite3Exception err;
  for (const char* sql : kOrphanDeletes) {
    const bool failedBefore = err.errorCode() != 0;
    db.execQuery(sql, &err);
    if (!failedBefore && err.errorCode() != 0) xLog(LOG_ERROR, "%s\n", err.errorMessage());
  }

  const bool inTransaction = InTransaction() && !_bLoadedByAnotherProcess;
  if (inTransaction) CommitTransaction(err);

  const bool failedBefore = err.errorCode() != 0;
  db.execQuery("REINDEX", &err);
  if (!failedBefore && err.errorCode() != 0)
    xLog(LOG_ERROR, "Sqlite format [compact database]: Error: %s\n", err.errorMessage());
  db.execQuery("VACUUM", &err);

  if (err.errorCode() == 0) {
    if (inTransaction) {
      StartTransaction(err);
      if (err.errorCode() != 0) {
        xLog(LOG_ERROR, "Sqlite format [compact database]: Error: %s\n", err.errorMessage());
        error = err.errorMessage() ? err.errorMessage() : "";
        return false;
      }
    }
    return true;
  }
  xLog(LOG_ERROR, "Sqlite format [compact database]: Error: %s\n", err.errorMessage());
  error = err.errorMessage() ? err.errorMessage() : "";
  // A failed commit left a transaction open (or recorded the loss of its
  // changes and began the next one).
  if (inTransaction && sqlite3_get_autocommit(db.handle())) StartTransaction();
  return false;
}

float FormatIO_Sqlite::CalcDbFragmentationPercent() const {
  if (!_db.isOpen()) return -1.0f;
  CppSQLite3DB& db = _db;
  CppSQLite3Exception err;
  const int64_t pages = PragmaValue(db, "PRAGMA page_count", 10000, err);
  if (err.errorCode() != 0) xLog(LOG_ERROR, "%s\n", err.errorMessage());
  const int64_t freePages = PragmaValue(db, "PRAGMA freelist_count", 0, err);
  if (err.errorCode() != 0) {
    xLog(LOG_ERROR, "Sqlite format [compact database]: Error: %s\n", err.errorMessage());
    return -2.0f;
  }
  // A database without pages (an empty file) has nothing to reclaim.
  if (pages <= 0) return 0.0f;
  return static_cast<float>(freePages) * 100.0f / static_cast<float>(pages);
}

int64_t FormatIO_Sqlite::GetFileSize() {
  if (!_db.isOpen()) return -1;
  CppSQLite3Exception err;
  const int64_t pages = PragmaValue(_db, "PRAGMA page_count", -1, err);
  const int64_t pageSize = PragmaValue(_db, "PRAGMA page_size", -1, err);
  if (pages < 0 || pageSize < 0) return -1;
  return pages * pageSize;
}

int64_t FormatIO_Sqlite::CalcDocSize() { return GetFileSize(); }
