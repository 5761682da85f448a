// The fine-grained change handlers of the SQLite document format: tree
// changes (insert, delete, ID change, expand/collapse all), text edits that
// move pictures, attachments, pictures, tags and custom icons. Each writes
// at once into the long-running transaction (begun again first when SQLite
// dropped it: BeforeChange), logs a failure and returns; none of them
// commits.
//
// Index arguments name an item of the note's in-memory list (a removal is
// reported while the item is still there); an index outside the list is
// logged and ignored rather than read past the list's end.

#include <glib.h>

#include <string>

#include "base/Log.h"
#include "model/NoteNode.h"
#include "sqlite/format/FormatIO_Sqlite.h"
#include "sqlite/format/SqliteNoteRows.h"
#include "sqlite/format/SqliteWriteUtil.h"

using quillery::LogSqlFailure;
using quillery::SqlErrorText;
using quillery::SqlFailed;

namespace {

// Runs sql; a failure logs "<prefix>Sql [<sql>] failed! Error: <message>"
// and counts as a change that was not written.
void ExecOrLog(const FormatIO_Sqlite& fmt, const char* what, const char* sql) {
  CppSQLite3Exception err;
  fmt._db.execDML(sql, &err);
  if (!SqlFailed(err)) return;
  LogSqlFailure(what, sql, err);
  fmt.ChangeNotWritten();
}

// Runs the cached statement sql with the values bind() gives it; a failure
// logs the error message alone and counts as a change that was not written,
// unless its (extended) code is harmless, which is only logged.
template <class Bind>
bool RunBound(const FormatIO_Sqlite& fmt, const char* sql, Bind bind, const char* failureLine = "%s\n",
              int harmless = SQLITE_OK) {
  CppSQLite3Exception err;
  CppSQLite3Statement stmt = fmt._db.cachedStatement(sql, &err);
  if (!SqlFailed(err)) bind(stmt, err);
  if (!SqlFailed(err)) stmt.execDML(&err);
  if (!SqlFailed(err)) return true;
  xLog(LOG_ERROR, failureLine, SqlErrorText(err));
  if (err.errorCode() != harmless) fmt.ChangeNotWritten();
  return false;
}

bool ValidIndex(const char* what, const NoteNode& note, int index, int count) {
  if (index >= 0 && index < count) return true;
  xLog(LOG_ERROR, "Sqlite format [%s]: no item %d in note %s (%d items)\n", what, index, note.m_strID.c_str(), count);
  return false;
}

}  // namespace

// ---------------------------------------------------------------------------
// Tree

void FormatIO_Sqlite::OnNodeInsert(NoteNode& note, bool shiftSiblings) {
  BeforeChange();
  const char* sqlNote = _bHasIsTaskColumn
                            ? "INSERT INTO notes (note_id, note_clone_id, note_title, is_finished, is_task) "
                              "VALUES (?, ?, ?, 0, 0)"
                            : "INSERT INTO notes (note_id, note_clone_id, note_title, is_finished) VALUES (?, ?, ?, 0)";
  {
    CppSQLite3Exception err;
    CppSQLite3Statement stmt = _db.cachedStatement(sqlNote, &err);
    if (!SqlFailed(err)) {
      stmt.bind(1, note.m_strID.c_str(), &err);
      stmt.bind(2, note.m_strCloneOf.c_str(), &err);
      stmt.bind(3, note.m_strTitle.c_str(), &err);
      if (!SqlFailed(err)) stmt.execDML(&err);
    }
    if (SqlFailed(err)) {
      xLog(LOG_ERROR, "%s\n", SqlErrorText(err));
      ChangeNotWritten();
    }
  }
  // The note's parent, position and ID, bound in this order.
  auto place = [&note](CppSQLite3Statement& st, CppSQLite3Exception& err) {
    st.bind(1, note.m_strParentID.c_str(), &err);
    st.bind(2, note.m_nSibling, &err);
    st.bind(3, note.m_strID.c_str(), &err);
  };
  if (shiftSiblings)
    RunBound(*this, "UPDATE notes_tree SET note_pos=note_pos+1 WHERE note_pid=? AND note_pos>=? AND note_id <> ?",
             place, "Sqlite format [insert node]: shifting siblings: %s\n");
  RunBound(*this, "INSERT INTO notes_tree (note_pid, note_pos, note_id) VALUES (?, ?, ?)", place,
           "Sqlite format [insert node]: %s\n");
}

void FormatIO_Sqlite::OnNodeDeleted(NoteNode& note, bool shiftSiblings) {
  BeforeChange();
  // Every table with rows of the note's own (links to it from other notes
  // and the document's bookmarks are theirs).
  static const char* const kTables[] = {"notes",  "notes_tree", "custom_properties", "tags_notes", "attachments",
                                        "images", "formatting", "links",             "tasks",      "icons",
                                        "anchors"};
  const char* id = note.m_strID.c_str();
  auto bindID = [id](CppSQLite3Statement& st, CppSQLite3Exception& err) { st.bind(1, id, &err); };
  for (const char* table : kTables)
    RunBound(*this, (std::string("DELETE FROM ") + table + " WHERE note_id=?").c_str(), bindID);
  if (shiftSiblings)
    RunBound(
        *this, "UPDATE notes_tree SET note_pos=note_pos-1 WHERE note_pid=? AND note_pos>? AND note_id <> ?",
        [&](CppSQLite3Statement& st, CppSQLite3Exception& err) {
          st.bind(1, note.m_strParentID.c_str(), &err);
          st.bind(2, note.m_nSibling, &err);
          st.bind(3, id, &err);
        },
        "Sqlite format [delete node]: Error: %s\n");
  // The tombstone that tells a later synchronisation about the deletion.
  // A tombstone for the ID may be there already (an import can bring a
  // deleted note's ID back): the deletion is recorded either way, so that
  // clash is only logged and costs no save.
  RunBound(*this, "INSERT INTO deletions (note_id) VALUES(?)", bindID, "%s\n", SQLITE_CONSTRAINT_UNIQUE);
}

bool FormatIO_Sqlite::ModifyNoteID(const std::string& oldID, const std::string& newID) {
  BeforeChange();
  static const char* const kStatements[] = {
      "UPDATE notes SET note_id=%Q WHERE note_id=%Q",
      "UPDATE notes_tree SET note_id=%Q WHERE note_id=%Q",
      "UPDATE notes_tree SET note_pid=%Q WHERE note_pid=%Q",
      "UPDATE images SET note_id=%Q WHERE note_id=%Q",
      "UPDATE attachments SET note_id=%Q WHERE note_id=%Q",
      "UPDATE formatting SET note_id=%Q WHERE note_id=%Q",
      "UPDATE tags_notes SET note_id=%Q WHERE note_id=%Q",
      "UPDATE links SET note_id=%Q WHERE note_id=%Q",
      "UPDATE bookmarks SET node_id=%Q WHERE node_id=%Q",
      "UPDATE tasks SET note_id=%Q WHERE note_id=%Q",
      "UPDATE custom_properties SET note_id=%Q WHERE note_id=%Q",
      "UPDATE icons SET note_id=%Q WHERE note_id=%Q",
      // The note's anchors belong to it like its formatting: left under the
      // old ID they would be lost to the note.
      "UPDATE anchors SET note_id=%Q WHERE note_id=%Q",
  };
  // A rename that stops half way would split the note's rows between two
  // IDs (the note would lose its tree row, say): all or nothing.
  quillery::SqlSavepoint savepoint(_db);
  bool first = true;
  for (const char* fmt : kStatements) {
    CppSQLite3Buffer sql;
    sql.format(fmt, newID.c_str(), oldID.c_str());
    CppSQLite3Exception err;
    _db.execDML(sql, &err);
    if (SqlFailed(err)) {
      xLog(LOG_ERROR, "%s\n", SqlErrorText(err));
      ChangeNotWritten();
      return false;
    }
    if (first) xLog(LOG_INFO, "Sqlite format [modify ID]: SQL=[%s], Success\n", static_cast<const char*>(sql));
    first = false;
  }
  if (savepoint.Release()) return true;
  ChangeNotWritten();
  return false;
}

void FormatIO_Sqlite::OnExpandAll() {
  BeforeChange();
  CppSQLite3Exception err;
  _db.execDML("UPDATE notes_tree SET is_expanded=1", &err);
  if (SqlFailed(err)) {
    xLog(LOG_ERROR, "Sqlite format [expand all]: Sql failed! Error: %s\n", SqlErrorText(err));
    ChangeNotWritten();
  }
}

void FormatIO_Sqlite::OnCollapseAll() {
  BeforeChange();
  CppSQLite3Exception err;
  _db.execDML("UPDATE notes_tree SET is_expanded=0", &err);
  if (SqlFailed(err)) {
    xLog(LOG_ERROR, "Sqlite format [collapse all]: Sql failed! Error: %s\n", SqlErrorText(err));
    ChangeNotWritten();
  }
}

// ---------------------------------------------------------------------------
// Text edits: only the stored picture offsets move; formatting, links and
// anchors are rewritten whole by the next update with their bits.

void FormatIO_Sqlite::OnNodeTxtInsert(NoteNode& note, int offset, int length) {
  ShiftPictures(note, offset, length);
}

void FormatIO_Sqlite::OnNodeTxtDelete(NoteNode& note, int offset, int length) {
  ShiftPictures(note, offset + length, -length);
}

void FormatIO_Sqlite::ShiftPictures(const NoteNode& note, int from, int delta) const {
  BeforeChange();
  RunBound(
      *this, "UPDATE images SET note_offset=note_offset+? WHERE note_id=? AND note_offset>=?",
      [&](CppSQLite3Statement& st, CppSQLite3Exception& err) {
        st.bind(1, delta, &err);
        st.bind(2, note.m_strID.c_str(), &err);
        st.bind(3, from, &err);
      },
      "Sqlite format [update pix offsets]: Error: %s\n");
}

void FormatIO_Sqlite::OnNodeUpdate_ReadOnly(NoteNode& note) {
  BeforeChange();
  CppSQLite3Buffer sql;
  sql.format("UPDATE notes SET is_readonly=? WHERE note_id='%q'", note.m_strID.c_str());
  CppSQLite3Exception err;
  CppSQLite3Statement stmt = _db.compileStatement(sql, &err);
  if (!SqlFailed(err)) {
    stmt.bind(1, note.m_bReadOnly ? 1 : 0, &err);
    if (!SqlFailed(err)) stmt.execDML(&err);
  }
  if (SqlFailed(err)) {
    LogSqlFailure("update node", sql, err);
    ChangeNotWritten();
  }
}

// ---------------------------------------------------------------------------
// Attachments

void FormatIO_Sqlite::OnNodeAttAdded(NoteNode& note, int index) {
  BeforeChange();
  CppSQLite3Exception err;
  if (!quillery::InsertAttachmentRow(_db, note, index, err)) ChangeNotWritten();
}

void FormatIO_Sqlite::OnNodeAttRemoved(NoteNode& note, int index) {
  BeforeChange();
  if (!ValidIndex("att del", note, index, static_cast<int>(note.m_lstAttachments.size()))) return;
  const char* id = note.m_strID.c_str();
  CppSQLite3Buffer sql;
  sql.format("DELETE FROM attachments WHERE note_id='%q' AND note_pos=%d", id, index);
  ExecOrLog(*this, "att del", sql);
  sql.format("UPDATE attachments SET note_pos=note_pos-1 WHERE note_id='%q' AND note_pos>%d", id, index);
  ExecOrLog(*this, "att del", sql);
  // The attachment's tombstone.
  const char* tomb = "INSERT INTO deletions_attachments (att_code) VALUES (?)";
  CppSQLite3Exception err;
  CppSQLite3Statement stmt = _db.compileStatement(tomb, &err);
  if (!SqlFailed(err)) {
    stmt.bind(1, note.m_lstAttachments[index].strCode.c_str(), &err);
    if (!SqlFailed(err)) stmt.execDML(&err);
  }
  if (SqlFailed(err)) {
    LogSqlFailure("att del", tomb, err);
    ChangeNotWritten();
  }
}

void FormatIO_Sqlite::OnNodeAttUpdated(NoteNode& note, int index) {
  BeforeChange();
  if (!ValidIndex("att update", note, index, static_cast<int>(note.m_lstAttachments.size()))) return;
  const AttInfo& att = note.m_lstAttachments[index];
  CppSQLite3Buffer sql;
  sql.format("UPDATE attachments SET att_title=?, att_target=? WHERE note_id='%q' AND note_pos=%d",
             note.m_strID.c_str(), index);
  CppSQLite3Exception err;
  CppSQLite3Statement stmt = _db.compileStatement(sql, &err);
  if (!SqlFailed(err)) {
    stmt.bind(1, att.strName.c_str(), &err);
    stmt.bind(2, att.strTarget.c_str(), &err);
    if (!SqlFailed(err)) stmt.execDML(&err);
  }
  if (SqlFailed(err)) {
    LogSqlFailure("att update", sql, err);
    ChangeNotWritten();
  }
}

// ---------------------------------------------------------------------------
// Pictures

void FormatIO_Sqlite::OnNodePixAdded(NoteNode& note, PixInfo& pix, const std::string& encodedBytes) {
  BeforeChange();
  CppSQLite3Exception err;
  if (!quillery::InsertPictureRow(_db, note, pix, &encodedBytes, err)) ChangeNotWritten();
}

void FormatIO_Sqlite::OnNodePixAdded(NoteNode& note, PixInfo& pix) {
  BeforeChange();
  CppSQLite3Exception err;
  if (!quillery::InsertPictureRow(_db, note, pix, nullptr, err)) ChangeNotWritten();
}

void FormatIO_Sqlite::OnNodePixRemoved(NoteNode& note, int index) {
  BeforeChange();
  const PictureList& pics = note.m_objText.m_lstPictures;
  if (!ValidIndex("pix delete", note, index, pics.GetSize())) return;
  // A read-only load writes nothing: a repair that drops a picture is made
  // in memory only.
  if (_bReadOnlyLoad) return;
  CppSQLite3Buffer sql;
  sql.format("DELETE FROM images WHERE note_id='%q' AND image_id=%lld", note.m_strID.c_str(),
             static_cast<long long>(pics.GetAt(index).nPictureID));
  ExecOrLog(*this, "pix delete", sql);
}

void FormatIO_Sqlite::OnNodePixMoved(NoteNode& note, int index) const {
  BeforeChange();
  const PictureList& pics = note.m_objText.m_lstPictures;
  if (!ValidIndex("pix move", note, index, pics.GetSize())) return;
  const PixInfo& pix = pics.GetAt(index);
  if (pix.nPictureID <= 0) return;
  // The note's own row only: an ID that names no row of this note (one
  // given by an insert that was undone) must not move another picture.
  RunBound(*this, "UPDATE images SET note_offset=? WHERE image_id=? AND note_id=?",
           [&](CppSQLite3Statement& st, CppSQLite3Exception& err) {
             st.bind(1, pix.nOffset, &err);
             st.bind(2, static_cast<long long>(pix.nPictureID), &err);
             st.bind(3, note.m_strID.c_str(), &err);
           });
}

// ---------------------------------------------------------------------------
// Tags

void FormatIO_Sqlite::OnNodeTagAdded(NoteNode& note, const std::string& tag) {
  BeforeChange();
  CppSQLite3Exception err;
  if (!quillery::InsertTagRow(_db, note, tag, err)) ChangeNotWritten();
}

void FormatIO_Sqlite::OnNodeTagRemoved(NoteNode& note, const std::string& tag) {
  BeforeChange();
  CppSQLite3Buffer sql;
  sql.format(
      "SELECT id FROM tags_notes, tags WHERE note_id='%q' AND tags.tag_id=tags_notes.tag_id AND tags.tag_name=?",
      note.m_strID.c_str());
  long long rowID = 0;
  {
    CppSQLite3Exception err;
    CppSQLite3Statement stmt = _db.compileStatement(sql, &err);
    if (!SqlFailed(err)) {
      stmt.bind(1, tag.c_str(), &err);
      if (!SqlFailed(err)) {
        CppSQLite3Query q = stmt.execQuery(&err);
        if (!SqlFailed(err) && !q.eof()) rowID = q.getInt64Field(0, 0);
      }
    }
    if (SqlFailed(err)) {
      xLog(LOG_ERROR, "Sqlite format [del tag]: Error: %s\n", SqlErrorText(err));
      ChangeNotWritten();
      return;
    }
  }
  sql.format("DELETE FROM tags_notes WHERE id=%lld", rowID);
  CppSQLite3Exception err;
  _db.execDML(sql, &err);
  if (SqlFailed(err)) {
    xLog(LOG_ERROR, "Sqlite format [del tag2]: Error: %s\n", SqlErrorText(err));
    ChangeNotWritten();
  }
}

void FormatIO_Sqlite::OnRemoveTag(const std::string& tag) {
  BeforeChange();
  CppSQLite3Exception err;
  CppSQLite3Statement stmt = _db.compileStatement("DELETE FROM tags WHERE tag_name=?", &err);
  if (!SqlFailed(err)) {
    stmt.bind(1, tag.c_str(), &err);
    if (!SqlFailed(err)) stmt.execDML(&err);
  }
  if (SqlFailed(err)) {
    xLog(LOG_ERROR, "Sqlite format [del tag3]: Error: %s\n", SqlErrorText(err));
    ChangeNotWritten();
  }
}

// ---------------------------------------------------------------------------
// Custom icons

void FormatIO_Sqlite::OnNodeCustomIconSet(NoteNode& note, PixInfo& pix) {
  OnNodeCustomIconRemoved(note);
  char* bytes = nullptr;
  gsize len = 0;
  pix.SaveToBuffer(&bytes, &len);
  CppSQLite3Buffer sql;
  sql.format("INSERT INTO icons (note_id, image_title, image_data, is_png) VALUES (?, ?, ?, %d)", pix.bPNG ? 1 : 0);
  CppSQLite3Exception err;
  CppSQLite3Statement stmt = _db.compileStatement(sql, &err);
  if (!SqlFailed(err)) {
    stmt.bind(1, note.m_strID.c_str(), &err);
    stmt.bind(2, pix.strName.c_str(), &err);
    if (bytes && len > 0)
      stmt.bind(3, reinterpret_cast<const unsigned char*>(bytes), static_cast<int>(len), &err);
    else
      stmt.bindNull(3, &err);
    if (!SqlFailed(err)) stmt.execDML(&err);
  }
  g_free(bytes);
  if (SqlFailed(err)) {
    LogSqlFailure("pix add", sql, err);
    ChangeNotWritten();
  }
}

void FormatIO_Sqlite::OnNodeCustomIconRemoved(NoteNode& note) {
  BeforeChange();
  CppSQLite3Buffer sql;
  sql.format("DELETE FROM icons WHERE note_id='%q'", note.m_strID.c_str());
  ExecOrLog(*this, "icon delete", sql);
}
