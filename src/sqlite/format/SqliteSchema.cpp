#include "sqlite/format/SqliteSchema.h"

#include <sqlite3.h>

#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "sqlite/access/CppSQLite3.h"

// Column definitions are separated by a comma and two blanks, identifiers are
// bracketed; the texts are part of every file this format writes (they are
// what sqlite_master keeps), so they do not change.

namespace quillery {
namespace sqlite_schema {

const char* const kCreateOptions =
    "CREATE TABLE IF NOT EXISTS [options] ("
    "[id] INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,  "
    "[opt_name] VARCHAR(40) UNIQUE NOT NULL,  "
    "[opt_value] VARCHAR(255) NULL)";

const char* const kCreateNotes =
    "CREATE TABLE IF NOT EXISTS [notes] ("
    "[note_id] VARCHAR(30) UNIQUE NOT NULL PRIMARY KEY,  "
    "[note_title] TEXT NOT NULL,  "
    "[note_text] TEXT NULL,  "
    "[note_clone_id] VARCHAR(30) NULL,  "
    "[date_created] INTEGER NULL,  "
    "[date_modified] INTEGER NULL,  "
    "[icon_type] INTEGER NULL,  "
    "[icon_info] VARCHAR(2048) NULL,  "
    "[is_finished] BOOLEAN NOT NULL,  "
    "[is_readonly] BOOLEAN NULL,  "
    "[is_template] BOOLEAN NULL,  "
    "[syntax_highlight] VARCHAR(120) NULL,  "
    "[use_custom_txt_color] BOOLEAN NULL,  "
    "[use_custom_bkg_color] BOOLEAN NULL,  "
    "[use_custom_font] BOOLEAN NULL,  "
    "[custom_txt_color] VARCHAR(50) NULL,  "
    "[custom_bkg_color] VARCHAR(50) NULL,  "
    "[custom_font] VARCHAR(255) NULL,  "
    "[use_custom_note_bkg_color] BOOLEAN NULL,  "
    "[custom_note_bkg_color] VARCHAR(50) NULL,  "
    "[hash] VARCHAR(64) NULL,  "
    "[hash_html] VARCHAR(64) NULL)";

const char* const kCreateNotesTree =
    "CREATE TABLE IF NOT EXISTS [notes_tree] ("
    "[id] INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,  "
    "[note_id] VARCHAR(30) UNIQUE NOT NULL,  "
    "[note_pid] VARCHAR(30) NOT NULL,  "
    "[note_pos] INTEGER NOT NULL,  "
    "[is_expanded] BOOLEAN NULL)";

const char* const kCreateImages =
    "CREATE TABLE IF NOT EXISTS [images] ("
    "[image_id] INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,  "
    "[note_id] VARCHAR(30) NULL,  "
    "[note_offset] INTEGER NULL,  "
    "[image_title] VARCHAR(255) NULL,  "
    "[image_data] BLOB NULL,  "
    "[is_png] BOOLEAN NULL)";

const char* const kCreateAttachments =
    "CREATE TABLE IF NOT EXISTS [attachments] ("
    "[att_id] INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,  "
    "[att_code] VARCHAR(30) NULL,  "
    "[note_id] VARCHAR(30) NULL,  "
    "[note_pos] INTEGER NULL,  "
    "[att_title] VARCHAR(255) NOT NULL,  "
    "[att_data] BLOB NOT NULL,  "
    "[att_size] INTEGER NOT NULL DEFAULT 0,  "
    "[date_created] INTEGER NULL,  "
    "[hash] VARCHAR(64) NULL,  "
    "[att_target] VARCHAR(64) NULL)";

const char* const kCreateFormatting =
    "CREATE TABLE IF NOT EXISTS [formatting] ("
    "[fmt_id] INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,  "
    "[note_id] VARCHAR(30) NULL,  "
    "[note_offset] INTEGER NULL,  "
    "[fmt_tag] INTEGER NULL,  "
    "[fmt_color] VARCHAR(50) NULL,  "
    "[fmt_font] VARCHAR(255) NULL,  "
    "[fmt_value] INTEGER NULL)";

const char* const kCreateTags =
    "CREATE TABLE IF NOT EXISTS [tags] ("
    "[tag_id] INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT,  "
    "[tag_name] TEXT UNIQUE NOT NULL)";

const char* const kCreateTagsNotes =
    "CREATE TABLE IF NOT EXISTS [tags_notes] ("
    "[id] INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT,  "
    "[note_id] VARCHAR(30) NOT NULL,  "
    "[tag_id] INTEGER NOT NULL)";

const char* const kCreateLinks =
    "CREATE TABLE IF NOT EXISTS [links] ("
    "[lnk_id] INTEGER UNIQUE NOT NULL PRIMARY KEY AUTOINCREMENT,  "
    "[note_id] VARCHAR(30) NOT NULL,  "
    "[note_offset] INTEGER NULL,  "
    "[lnk_length] INTEGER NULL,  "
    "[target_url] TEXT NULL,  "
    "[target_note_id] VARCHAR(30) NULL)";

const char* const kCreateBookmarks =
    "CREATE TABLE IF NOT EXISTS [bookmarks] ("
    "[id] INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,  "
    "[node_id] VARCHAR(30) NOT NULL,  "
    "[book_title] VARCHAR(255) NOT NULL,  "
    "[book_pos] INTEGER UNIQUE NOT NULL)";

const char* const kCreateTasks =
    "CREATE TABLE IF NOT EXISTS [tasks] ("
    "[task_id] INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT,  "
    "[note_id] VARCHAR(30) UNIQUE NOT NULL,  "
    "[date_created] INTEGER NULL,  "
    "[date_due] INTEGER NULL,  "
    "[date_completed] INTEGER NULL,  "
    "[date_expire] INTEGER NULL,  "
    "[date_last_acknowledged] INTEGER NULL,  "
    "[task_priority] INTEGER NULL,  "
    "[task_status] INTEGER NULL,  "
    "[task_repeating] INTEGER NULL,  "
    "[script_path] TEXT NULL,  "
    "[alarm_sound] TEXT NULL,  "
    "[alarm_mode] INTEGER NULL,  "
    "[alarm_offset] INTEGER NULL,  "
    "[time_charge] INTEGER NULL)";

const char* const kCreateCustomProperties =
    "CREATE TABLE IF NOT EXISTS [custom_properties] ("
    "[id] INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,  "
    "[note_id] VARCHAR(30) NULL,  "
    "[prop_name] VARCHAR(40) NOT NULL,  "
    "[prop_value] VARCHAR(255) NULL)";

const char* const kCreateIcons =
    "CREATE TABLE IF NOT EXISTS [icons] ("
    "[icon_id] INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,  "
    "[note_id] VARCHAR(30) NULL,  "
    "[image_title] VARCHAR(255) NULL,  "
    "[image_data] BLOB NULL,  "
    "[is_png] BOOLEAN NULL)";

const char* const kCreateAnchors =
    "CREATE TABLE IF NOT EXISTS [anchors] ("
    "[anc_id] INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,  "
    "[note_id] VARCHAR(30) NULL,  "
    "[anc_name] VARCHAR(255) NOT NULL,  "
    "[anc_offset] INTEGER NOT NULL)";

const char* const kCreateDeletions =
    "CREATE TABLE IF NOT EXISTS [deletions] ("
    "[del_id] INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT,  "
    "[note_id] VARCHAR(30) UNIQUE NOT NULL)";

const char* const kCreateDeletionsAttachments =
    "CREATE TABLE IF NOT EXISTS [deletions_attachments] ("
    "[del_id] INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,  "
    "[att_code] VARCHAR(30) NOT NULL)";

const char* const kTableNames[kTableCount] = {
    "options", "notes", "notes_tree", "images", "attachments", "formatting", "tags", "tags_notes",
    "links", "bookmarks", "tasks", "custom_properties", "icons", "anchors", "deletions",
    "deletions_attachments"};

const char* const kCreateTableSql[kTableCount] = {
    kCreateOptions, kCreateNotes,     kCreateNotesTree,  kCreateImages,
    kCreateAttachments, kCreateFormatting, kCreateTags,   kCreateTagsNotes,
    kCreateLinks,   kCreateBookmarks, kCreateTasks,      kCreateCustomProperties,
    kCreateIcons,   kCreateAnchors,   kCreateDeletions,  kCreateDeletionsAttachments};

const char* const kIdxNotesTree = "CREATE INDEX IF NOT EXISTS [IDX_NOTES_TREE] ON [notes_tree]([note_id] DESC)";
const char* const kIdxLinks = "CREATE INDEX IF NOT EXISTS [IDX_LINKS] ON [links]([note_id] DESC)";
const char* const kIdxTagsNotes = "CREATE INDEX IF NOT EXISTS [IDX_TAGS_NOTES] ON [tags_notes]([note_id] DESC)";
const char* const kIdxAttachments =
    "CREATE INDEX IF NOT EXISTS [IDX_ATTACHMENTS] ON [attachments]([note_id] DESC)";
const char* const kIdxFormatting = "CREATE INDEX IF NOT EXISTS [IDX_FORMATTING] ON [formatting]([note_id] DESC)";
const char* const kIdxImages = "CREATE INDEX IF NOT EXISTS [IDX_IMAGES] ON [images]([note_id] DESC)";
const char* const kIdxFormattingNoteOffset =
    "CREATE INDEX IF NOT EXISTS [IDX_FORMATTING_NOTE_OFFSET] ON [formatting]([note_offset] ASC)";
const char* const kIdxLinksNoteOffset =
    "CREATE INDEX IF NOT EXISTS [IDX_LINKS_NOTE_OFFSET] ON [links]([note_offset] ASC)";
const char* const kIdxIcons = "CREATE INDEX IF NOT EXISTS [IDX_ICONS] ON [icons]([note_id] DESC)";
const char* const kIdxNoteHash = "CREATE INDEX IF NOT EXISTS [IDX_NOTE_HASH] ON [notes]([hash] DESC)";
const char* const kIdxNoteHashHtml =
    "CREATE INDEX IF NOT EXISTS [IDX_NOTE_HASH_HTML] ON [notes]([hash_html] DESC)";
const char* const kIdxDeletionsNote =
    "CREATE INDEX IF NOT EXISTS [IDX_DELETIONS_NOTE] ON [deletions]([note_id] DESC)";
const char* const kIdxDeletionsAttNote =
    "CREATE INDEX IF NOT EXISTS [IDX_DELETIONS_ATT_NOTE] ON [deletions_attachments]([att_code] DESC)";

const char* const kIdxAnchors = "CREATE INDEX IF NOT EXISTS [IDX_ANCHORS] ON [anchors]([note_id] DESC)";
const char* const kIdxCustomProperties =
    "CREATE INDEX IF NOT EXISTS [IDX_CUSTOM_PROPERTIES] ON [custom_properties]([note_id] DESC)";

const char* const kIndexNames[kIndexCount] = {
    "IDX_NOTES_TREE", "IDX_LINKS",  "IDX_TAGS_NOTES", "IDX_ATTACHMENTS",      "IDX_FORMATTING",
    "IDX_IMAGES",     "IDX_FORMATTING_NOTE_OFFSET",   "IDX_LINKS_NOTE_OFFSET", "IDX_ICONS",
    "IDX_NOTE_HASH",  "IDX_NOTE_HASH_HTML",           "IDX_DELETIONS_NOTE",   "IDX_DELETIONS_ATT_NOTE",
    "IDX_ANCHORS",    "IDX_CUSTOM_PROPERTIES"};

const char* const kCreateIndexSql[kIndexCount] = {
    kIdxNotesTree, kIdxLinks,   kIdxTagsNotes, kIdxAttachments,   kIdxFormatting,
    kIdxImages,    kIdxFormattingNoteOffset,   kIdxLinksNoteOffset, kIdxIcons,
    kIdxNoteHash,  kIdxNoteHashHtml,           kIdxDeletionsNote, kIdxDeletionsAttNote,
    kIdxAnchors,   kIdxCustomProperties};

const char* const kNoteLookupIndexNames[kNoteLookupIndexCount] = {"IDX_ANCHORS", "IDX_CUSTOM_PROPERTIES"};
const char* const kCreateNoteLookupIndexSql[kNoteLookupIndexCount] = {kIdxAnchors, kIdxCustomProperties};

namespace {

struct TableColumns {
  std::string table;
  std::vector<std::string> columns;
};

// The columns of every table, as SQLite reads them from the statements
// above (so that they cannot drift apart from a list kept by hand): the
// tables are created once in a database in memory.
std::vector<TableColumns> ReadSchemaColumns() {
  std::vector<TableColumns> out;
  sqlite3* mem = nullptr;
  if (sqlite3_open(":memory:", &mem) != SQLITE_OK) {
    sqlite3_close(mem);
    return out;
  }
  bool ok = true;
  for (const char* sql : kCreateTableSql) ok = ok && sqlite3_exec(mem, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_stmt* st = nullptr;
  ok = ok && sqlite3_prepare_v2(mem, "SELECT name FROM pragma_table_info(?1)", -1, &st, nullptr) == SQLITE_OK;
  for (int t = 0; ok && t < kTableCount; ++t) {
    TableColumns tc;
    tc.table = kTableNames[t];
    sqlite3_bind_text(st, 1, kTableNames[t], -1, SQLITE_STATIC);
    while (sqlite3_step(st) == SQLITE_ROW)
      tc.columns.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
    sqlite3_reset(st);
    ok = !tc.columns.empty();
    out.push_back(std::move(tc));
  }
  sqlite3_finalize(st);
  sqlite3_close(mem);
  if (!ok) out.clear();
  return out;
}

}  // namespace

std::string MissingSchemaPart(CppSQLite3DB& db) {
  static const std::vector<TableColumns> kColumns = ReadSchemaColumns();
  if (kColumns.empty()) return "(the schema could not be read)";
  for (const TableColumns& tc : kColumns)
    for (const std::string& col : tc.columns)
      if (!db.getTableColExists(tc.table.c_str(), col.c_str())) return tc.table + "." + col;
  return std::string();
}

namespace {

// The statement text the buffer was given; out of memory when it has none.
const char* Sql(const CppSQLite3Buffer& sql) {
  if (!sql) throw std::bad_alloc();
  return sql;
}

// The first column of the one row of sql; -1 after a failure.
int64_t CountOf(CppSQLite3DB& db, const CppSQLite3Buffer& sql, CppSQLite3Exception& err) {
  int64_t n = -1;
  {
    CppSQLite3Query q = db.execQuery(Sql(sql), &err);
    if (err.errorCode() == 0 && !q.eof()) n = q.getInt64Field(0, -1);
  }
  return n;
}

}  // namespace

std::string UnmatchedIndex(CppSQLite3DB& db, CppSQLite3Exception& err) {
  for (const char* table : kTableNames) {
    std::vector<std::string> indexes;
    {
      CppSQLite3Buffer sql;
      sql.format("SELECT name FROM pragma_index_list(%Q) WHERE partial=0", table);
      CppSQLite3Query q = db.execQuery(Sql(sql), &err);
      for (; err.errorCode() == 0 && !q.eof(); q.nextRow(&err)) indexes.emplace_back(q.getStringField(0, ""));
    }
    if (err.errorCode() != 0) return std::string();
    if (indexes.empty()) continue;
    CppSQLite3Buffer sql;
    sql.format("SELECT count(*) FROM \"%w\" NOT INDEXED", table);
    const int64_t rows = CountOf(db, sql, err);
    for (const std::string& index : indexes) {
      if (err.errorCode() != 0) return std::string();
      // Without a WHERE clause SQLite counts the table through its smallest
      // index, whichever INDEXED BY names; with one it scans the index named.
      sql.format("SELECT count(*) FROM \"%w\" INDEXED BY \"%w\" WHERE 1", table, index.c_str());
      const int64_t entries = CountOf(db, sql, err);
      if (err.errorCode() == 0 && entries != rows)
        return "index " + index + " of table " + table + " holds " + std::to_string(entries) + " entries for " +
               std::to_string(rows) + " rows";
    }
  }
  return std::string();
}

}  // namespace sqlite_schema
}  // namespace quillery
