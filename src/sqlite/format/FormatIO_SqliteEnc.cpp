// FormatIO_SqliteEnc: the password side of the encrypted SQLite format. The
// page codec does the enciphering; this class makes sure a key is in place
// for every file it opens or writes.

#include "sqlite/format/FormatIO_SqliteEnc.h"

#include <sqlite3.h>

#include <cstring>

#include "base/Log.h"
#include "sqlite/format/FormatIO_SqliteBackup.h"
#include "sqlite/codec/SqliteCodecApi.h"

FormatIO_SqliteEnc::~FormatIO_SqliteEnc() = default;

void FormatIO_SqliteEnc::SetPassword(const char* password) { _strPassword = password ? password : ""; }

int FormatIO_SqliteEnc::Load(const char* path, NoteDocument& doc, int parentIdx) {
  if (_strPassword.empty()) {
    xLog(LOG_INFO, "Error loading .qyde: no password given\n");
    return DOC_LOAD_WRONG_PASSWORD;
  }
  return FormatIO_Sqlite::Load(path, doc, parentIdx);
}

bool FormatIO_SqliteEnc::BackupTo(const char* path) {
  // The copy is keyed before its first page is written: a plain copy that is
  // enciphered afterwards would leave the document's text on the disk (in the
  // re-keying journal, or as the whole file when the re-keying fails).
  return quillery::BackupSqliteDatabase(*this, path, _strPassword);
}

bool FormatIO_SqliteEnc::ChangePassword(const char* password) {
  // An empty password would turn the file into a plain database that this
  // format then refuses to open.
  if (!password || !*password) {
    xLog(LOG_ERROR, "Sqlite format [change password]: an empty password is refused\n");
    return false;
  }
  if (!_db.isOpen()) {
    xLog(LOG_ERROR, "Sqlite format [change password]: Database not open\n");
    return false;
  }
  // Another process reading the file would go on with the old key, and a
  // page it then writes would leave the file under two keys.
  if (_bLoadedByAnotherProcess) {
    xLog(LOG_ERROR, "Sqlite format [change password]: the file is open in another process\n");
    return false;
  }
  const bool inTransaction = InTransaction();
  if (inTransaction) {
    CppSQLite3Exception err;
    CommitTransaction(err);
    // Re-keying cannot work inside a transaction, and a failed commit leaves
    // one open: still held, or begun again after SQLite dropped the changes.
    if (err.errorCode() != 0) {
      xLog(LOG_ERROR, "Sqlite format [change password]: the changes could not be committed: %s\n",
           err.errorMessage() ? err.errorMessage() : "");
      return false;
    }
  }
  // Straight through the codec rather than CppSQLite3DB::changePassword: a
  // failed re-keying must not close the connection, since the database is
  // still whole under its old key and the document keeps working on it.
  // Nothing compiled under the old key is kept, as CppSQLite3DB does.
  _db.clearStatementCache();
  const int rc = sqlite3_rekey(_db.handle(), password, static_cast<int>(strlen(password)));
  if (rc != SQLITE_OK)
    xLog(LOG_ERROR, "Sqlite format [change password]: Error: %s\n", sqlite3_errmsg(_db.handle()));
  if (inTransaction) StartTransaction();
  if (rc != SQLITE_OK) return false;
  _strPassword = password;
  return true;
}
