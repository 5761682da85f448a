// Saving of the SQLite document format: a save to the database the format
// holds stores the document-wide data and commits; a save to another path
// builds a complete new database from the notes of a walk and leaves the
// format attached to it. Also the insertion of one whole note.

#include <unistd.h>

#include <sqlite3.h>

#include <cerrno>

#include <string>
#include <unordered_map>

#include "base/FileUtil.h"
#include "save/InstallSection.h"
#include "base/Log.h"
#include "base/Progress.h"
#include "save/SafeSave.h"
#include "model/NoteDocument.h"
#include "model/RecursiveTreeWalker.h"
#include "sqlite/format/FormatIO_Sqlite.h"
#include "sqlite/format/SqliteReadHelpers.h"
#include "sqlite/format/SqliteReplace.h"
#include "sqlite/format/SqliteResults.h"
#include "sqlite/format/SqliteWriteUtil.h"

using quillery::LogSqlFailure;
using quillery::SqlColorText;
using quillery::SqlErrorText;
using quillery::SqlFailed;

namespace {

// The parts of a note that OnNodeInsertFull writes after its notes row.
constexpr unsigned int kNoteRowsMask = NIF_FORMATTING | NIF_ANCHORS | NIF_PICTURES | NIF_ATTACHMENTS | NIF_LINKS |
                                       NIF_TASK | NIF_TAGS | NIF_CUSTOM_PROPERTIES;

int StopOnCancel(void*) { return ProgressInfo::IsCanceled() ? 1 : 0; }

bool IsDiskFull(const CppSQLite3Exception& err) { return (err.errorCode() & 0xff) == 13; }  // SQLITE_FULL

// Selecting notes for the save moves the document's current note; this
// puts it back on every way out of the save.
class CurrentNoteKeeper {
 public:
  explicit CurrentNoteKeeper(NoteDocument& doc) : m_doc(doc), m_nIdx(doc.m_nCurrentNoteIdx) {}
  ~CurrentNoteKeeper() { Restore(); }
  void Restore() { m_doc.m_nCurrentNoteIdx = m_nIdx; }
  CurrentNoteKeeper(const CurrentNoteKeeper&) = delete;
  CurrentNoteKeeper& operator=(const CurrentNoteKeeper&) = delete;
  int Index() const { return m_nIdx; }

 private:
  NoteDocument& m_doc;
  int m_nIdx;
};

}  // namespace

// ---------------------------------------------------------------------------
// One whole note

bool FormatIO_Sqlite::OnNodeInsertFull(NoteNode& node, bool ownSavepoint) {
  const char* sql =
      "INSERT INTO notes (note_id, note_clone_id, note_title, is_finished, note_text, hash, hash_html,"
      "date_created, date_modified, icon_type, icon_info, is_readonly, is_template, syntax_highlight, "
      "use_custom_txt_color, custom_txt_color, use_custom_bkg_color, custom_bkg_color, use_custom_font, "
      "custom_font, use_custom_note_bkg_color, custom_note_bkg_color ) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
      "?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
  // The note's rows go in together or not at all.
  quillery::SqlSavepoint savepoint(_db, ownSavepoint);
  CppSQLite3Exception err;
  CppSQLite3Statement stmt = _db.cachedStatement(sql, &err);
  if (!SqlFailed(err)) {
    int i = 1;
    stmt.bind(i++, node.m_strID.c_str(), &err);
    stmt.bind(i++, node.m_strCloneOf.c_str(), &err);
    stmt.bind(i++, node.m_strTitle.c_str(), &err);
    stmt.bind(i++, node.m_bFinished ? 1 : 0, &err);
    stmt.bind(i++, node.GetText().c_str(), &err);
    stmt.bind(i++, node.m_strHash.c_str(), &err);
    stmt.bind(i++, node.m_strHashHtml.c_str(), &err);
    stmt.bind(i++, static_cast<long long>(node.m_nDateCreated), &err);
    stmt.bind(i++, static_cast<long long>(node.m_nDateModified), &err);
    stmt.bind(i++, node.m_nIconType, &err);
    stmt.bind(i++, node.m_strIconPath.c_str(), &err);
    stmt.bind(i++, node.m_bReadOnly ? 1 : 0, &err);
    stmt.bind(i++, node.m_bTemplate ? 1 : 0, &err);
    stmt.bind(i++, node.GetSourceLanguage().c_str(), &err);
    stmt.bind(i++, node.m_bUseTxtColor ? 1 : 0, &err);
    stmt.bind(i++, SqlColorText(node.m_clrTxt).c_str(), &err);
    stmt.bind(i++, node.m_bUseBkgColor ? 1 : 0, &err);
    stmt.bind(i++, SqlColorText(node.m_clrBkg).c_str(), &err);
    stmt.bind(i++, node.m_bUseFont ? 1 : 0, &err);
    stmt.bind(i++, node.m_strCustomFont.c_str(), &err);
    stmt.bind(i++, node.m_bUseNoteBkgColor ? 1 : 0, &err);
    stmt.bind(i++, SqlColorText(node.m_clrNoteBkg).c_str(), &err);
    if (!SqlFailed(err)) stmt.execDML(&err);
  }
  if (SqlFailed(err)) {
    LogSqlFailure("update node", sql, err);
    return false;
  }
  // Formatting, anchors, pictures, attachments, links, task, tags and
  // custom properties, in this order, as for a note without stored rows.
  if (!WriteNoteRows(node, kNoteRowsMask, true, nullptr, false)) return false;

  const char* treeSql = "INSERT INTO notes_tree (note_id, note_pid, note_pos, is_expanded) VALUES (?, ?, ?, ?)";
  CppSQLite3Statement tree = _db.cachedStatement(treeSql, &err);
  if (!SqlFailed(err)) {
    tree.bind(1, node.m_strID.c_str(), &err);
    tree.bind(2, node.m_strParentID.c_str(), &err);
    tree.bind(3, node.m_nSibling, &err);
    tree.bind(4, node.m_bExpanded ? 1 : 0, &err);
    if (!SqlFailed(err)) tree.execDML(&err);
  }
  if (SqlFailed(err)) {
    // Without its tree row the note would not be loaded: not written.
    xLog(LOG_ERROR, "Sqlite format [insert node]: SQL=[%s] (note %s), Error: %s\n", treeSql, node.m_strID.c_str(),
         SqlErrorText(err));
    return false;
  }
  return savepoint.Release();
}


// ---------------------------------------------------------------------------
// Save

namespace {

// The document's custom icons by offset, built on first use: a document
// whose every note has its own icon is looked up in constant time per note
// rather than by a scan of the icon list.
class CustomIconIndex {
 public:
  explicit CustomIconIndex(const PictureList& icons) : m_icons(icons) {}
  // Index of the first icon at exactly that offset, -1 when none.
  int Find(int offset) {
    if (!m_bBuilt) {
      for (int i = 0; i < m_icons.GetSize(); ++i) m_byOffset.emplace(m_icons.GetAt(i).nOffset, i);
      m_bBuilt = true;
    }
    auto it = m_byOffset.find(offset);
    return it == m_byOffset.end() ? -1 : it->second;
  }

 private:
  const PictureList& m_icons;
  std::unordered_map<int, int> m_byOffset;  // emplace keeps the first
  bool m_bBuilt = false;
};

// How one walked note is written: the note itself, or a copy that differs
// from it in clone source, parent or position (the document's note stays
// as it is).
struct WrittenNote {
  NoteNode* note = nullptr;
  NoteNode copy;
  bool cancelled = false;
  bool foreignContent = false;  // the copy holds another note's content

  NoteNode& MakeCopy(NoteNode& source) {
    if (note != &copy) {
      copy = source;
      note = &copy;
    }
    return copy;
  }
};

// Decides on clone conversion and on the position of the walk's top notes.
// fetched is what the document fetched for the note: its original when the
// note is a clone whose original exists, else the note itself.
void PlanWrittenNote(NoteDocument& doc, const RecursiveTreeWalker& walker, int idx, NoteNode& note,
                     NoteNode& fetched, WrittenNote& out) {
  out.note = &note;
  if (note.IsClone() && !doc.m_bNoCloneQuestion) {
    const std::string source = note.m_strCloneOf;
    const bool outside = !walker.IsNoteWithinWalk(source);
    if (outside && doc.m_nCloneMode == 0) {
      GuiControllerBase* gui = doc.GetGuiController();
      const int answer = gui ? gui->ConvertClonesOnSave(note.m_strTitle.c_str()) : -1;
      if (answer < 0) {
        out.cancelled = true;
        return;
      }
      doc.m_nCloneMode = answer;
    }
    // Once answered, the answer holds for every clone whose original is
    // not saved with it: such a clone alone would have no content in the
    // new file.
    const int mode = doc.m_nCloneMode;
    auto entry = doc.m_mapCloneConversion.find(source);
    const std::string mapped = entry == doc.m_mapCloneConversion.end() ? std::string() : entry->second;
    if (outside && (mode == 2 || (mode == 1 && (mapped.empty() || mapped == note.m_strID)))) {
      if (mode == 1 && mapped.empty()) {
        doc.m_mapCloneConversion[source] = note.m_strID;
        xLog(LOG_INFO, "Export converts clone %s from original %s to become a new original parent\n",
             note.m_strID.c_str(), source.c_str());
      }
      NoteNode& copy = out.MakeCopy(note);
      // The original's content, when it exists; a clone without one keeps
      // its own (and its place in the tree).
      if (&fetched != &note) {
        copy.CopyData(fetched);
        out.foreignContent = true;
      }
      copy.m_strCloneOf.clear();
      doc.UnregisterAllCloneRelation(note.m_strID);
    } else if (mode == 1 && !mapped.empty() && mapped != note.m_strID) {
      xLog(LOG_INFO, "Export replaces original ID for clone %s from %s to %s\n", note.m_strID.c_str(),
           source.c_str(), mapped.c_str());
      out.MakeCopy(note).m_strCloneOf = mapped;
    }
  }

  const int type = walker.GetType();
  if ((type == WALK_BRANCH || type == WALK_NODE) && walker.CalcRelativeDepth(idx) == 0) {
    NoteNode& copy = out.MakeCopy(note);
    copy.m_strParentID.clear();
    copy.m_nSibling = 0;
  } else if (type == WALK_CHILDREN || type == WALK_DESCENDANTS) {
    // The start note is not saved: its children become top-level notes.
    const int start = walker.GetStartIdx();
    if (start >= 0 && start < doc.GetNodeCount() && note.m_strParentID == doc.GetNodeByIdx(start).m_strID)
      out.MakeCopy(note).m_strParentID.clear();
  }
}

// The document's records of deleted notes and attachments, so that a
// later synchronisation of the new file does not bring them back. An
// existing target may hold some of them already.
bool WriteTombstones(CppSQLite3DB& db, const NoteDocument& doc, CppSQLite3Exception& err) {
  const char* notes = "INSERT OR IGNORE INTO deletions (note_id) VALUES (?)";
  const char* atts =
      "INSERT INTO deletions_attachments (att_code) SELECT ? WHERE NOT EXISTS "
      "(SELECT 1 FROM deletions_attachments WHERE att_code=?)";
  if (!doc.m_mapDeletedNotes.empty()) {
    CppSQLite3Statement stmt = db.compileStatement(notes, &err);
    for (auto it = doc.m_mapDeletedNotes.begin(); it != doc.m_mapDeletedNotes.end() && !SqlFailed(err); ++it) {
      stmt.bind(1, it->first.c_str(), &err);
      if (!SqlFailed(err)) stmt.execDML(&err);
    }
    if (SqlFailed(err)) {
      LogSqlFailure("deletions", notes, err);
      return false;
    }
  }
  if (!doc.m_mapDeletedAttachments.empty()) {
    CppSQLite3Statement stmt = db.compileStatement(atts, &err);
    for (auto it = doc.m_mapDeletedAttachments.begin(); it != doc.m_mapDeletedAttachments.end() && !SqlFailed(err);
         ++it) {
      stmt.bind(1, it->first.c_str(), &err);
      stmt.bind(2, it->first.c_str(), &err);
      if (!SqlFailed(err)) stmt.execDML(&err);
    }
    if (SqlFailed(err)) {
      LogSqlFailure("deletions", atts, err);
      return false;
    }
  }
  return true;
}

// A note written through a copy gets the picture IDs the copy was given,
// as a note written itself does: every note of the walk names the rows of
// the new file, whether or not its document moves there (the model puts the
// old IDs back when it does not).
void KeepPictureIds(const NoteNode& written, NoteNode& note) {
  const PictureList& from = written.m_objText.m_lstPictures;
  PictureList& to = note.m_objText.m_lstPictures;
  if (from.GetSize() != to.GetSize()) return;
  for (int i = 0; i < from.GetSize(); ++i) to.GetAt(i).nPictureID = from.GetAt(i).nPictureID;
}

int SaveFailed(const CppSQLite3Exception& err) {
  xLog(LOG_ERROR, "Error saving .qydb/.qyde: %s\n", SqlErrorText(err));
  if (IsDiskFull(err)) {
    quillery::SetFailureReason(quillery::ReasonForErrno(ENOSPC));
    return DOC_SAVE_WRITE_ERROR;
  }
  quillery::SetFailureReason(std::string("a step of the save failed: ") + SqlErrorText(err));
  return DOC_SAVE_ERROR;
}

// The database a save builds under its temporary name: closed and removed
// on every way out of the save unless it was put in the target's place,
// after which the format is attached to the target.
class BuildGuard {
 public:
  BuildGuard(FormatIO_Sqlite& fmt, quillery::TempFile& built) : m_fmt(fmt), m_built(built) {}
  ~BuildGuard() {
    if (m_done) return;
    m_fmt._db.close();
    m_fmt._bInTransaction = false;
    m_built.Remove();
  }
  BuildGuard(const BuildGuard&) = delete;
  BuildGuard& operator=(const BuildGuard&) = delete;

  // The result of a failed step: a full disk (or a file-size limit) under
  // any statement is reported as such, not as a failed step.
  int Failed(int result) {
    sqlite3* db = m_fmt._db.handle();
    if (!db || result == DOC_SAVE_ABORTED) return result;
    std::string reason;
    if (!quillery::SqliteNoRoom(sqlite3_extended_errcode(db), db, &reason)) return result;
    quillery::ClearFailureReason();  // the full disk is the cause, whatever step saw it
    quillery::SetFailureReason(reason);
    return DOC_SAVE_WRITE_ERROR;
  }

  // 0, or the DocSaveResult of a failed installation or reopening.
  int Install(const quillery::TargetState& state) {
    const std::string& target = state.path;
    m_fmt._db.close();
    const int result = quillery::InstallDatabase(m_built, state, m_fmt._strPassword);
    if (result != DOC_SAVE_OK) return result;
    m_done = true;
    CppSQLite3Exception err;
    m_fmt._db.open(target.c_str(), &err);
    if (!SqlFailed(err)) {
      m_fmt._db.setBusyTimeout(FormatIO_Sqlite::BUSY_TIMEOUT_MS);
      if (!m_fmt._strPassword.empty()) m_fmt._db.setPassword(m_fmt._strPassword.c_str(), &err);
    }
    if (SqlFailed(err)) {
      // The target holds the saved document; only this object lost it.
      xLog(LOG_ERROR, "Error saving .qydb/.qyde: reopening [%s] failed: %s\n", target.c_str(), SqlErrorText(err));
      m_fmt._db.close();
      return DOC_SAVE_COMMIT_FAILED;
    }
    return DOC_SAVE_OK;
  }

 private:
  FormatIO_Sqlite& m_fmt;
  quillery::TempFile& m_built;
  bool m_done = false;
};

// Saving to the database the format holds: the changes are in the file's
// open transaction already, so only the document-wide data is written and
// the transaction committed and begun again.
// A file shared with another process has no long-running transaction: the
// document-wide data goes in under one write lock of its own, taken before
// the first statement, so that a program holding the file fails the save
// after one wait for the lock, not after a wait for every statement.
// 0 when the lock is held, else the save result.
int LockSharedFile(FormatIO_Sqlite& fmt) {
  CppSQLite3Exception err;
  fmt._db.execDML("BEGIN EXCLUSIVE", &err);
  if (!SqlFailed(err)) return DOC_SAVE_OK;
  xLog(LOG_ERROR, "Error saving .qydb/.qyde: the file could not be locked for writing: %s\n", SqlErrorText(err));
  if (ProgressInfo::IsCanceled()) return DOC_SAVE_ABORTED;
  if (fmt._db.isOpen() && sqlite3_db_readonly(fmt._db.handle(), "main") == 1) return DOC_SAVE_NOT_WRITABLE;
  return quillery::SqliteSaveResult(err.errorCode(), fmt._db.handle(), DOC_SAVE_COMMIT_FAILED);
}

int CommitToOwnFile(FormatIO_Sqlite& fmt) {
  const bool shared = fmt._bLoadedByAnotherProcess;
  if (shared) {
    if (const int locked = LockSharedFile(fmt)) return locked;
  }
  fmt.StoreGlobalData();
  if (shared && fmt._bChangeLost) fmt._db.execDML("ROLLBACK", nullptr);
  if (fmt._bChangeLost) {
    // Committing what did arrive would still leave the file short of the
    // document; nothing is committed, and the file stays as last saved
    // (unless, shared with another process, the changes that were written
    // went in one by one).
    const bool readOnly = fmt._db.isOpen() && sqlite3_db_readonly(fmt._db.handle(), "main") == 1;
    xLog(LOG_ERROR, "Error saving .qydb/.qyde: changes since the last save could not be written%s\n",
         readOnly ? " (the file is read-only)" : "");
    if (readOnly) return DOC_SAVE_NOT_WRITABLE;
    // The failure of the first lost change names the cause (a folder that
    // may not be written, a full disk, the file-size limit).
    if (!fmt._strLostReason.empty()) quillery::SetFailureReason(fmt._strLostReason);
    return fmt._nLostResult;
  }
  CppSQLite3Exception err;
  if (shared) {
    // Without a long-running transaction every change was committed when it
    // was written; the document-wide data is committed now.
    fmt._db.execDML("COMMIT TRANSACTION", &err);
    if (!SqlFailed(err)) return DOC_SAVE_OK;
    xLog(LOG_ERROR, "Error saving .qydb/.qyde: [COMMIT TRANSACTION] failed! Error: %s\n", SqlErrorText(err));
    if (fmt._db.isOpen() && !sqlite3_get_autocommit(fmt._db.handle())) fmt._db.execDML("ROLLBACK", nullptr);
    return DOC_SAVE_COMMIT_FAILED;
  }
  fmt._bInTransaction = false;
  {
    // A hard stop waits for the commit to end, either way.
    quillery::InstallSection install;
    fmt.CommitTransaction(err);
    if (!SqlFailed(err)) install.Commit();
  }
  if (SqlFailed(err)) {
    // The transaction is still open (busy), or SQLite rolled it back and
    // the commit recorded the loss and began the next one.
    fmt._bInTransaction = fmt._db.isOpen() && !sqlite3_get_autocommit(fmt._db.handle());
    xLog(LOG_ERROR, "Error saving .qydb/.qyde: [COMMIT TRANSACTION][BEGIN EXCLUSIVE] failed! Error: %s\n",
         SqlErrorText(err));
    return quillery::SqliteSaveResult(err.errorCode(), fmt._db.handle(), DOC_SAVE_COMMIT_FAILED);
  }
  // The document is in the file: what follows only restarts the
  // transaction, which a Ctrl-C that came meanwhile must not fail.
  fmt._bInTransaction = true;
  quillery::SqliteStopOnCancel(fmt._db, false);
  fmt.StartTransaction(err);
  if (!SqlFailed(err)) fmt.CheckFormatUpgrade(err);
  quillery::SqliteStopOnCancel(fmt._db, true);
  if (SqlFailed(err)) {
    xLog(LOG_ERROR, "Error saving .qydb/.qyde: [COMMIT TRANSACTION][BEGIN EXCLUSIVE] failed! Error: %s\n",
         SqlErrorText(err));
    return DOC_SAVE_COMMIT_FAILED;
  }
  return DOC_SAVE_OK;
}

}  // namespace

int FormatIO_Sqlite::Save(const char* path, RecursiveTreeWalker& walker) {
  xLog(LOG_INFO, "Sqlite::Save(%s)\n", path ? path : "");
  if (!path || !*path) return DOC_SAVE_ERROR;
  NoteDocument& doc = walker.GetDocument();
  SetDoc(doc);
  // The database the format holds, under any spelling of its path.
  if (!_strPath.empty() && (_strPath == path || SameFile(_strPath, path))) return CommitToOwnFile(*this);

  if (access(path, F_OK) == 0 && !CheckFileWriteAccess(path)) return DOC_SAVE_NOT_WRITABLE;
  if (doc.GetLoader() == this && _db.isOpen()) {
    // The notes' contents would be fetched from the new, empty file once
    // this connection moved there: a new format object saves elsewhere.
    xLog(LOG_ERROR, "Sqlite::Save: the document's own database cannot be saved to %s through its loader\n", path);
    return DOC_SAVE_ERROR;
  }

  // 1. The new file: an earlier database's open transaction is not
  //    committed. It is built under a temporary name beside the target
  //    and takes the target's place only once it is complete.
  _db.close();
  _bInTransaction = false;
  _bChangeLost = false;
  const quillery::TargetState* given = TargetStateGiven();
  // The place decided on, however the name leads by now (Holds tells).
  const quillery::TargetState state = given ? *given : quillery::TargetState::Of(path);
  const std::string& target = state.path;
  // A file that took the target's name since the save was decided is not
  // even opened (SQLite would roll back a journal of it).
  if (!state.Holds()) {
    quillery::SetFailureReason(state.ChangedReason());
    return DOC_SAVE_RENAME_FAILED;
  }
  if (int probe = quillery::ProbeDatabaseTarget(target, _strPassword)) return probe;
  quillery::TempFile built;
  if (int e = built.Create(state, true)) {
    quillery::SetFailureReason(quillery::ReasonForErrno(e));
    return e == EBUSY ? DOC_SAVE_RENAME_FAILED : quillery::SaveResultForErrno(e);
  }
  BuildGuard guard(*this, built);
  const unsigned long readFailures = quillery::ReadFailures();
  CppSQLite3Exception err;
  _db.open(built.OpenPath().c_str(), &err);
  if (!SqlFailed(err)) {
    _db.setBusyTimeout(BUSY_TIMEOUT_MS);
    if (!_strPassword.empty()) _db.setPassword(_strPassword.c_str(), &err);
    // Long statements (the indexes of a big document) stop at a cancel.
    sqlite3_progress_handler(_db.handle(), 1000, StopOnCancel, nullptr);
  }
  // The file is thrown away unless it is finished: its journal need not
  // outlive the process (and never lies beside it after a crash).
  for (const char* pragma : {"PRAGMA synchronous=OFF", "PRAGMA journal_mode=MEMORY", "PRAGMA count_changes=OFF",
                             "PRAGMA temp_store=MEMORY", "PRAGMA cache_size=10000;"})
    if (!SqlFailed(err)) _db.execQuery(pragma, &err);
  if (SqlFailed(err)) return guard.Failed(SaveFailed(err));

  StartTransaction(err);
  if (SqlFailed(err)) {
    xLog(LOG_ERROR, "Error saving .qydb/.qyde: %s\n", SqlErrorText(err));
    return guard.Failed(IsDiskFull(err) ? DOC_SAVE_WRITE_ERROR : DOC_SAVE_ERROR);
  }
  CreateTables(err);
  if (SqlFailed(err)) return guard.Failed(SaveFailed(err));
  _bHasIsTaskColumn = _db.getTableColExists("notes", "is_task");

  // 2. The notes of the walk.
  FormatIO_Base* loader = doc.GetLoader();
  const bool lazyLoader = loader && loader->IsDynamic();
  // While every change reached the document's file, the file holds the
  // document and its notes are read from it again (which also finds a
  // damaged file). Once a change could not be written there, the document
  // is what is in memory: only the parts never read come from the file.
  const FormatIO_Sqlite* source = dynamic_cast<const FormatIO_Sqlite*>(loader);
  const bool memoryAhead = lazyLoader && (!source || source->_bChangeLost);
  if (m_bReportProgress) ProgressInfo::SetTotalSize(doc.GetNodeCount());
  CurrentNoteKeeper current(doc);
  int currentOriginal = current.Index();
  if (currentOriginal >= 0 && currentOriginal < doc.GetNodeCount())
    doc.GetOriginalByIdx(current.Index(), &currentOriginal);

  CustomIconIndex icons(doc.m_lstCustomIcons);
  int count = 0;
  int failed = 0;
  walker.Restart();
  for (int idx = walker.GetNextNode(); idx >= 0; idx = walker.GetNextNode()) {
    if (ProgressInfo::IsCanceled()) return DOC_SAVE_ABORTED;
    NoteNode& note = doc.GetNodeByIdx(idx);
    const unsigned int inMemory = memoryAhead ? doc.GetOriginalByIdx(idx).m_nPartsInMemory : 0;
    NoteNode& fetched = doc.OnNoteSelected(idx, NIF_ALL & ~inMemory, true);
    ++count;
    if (m_bReportProgress) ProgressInfo::SetCurrentSize(count);

    WrittenNote written;
    PlanWrittenNote(doc, walker, idx, note, fetched, written);
    if (written.cancelled) return DOC_SAVE_ABORTED;
    // The save's own transaction makes the whole file all-or-nothing; once
    // SQLite has dropped it (disk full, I/O error) no later note may be
    // written on its own.
    if (!OnNodeInsertFull(*written.note, false)) {
      ++failed;
      if (sqlite3_get_autocommit(_db.handle())) break;
    } else if (written.note == &written.copy && !written.foreignContent) KeepPictureIds(written.copy, note);

    NoteNode& w = *written.note;
    if (w.m_nIconType == ICON_CUSTOM) {
      auto icon = doc.m_mapNoteIcon.find(note.m_strID);
      if (icon != doc.m_mapNoteIcon.end() && icon->second >= 0) {
        const int at = icons.Find(icon->second);
        if (at >= 0) OnNodeCustomIconSet(w, doc.m_lstCustomIcons.GetAt(at));
      }
    }
    // Contents that this save read and that the document's loader can
    // fetch again are let go.
    if (lazyLoader && !(inMemory & NIF_CONTENT)) {
      const int fetchedIdx = &fetched == &note ? idx : doc.GetIdxFromID(fetched.m_strID);
      if (fetchedIdx != current.Index() && fetchedIdx != currentOriginal) fetched.Clear(true);
    }
  }
  // The document-wide data names the current note.
  current.Restore();
  if (failed > 0) {
    // A database that silently lacks notes is no saved document.
    xLog(LOG_ERROR, "Error saving .qydb/.qyde: %d of %d notes could not be written\n", failed, count);
    return guard.Failed(DOC_SAVE_ERROR);
  }

  // 3. Tombstones, indexes after the rows, then the document-wide data.
  if (!WriteTombstones(_db, doc, err)) return guard.Failed(SaveFailed(err));
  CreateIndexes(err);
  if (ProgressInfo::IsCanceled()) return DOC_SAVE_ABORTED;
  if (SqlFailed(err)) return guard.Failed(SaveFailed(err));
  StoreGlobalData();
  if (_bChangeLost) {
    xLog(LOG_ERROR, "Error saving .qydb/.qyde: the document-wide data could not be written\n");
    return guard.Failed(DOC_SAVE_ERROR);
  }
  if (_bLoadedByAnotherProcess) return DOC_SAVE_ERROR;

  // 4. Commit, put the file in the target's place and begin the next
  //    long-running transaction there.
  _db.execDML("COMMIT TRANSACTION", &err);
  if (SqlFailed(err)) return guard.Failed(SaveFailed(err));
  if (quillery::ReadFailures() != readFailures) {
    // A note could not be read whole from the document's file: the new
    // file would silently lack it.
    xLog(LOG_ERROR, "Error saving .qydb/.qyde: a part of the document could not be read\n");
    quillery::SetFailureReason("a part of the document could not be read (damaged file?)");
    return DOC_SAVE_ERROR;
  }
  if (int installed = guard.Install(state)) return installed;
  _strPath = target;
  // The file was built without waiting for the disk; from here on it is the
  // document's database, whose commits must be durable as after a load.
  CppSQLite3Exception durable;
  _db.execQuery("PRAGMA synchronous=FULL", &durable);
  if (SqlFailed(durable)) xLog(LOG_ERROR, "%s\n", SqlErrorText(durable));
  _bInTransaction = true;
  CppSQLite3Exception restart;
  StartTransaction(restart);
  if (SqlFailed(restart))
    xLog(LOG_ERROR, "Error saving .qydb/.qyde: [BEGIN EXCLUSIVE] failed! Error: %s\n", SqlErrorText(restart));
  return DOC_SAVE_OK;
}

