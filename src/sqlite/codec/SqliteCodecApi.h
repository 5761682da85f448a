#pragma once

// Key entry points of the page-encryption codec, under the names SQLite gives
// them in builds with encryption (the system's SQLite library has none of its
// own). A keyed connection reads and writes its main database file enciphered
// page by page.

#include <sqlite3.h>

extern "C" {

// Keys the main database of db (call it right after opening, before the first
// statement). An empty key leaves the database plain.
int sqlite3_key(sqlite3* db, const void* key, int nKey);
int sqlite3_key_v2(sqlite3* db, const char* zDbName, const void* key, int nKey);

// Re-enciphers every page of the main database with a new key in one write
// transaction; a null or empty key removes the encryption. On failure the
// database keeps its old key.
int sqlite3_rekey(sqlite3* db, const void* key, int nKey);
int sqlite3_rekey_v2(sqlite3* db, const char* zDbName, const void* key, int nKey);

void sqlite3_activate_see(const char* info);

}  // extern "C"
