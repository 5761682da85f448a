#pragma once

// The statements that define the SQLite document schema (format version 21):
// 16 tables and 15 indexes, each with IF NOT EXISTS so that running them on
// an existing database changes nothing. The upgrade steps reuse the same
// statements, so a table created by an upgrade has the shape of a new file.

#include <string>

class CppSQLite3DB;

namespace quillery {
namespace sqlite_schema {

extern const char* const kCreateOptions;
extern const char* const kCreateNotes;
extern const char* const kCreateNotesTree;
extern const char* const kCreateImages;
extern const char* const kCreateAttachments;
extern const char* const kCreateFormatting;
extern const char* const kCreateTags;
extern const char* const kCreateTagsNotes;
extern const char* const kCreateLinks;
extern const char* const kCreateBookmarks;
extern const char* const kCreateTasks;
extern const char* const kCreateCustomProperties;
extern const char* const kCreateIcons;
extern const char* const kCreateAnchors;
extern const char* const kCreateDeletions;
extern const char* const kCreateDeletionsAttachments;

// The tables in creation order.
constexpr int kTableCount = 16;
extern const char* const kTableNames[kTableCount];
extern const char* const kCreateTableSql[kTableCount];

extern const char* const kIdxNotesTree;
extern const char* const kIdxLinks;
extern const char* const kIdxTagsNotes;
extern const char* const kIdxAttachments;
extern const char* const kIdxFormatting;
extern const char* const kIdxImages;
extern const char* const kIdxFormattingNoteOffset;
extern const char* const kIdxLinksNoteOffset;
extern const char* const kIdxIcons;
extern const char* const kIdxNoteHash;
extern const char* const kIdxNoteHashHtml;
extern const char* const kIdxDeletionsNote;
extern const char* const kIdxDeletionsAttNote;
extern const char* const kIdxAnchors;
extern const char* const kIdxCustomProperties;

// The indexes in creation order.
constexpr int kIndexCount = 15;
extern const char* const kIndexNames[kIndexCount];
extern const char* const kCreateIndexSql[kIndexCount];

// The last two indexes serve the per-note reads of anchors and custom
// properties (without them every fetch of a note scans both tables). Files
// of the latest version written without them get them when opened for
// writing; nothing else about such a file changes.
constexpr int kNoteLookupIndexCount = 2;
extern const char* const kNoteLookupIndexNames[kNoteLookupIndexCount];
extern const char* const kCreateNoteLookupIndexSql[kNoteLookupIndexCount];

// The first table or column of this schema that the database lacks, as
// "table.column"; empty when it has them all (it may have more). Every read
// names these columns, so a file without one would load as a document
// with parts missing.
std::string MissingSchemaPart(CppSQLite3DB& db);

}  // namespace sqlite_schema
}  // namespace quillery
