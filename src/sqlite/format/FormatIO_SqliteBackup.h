#pragma once

// The online copy of an open SQLite document, shared by the plain format
// (copies with plain pages) and the encrypted one (copies enciphered with the
// document password from their first written page on).

#include <string>

class FormatIO_Sqlite;

namespace quillery {

// Copies the open database of fmt page by page into the file at path with
// SQLite's online backup. With a non-empty key the new connection is keyed
// before anything is written, so no page of the copy reaches the disk plain;
// with an empty key the copy has plain pages. The long-running transaction of
// fmt is committed first and begun again afterwards. True only when every
// page arrived; a failed copy is removed again when the file did not exist
// before. A copy onto the open database itself is refused.
bool BackupSqliteDatabase(FormatIO_Sqlite& fmt, const char* path, const std::string& key);

}  // namespace quillery
