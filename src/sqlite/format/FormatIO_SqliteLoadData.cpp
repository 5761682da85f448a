// FormatIO_Sqlite load, second half: the order of the steps after the
// database is open, and the document-wide data (anchors, tombstones, tags,
// custom properties, options, bookmarks) read after the tree.

#include <cstdlib>
#include <string>

#include "base/FileUtil.h"
#include "base/Log.h"
#include "base/Progress.h"
#include "model/NoteDocument.h"
#include "save/SafeSave.h"
#include "sqlite/format/FormatIO_Sqlite.h"
#include "sqlite/format/SqliteLoadSteps.h"
#include "sqlite/format/SqliteReadHelpers.h"
#include "sqlite/format/SqliteResults.h"
#include "sqlite/format/SqliteSchema.h"

namespace quillery {

namespace {

const char* const kTagsSql =
    "select tags_notes.note_id, tags.tag_name from tags, tags_notes WHERE tags.tag_id=tags_notes.tag_id";
const char* const kPropsSql = "select note_id, prop_name, prop_value from custom_properties";
const char* const kBookmarksSql = "select node_id, book_title FROM bookmarks ORDER BY book_pos ASC";

}  // namespace

int SqliteLoadRun::ReadDocument() {
  int r = CheckIndexes();
  if (r >= 0) return r;
  xLog(LOG_DEBUG, "Sqlite load note tree\n");
  if (m_fmt.m_bReportProgress) {
    const int64_t notes = Count("select count(*) from notes");
    const int64_t tags = Count("select count(*) from tags, tags_notes WHERE tags.tag_id=tags_notes.tag_id");
    const int64_t props = Count("select count(*) from custom_properties");
    ProgressInfo::SetTotalSize(notes + tags + props);
    if (notes > 0) m_doc.ReserveNotesMemory(static_cast<int>(notes));
  }
  m_nProgress = 0;

  r = ReadTree();
  if (r >= 0) return r;
  xLog(LOG_DEBUG, "Sqlite: done loading note tree\n");
  m_doc.m_nNodeCounter = m_doc.GetNodeCount();
  RemapParents();
  m_doc.RebuildMap();
  m_fmt.FixRemappedIDs();
  // Merging into another database: that database takes the merged notes
  // whole, now that every renamed ID is known.
  FormatIO_DynamicBase* target = nullptr;
  if (docLoader && docLoader != &m_fmt && docLoader->IsDynamic())
    target = dynamic_cast<FormatIO_DynamicBase*>(docLoader);
  if (target && (r = CopyLoadedNotes(*target)) >= 0) return r;

  if ((r = ReadAnchorsAndTombstones()) >= 0) return r;
  RepairTree();
  if ((r = ReadTagsAndProperties()) >= 0) return r;
  // The rebuild re-inserts the properties the document holds: right for
  // the document's own file, but a merged file would take the document's
  // notes and the merge's new IDs.
  if (LoadsDocumentFile(m_fmt, docLoader)) m_fmt.FixCustomPropertiesTable();
  if ((r = ReadOptions()) >= 0) return r;
  if ((r = ReadBookmarks()) >= 0) return r;
  // A statement that failed on the way (it is logged) left its part out of
  // the document: the load goes on, but what is made of it lacks that part.
  if (m_e3.errorCode() != 0) quillery::CountReadFailure();

  // A writable file's transaction began with the open (OpenForLoad); a
  // shared one never has one.
  if (!m_fmt._bInTransaction) {
    m_fmt.StartTransaction(m_e3);
    m_fmt._bInTransaction = true;
    if (m_e3.errorCode() != 0)
      xLog(LOG_ERROR, "Error loading .qydb/.qyde: [BEGIN EXCLUSIVE] failed! Error: %s\n", SqliteMessage(m_e3));
  }

  m_doc.RefreshCloneMaps();
  if (ProgressInfo::IsCanceled()) {
    m_fmt.Close();
    return DOC_LOAD_ABORTED;
  }
  return DOC_LOAD_OK;
}

int SqliteLoadRun::CheckIndexes() {
  // An index that lost entries hides their rows from the reads through it,
  // without an error. The load's reads are inside its read (read-only) or
  // its long-running transaction; a file another process holds, read in
  // no transaction, is counted in one read of its own.
  const bool ownRead = !m_fmt._bReadOnlyLoad && !m_fmt._bInTransaction;
  CppSQLite3Exception counted;
  if (ownRead) m_fmt._db.execDML("BEGIN", &counted);
  std::string unmatched = sqlite_schema::UnmatchedIndex(m_fmt._db, counted);
  if (ownRead) m_fmt._db.execDML("ROLLBACK", nullptr);
  if (counted.errorCode() != 0) {
    xLog(LOG_ERROR, "%s\n", SqliteMessage(counted));
    // A busy file, a cancel, no memory: not the file's fault.
    const int result = SqliteLoadResult(counted.errorCode(), m_fmt._db.handle(), false, DOC_LOAD_FORMAT_ERROR);
    if (result != DOC_LOAD_FORMAT_ERROR) return result;
    unmatched = "its indexes could not be counted";
  }
  ReportUnmatchedIndex(unmatched);
  return -1;
}

void ReportUnmatchedIndex(const std::string& unmatched) {
  if (unmatched.empty()) return;
  xLog(LOG_ERROR, "Error loading .qydb/.qyde: the file is damaged: %s\n", unmatched.c_str());
  quillery::CountReadFailure();
}

int64_t SqliteLoadRun::Count(const char* sql) {
  const bool hadError = m_e3.errorCode() != 0;
  CppSQLite3Query q = m_fmt._db.execQuery(sql, &m_e3);
  if (m_e3.errorCode() != 0) {
    if (!hadError) xLog(LOG_ERROR, "%s\n", SqliteMessage(m_e3));
    return 0;
  }
  return q.eof() ? 0 : q.getInt64Field(0, 0);
}

int SqliteLoadRun::LoadedIdx(const std::string& storedId) const {
  const int idx = m_doc.GetIdxFromID(LoadedIdOf(m_fmt, storedId));
  // Rows of the file never name a note the document had before the load.
  return idx >= m_fmt._nFirstLoadedIdx ? idx : -1;
}

int SqliteLoadRun::ReadAnchorsAndTombstones() {
  struct Side {
    const char* sql;
    int which;
  };
  const Side sides[] = {{"select note_id, anc_name FROM anchors", 0},
                        {"select note_id FROM deletions", 1},
                        {"select att_code FROM deletions_attachments", 2}};
  for (const Side& s : sides) {
    const bool hadError = m_e3.errorCode() != 0;
    CppSQLite3Query q = m_fmt._db.execQuery(s.sql, &m_e3);
    if (m_e3.errorCode() != 0 && !hadError) xLog(LOG_ERROR, "%s\n", SqliteMessage(m_e3));
    while (!q.eof()) {
      if (ProgressInfo::IsCanceled()) return DOC_LOAD_ABORTED;
      const std::string first = q.getStringField(0, "");
      if (s.which == 0) m_doc.m_mapAnchors[q.getStringField(1, "")] = LoadedIdOf(m_fmt, first);
      else if (s.which == 1) m_doc.m_mapDeletedNotes[first] = 1;
      else m_doc.m_mapDeletedAttachments[first] = 1;
      q.nextRow(&m_e3);
    }
  }
  return -1;
}

int SqliteLoadRun::SideDataFailure(const char* sql, bool statementFailed, bool levelWarning) {
  if (SqliteIsBusy(m_e3.errorCode())) {
    xLog(statementFailed && levelWarning ? LOG_WARNING : LOG_ERROR,
         "Error loading .qydb/.qyde: Sql database locked! Error: %s\n", SqliteMessage(m_e3));
    m_fmt.Close();
    return DOC_LOAD_NOT_OPEN;
  }
  xLog(LOG_ERROR, "Error loading .qydb/.qyde: Sql [%s] failed! Error: %s\n", sql, SqliteMessage(m_e3));
  if (CheckFileWriteAccess(m_fmt._strPath))
    return SqliteLoadResult(m_e3.errorCode(), m_fmt._db.handle(), false, DOC_LOAD_UNKNOWN_FORMAT);
  return -1;
}

int SqliteLoadRun::RowFailure() const {
  // A wrong key shows at the first statement; a page that reads as no
  // database later on is damage.
  return SqliteLoadResult(m_e3.errorCode(), m_fmt._db.handle(), false, DOC_LOAD_FORMAT_ERROR);
}

int SqliteLoadRun::ReadTagsAndProperties() {
  {
    const bool hadError = m_e3.errorCode() != 0;
    CppSQLite3Query q = m_fmt._db.execQuery(kTagsSql, &m_e3);
    const bool statementFailed = !hadError && m_e3.errorCode() != 0;
    while (!q.eof()) {
      if (ProgressInfo::IsCanceled()) return DOC_LOAD_ABORTED;
      const int idx = LoadedIdx(q.getStringField(0, ""));
      if (idx >= 0) {
        NoteNode& note = m_doc.GetNodeByIdx(idx);
        const std::string tag = q.getStringField(1, "");
        std::string keywords = note.GetKeywords();
        tag_list_quote(keywords);
        keywords += tag;
        keywords += ";";
        // Held as ";a;b;" from the first tag on.
        tag_list_quote(keywords);
        note.SetKeywords(keywords);
        ++m_doc.m_mapTagUseCount[tag];
      }
      Advance();
      q.nextRow(&m_e3);
    }
    if (m_e3.errorCode() != 0) {
      const int r = SideDataFailure(kTagsSql, statementFailed, false);
      if (r >= 0) return r;
    }
  }
  const bool hadError = m_e3.errorCode() != 0;
  CppSQLite3Query q = m_fmt._db.execQuery(kPropsSql, &m_e3);
  const bool statementFailed = !hadError && m_e3.errorCode() != 0;
  while (!q.eof()) {
    if (ProgressInfo::IsCanceled()) return DOC_LOAD_ABORTED;
    const std::string noteID = q.getStringField(0, "");
    CustomProperty prop(q.getStringField(1, ""), q.getStringField(2, ""));
    if (noteID.empty()) {
      m_doc.m_lstCustomProperties.push_back(prop);
    } else {
      const int idx = LoadedIdx(noteID);
      if (idx >= 0) m_doc.GetNodeByIdx(idx).m_lstCustomProperties.push_back(prop);
    }
    ++m_doc.m_mapCustomPropNameCount[prop.strName];
    Advance();
    q.nextRow(&m_e3);
  }
  if (m_e3.errorCode() != 0) return SideDataFailure(kPropsSql, statementFailed, true);
  return -1;
}

int SqliteLoadRun::ReadOptions() {
  // A merge keeps the document's own title and author.
  const bool ownDocument = LoadsDocumentFile(m_fmt, docLoader);
  auto read = [&](const char* name, std::string& value) {
    std::string sql = "SELECT opt_value FROM options WHERE opt_name = '";
    sql += name;
    sql += "'";
    const bool hadError = m_e3.errorCode() != 0;
    CppSQLite3Query q = m_fmt._db.execQuery(sql.c_str(), &m_e3);
    if (m_e3.errorCode() != 0) {
      if (!hadError) xLog(LOG_ERROR, "%s\n", SqliteMessage(m_e3));
      return false;
    }
    if (q.eof()) return false;
    value = q.getStringField(0, "");
    return true;
  };
  std::string v;
  if (read("is_readonly", v)) m_doc.SetReadOnly(atoi(v.c_str()) > 0);
  if (read("prop_modified", v)) m_doc.m_nPropModifiedTime = strtoll(v.c_str(), nullptr, 10);
  if (read("start_node", v)) m_doc.m_nStartNoteIdx = m_doc.GetIdxFromID(LoadedIdOf(m_fmt, v));
  if (read("doc_title", v) && ownDocument) m_doc.SetTitle(v);
  if (read("doc_author", v) && ownDocument) m_doc.SetAuthor(v);
  if (read("doc_UID", v)) m_doc.SetUID(v);
  m_fmt._nFormatVersion = -1;
  if (read("format_version", v)) m_fmt._nFormatVersion = atoi(v.c_str());
  if (m_e3.errorCode() != 0 && CheckFileWriteAccess(m_fmt._strPath)) return RowFailure();
  return -1;
}

int SqliteLoadRun::ReadBookmarks() {
  const bool hadError = m_e3.errorCode() != 0;
  CppSQLite3Query q = m_fmt._db.execQuery(kBookmarksSql, &m_e3);
  if (m_e3.errorCode() != 0 && !hadError)
    xLog(LOG_ERROR, "Error loading .qydb/.qyde: Sql [%s] failed! Error: %s\n", kBookmarksSql, SqliteMessage(m_e3));
  while (!q.eof()) {
    if (ProgressInfo::IsCanceled()) return DOC_LOAD_ABORTED;
    m_doc.GetBookmarkList().Insert(q.getStringField(1, ""), LoadedIdOf(m_fmt, q.getStringField(0, "")), -1);
    q.nextRow(&m_e3);
  }
  return -1;
}

}  // namespace quillery
