#pragma once

// Small helpers shared by the reading side of the SQLite format (open, load,
// fetch): error-code classes, stored colour texts, and the translation
// between the IDs notes carry in memory and the IDs stored in the file when
// a merge had to give clashing notes fresh IDs.

#include <gdk/gdkcolor.h>

#include <cstdint>
#include <map>
#include <string>

class CppSQLite3DB;
class CppSQLite3Exception;
class FormatIO_Sqlite;
class NoteNode;

namespace quillery {

// The error record's message, "" when it has none (for log lines).
const char* SqliteMessage(const CppSQLite3Exception& e);

// Primary SQLite result codes (extended codes carry them in the low byte).
bool SqliteIsBusy(int code);
bool SqliteIsNotADatabase(int code);

// Whether the database keeps a write-ahead log: its file then need not
// hold every page yet, and a reader's held read does not stop writers
// (another connection may read a later state). False when unknown.
bool SqliteUsesWal(CppSQLite3DB& db);

// What is wrong with the size of the open database's file, empty when
// nothing: without a write-ahead log it holds exactly its pages (pages:
// PRAGMA page_count, read in the caller's read transaction), with one
// (whose pages the file may not hold yet) whole pages. A file cut short is
// damaged however much of it SQLite would still read.
std::string SqliteFileSizeProblem(CppSQLite3DB& db, int64_t pages);

// What makes the open database's file too short to be one, empty when
// nothing: a file that is not empty but shorter than SQLite's smallest page
// (512 bytes) holds no database, nor one enciphered page. SQLite itself
// reads a file of one byte as an empty database (into which a load would
// write a new document) and an enciphered one of a few bytes as a wrong key,
// so this is asked before the first read. An empty file is a new database.
std::string SqliteShortFileProblem(CppSQLite3DB& db);

// Whether a long statement on the connection (the tree of a big document,
// a fetch, an upgrade) stops with SQLITE_INTERRUPT once the work is
// cancelled (Ctrl-C), or runs to its end.
void SqliteStopOnCancel(CppSQLite3DB& db, bool stop);

// Busy handler of the format's connections: waits for a file another
// program holds as long as the busy timeout, unless the work is cancelled
// (Ctrl-C) meanwhile: a stopped command must not sit out the whole timeout.
int BusyWaitUnlessCanceled(void*, int retries);

// Parses a stored colour text ("#rrggbb" or any name GDK knows). A text that
// does not parse gives black, so a damaged row never leaves a colour that
// depends on what the record held before.
void ParseStoredColor(const char* text, GdkColor& out);

// The ID under which a note's rows are stored: the ID the file had before a
// merge renamed the note, else the note's own ID.
const std::string& StoredIdOf(const FormatIO_Sqlite& fmt, const std::string& id);

// The ID a stored note carries in memory after a merge renamed it; the ID
// itself when it was not renamed.
const std::string& LoadedIdOf(const FormatIO_Sqlite& fmt, const std::string& storedId);

// A built-in icon (type 0 or more) is held as type 0 with its name; an
// empty name becomes the name of the built-in icon of that index.
void ApplyBuiltInIconName(NoteNode& note);

// Points the note's internal links (no URL) that target a renamed stored ID
// at the new ID: its own link and every link of its text. True when any
// changed.
bool RemapNoteLinks(NoteNode& note, const std::map<std::string, std::string>& oldToNew);

}  // namespace quillery
