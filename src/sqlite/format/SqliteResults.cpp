#include "sqlite/format/SqliteResults.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "base/FileUtil.h"
#include "model/FormatIO_Base.h"
#include "save/SafeSave.h"
#include "sqlite/codec/CodecVfs.h"

namespace quillery {

namespace {

static_assert(int(DOC_LOAD_DISK_FULL) == int(DOC_SAVE_WRITE_ERROR), "one number for a full disk on load and save");

enum class Cause { kOther, kBusy, kDiskFull, kNoMemory, kNotPermitted, kDamaged, kCancelled, kWriteFailed };

// The system error behind a file error of the connection (0 when none).
int SystemErrno(int primary, sqlite3* db) {
  const bool fileError = primary == SQLITE_IOERR || primary == SQLITE_FULL || primary == SQLITE_CANTOPEN ||
                         primary == SQLITE_READONLY || primary == SQLITE_PERM;
  return fileError && db ? sqlite3_system_errno(db) : 0;
}

// Whether SQLite could not make a file it keeps beside the database because
// this user may not write the folder. Of a journal it says so
// (SQLITE_READONLY_DIRECTORY); of the index it needs to read a write-ahead
// log (NAME-shm, missing while NAME-wal is there) it only says that it
// cannot open the database, with the system error of its last attempt.
bool FolderMayNotBeWritten(int rc, sqlite3* db) {
  if (rc == SQLITE_READONLY_DIRECTORY) return true;
  const char* name = (rc & 0xff) == SQLITE_CANTOPEN && db ? sqlite3_db_filename(db, "main") : nullptr;
  if (!name || !*name) return false;
  const std::string path(name);
  struct stat st;
  if (lstat((path + "-wal").c_str(), &st) != 0) return false;
  if (lstat((path + "-shm").c_str(), &st) == 0 || errno != ENOENT) return false;
  return access(GetParentDir(path).c_str(), W_OK) != 0 && (errno == EACCES || errno == EROFS);
}

Cause CauseOf(int rc, sqlite3* db) {
  const int primary = rc & 0xff;
  const int sys = SystemErrno(primary, db);
  if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED) return Cause::kBusy;
  if (primary == SQLITE_FULL || sys == ENOSPC || sys == EFBIG || sys == EDQUOT) return Cause::kDiskFull;
  if (primary == SQLITE_NOMEM || rc == SQLITE_IOERR_NOMEM || sys == ENOMEM) return Cause::kNoMemory;
  if (primary == SQLITE_READONLY || primary == SQLITE_PERM || primary == SQLITE_AUTH || sys == EACCES ||
      sys == EPERM || sys == EROFS || FolderMayNotBeWritten(rc, db))
    return Cause::kNotPermitted;
  if (primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB) return Cause::kDamaged;
  if (primary == SQLITE_INTERRUPT) return Cause::kCancelled;
  if (primary == SQLITE_IOERR) return Cause::kWriteFailed;
  return Cause::kOther;
}

// Why a file could not grow: a full disk, the file-size limit or the quota.
// A write the file layer refused is reported to SQLite as a full disk
// whatever the system said (CodecVfs.h); the layer keeps which it was.
int NoRoomErrno(int rc, sqlite3* db) {
  const int primary = rc & 0xff;
  const int sys = SystemErrno(primary, db);
  if (sys == ENOSPC || sys == EFBIG || sys == EDQUOT) return sys;
  const int refused = primary == SQLITE_FULL ? CodecVfsWriteRefusal() : 0;
  return refused ? refused : ENOSPC;
}

// What a reader is told of a cause that has a reason of its own ("" for
// the others).
std::string ReasonOf(Cause cause, int rc, sqlite3* db) {
  switch (cause) {
    case Cause::kBusy: return "in use by another program";
    case Cause::kDiskFull: return ReasonForErrno(NoRoomErrno(rc, db));
    case Cause::kNotPermitted:
      return FolderMayNotBeWritten(rc, db)
                 ? "permission denied: its folder may not be written (SQLite keeps its journal files there)"
                 : std::string("permission denied: ") + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    default: return std::string();
  }
}

void SetReason(Cause cause, int rc, sqlite3* db) {
  const std::string reason = ReasonOf(cause, rc, db);
  if (!reason.empty()) SetFailureReason(reason);
}

}  // namespace

int SqliteLoadResult(int rc, sqlite3* db, bool hasPassword, int otherwise) {
  if (hasPassword && (rc & 0xff) == SQLITE_NOTADB) return DOC_LOAD_WRONG_PASSWORD;
  const Cause cause = CauseOf(rc, db);
  switch (cause) {
    case Cause::kBusy: return DOC_LOAD_NOT_OPEN;
    case Cause::kDiskFull: SetReason(cause, rc, db); return DOC_LOAD_DISK_FULL;
    case Cause::kNoMemory: return DOC_LOAD_NO_MEMORY;
    case Cause::kNotPermitted: SetReason(cause, rc, db); return DOC_LOAD_PERMISSIONS;
    case Cause::kDamaged: return DOC_LOAD_FORMAT_ERROR;
    case Cause::kCancelled: return DOC_LOAD_ABORTED;
    default: return otherwise;
  }
}

bool SqliteNoRoom(int rc, sqlite3* db, std::string* reason) {
  if (CauseOf(rc, db) != Cause::kDiskFull) return false;
  if (reason) *reason = ReasonOf(Cause::kDiskFull, rc, db);
  return true;
}

int SqliteSaveResult(int rc, sqlite3* db, int otherwise, std::string* reason) {
  const Cause cause = CauseOf(rc, db);
  if (reason) *reason = ReasonOf(cause, rc, db);
  else SetReason(cause, rc, db);
  switch (cause) {
    case Cause::kBusy: return DOC_SAVE_RENAME_FAILED;
    case Cause::kDiskFull: return DOC_SAVE_WRITE_ERROR;
    case Cause::kNoMemory: return DOC_SAVE_NO_MEMORY;
    case Cause::kNotPermitted: return DOC_SAVE_NOT_WRITABLE;
    case Cause::kCancelled: return DOC_SAVE_ABORTED;
    case Cause::kWriteFailed: return DOC_SAVE_WRITE_ERROR;
    default: return otherwise;
  }
}

}  // namespace quillery
