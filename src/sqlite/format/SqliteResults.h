#pragma once

// The one translation of a failed SQLite call into the result of a load or
// a save: the extended result code (and, for file errors, the system error
// behind it) names the cause: a busy file, a full disk, no memory, a file or
// folder that may not be written, a wrong key, damage, a cancel. Each
// failure point of the format passes the code here instead of choosing a
// number of its own; what names no cause keeps the caller's result.
//
// Stateless functions; they only read the connection's last system error
// (and the file layer's record of the last write it refused for want of
// room) and set the failure reason (SetFailureReason) of the causes that
// have one.

#include <string>

struct sqlite3;

namespace quillery {

// The DocLoadResult for rc on db (db may be null): 7 busy, 10 disk full,
// 12 out of memory, 6 not permitted (a folder SQLite cannot create its
// journal or a write-ahead log's index in, a read-only file or folder), 3 a
// wrong key (hasPassword and a page that reads as no database), 5 damaged,
// 1 cancelled; otherwise.
int SqliteLoadResult(int rc, sqlite3* db, bool hasPassword, int otherwise);

// The DocSaveResult for rc on db (db may be null): 3 busy (in use), 10 disk
// full (the file-size limit, the quota) or a failed write, 12 out of memory,
// 11 not writable, 1 cancelled; otherwise. With reason given, the failure
// reason goes there ("" for a cause without one) instead of being set.
int SqliteSaveResult(int rc, sqlite3* db, int otherwise, std::string* reason = nullptr);

// Whether rc on db means that a file could not grow (a full disk, the
// file-size limit, the quota); reason, when given, then gets what a reader
// is told of it.
bool SqliteNoRoom(int rc, sqlite3* db, std::string* reason);

}  // namespace quillery
