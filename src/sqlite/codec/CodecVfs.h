#pragma once

// The file layer that applies the page codec. The system's SQLite library has
// no codec hook in its pager, so the pages are enciphered one level lower: an
// SQLite VFS that wraps the platform's default VFS and is registered as the
// default in its place. For a file that is not keyed it passes everything
// through unchanged.
//
// A keyed main database file: pages are deciphered as they are read and
// enciphered (with the write key) as they are written; a write that is not one
// whole page, or a page 1 whose header names another page size, is refused
// (changing the page size of an encrypted database is not supported).
// Its rollback journal: page records are enciphered with the key the database
// file has now, so a journal holds exactly the file's old bytes; the record
// checksum is stored for those enciphered bytes, so that a hot journal is
// checked and rolled back the same way whatever key (or none) the connection
// that finds it holds. A write-ahead log is refused for a keyed file.
// Temporary files (statement journals, temporary databases, sort files, the
// copies made by VACUUM) are enciphered with a random key of their own.
// The layer's state is never destroyed, so a file may be closed at exit
// (a document in static storage still open).

#include <sqlite3.h>

struct Codec;

namespace quillery {

// Registers the layer as SQLite's default VFS; once per process, later calls
// return at once. Must run before a connection that is to be keyed is opened.
int CodecVfsRegister();
const char* CodecVfsName();

// The layer's file object for a database of db ("main", an attached name), or
// null when that database is not a file opened through the layer.
sqlite3_file* CodecVfsFile(sqlite3* db, const char* dbName);
Codec* CodecVfsGetCodec(sqlite3_file* file);
// Installs codec on the file (null removes it); a codec installed before is
// freed. Forgets the page size learnt from the file.
void CodecVfsSetCodec(sqlite3_file* file, Codec* codec);
// Forgets the page size learnt from the file (after a key change).
void CodecVfsKeyChanged(sqlite3_file* file);

// The system error behind the last write of this thread that the layer
// reported as a full disk (SQLITE_FULL): ENOSPC, EFBIG (the file-size limit)
// or EDQUOT; 0 before the first. Later successful writes keep it.
int CodecVfsWriteRefusal();

// For tests: called before every write to a main database or journal file
// (journal = false for the database file itself); a non-zero result fails the
// write with that code.
typedef int (*CodecVfsWriteHook)(bool journal, sqlite3_int64 offset, int amount);
void CodecVfsSetWriteHook(CodecVfsWriteHook hook);

}  // namespace quillery
