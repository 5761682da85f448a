// The general per-note writer of the SQLite document format: OnNodeUpdate
// stores the parts of one note that a NodeInfoFlags mask names, inside the
// long-running transaction. Also InsertLink, which it shares with saving.
//
// Every value is bound, never pasted into statement text, so a quote inside
// a value can neither break nor change a statement, and each statement text
// is compiled once per connection (the connection's statement cache): a
// save runs the same dozen statements for every note.

#include <cstdint>
#include <string>
#include <vector>

#include "base/Log.h"
#include "model/NoteNode.h"
#include "sqlite/format/FormatIO_Sqlite.h"
#include "sqlite/format/SqliteNoteRows.h"
#include "sqlite/format/SqliteWriteUtil.h"

using quillery::LogSqlFailure;
using quillery::SqlColorText;
using quillery::SqlErrorText;
using quillery::SqlFailed;

namespace {

const char kUpdateNode[] = "update node";

// Sets the caller's error text (when given) from the record.
bool Fail(std::string* error, const CppSQLite3Exception& err) {
  if (error) *error = SqlErrorText(err);
  return false;
}

bool IsColorTag(int tag) {
  return tag == FMT_COLOR_BEGIN || tag == FMT_COLOR_END || tag == FMT_BKG_COLOR_BEGIN || tag == FMT_BKG_COLOR_END;
}

// Runs a DELETE of the note's old rows (not for a new note); a failure logs
// the message alone. table is one of the schema's own names.
bool DeleteOldRows(CppSQLite3DB& db, const char* table, const std::string& id, CppSQLite3Exception& err) {
  const std::string sql = std::string("DELETE FROM ") + table + " WHERE note_id=?";
  CppSQLite3Statement stmt = db.cachedStatement(sql.c_str(), &err);
  if (!SqlFailed(err)) stmt.bind(1, id.c_str(), &err);
  if (!SqlFailed(err)) stmt.execDML(&err);
  if (SqlFailed(err)) {
    xLog(LOG_ERROR, "%s\n", SqlErrorText(err));
    return false;
  }
  return true;
}

// Runs a cached statement whose parameters bind() fills; a failure logs it
// with the "[update node]" line.
template <class Bind>
bool ExecLogged(CppSQLite3DB& db, const char* sql, CppSQLite3Exception& err, Bind bind) {
  CppSQLite3Statement stmt = db.cachedStatement(sql, &err);
  if (!SqlFailed(err)) bind(stmt);
  if (!SqlFailed(err)) stmt.execDML(&err);
  if (SqlFailed(err)) {
    LogSqlFailure(kUpdateNode, sql, err);
    return false;
  }
  return true;
}

// Binds a time column: NULL when the time is not set.
void BindTime(CppSQLite3Statement& stmt, int param, const Timestamp& t, CppSQLite3Exception& err) {
  if (t.IsSet()) stmt.bind(param, static_cast<long long>(t.GetValue()), &err);
  else stmt.bindNull(param, &err);
}

// Splits a ";"-separated tag list into its non-empty tags, in order.
void SplitTags(const std::string& keywords, std::vector<std::string>& out) {
  size_t start = 0;
  while (start <= keywords.size()) {
    size_t end = keywords.find(';', start);
    if (end == std::string::npos) end = keywords.size();
    if (end > start) out.push_back(keywords.substr(start, end - start));
    start = end + 1;
  }
}

}  // namespace

bool FormatIO_Sqlite::InsertLink(const LinkInfo& link, const std::string& noteID, CppSQLite3Exception& err) {
  return ExecLogged(
      _db,
      "INSERT INTO links (note_id, note_offset, lnk_length, target_url, target_note_id) VALUES(?, ?, ?, ?, ?)", err,
      [&](CppSQLite3Statement& stmt) {
        stmt.bind(1, noteID.c_str(), &err);
        stmt.bind(2, link.nStartOffset, &err);
        stmt.bind(3, link.nTextLength, &err);
        stmt.bind(4, link.strLink.c_str(), &err);
        stmt.bind(5, link.strTargetID.c_str(), &err);
      });
}

namespace {

// The note's formatting rows, in list order, through one cached statement.
bool WriteFormatting(CppSQLite3DB& db, const NoteNode& note, bool newNote, CppSQLite3Exception& err) {
  if (!newNote && !DeleteOldRows(db, "formatting", note.m_strID, err)) return false;
  const FmtInfoList& list = note.m_objText.m_lstFmt;
  if (list.IsEmpty()) return true;
  const char* sql =
      "INSERT INTO formatting (note_id, note_offset, fmt_tag, fmt_color, fmt_font, fmt_value) "
      "VALUES(?, ?, ?, ?, ?, ?)";
  CppSQLite3Statement stmt = db.cachedStatement(sql, &err);
  for (int i = 0; i < list.GetSize() && !SqlFailed(err); ++i) {
    const FmtInfo& fmt = list.GetAt(i);
    const std::string color = IsColorTag(fmt.nFormatTag) ? SqlColorText(fmt.color) : std::string();
    stmt.bind(1, note.m_strID.c_str(), &err);
    stmt.bind(2, fmt.nOffset, &err);
    stmt.bind(3, fmt.nFormatTag, &err);
    stmt.bind(4, color.c_str(), &err);
    stmt.bind(5, fmt.strFont.c_str(), &err);
    stmt.bind(6, fmt.nValue, &err);
    if (!SqlFailed(err)) stmt.execDML(&err);
  }
  if (SqlFailed(err)) {
    LogSqlFailure(kUpdateNode, sql, err);
    return false;
  }
  return true;
}

bool WriteAnchors(CppSQLite3DB& db, const NoteNode& note, bool newNote, CppSQLite3Exception& err) {
  if (!newNote && !DeleteOldRows(db, "anchors", note.m_strID, err)) return false;
  const AnchorInfoList& list = note.m_objText.m_lstAnchors;
  if (list.IsEmpty()) return true;
  const char* sql = "INSERT INTO anchors (note_id, anc_name, anc_offset) VALUES(?, ?, ?)";
  CppSQLite3Statement stmt = db.cachedStatement(sql, &err);
  for (int i = 0; i < list.GetSize() && !SqlFailed(err); ++i) {
    stmt.bind(1, note.m_strID.c_str(), &err);
    stmt.bind(2, list.GetAt(i).strName.c_str(), &err);
    stmt.bind(3, list.GetAt(i).nOffset, &err);
    if (!SqlFailed(err)) stmt.execDML(&err);
  }
  if (SqlFailed(err)) {
    LogSqlFailure(kUpdateNode, sql, err);
    return false;
  }
  return true;
}

// The note's task row, written or (for an existing note without a task)
// deleted. The subquery keeps an existing row's task_id.
bool WriteTask(CppSQLite3DB& db, const NoteNode& note, bool newNote, CppSQLite3Exception& err) {
  const Task& task = note.m_objTask;
  if (!task.IsValid()) {
    if (newNote) return true;
    return ExecLogged(db, "DELETE FROM tasks WHERE note_id=?", err,
                      [&](CppSQLite3Statement& stmt) { stmt.bind(1, note.m_strID.c_str(), &err); });
  }
  return ExecLogged(
      db,
      "INSERT OR REPLACE INTO tasks (task_id, note_id, date_due, date_created, date_completed, date_expire, "
      "task_priority, task_status, task_repeating, date_last_acknowledged, alarm_sound, alarm_mode, script_path) "
      "VALUES ((SELECT task_id FROM tasks WHERE note_id=?), ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
      err, [&](CppSQLite3Statement& stmt) {
        stmt.bind(1, note.m_strID.c_str(), &err);
        stmt.bind(2, note.m_strID.c_str(), &err);
        BindTime(stmt, 3, task.dateDue, err);
        BindTime(stmt, 4, task.dateCreated, err);
        BindTime(stmt, 5, task.dateCompleted, err);
        BindTime(stmt, 6, task.dateExpire, err);
        stmt.bind(7, task.nPriority, &err);
        stmt.bind(8, task.nStatus, &err);
        stmt.bind(9, task.nRepeat, &err);
        BindTime(stmt, 10, task.dateLastAck, err);
        stmt.bind(11, task.strSoundPath.c_str(), &err);
        stmt.bind(12, task.nAlarmMode, &err);
        stmt.bind(13, task.strScriptPath.c_str(), &err);
      });
}

bool WriteCustomProperties(CppSQLite3DB& db, const NoteNode& note, bool newNote, CppSQLite3Exception& err) {
  if (!newNote && !DeleteOldRows(db, "custom_properties", note.m_strID, err)) return false;
  if (note.m_lstCustomProperties.empty()) return true;
  const char* sql = "INSERT INTO custom_properties (note_id, prop_name, prop_value) VALUES(?, ?, ?)";
  CppSQLite3Statement stmt = db.cachedStatement(sql, &err);
  for (const CustomProperty& prop : note.m_lstCustomProperties) {
    if (SqlFailed(err)) break;
    stmt.bind(1, note.m_strID.c_str(), &err);
    stmt.bind(2, prop.strName.c_str(), &err);
    stmt.bind(3, prop.strValue.c_str(), &err);
    if (!SqlFailed(err)) stmt.execDML(&err);
  }
  if (SqlFailed(err)) {
    LogSqlFailure(kUpdateNode, sql, err);
    return false;
  }
  return true;
}

// Binds the values of the collected notes columns, in the order the parts
// were joined; returns the number of the next parameter.
int BindNoteColumns(CppSQLite3Statement& stmt, const NoteNode& note, unsigned int mask, CppSQLite3Exception& err) {
  int i = 1;
  if (mask & NIF_TEXT) {
    stmt.bind(i++, note.GetText().c_str(), &err);
    stmt.bind(i++, note.m_strHash.c_str(), &err);
    stmt.bind(i++, note.m_strHashHtml.c_str(), &err);
  }
  if (mask & NIF_TITLE) stmt.bind(i++, note.m_strTitle.c_str(), &err);
  if (mask & NIF_PROPERTIES) {
    // Times go in whole: the stored integer is the same for every date a
    // 32-bit value can hold and stays right after 2038.
    stmt.bind(i++, static_cast<long long>(note.m_nDateCreated), &err);
    stmt.bind(i++, static_cast<long long>(note.m_nDateModified), &err);
    stmt.bind(i++, note.m_nIconType, &err);
    stmt.bind(i++, note.m_strIconPath.c_str(), &err);
    stmt.bind(i++, note.m_bFinished ? 1 : 0, &err);
    stmt.bind(i++, note.m_bReadOnly ? 1 : 0, &err);
    stmt.bind(i++, note.m_bTemplate ? 1 : 0, &err);
    stmt.bind(i++, note.GetSourceLanguage().c_str(), &err);
    stmt.bind(i++, note.m_strCloneOf.c_str(), &err);
    stmt.bind(i++, note.m_bUseTxtColor ? 1 : 0, &err);
    stmt.bind(i++, note.m_bUseBkgColor ? 1 : 0, &err);
    stmt.bind(i++, note.m_bUseFont ? 1 : 0, &err);
    stmt.bind(i++, SqlColorText(note.m_clrTxt).c_str(), &err);
    stmt.bind(i++, SqlColorText(note.m_clrBkg).c_str(), &err);
    stmt.bind(i++, note.m_strCustomFont.c_str(), &err);
    stmt.bind(i++, note.m_bUseNoteBkgColor ? 1 : 0, &err);
    stmt.bind(i++, SqlColorText(note.m_clrNoteBkg).c_str(), &err);
  }
  return i;
}

// The note's picture IDs as they were before an update that rewrites its
// pictures: the rows inserted by an update that fails are undone with it, so
// the IDs they gave name no row (and, once SQLite hands the numbers out
// again, another note's picture). Put back unless the update is kept.
class PictureIdsBefore {
 public:
  PictureIdsBefore(NoteNode& note, bool active) : m_note(note) {
    if (!active) return;
    for (const PixInfo& pix : note.m_objText.m_lstPictures.Items()) m_ids.push_back(pix.nPictureID);
    m_active = true;
  }
  ~PictureIdsBefore() {
    if (!m_active) return;
    PictureList& pics = m_note.m_objText.m_lstPictures;
    if (pics.GetSize() != static_cast<int>(m_ids.size())) return;
    for (int i = 0; i < pics.GetSize(); ++i) pics.GetAt(i).nPictureID = m_ids[static_cast<size_t>(i)];
  }
  void Keep() { m_active = false; }
  PictureIdsBefore(const PictureIdsBefore&) = delete;
  PictureIdsBefore& operator=(const PictureIdsBefore&) = delete;

 private:
  NoteNode& m_note;
  std::vector<int64_t> m_ids;
  bool m_active = false;
};

}  // namespace

bool FormatIO_Sqlite::OnNodeUpdate(NoteNode& note, unsigned int mask, bool newNote, std::string* error) {
  return WriteNoteRows(note, mask, newNote, error, true);
}

bool FormatIO_Sqlite::WriteNoteRows(NoteNode& note, unsigned int mask, bool newNote, std::string* error,
                                    bool ownSavepoint) {
  mask &= NIF_ALL;
  if (mask == 0) return true;
  BeforeChange();
  // A new note has no stored rows to take missing bytes from.
  if (!newNote) quillery::LoadMissingBytes(_db, note, mask);
  // All parts of one update are kept or dropped together: a failure half
  // way leaves the note's rows as they were, not half rewritten. (A caller
  // whose own transaction is dropped as a whole on any failure needs none.)
  quillery::SqlSavepoint savepoint(_db, ownSavepoint);
  // Declared after the savepoint: its IDs are back before the rows are.
  PictureIdsBefore pictureIds(note, (mask & NIF_PICTURES) != 0 && (savepoint.IsOpen() || !ownSavepoint));
  // Every way out but the last leaves the change unwritten.
  struct Written {
    const FormatIO_Sqlite& fmt;
    bool done;
    ~Written() {
      if (!done) fmt.ChangeNotWritten();
    }
  } written{*this, false};
  CppSQLite3Exception err;
  const std::string& id = note.m_strID;

  // The notes columns are collected into one statement that runs last.
  std::string columns;
  auto join = [&columns](const char* part) {
    if (!columns.empty()) columns += ", ";
    columns += part;
  };
  if (mask & NIF_TEXT) join("note_text=?, hash=?, hash_html=?");
  if (mask & NIF_TITLE) join("note_title=?");

  if ((mask & NIF_FORMATTING) && !WriteFormatting(_db, note, newNote, err)) return Fail(error, err);
  if ((mask & NIF_ANCHORS) && !WriteAnchors(_db, note, newNote, err)) return Fail(error, err);

  if (mask & NIF_PICTURES) {
    if (!newNote && !DeleteOldRows(_db, "images", id, err)) return Fail(error, err);
    PictureList& pics = note.m_objText.m_lstPictures;
    for (int i = 0; i < pics.GetSize(); ++i)
      if (!quillery::InsertPictureRow(_db, note, pics.GetAt(i), nullptr, err)) return Fail(error, err);
  } else if (mask & NIF_PICTURE_INFO) {
    for (int i = 0; i < note.m_objText.m_lstPictures.GetSize(); ++i) OnNodePixMoved(note, i);
  }

  if (mask & NIF_ATTACHMENTS) {
    if (!newNote && !DeleteOldRows(_db, "attachments", id, err)) return Fail(error, err);
    for (int i = 0; i < static_cast<int>(note.m_lstAttachments.size()); ++i)
      if (!quillery::InsertAttachmentRow(_db, note, i, err)) return Fail(error, err);
  }

  if (mask & NIF_LINKS) {
    if (!newNote && !DeleteOldRows(_db, "links", id, err)) return Fail(error, err);
    const LinkInfoList& links = note.m_objText.m_lstLinks;
    for (int i = 0; i < links.GetSize(); ++i)
      if (!InsertLink(links.GetAt(i), id, err)) return Fail(error, err);
    if (note.m_objLink.IsValid()) {
      note.m_objLink.nStartOffset = -1;
      if (!InsertLink(note.m_objLink, id, err)) return Fail(error, err);
    }
  }

  if (mask & NIF_PROPERTIES) {
    join("date_created=?, date_modified=?, icon_type=?, icon_info=?, is_finished=?, is_readonly=?, "
         "is_template=?, syntax_highlight=?, note_clone_id=?, use_custom_txt_color=?, use_custom_bkg_color=?, "
         "use_custom_font=?, custom_txt_color=?, custom_bkg_color=?, custom_font=?, "
         "use_custom_note_bkg_color=?, custom_note_bkg_color=? ");
    if (!ExecLogged(_db, "UPDATE notes_tree SET is_expanded=? WHERE note_id=?", err, [&](CppSQLite3Statement& st) {
          st.bind(1, note.m_bExpanded ? 1 : 0, &err);
          st.bind(2, id.c_str(), &err);
        }))
      return Fail(error, err);
  }

  if ((mask & NIF_TASK) && !WriteTask(_db, note, newNote, err)) return Fail(error, err);

  if (mask & NIF_TAGS) {
    if (!newNote && !DeleteOldRows(_db, "tags_notes", id, err)) return Fail(error, err);
    std::vector<std::string> tags;
    SplitTags(note.GetKeywords(), tags);
    for (const std::string& tag : tags)
      if (!quillery::InsertTagRow(_db, note, tag, err)) return Fail(error, err);
  }

  if (mask & NIF_TREE_POSITION) {
    if (!ExecLogged(_db, "UPDATE notes_tree SET note_pid=?, note_pos=? WHERE note_id=?", err,
                    [&](CppSQLite3Statement& st) {
                      st.bind(1, note.m_strParentID.c_str(), &err);
                      st.bind(2, note.m_nSibling, &err);
                      st.bind(3, id.c_str(), &err);
                    }))
      return Fail(error, err);
  }

  if ((mask & NIF_CUSTOM_PROPERTIES) && !WriteCustomProperties(_db, note, newNote, err)) return Fail(error, err);

  if (!columns.empty()) {
    const std::string sql = "UPDATE notes SET " + columns + " WHERE note_id=?";
    CppSQLite3Statement stmt = _db.cachedStatement(sql.c_str(), &err);
    int changed = 0;
    if (!SqlFailed(err)) {
      stmt.bind(BindNoteColumns(stmt, note, mask, err), id.c_str(), &err);
      if (!SqlFailed(err)) changed = stmt.execDML(&err);
    }
    if (SqlFailed(err)) {
      LogSqlFailure(kUpdateNode, sql.c_str(), err);
      return Fail(error, err);
    }
    if (changed <= 0) {
      xLog(LOG_ERROR, "Sqlite format error: node to be updated ('%s') does not exist!\n", id.c_str());
      return false;
    }
  }
  if (!savepoint.Release()) {
    if (error) *error = "the changes could not be committed";
    return false;
  }
  pictureIds.Keep();
  written.done = true;
  return true;
}
