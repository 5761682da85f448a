#pragma once

// The SQLite document format with encrypted pages (format id 16, ".qyde").
//
// Everything but the password handling is FormatIO_Sqlite's: the database
// has the same schema, and every page of its file is enciphered by the page
// codec under a key derived from the document password.
//
// Invariants: the password lives in FormatIO_Sqlite::_strPassword; a load
// never starts without one; every file this object writes (its database,
// copies made by BackupTo, saves to another path) is enciphered with it.
// No fields of its own; owns nothing beyond what FormatIO_Sqlite owns.

#include "sqlite/format/FormatIO_Sqlite.h"

class FormatIO_SqliteEnc : public FormatIO_Sqlite {
 public:
  FormatIO_SqliteEnc() = default;
  ~FormatIO_SqliteEnc() override;

  // Result 3 (password empty or wrong) at once when no password was set.
  int Load(const char* path, NoteDocument& doc, int parentIdx) override;
  int GetFormat() override { return FORMAT_QYDE; }
  bool IsEncrypted() override { return true; }
  // Writes a copy of the open database enciphered with the document password;
  // true only when that copy is complete.
  bool BackupTo(const char* path) override;

  // The document password; set before Load and before a save.
  void SetPassword(const char* password) override;
  // Re-enciphers every page of the open database with a new, non-empty
  // password. On failure the database and the stored password keep the old
  // key and the result is false.
  bool ChangePassword(const char* password) override;
};
