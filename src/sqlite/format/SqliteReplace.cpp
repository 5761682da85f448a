#include "sqlite/format/SqliteReplace.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "save/InstallSection.h"
#include "base/FileUtil.h"
#include "base/Log.h"
#include "base/Progress.h"
#include "save/SafeSave.h"
#include "model/FormatIO_Base.h"
#include "sqlite/access/CppSQLite3.h"
#include "sqlite/codec/CodecVfs.h"
#include "sqlite/codec/SqliteCodecApi.h"

namespace quillery {
namespace {

// How long a save waits for another program to let go of its target.
const int kTargetBusyMs = 2000;

// Pages the copy into a target writes per backup step. Ctrl-C is looked at
// between steps, so it stops the copy within one step; a step this long
// (4 MB of the usual 4 KB pages) costs nothing next to its writes.
const int kPagesPerStep = 1024;

// SQLite's lock bytes in a database file (the pending byte, the reserved
// byte and the shared range), as its unix file layer places them.
const off_t kSqliteLockStart = 0x40000000;
const off_t kSqliteLockLength = 512;

const char kInUse[] = "in use by another program";
const char kForeignJournal[] = "the existing file has an unfinished journal of another program or password";

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// True when another process holds any of SQLite's locks on the file.
bool HasSqliteHolder(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct flock fl;
  memset(&fl, 0, sizeof(fl));
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = kSqliteLockStart;
  fl.l_len = kSqliteLockLength;
  const bool held = fcntl(fd, F_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
  close(fd);
  return held;
}

// The save result and reason of a failed SQLite call on db.
int Failure(sqlite3* db, int rc, const std::string& target) {
  const int primary = rc & 0xff;
  const int sys = db ? sqlite3_system_errno(db) : 0;
  const char* msg = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  xLog(LOG_ERROR, "Save: replacing the database [%s] failed: %s (%d, errno %d)\n", target.c_str(), msg, rc, sys);
  if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED) {
    SetFailureReason(kInUse);
    return DOC_SAVE_RENAME_FAILED;
  }
  if (primary == SQLITE_FULL || sys == ENOSPC || sys == EFBIG || sys == EDQUOT) {
    SetFailureReason(ReasonForErrno(sys == EFBIG || sys == EDQUOT ? sys : ENOSPC));
    return DOC_SAVE_WRITE_ERROR;
  }
  if (primary == SQLITE_READONLY || sys == EACCES || sys == EROFS || sys == EPERM) {
    // A file SQLite could open for writing and then refused to write is
    // named as SQLite's refusal, not as a file that may not be written.
    const bool writable = db && sqlite3_db_readonly(db, "main") == 0 && !sys;
    SetFailureReason(sys ? ReasonForErrno(sys)
                         : writable ? std::string("SQLite refused to write the target: ") + msg
                                    : std::string("the target is not writable"));
    return DOC_SAVE_NOT_WRITABLE;
  }
  if (primary == SQLITE_INTERRUPT) return DOC_SAVE_ABORTED;
  SetFailureReason(sys ? ReasonForErrno(sys) : std::string(msg));
  return primary == SQLITE_IOERR ? DOC_SAVE_WRITE_ERROR : DOC_SAVE_ERROR;
}

// A connection to a database file through the codec layer.
class Connection {
 public:
  ~Connection() {
    if (m_db) sqlite3_close_v2(m_db);
  }
  int Open(const std::string& path, int flags, const std::string& key) {
    CodecVfsRegister();
    int rc = sqlite3_open_v2(path.c_str(), &m_db, flags, nullptr);
    if (rc == SQLITE_OK) {
      sqlite3_extended_result_codes(m_db, 1);
      sqlite3_busy_timeout(m_db, kTargetBusyMs);
      rc = CppSQLite3DB::distrustSchema(m_db);
      if (rc == SQLITE_OK && !key.empty()) rc = sqlite3_key(m_db, key.data(), static_cast<int>(key.size()));
    }
    return rc;
  }
  // One statement whose rows are not wanted.
  int Exec(const char* sql) { return sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr); }
  sqlite3* Handle() const { return m_db; }
  int Close() {
    const int rc = m_db ? sqlite3_close(m_db) : SQLITE_OK;
    if (rc == SQLITE_OK) m_db = nullptr;
    return rc;
  }

 private:
  sqlite3* m_db = nullptr;
};

bool IsForeign(int rc) {
  const int primary = rc & 0xff;
  return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT;
}

// Opens the existing target as a database of key and reads its schema: a
// hot journal is rolled back, and a target locked for writing answers busy.
int OpenTarget(Connection& c, const std::string& target, const std::string& key) {
  const int rc = c.Open(target, SQLITE_OPEN_READWRITE, key);
  if (rc != SQLITE_OK) return rc;
  return c.Exec("SELECT count(*) FROM sqlite_master");
}

// Replaces a target that is no database of this key, by a rename. A
// journal that lay beside it before SQLite saw it may hold its last
// transaction under a key this save does not have: such a file is left.
int ReplaceForeign(TempFile& built, const TargetState& state, bool hadJournal) {
  const std::string& target = state.path;
  if (hadJournal || Exists(target + "-journal")) {
    xLog(LOG_ERROR, "Save: [%s] is no database of this key and has a journal: not replaced\n", target.c_str());
    SetFailureReason(kForeignJournal);
    return DOC_SAVE_RENAME_FAILED;
  }
  if (HasSqliteHolder(target) || IsHeldByAnother(target, 0)) {
    SetFailureReason(kInUse);
    return DOC_SAVE_RENAME_FAILED;
  }
  if (access(target.c_str(), W_OK) != 0) {
    SetFailureReason(ReasonForErrno(errno));
    return DOC_SAVE_NOT_WRITABLE;
  }
  int err = built.ApplyTargetMode(state);
  if (err == 0) err = built.Sync();
  if (err == 0) err = built.RenameOver(state);
  if (err != 0) {
    SetFailureReason(err == EEXIST ? state.ChangedReason() : ReasonForErrno(err));
    return DOC_SAVE_RENAME_FAILED;
  }
  return DOC_SAVE_OK;
}

// A file at a new target's journal name: SQLite would take it for the
// journal of the database it makes there, and delete it beside the empty
// file. Whatever it is, the save did not make it: it stays, and the save
// fails naming it.
int JournalInTheWay(const std::string& target) {
  xLog(LOG_ERROR, "Save: [%s-journal] is in the way of a new database and was not left by a save\n", target.c_str());
  SetFailureReason(GetBaseName(target) +
                   "-journal is in the way (SQLite would take it for the journal of the new file): move it away");
  return DOC_SAVE_NOT_OPEN;
}

// Copies every page of src into dst in one transaction on dst, in steps
// with a look at Ctrl-C before each: a cancel ends the backup before its
// last step, which rolls the transaction back (SQLITE_INTERRUPT). The
// last step commits. SQLITE_OK, or the failure.
int CopyPages(sqlite3* dst, sqlite3* src) {
  sqlite3_backup* backup = sqlite3_backup_init(dst, "main", src, "main");
  if (!backup) return sqlite3_errcode(dst);
  int rc = SQLITE_OK;
  while (rc == SQLITE_OK)
    rc = ProgressInfo::IsCanceled() ? SQLITE_INTERRUPT : sqlite3_backup_step(backup, kPagesPerStep);
  const int finish = sqlite3_backup_finish(backup);
  return rc == SQLITE_DONE ? finish : rc;
}

// The first column of a one-row PRAGMA, "" when it gives none.
std::string PragmaText(sqlite3* db, const char* sql) {
  sqlite3_stmt* stmt = nullptr;
  std::string out;
  if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW) {
    const unsigned char* text = sqlite3_column_text(stmt, 0);
    if (text) out = reinterpret_cast<const char*>(text);
  }
  sqlite3_finalize(stmt);
  return out;
}

// SQLite copies pages into a write-ahead-log target only at their own size:
// a target in that mode with pages of another size is taken out of it for
// the copy (SQLite checkpoints the log and removes it). True when it was
// switched; rc the result of the switch.
bool LeaveWalForCopy(Connection& dst, Connection& src, int& rc) {
  rc = SQLITE_OK;
  if (PragmaText(dst.Handle(), "PRAGMA journal_mode") != "wal" ||
      PragmaText(dst.Handle(), "PRAGMA page_size") == PragmaText(src.Handle(), "PRAGMA page_size"))
    return false;
  rc = dst.Exec("PRAGMA journal_mode=DELETE");
  if (rc == SQLITE_OK && PragmaText(dst.Handle(), "PRAGMA journal_mode") != "delete") rc = SQLITE_BUSY;
  return rc == SQLITE_OK;
}

// Puts a target whose copy failed back as it was: the copy's transaction is
// rolled back on its connection (a pager that failed in its commit leaves a
// hot journal, which the next read plays back); where that does not clear
// the journal, a new connection rolls it back. The journal and the file are
// SQLite's: nothing here removes or renames them.
void RestoreTarget(Connection& dst, const std::string& target, const std::string& key, bool wasWal) {
  if (dst.Handle()) {
    if (!sqlite3_get_autocommit(dst.Handle())) dst.Exec("ROLLBACK");
    dst.Exec("SELECT count(*) FROM sqlite_master");
    if (wasWal) dst.Exec("PRAGMA journal_mode=WAL");
  }
  if (!Exists(target + "-journal")) return;
  dst.Close();
  Connection again;
  if (OpenTarget(again, target, key) != SQLITE_OK || Exists(target + "-journal"))
    xLog(LOG_ERROR, "Save: the journal of [%s] could not be rolled back (%s)\n", target.c_str(),
         again.Handle() ? sqlite3_errmsg(again.Handle()) : "not opened");
}

}  // namespace

int InstallDatabase(TempFile& built, const TargetState& state, const std::string& key) {
  const std::string& target = state.path;
  // A file that appeared at a new target's name, or another file that took
  // an existing one's, is not the save's to replace.
  auto changed = [&state]() {
    SetFailureReason(state.ChangedReason());
    return DOC_SAVE_RENAME_FAILED;
  };
  if (!state.Holds()) return changed();
  if (!state.exists) {
    int err = built.ApplyTargetMode(state);
    if (err == 0) err = built.Sync();
    // Looked at last, just before the file takes the name.
    if (err == 0 && Exists(target + "-journal")) return JournalInTheWay(target);
    if (err == 0) err = built.RenameOver(state);
    if (err == 0) return DOC_SAVE_OK;
    if (err == EEXIST) return changed();
    SetFailureReason(ReasonForErrno(err));
    return SaveResultForErrno(err) == DOC_SAVE_NOT_OPEN ? DOC_SAVE_RENAME_FAILED : SaveResultForErrno(err);
  }

  Connection dst;
  const bool hadJournal = Exists(target + "-journal");
  int rc = OpenTarget(dst, target, key);
  // The file SQLite opened is the one found: the name still refers to it
  // now that SQLite holds it open (and read its schema).
  if (!state.Holds()) return changed();
  if (IsForeign(rc)) {
    dst.Close();
    return ReplaceForeign(built, state, hadJournal);
  }
  if (rc != SQLITE_OK) return Failure(dst.Handle(), rc, target);
  dst.Exec("PRAGMA synchronous=FULL");

  Connection src;
  rc = src.Open(built.OpenPath(), SQLITE_OPEN_READONLY, key);
  if (rc != SQLITE_OK) return Failure(src.Handle(), rc, built.Path());
  const bool wasWal = LeaveWalForCopy(dst, src, rc);
  if (rc != SQLITE_OK) return Failure(dst.Handle(), rc, target);
  // One transaction on the target: its journal keeps the old pages until
  // every new one is written, so a crash leaves the old document.
  // From the first new page until the commit or the rollback, a hard stop
  // waits (Ctrl-C before the last step cancels: the copy then rolls back).
  InstallSection install;
  rc = CopyPages(dst.Handle(), src.Handle());
  if (rc != SQLITE_OK) {
    // The message and code before the restore, which may run statements.
    if (rc == SQLITE_INTERRUPT) xLog(LOG_INFO, "Save: the copy into [%s] was cancelled\n", target.c_str());
    const int result = rc == SQLITE_INTERRUPT ? DOC_SAVE_ABORTED : Failure(dst.Handle(), rc, target);
    RestoreTarget(dst, target, key, wasWal);
    return result;
  }
  install.Commit();
  if (wasWal && dst.Exec("PRAGMA journal_mode=WAL") != SQLITE_OK)
    xLog(LOG_ERROR, "Save: [%s] could not be put back into write-ahead-log mode: %s\n", target.c_str(),
         sqlite3_errmsg(dst.Handle()));
  src.Close();
  if ((rc = dst.Close()) != SQLITE_OK) return Failure(dst.Handle(), rc, target);
  built.Remove();
  return DOC_SAVE_OK;
}

int ProbeDatabaseTarget(const std::string& target, const std::string& key) {
  const bool hadJournal = Exists(target + "-journal");
  if (!Exists(target)) return hadJournal ? JournalInTheWay(target) : DOC_SAVE_OK;
  Connection c;
  int rc = OpenTarget(c, target, key);
  if (IsForeign(rc)) {
    if (!hadJournal) return DOC_SAVE_OK;  // decided when it is replaced
    SetFailureReason(kForeignJournal);
    return DOC_SAVE_RENAME_FAILED;
  }
  // A write lock held elsewhere shows only when a write is tried.
  if (rc == SQLITE_OK) {
    rc = c.Exec("BEGIN IMMEDIATE");
    if (rc == SQLITE_OK) c.Exec("ROLLBACK");
  }
  return rc == SQLITE_OK ? DOC_SAVE_OK : Failure(c.Handle(), rc, target);
}

}  // namespace quillery
