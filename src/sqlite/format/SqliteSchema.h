#pragma once

// The statements that define the SQLite document schema (format version 21):
// 16 tables and 15 indexes, each with IF NOT EXISTS so that running them on
// an existing database changes nothing. The upgrade steps reuse the same
// statements, so a table created by an upgrade has the shape of a new file.
// The checks of an opened file against the schema are here too.

#include <string>

class CppSQLite3DB;
class CppSQLite3Exception;

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

// The first index of a table of this schema whose entries are not as many
// as its table's rows, as "index NAME of table T holds N entries for M
// rows"; empty when every one matches. The reads look rows up through the
// indexes, and SQLite reads an index that lost entries without an error:
// the rows it lost would be missing from the document. Every index of
// these tables is counted, those another program added included; a partial
// index (with WHERE) holds only the rows its condition names and is left
// out. The rows are counted in the table's own b-tree (NOT INDEXED), the
// entries by a scan of the index alone (INDEXED BY); neither reads a row's
// values. An index with as many entries as rows but other keys is not
// noticed (PRAGMA integrity_check notices that, at many times the cost). Run it
// inside the read that the load's other reads use, so that it counts the
// state they read. A count that fails leaves its error in err (the result is
// then empty).
std::string UnmatchedIndex(CppSQLite3DB& db, CppSQLite3Exception& err);

}  // namespace sqlite_schema
}  // namespace quillery
