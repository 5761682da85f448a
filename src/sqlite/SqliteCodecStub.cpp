#include "sqlite/SqliteCodecApi.h"

// Placeholder until the page codec is built: keying is refused.

extern "C" {

int sqlite3_key(sqlite3*, const void*, int) { return SQLITE_ERROR; }
int sqlite3_key_v2(sqlite3* db, const char*, const void* key, int nKey) {
  return sqlite3_key(db, key, nKey);
}
int sqlite3_rekey(sqlite3*, const void*, int) { return SQLITE_ERROR; }
int sqlite3_rekey_v2(sqlite3* db, const char*, const void* key, int nKey) {
  return sqlite3_rekey(db, key, nKey);
}
void sqlite3_activate_see(const char*) {}

}  // extern "C"
