// FormatIO_Sqlite: opening a database and loading its tree and document-wide
// data into a NoteDocument. Note contents stay in the file and are fetched
// on demand (FormatIO_SqliteFetch.cpp); the repairs of damaged trees and of
// IDs renamed by a merge are in FormatIO_SqliteRepair.cpp.

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include <sqlite3.h>

#include "base/File64.h"
#include "base/FileUtil.h"
#include "base/Globals.h"
#include "base/ThreadBudget.h"
#include "base/Log.h"
#include "base/Progress.h"
#include "save/SafeSave.h"
#include "model/DocumentIterator.h"
#include "model/NoteDocument.h"
#include "richtext/PixInfo.h"
#include "sqlite/format/FormatIO_Sqlite.h"
#include "sqlite/format/SqliteLoadSteps.h"
#include "sqlite/format/SqliteReadHelpers.h"
#include "sqlite/format/SqliteResults.h"
#include "sqlite/format/SqliteSchema.h"

using namespace quillery;

namespace {

const char* const kTreeSql =
    "select notes.note_id, notes.note_title, notes.icon_type, notes.icon_info, notes_tree.note_pid, "
    "notes_tree.note_pos, notes.is_readonly, notes.is_template, notes_tree.is_expanded, tasks.date_created, "
    "tasks.date_due, tasks.date_completed, tasks.date_expire, tasks.task_priority, tasks.task_status, "
    "tasks.task_repeating, tasks.script_path, tasks.date_last_acknowledged, tasks.alarm_sound, tasks.alarm_mode, "
    "notes.note_clone_id, notes.syntax_highlight, notes.use_custom_txt_color, notes.use_custom_bkg_color, "
    "notes.use_custom_font, notes.custom_txt_color, notes.custom_bkg_color, notes.custom_font, icons.image_title, "
    "icons.image_data, icons.is_png, notes.is_finished, notes.use_custom_note_bkg_color, "
    "notes.custom_note_bkg_color, notes.date_created, notes.date_modified, notes.hash, notes.hash_html, "
    "COUNT(attachments.note_id), notes_tree.note_id IS NULL, (SELECT count(*) FROM notes) from notes "
    "LEFT JOIN notes_tree ON notes.note_id=notes_tree.note_id LEFT JOIN tasks ON notes.note_id=tasks.note_id "
    "LEFT JOIN icons ON notes.note_id=icons.note_id LEFT JOIN attachments ON notes.note_id=attachments.note_id "
    "GROUP BY notes.note_id";
// Column of kTreeSql that is 1 for a note without its tree row.
constexpr int kColNoTreeRow = 39;
// Column of kTreeSql with the number of rows in notes, counted once, in the
// read that gives the tree: more than the query's rows when rows share an
// ID, which the grouping folds into one row.
constexpr int kColNoteRows = 40;
// The position a note without a tree row takes among its siblings until
// the sibling repair gives it the next free one: after every other.
constexpr int kAfterEverySibling = 1 << 30;

// The result of an error in the first statements (open, key, pragmas,
// upgrade): a wrong password, a busy file, a full disk, no memory, a file or
// folder that may not be written, or a file that is no database.
int OpenFailure(sqlite3* db, const CppSQLite3Exception& e, bool hasPassword, const char* firstLine,
                const char* formatError) {
  if (hasPassword && SqliteIsNotADatabase(e.errorCode())) {
    xLog(LOG_WARNING, "Error loading .qyde: Invalid password or corrupted file! Error: %s\n", SqliteMessage(e));
    return DOC_LOAD_WRONG_PASSWORD;
  }
  xLog(LOG_ERROR, firstLine, SqliteMessage(e));
  if (e.errorCode() == SQLITE_READONLY_ROLLBACK) {
    // A writer died inside a transaction; only a connection that may write
    // can roll its journal back, and a read-only one must not.
    quillery::SetFailureReason("the file holds an unfinished change (a hot journal); open it for writing to recover it");
    return DOC_LOAD_FORMAT_ERROR;
  }
  const int result = SqliteLoadResult(e.errorCode(), db, hasPassword, DOC_LOAD_FORMAT_ERROR);
  if (result == DOC_LOAD_FORMAT_ERROR) xLog(LOG_WARNING, "%s", formatError);
  return result;
}

// Sets a timestamp from a task column that is not NULL.
void ReadTime(CppSQLite3Query& q, int col, Timestamp& t) {
  if (!q.fieldIsNull(col)) t = static_cast<int64_t>(q.getInt64Field(col, 0));
}

// Everything of a tree row except ID, title, parent and custom icon.
void FillNoteFromTreeRow(CppSQLite3Query& q, NoteNode& n) {
  n.m_nIconType = q.getIntField(2, 0);
  n.m_strIconPath = q.getStringField(3, "");
  n.m_strParentID = q.getStringField(4, "");
  n.m_nSibling = q.getIntField(5, 0);
  n.m_bReadOnly = q.getIntField(6, 0) > 0;
  n.m_bTemplate = q.getIntField(7, 0) > 0;
  n.m_bExpanded = q.getIntField(8, 0) > 0;
  // A joined tasks row makes a task, whichever of its values are set: a
  // task written without a creation date is still the note's task.
  bool hasTask = false;
  for (int col = 9; col <= 19 && !hasTask; ++col) hasTask = !q.fieldIsNull(col);
  if (hasTask) {
    Task& t = n.m_objTask;
    t.SetValid(true);
    ReadTime(q, 9, t.dateCreated);
    ReadTime(q, 10, t.dateDue);
    ReadTime(q, 11, t.dateCompleted);
    ReadTime(q, 12, t.dateExpire);
    t.nPriority = q.getIntField(13, 0);
    t.nStatus = q.getIntField(14, 0);
    t.nRepeat = q.getIntField(15, 0);
    t.strScriptPath = q.getStringField(16, "");
    ReadTime(q, 17, t.dateLastAck);
    t.strSoundPath = q.getStringField(18, "");
    t.nAlarmMode = q.getIntField(19, 0);
  }
  n.m_strCloneOf = q.getStringField(20, "");
  n.SetSourceLanguage(q.getStringField(21, ""));
  n.m_bUseTxtColor = q.getIntField(22, 0) > 0;
  n.m_bUseBkgColor = q.getIntField(23, 0) > 0;
  n.m_bUseFont = q.getIntField(24, 0) > 0;
  const std::string txt = q.getStringField(25, "");
  if (!txt.empty()) ParseStoredColor(txt.c_str(), n.m_clrTxt);
  const std::string bkg = q.getStringField(26, "");
  if (!bkg.empty()) ParseStoredColor(bkg.c_str(), n.m_clrBkg);
  n.m_strCustomFont = q.getStringField(27, "");
  n.m_bFinished = q.getIntField(31, 0) > 0;
  n.m_bUseNoteBkgColor = q.getIntField(32, 0) > 0;
  const std::string page = q.getStringField(33, "");
  if (!page.empty()) ParseStoredColor(page.c_str(), n.m_clrNoteBkg);
  n.m_nDateCreated = q.getInt64Field(34, 0);
  n.m_nDateModified = q.getInt64Field(35, 0);
  n.m_strHash = q.getStringField(36, "");
  n.m_strHashHtml = q.getStringField(37, "");
  n.m_bHasAttachments = q.getIntField(38, 0) > 0;
  // Texts and attachments stay in the file until they are fetched.
  n.m_nPartsInMemory = NIF_ALL & ~NIF_CONTENT;
}

// A tree row as the load takes it: the note filled from the row (all but
// its custom icon) and the custom icon's stored bytes (columns 29, 30).
struct TreeItem {
  NoteNode note;
  bool noTreeRow = false;  // the note has no row in notes_tree
  bool hasIcon = false;
  std::string iconData;
  bool iconPng = false;
};

void CaptureTreeRow(CppSQLite3Query& q, TreeItem& item) {
  item.note.m_strID = q.getStringField(0, "");
  item.note.SetTitle(q.getStringField(1, ""));
  FillNoteFromTreeRow(q, item.note);
  item.noTreeRow = q.getIntField(kColNoTreeRow, 0) != 0;
  item.hasIcon = false;
  if (q.fieldIsNull(30)) return;
  int len = 0;
  const unsigned char* data = q.getBlobField(29, len, nullptr);
  if (!data || len <= 0) return;
  item.hasIcon = true;
  item.iconData.assign(reinterpret_cast<const char*>(data), static_cast<size_t>(len));
  item.iconPng = q.getIntField(30, 0) > 0;
}

// A custom icon of the row enters the document's icon list under the
// note's final ID, so that a renamed note keeps its own icon and a note of
// the document that had the stored ID does not take it.
void ReadCustomIcon(TreeItem& item, NoteDocument& doc, const std::string& noteID) {
  if (!item.hasIcon) return;
  const std::string& data = item.iconData;
  GdkPixbuf* pix = PixInfo::LoadFromBuffer(data.data(), data.size(), -1);
  if (!pix) return;
  PixInfo icon;
  icon.SetPixbufOwned(pix);
  icon.strEncoded = std::move(item.iconData);
  icon.nOffset = doc.m_nCustomIconCounter;
  icon.bPNG = item.iconPng;
  doc.m_lstCustomIcons.Push(icon);
  doc.m_mapNoteIcon[noteID] = doc.m_nCustomIconCounter;
  ++doc.m_nCustomIconCounter;
}

// The rows of the tree query, each taken as a TreeItem, one row ahead of
// the caller. Threaded, a worker steps the statement and fills the notes
// (the pure part of a row's work) while the load's thread files them into
// the document, batch by batch through a bounded queue.
//
// Ownership across threads: between the constructor and the end of the
// rows (or Drain, or the destructor) the worker alone uses the statement
// and its connection; the caller must not run anything on that connection
// meanwhile. The queue, the end flag, the error and a worker's exception
// are shared under m_mutex. The destructor stops the worker (it checks a
// flag before each row) and joins it.
class TreeRowReader {
 public:
  TreeRowReader(CppSQLite3Query& q, bool threaded) : m_q(q), m_threaded(threaded) {
    // The worker's thread comes from the thread budget; without one the
    // rows are read in series.
    if (m_threaded && m_share.Take(1) == 0) m_threaded = false;
    if (m_threaded) {
      try {
        m_worker = std::thread(&TreeRowReader::Run, this);
      } catch (const std::system_error&) {
        m_threaded = false;
        m_share.Release();
      }
    }
  }
  ~TreeRowReader() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_stop = true;
    }
    m_space.notify_all();
    if (m_worker.joinable()) m_worker.join();
  }
  TreeRowReader(const TreeRowReader&) = delete;
  TreeRowReader& operator=(const TreeRowReader&) = delete;

  // The next row; false after the last one.
  bool Next(TreeItem& item) {
    if (!m_threaded) {
      if (m_serialDone || m_q.eof()) return false;
      CaptureTreeRow(m_q, item);
      m_q.nextRow(&m_error);
      m_serialDone = m_error.errorCode() != 0;
      return true;
    }
    if (m_pos == m_batch.size() && !TakeBatch()) return false;
    item = std::move(m_batch[m_pos++]);
    return true;
  }
  // Whether reading the row after the one taken last failed; err gets the
  // error then. Waits for the worker to know.
  bool FailedAfterCurrent(CppSQLite3Exception& err) {
    if (m_threaded && m_pos == m_batch.size() && TakeBatch()) return false;
    if (m_threaded ? m_pos < m_batch.size() : !m_serialDone) return false;
    if (m_error.errorCode() == 0) return false;
    err = m_error;
    return true;
  }
  // Lets the worker read every remaining row without waiting for room and
  // waits for it, so that the connection is free for other statements.
  void Drain() {
    if (!m_threaded || !m_worker.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_unbounded = true;
    }
    m_space.notify_all();
    m_worker.join();
  }

 private:
  static constexpr size_t kBatchRows = 64;
  static constexpr size_t kMaxBatches = 16;

  // The next batch into m_batch; false at the end of the rows.
  bool TakeBatch() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_ready.wait(lock, [this] { return !m_queue.empty() || m_done; });
    if (m_queue.empty()) {
      if (m_failure) std::rethrow_exception(m_failure);
      return false;
    }
    m_batch = std::move(m_queue.front());
    m_queue.pop_front();
    m_pos = 0;
    lock.unlock();
    m_space.notify_one();
    return true;
  }

  void Run() {
    try {
      std::vector<TreeItem> batch;
      CppSQLite3Exception err;
      bool more = !m_q.eof();
      while (more) {
        // A full batch is handed on whole: room for the next one at once,
        // so that no note is moved by the vector's growth.
        if (batch.empty()) batch.reserve(kBatchRows);
        batch.emplace_back();
        CaptureTreeRow(m_q, batch.back());
        m_q.nextRow(&err);
        more = err.errorCode() == 0 && !m_q.eof();
        if (batch.size() < kBatchRows && more) continue;
        std::unique_lock<std::mutex> lock(m_mutex);
        m_space.wait(lock, [this] { return m_stop || m_unbounded || m_queue.size() < kMaxBatches; });
        if (m_stop) break;
        m_queue.push_back(std::move(batch));
        batch.clear();
        lock.unlock();
        m_ready.notify_one();
      }
      std::lock_guard<std::mutex> lock(m_mutex);
      m_error = err;
      m_done = true;
    } catch (...) {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_failure = std::current_exception();
      m_done = true;
    }
    m_ready.notify_one();
  }

  CppSQLite3Query& m_q;
  bool m_threaded;
  bool m_serialDone = false;
  std::vector<TreeItem> m_batch;  // the caller's current batch
  size_t m_pos = 0;

  quillery::ThreadShare m_share;
  std::thread m_worker;
  std::mutex m_mutex;
  std::condition_variable m_ready;  // a batch or the end arrived
  std::condition_variable m_space;  // room in the queue, or stop
  std::deque<std::vector<TreeItem>> m_queue;
  bool m_done = false;
  bool m_stop = false;
  bool m_unbounded = false;
  CppSQLite3Exception m_error;      // of the step after the last row
  std::exception_ptr m_failure;
};

}  // namespace

int FormatIO_Sqlite::Load(const char* path, NoteDocument& doc, int parentIdx) {
  xLog(LOG_INFO, "Sqlite load(%s)\n", path ? path : "");
  SetDoc(doc);
  if (!path) return DOC_LOAD_NOT_OPEN;
  // A second load through the same object starts from a closed connection.
  if (_db.isOpen()) Close();

  SqliteLoadRun run(*this, doc);
  if (parentIdx >= doc.GetNodeCount()) {
    xLog(LOG_WARNING, "Sqlite load: parent index %d out of range, loading at the top level\n", parentIdx);
    parentIdx = -1;
  }
  if (parentIdx >= 0) run.targetParent = doc.GetNodeByIdx(parentIdx).m_strID;
  run.siblingOffset = DocumentIterator(doc).CalcChildCount(run.targetParent, false);
  run.docLoader = doc.GetLoader();
  _nFirstLoadedIdx = doc.GetNodeCount();
  _mapNewToOldID.clear();
  _mapOldToNewID.clear();
  _mapRemappedCloneOf.clear();
  _bChangeLost = false;
  const int opened = OpenForLoad(path);
  const int result = opened >= 0 ? opened : run.ReadDocument();
  if (result != DOC_LOAD_OK && _bInTransaction && !_bLoadedByAnotherProcess) {
    // A failed load keeps no lock on the file and leaves it as it was.
    CppSQLite3Exception e;
    _db.execDML("ROLLBACK", &e);
    _bInTransaction = false;
  }
  return result;
}

int FormatIO_Sqlite::OpenForLoad(const char* path) {
  // Open, key and the first statement; the first failure decides.
  const bool hasPassword = !_strPassword.empty();
  CppSQLite3Exception e1;
  _db.open(path, &e1, _bReadOnlyLoad);
  _db.setBusyTimeout(BUSY_TIMEOUT_MS);
  // A long statement (the tree of a big document, a fetch) or a wait for
  // the file stops at Ctrl-C.
  if (_db.handle()) {
    SqliteStopOnCancel(_db, true);
    sqlite3_busy_handler(_db.handle(), BusyWaitUnlessCanceled, nullptr);
  }
  if (e1.errorCode() == 0 && hasPassword) _db.setPassword(_strPassword.c_str(), &e1);
  if (e1.errorCode() == 0 && _pfnTrace) _db.trace(_pfnTrace, _pTraceData);
  _strPath = path;
  if (e1.errorCode() == 0) _db.execDML("PRAGMA synchronous=FULL", &e1);
  if (e1.errorCode() != 0) return OpenFailure(_db.handle(), e1, hasPassword, "%s\n", "Format error 1.\n");
  // A read-only load reads one state of the file from here to its close:
  // the notes it fetches later belong to the tree it reads now, and a
  // writer elsewhere waits (or, with a write-ahead log, writes past it).
  // Any other load holds the read only while it measures the file.
  _db.execDML("BEGIN", &e1);
  const int64_t pages = _db.execScalar("PRAGMA page_count", &e1);
  if (e1.errorCode() != 0) return OpenFailure(_db.handle(), e1, hasPassword, "%s\n", "Format error 1.\n");
  // A file cut short (or bytes that hold no whole page, which SQLite reads
  // as an empty database the upgrade would write into) is refused: its
  // last pages are gone, and what is read of it is no longer the document.
  const std::string sizeProblem = SqliteFileSizeProblem(_db, pages);
  if (!_bReadOnlyLoad) _db.execDML("ROLLBACK", nullptr);
  if (!sizeProblem.empty()) {
    xLog(LOG_ERROR, "Sqlite load: [%s] %s\n", path, sizeProblem.c_str());
    xLog(LOG_WARNING, "Format error 1.\n");
    quillery::SetFailureReason("the file is damaged: " + sizeProblem);
    return DOC_LOAD_FORMAT_ERROR;
  }

  // Whether another process holds the file: it does when no exclusive lock
  // can be had. A file SQLite could open only for reading counts the same
  // (the library grants that lock on a read-only connection, but nothing
  // could be written under it).
  // A read-only load takes no lock beyond its reads and, like a shared
  // file, never begins or commits a transaction of its own.
  if (_bReadOnlyLoad) {
    _bLoadedByAnotherProcess = true;
  } else {
    CppSQLite3Exception probe;
    _db.execDML("BEGIN EXCLUSIVE", &probe);
    _bLoadedByAnotherProcess = probe.errorCode() != 0;
    if (!_bLoadedByAnotherProcess) _db.execDML("ROLLBACK", nullptr);
    if (sqlite3_db_readonly(_db.handle(), "main") == 1) _bLoadedByAnotherProcess = true;
    if (_bLoadedByAnotherProcess && !_bEnableSharing) {
      // The caller means to hold the file alone (to write it back): a file
      // another program holds fails after this one wait, not after a wait
      // on every statement of the load and the save.
      if (SqliteIsBusy(probe.errorCode())) quillery::SetFailureReason("in use by another program");
      return DOC_LOAD_NOT_OPEN;
    }
  }

  xLog(LOG_DEBUG, "Sqlite database opened successfully\n");
  if (!_bLoadedByAnotherProcess) {
    _db.execDML("PRAGMA count_changes=OFF", &e1);
    if (e1.errorCode() != 0) {
      xLog(LOG_ERROR, "%s\n", SqliteMessage(e1));
      const int result = SqliteLoadResult(e1.errorCode(), _db.handle(), hasPassword, DOC_LOAD_FORMAT_ERROR);
      if (result == DOC_LOAD_FORMAT_ERROR) xLog(LOG_WARNING, "Format error 2.\n");
      return result;
    }
    // The long-running transaction begins before anything is written: the
    // upgrade, the lookup indexes and the load's repairs reach the file
    // only with a save, and a close without one leaves it as it was.
    StartTransaction(e1);
    _bInTransaction = e1.errorCode() == 0;
    CheckFormatUpgrade(e1);
  }
  if (e1.errorCode() != 0)
    return OpenFailure(_db.handle(), e1, hasPassword, "Error loading .qyde/.qyde: %s\n", "Format error 3.\n");

  // The reads below (and every later fetch) name the latest schema. A file
  // of an older version that was not upgraded (it is not writable, or
  // another process holds it) would read as a document without its notes
  // or parts of them, which the next save elsewhere would make final.
  if (_bLoadedByAnotherProcess || _nDetectedVersion < 0) {
    // The probes cannot tell a missing column from a schema that could not
    // be read: the schema is read first, and held, in a read transaction.
    // (A read-only load is inside its read already, a writable one inside
    // the long-running transaction.)
    const bool ownRead = !_bReadOnlyLoad && !_bInTransaction;
    CppSQLite3Exception schema;
    if (ownRead) _db.execDML("BEGIN", &schema);
    if (schema.errorCode() == 0) _db.execQuery("SELECT count(*) FROM sqlite_master", &schema);
    const int version = schema.errorCode() == 0 ? CalcFormatVersion() : -1;
    if (ownRead) _db.execDML("ROLLBACK", nullptr);
    if (schema.errorCode() != 0) return OpenFailure(_db.handle(), schema, hasPassword, "%s\n", "Format error 3.\n");
    if (version < LATEST_FORMAT_VERSION) {
      xLog(LOG_ERROR, "Error loading .qydb/.qyde: format version %d cannot be upgraded to %d here (%s)\n", version,
           LATEST_FORMAT_VERSION, _bReadOnlyLoad ? "opened read-only" : "read-only or shared file");
      const std::string older = "the file is at an older format version (" + std::to_string(version) + ")";
      if (_bReadOnlyLoad)
        quillery::SetFailureReason(older + "; open it for writing to upgrade it");
      else if (sqlite3_db_readonly(_db.handle(), "main") == 1)
        quillery::SetFailureReason(older + " and read-only: it cannot be upgraded");
      else
        quillery::SetFailureReason(older + " and in use by another program: it cannot be upgraded now");
      return DOC_LOAD_FORMAT_ERROR;
    }
  }
  // A table or column of the schema that the upgrade could not give the
  // file (or that was dropped from a file of the latest version): its notes
  // would load without what it holds, and a save would make that final.
  const std::string missing = quillery::sqlite_schema::MissingSchemaPart(_db);
  if (!missing.empty()) {
    xLog(LOG_ERROR, "Error loading .qydb/.qyde: the file lacks %s of format version %d\n", missing.c_str(),
         LATEST_FORMAT_VERSION);
    xLog(LOG_WARNING, "Format error 3.\n");
    quillery::SetFailureReason("the file is damaged: it lacks " + missing);
    return DOC_LOAD_FORMAT_ERROR;
  }
  return -1;
}

namespace quillery {

void SqliteLoadRun::Advance() {
  ++m_nProgress;
  if (m_fmt.m_bReportProgress) ProgressInfo::SetCurrentSize(m_nProgress);
}

int SqliteLoadRun::ReadTree() {
  CppSQLite3Query q = m_fmt._db.execQuery(kTreeSql, &m_e3);
  if (m_e3.errorCode() != 0) {
    xLog(LOG_ERROR, "%s\n", SqliteMessage(m_e3));
    // On a writable file the next read reports this (4, or 7 when busy); on
    // one that is not, the load would go on into a document without notes.
    if (!CheckFileWriteAccess(m_fmt._strPath)) return RowFailure();
    return -1;
  }
  // The worker takes the statement while this thread files the notes; a
  // statement trace or the debug checks (which query the connection) keep
  // it all on this thread.
  const int64_t noteRows = q.eof() ? 0 : q.getInt64Field(kColNoteRows, 0);
  int64_t treeRows = 0;
  TreeRowReader rows(q, !g_bDebugMode && !FormatIO_Sqlite::_pfnTrace);
  TreeItem item;
  while (rows.Next(item)) {
    if (ProgressInfo::IsCanceled()) return DOC_LOAD_ABORTED;
    ++treeRows;
    NoteNode& note = item.note;

    const bool emptyID = note.m_strID.empty();
    if (emptyID || m_seenIDs.Contains(note.m_strID)) {
      if (emptyID) xLog(LOG_ERROR, "Note with empty ID detected [title: %s]!\n", note.GetTitle().c_str());
      else xLog(LOG_ERROR, "Note with duplicate ID detected [%s]!\n", note.m_strID.c_str());
      // The note stays out of the document: what is made of it lacks it.
      quillery::CountReadFailure();
      if (rows.FailedAfterCurrent(m_e3)) {
        xLog(LOG_ERROR, "%s\n", SqliteMessage(m_e3));
        xLog(LOG_WARNING, "%s", emptyID ? "Format error 4.\n" : "Format error 5.\n");
        return RowFailure();
      }
      continue;
    }

    if (item.noTreeRow) {
      // Its row in notes_tree is gone (or names no note, being empty or
      // NULL): the note is kept, as a top-level note after the others, as
      // one whose parent is missing is; its tree row is written back with
      // the repairs (PlaceNotesWithoutTreeRow).
      xLog(LOG_ERROR, "Note without a tree position detected [%s]: it becomes a top-level note\n",
           note.m_strID.c_str());
      note.m_strParentID.clear();
      note.m_nSibling = kAfterEverySibling;
      m_withoutTreeRow.push_back(m_doc.GetNodeCount());
    }
    if (note.m_strParentID.empty()) {
      note.m_strParentID = targetParent;
      note.m_nSibling += siblingOffset;
    } else {
      note.m_strParentID = LoadedIdOf(m_fmt, note.m_strParentID);
      // Its parent may be renamed by a later row.
      if (m_doc.GetIdxFromID(note.m_strParentID) >= 0) m_parentsToRemap.push_back(m_doc.GetNodeCount());
    }

    // An ID the document already had before this load gets a fresh one; it
    // must be new to the document, to the rows read so far and to the file.
    const std::string* storedID = nullptr;  // where the stored ID stays, when not in the note
    if (m_doc.GetIdxFromID(note.m_strID) >= 0) {
      // The file is asked below: the worker must be done with it.
      rows.Drain();
      const std::string stored = note.m_strID;
      m_renamedStoredIDs.push_back(stored);
      storedID = &m_renamedStoredIDs.back();
      std::string fresh;
      NoteNode probe;
      do {
        m_doc.GenerateUniqueNodeID(fresh);
        probe.m_strID = fresh;
      } while (fresh == stored || m_seenIDs.Contains(fresh) || m_fmt.HasNote(probe));
      m_fmt._mapNewToOldID[fresh] = stored;
      m_fmt._mapOldToNewID[stored] = fresh;
      note.m_strID = fresh;
      if (!note.m_strCloneOf.empty()) {
        m_fmt._mapRemappedCloneOf[fresh] = note.m_strCloneOf;
        note.m_strCloneOf.clear();
      }
    }
    ReadCustomIcon(item, m_doc, note.m_strID);
    m_doc.PushNode(std::move(note));
    m_seenIDs.Add(storedID ? *storedID : m_doc.GetNodeByIdx(m_doc.GetNodeCount() - 1).m_strID);

    if (rows.FailedAfterCurrent(m_e3)) {
      xLog(LOG_ERROR, "%s\n", SqliteMessage(m_e3));
      xLog(LOG_WARNING, "Format error 6.\n");
      return RowFailure();
    }
    m_fmt.AssertNodeValid(m_doc.GetNodeByIdx(m_doc.GetNodeCount() - 1).m_strID.c_str());
    Advance();
  }
  if (treeRows < noteRows) {
    // Rows that share an ID with another came as one: the notes of the
    // others stay out of the document, as a duplicate ID's note does.
    xLog(LOG_ERROR, "Notes with duplicate IDs detected: %lld note rows read as %lld notes!\n",
         static_cast<long long>(noteRows), static_cast<long long>(treeRows));
    quillery::CountReadFailure();
  }
  return -1;
}

}  // namespace quillery
