// Key and re-key entry points of the page codec.

#include <cstring>

#include "base/Log.h"
#include "sqlite/codec/CodecVfs.h"
#include "sqlite/codec/PageCodec.h"
#include "sqlite/codec/SqliteCodecApi.h"

using quillery::CodecVfsFile;
using quillery::CodecVfsGetCodec;
using quillery::CodecVfsSetCodec;

namespace {

bool Encrypted(const Codec* c) { return c && c->encrypted; }

// After a failed re-key the file keeps its old key: the write key becomes the
// read key again (or, for a plain file, the codec stops enciphering).
void KeepOldKey(Codec* c) {
  if (c->hasReadKey) {
    CodecCopyKey(c, true);
    c->hasWriteKey = 1;
  } else {
    c->encrypted = 0;
  }
}

// Rewrites every page of db's main database in one write transaction, so that
// the pages are read with the codec's read key and written with its write key.
// The pages go through a private temporary copy (itself enciphered with a
// throw-away key) and come back with SQLite's backup, which journals the old
// bytes: a crash or failure part-way leaves the file with the old key.
int RewriteAllPages(sqlite3* db, Codec* c) {
  sqlite3* tmp = nullptr;
  int rc = sqlite3_open_v2("", &tmp, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                           quillery::CodecVfsName());
  if (rc == SQLITE_OK) {
    sqlite3_backup* out = sqlite3_backup_init(tmp, "main", db, "main");
    if (!out) {
      rc = sqlite3_errcode(tmp);
    } else {
      rc = sqlite3_backup_step(out, -1);
      int rcFinish = sqlite3_backup_finish(out);
      rc = rc == SQLITE_DONE ? rcFinish : rc;
    }
  }
  if (rc == SQLITE_OK) {
    sqlite3_backup* back = sqlite3_backup_init(db, "main", tmp, "main");
    if (!back) {
      rc = sqlite3_errcode(db);
    } else {
      rc = sqlite3_backup_step(back, -1);
      // A failed copy is rolled back when the backup finishes (or when the
      // file is next used): the pages must go back with the old key.
      if (rc != SQLITE_DONE) KeepOldKey(c);
      int rcFinish = sqlite3_backup_finish(back);
      rc = rc == SQLITE_DONE ? rcFinish : rc;
    }
  }
  sqlite3_close(tmp);
  if (rc == SQLITE_OK) return rc;
  return rc == SQLITE_DONE ? SQLITE_ERROR : rc;
}

}  // namespace

int sqlite3CodecAttach(sqlite3* db, int nDb, const void* key, int nKey) {
  quillery::CodecVfsRegister();
  const char* name = db ? sqlite3_db_name(db, nDb) : nullptr;
  if (key && nKey > 0) {
    sqlite3_file* file = name ? CodecVfsFile(db, name) : nullptr;
    if (!file) {
      xLog(LOG_ERROR, "Encrypted database: the database cannot be keyed (not opened as a file)\n");
      return SQLITE_MISUSE;
    }
    Codec* c = CodecCreate();
    if (!c) return SQLITE_NOMEM;
    c->encrypted = 1;
    CodecGenerateReadKey(c, key, nKey);
    CodecCopyKey(c, true);
    c->hasReadKey = 1;
    c->hasWriteKey = 1;
    CodecVfsSetCodec(file, c);
  } else if (nKey > 0 && nDb != 0 && name) {
    Codec* mainCodec = CodecVfsGetCodec(CodecVfsFile(db, "main"));
    sqlite3_file* file = CodecVfsFile(db, name);
    if (Encrypted(mainCodec) && file) {
      Codec* c = CodecCreate();
      if (!c) return SQLITE_NOMEM;
      CodecCopy(c, mainCodec);
      CodecVfsSetCodec(file, c);
    }
  }
  return SQLITE_OK;
}

void sqlite3CodecGetKey(sqlite3* db, int, void** key, int* nKey) {
  *key = nullptr;
  *nKey = Encrypted(CodecVfsGetCodec(CodecVfsFile(db, "main"))) ? 1 : 0;
}

extern "C" {

int sqlite3_key(sqlite3* db, const void* key, int nKey) {
  return sqlite3CodecAttach(db, 0, key, nKey);
}

int sqlite3_key_v2(sqlite3* db, const char*, const void* key, int nKey) {
  return sqlite3_key(db, key, nKey);
}

int sqlite3_rekey(sqlite3* db, const void* key, int nKey) {
  quillery::CodecVfsRegister();
  sqlite3_file* file = CodecVfsFile(db, "main");
  if (!file) {
    xLog(LOG_ERROR, "Encrypted database: the database cannot be re-keyed (not opened as a file)\n");
    return SQLITE_MISUSE;
  }
  Codec* c = CodecVfsGetCodec(file);
  const bool newKey = key && nKey > 0;
  if (!newKey && !Encrypted(c)) return SQLITE_OK;
  if (!sqlite3_get_autocommit(db)) {
    // The rewrite is a transaction of its own; an open one must end first.
    xLog(LOG_ERROR, "Encrypted database: cannot re-key inside a transaction\n");
    return SQLITE_ERROR;
  }
  if (Encrypted(c)) {
    if (newKey) CodecGenerateWriteKey(c, key, nKey);
    c->hasWriteKey = newKey ? 1 : 0;
  } else {
    if (!c) {
      c = CodecCreate();
      if (!c) return SQLITE_NOMEM;
      CodecVfsSetCodec(file, c);
    }
    c->encrypted = 1;
    c->hasReadKey = 0;
    CodecGenerateWriteKey(c, key, nKey);
    c->hasWriteKey = 1;
  }

  int rc = RewriteAllPages(db, c);
  if (rc == SQLITE_OK) {
    if (c->hasWriteKey) {
      CodecCopyKey(c, false);
      c->hasReadKey = 1;
    } else {
      c->encrypted = 0;
    }
  } else {
    KeepOldKey(c);
    xLog(LOG_ERROR, "Encrypted database: re-keying failed (%d); the old key stays\n", rc);
  }
  if (!c->encrypted) {
    CodecVfsSetCodec(file, nullptr);
  } else {
    quillery::CodecVfsKeyChanged(file);
  }
  return rc;
}

int sqlite3_rekey_v2(sqlite3* db, const char*, const void* key, int nKey) {
  return sqlite3_rekey(db, key, nKey);
}

void sqlite3_activate_see(const char*) {}

}  // extern "C"
