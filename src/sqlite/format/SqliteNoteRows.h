#pragma once

// Row writers of the SQLite document format for the items of one note that
// both the per-change handlers and the whole-note writers insert: a
// picture, an attachment, a tag link. Each runs on the given connection,
// reports into the caller's error record, logs its own failure line and
// returns false on failure. None of them owns anything.

#include <string>

#include "sqlite/access/CppSQLite3.h"

class NoteNode;
class PixInfo;

namespace quillery {

// One images row for the picture. bytes: its encoded bytes; null encodes
// the picture (PNG or JPEG by its own format). On success the picture's ID
// becomes the new row's ID, on failure 0.
bool InsertPictureRow(CppSQLite3DB& db, const NoteNode& note, PixInfo& pix, const std::string* bytes,
                      CppSQLite3Exception& err);

// One attachments row for the note's attachment at index (negative: the
// last one), with note_pos = that index. An index outside the list writes
// nothing and fails.
bool InsertAttachmentRow(CppSQLite3DB& db, const NoteNode& note, int index, CppSQLite3Exception& err);

// Links the note to the tag, creating the tags row on first use.
bool InsertTagRow(CppSQLite3DB& db, const NoteNode& note, const std::string& tag, CppSQLite3Exception& err);

// Before a rewrite of a note's attachments (NIF_ATTACHMENTS) or pictures
// (NIF_PICTURES): reads the stored bytes of items that were fetched without
// them, so that the rewrite does not store them empty.
void LoadMissingBytes(CppSQLite3DB& db, NoteNode& note, unsigned int mask);

}  // namespace quillery
