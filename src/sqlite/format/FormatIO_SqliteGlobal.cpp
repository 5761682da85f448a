// The document-wide data of the SQLite document format: options,
// bookmarks and the document's own custom properties. Each writer logs its
// failures, records the change as not written and goes on; a document
// opened on behalf of a plug-in is left alone.

#include <string>

#include "base/Log.h"
#include "model/NoteDocument.h"
#include "sqlite/format/FormatIO_Sqlite.h"
#include "sqlite/format/SqliteWriteUtil.h"

using quillery::LogSqlFailure;
using quillery::SqlErrorText;
using quillery::SqlFailed;

void FormatIO_Sqlite::StoreGlobalData() {
  BeforeChange();
  SaveGlobalOptions();
  UpdateDocBookmarks();
  SaveGlobalCustomProperties();
}

void FormatIO_Sqlite::SaveGlobalOptions() const {
  const NoteDocument* doc = GetDoc();
  if (!doc || doc->m_bPlugin) return;
  // The note the document is at: the selected one; without a selection the
  // one a native file named, or the one this format read at load time (a
  // document that nobody has shown yet keeps its place).
  std::string startNode;
  for (const int idx : {doc->m_nCurrentNoteIdx, doc->m_nLastNoteIdx, doc->m_nStartNoteIdx}) {
    if (idx < 0 || idx >= doc->GetNodeCount()) continue;
    startNode = doc->GetNodeByIdx(idx).m_strID;
    break;
  }
  struct Option {
    const char* name;
    std::string value;
    const char* failure;
  };
  const Option options[] = {
      {"is_readonly", doc->IsReadOnly() ? "1" : "0", "Sqlite format [save global]: Error: %s\n"},
      {"prop_modified", std::to_string(static_cast<long long>(doc->m_nPropModifiedTime)),
       "Sqlite format [save global]: Error: %s\n"},
      {"start_node", startNode, "Sqlite format [save globa2]: Error: %s\n"},
      {"doc_title", doc->GetTitle(), "Sqlite format [save globa3]: Error: %s\n"},
      {"doc_author", doc->GetAuthor(), "Sqlite format [save globa6]: Error: %s\n"},
      {"doc_UID", doc->GetUID(), "Sqlite format [save globa4]: Error: %s\n"},
      {"format_version", std::string(), "Sqlite format [save globa5]: Error: %s\n"},
  };
  const char* sql =
      "INSERT OR REPLACE INTO options (id, opt_name, opt_value) VALUES ((select id from options where opt_name = "
      "?), ?, ?)";
  CppSQLite3Exception prepErr;
  CppSQLite3Statement stmt = _db.compileStatement(sql, &prepErr);
  for (const Option& opt : options) {
    CppSQLite3Exception err = prepErr;
    if (!SqlFailed(err)) {
      stmt.bind(1, opt.name, &err);
      stmt.bind(2, opt.name, &err);
      if (std::string(opt.name) == "format_version")
        stmt.bind(3, LATEST_FORMAT_VERSION, &err);
      else
        stmt.bind(3, opt.value.c_str(), &err);
      if (!SqlFailed(err)) stmt.execDML(&err);
    }
    if (SqlFailed(err)) {
      xLog(LOG_ERROR, opt.failure, SqlErrorText(err));
      ChangeNotWritten();
    }
  }
}

void FormatIO_Sqlite::UpdateDocBookmarks() const {
  const NoteDocument* doc = GetDoc();
  if (!doc || doc->m_bPlugin || !doc->m_bStoreBookmarks) return;
  CppSQLite3Exception err;
  _db.execDML("DELETE FROM bookmarks", &err);
  if (SqlFailed(err)) {
    xLog(LOG_ERROR, "Sqlite format [bookmarks]: Error: %s\n", SqlErrorText(err));
    ChangeNotWritten();
    return;
  }
  const BookmarkList& list = doc->GetBookmarkList();
  if (list.GetCount() == 0) return;
  CppSQLite3Statement stmt =
      _db.compileStatement("INSERT INTO bookmarks (node_id, book_title, book_pos) VALUES (?, ?, ?)", &err);
  for (int i = 0; i < list.GetCount() && !SqlFailed(err); ++i) {
    stmt.bind(1, list.GetBookPath(i).c_str(), &err);
    stmt.bind(2, list.GetBookTitle(i).c_str(), &err);
    stmt.bind(3, i, &err);
    if (!SqlFailed(err)) stmt.execDML(&err);
  }
  if (SqlFailed(err)) {
    xLog(LOG_ERROR, "Sqlite format [bookmarks]: Error: %s\n", SqlErrorText(err));
    ChangeNotWritten();
  }
}

void FormatIO_Sqlite::SaveGlobalCustomProperties() const {
  const NoteDocument* doc = GetDoc();
  if (!doc || doc->m_bPlugin) return;
  const char* del = "DELETE FROM custom_properties WHERE note_id IS NULL";
  CppSQLite3Exception err;
  _db.execDML(del, &err);
  if (SqlFailed(err)) {
    LogSqlFailure("save custom props", del, err);
    ChangeNotWritten();
  }
  if (doc->m_lstCustomProperties.empty()) return;
  const char* sql = "INSERT INTO custom_properties (prop_name, prop_value) VALUES(?, ?)";
  CppSQLite3Exception prepErr;
  CppSQLite3Statement stmt = _db.compileStatement(sql, &prepErr);
  for (const CustomProperty& prop : doc->m_lstCustomProperties) {
    CppSQLite3Exception one = prepErr;
    if (!SqlFailed(one)) {
      stmt.bind(1, prop.strName.c_str(), &one);
      stmt.bind(2, prop.strValue.c_str(), &one);
      if (!SqlFailed(one)) stmt.execDML(&one);
    }
    if (SqlFailed(one)) {
      LogSqlFailure("save global custom props", sql, one);
      ChangeNotWritten();
    }
  }
}
