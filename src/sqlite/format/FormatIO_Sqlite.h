#pragma once

// The SQLite document format (".qydb"): a note document kept in an SQLite
// database that stays open, inside one long-running transaction, for as long
// as the document is open. Load reads the tree and the document-wide data;
// note contents are fetched on demand; every change of the model is written
// at once into the open transaction; a save to the same path commits and
// begins again; Close rolls back whatever was not saved. When SQLite drops
// the transaction on its own (a write or read that failed: a full disk, the
// file-size limit, an I/O error), the changes since the last save are lost
// to the file: the next transaction is begun before any further change is
// written, and every later save to the file fails, which stays as last
// saved.
//
// Ownership: the object owns its connection (_db); it points at its document
// (FormatIO_Base::m_pDoc) without owning it; the document owns the object.
//
// Invariants:
//  - _bInTransaction is only true once Load has begun the long-running
//    transaction (before it upgrades or repairs anything, so that nothing
//    reaches the file without a save), or after a save that attached the
//    object to a new file; Close always leaves it false unless the file was
//    held by another process.
//  - When _bLoadedByAnotherProcess is set, the object never begins, commits
//    by itself or rolls back a transaction on its own.
//  - _nDetectedVersion is computed at most once per object (-1 until then);
//    it is never NOT_A_DOCUMENT (such a file is refused).
//  - After a load with _bReadOnlyLoad the connection is read-only and
//    _bLoadedByAnotherProcess is set: nothing (upgrade, index, repair,
//    transaction, hot-journal rollback) ever writes the file. Its one read
//    transaction lasts from the open to Close, so everything fetched comes
//    from the state of the file the tree was read from.
//  - _bChangeLost is cleared only when the object attaches to a file (a
//    load, or a save that builds a new file from the document); while it is
//    set, nothing is committed to the file (CommitTransaction refuses), and
//    _nLostResult and _strLostReason tell the failure that set it.
//  - While _bInTransaction is set and the file is not held by another
//    process, a change is written only inside a transaction (BeforeChange);
//    when none can be begun, the connection is made query-only and
//    _bInTransaction cleared.
//
// Member functions are implemented per topic in FormatIO_Sqlite<Topic>.cpp.

#include <cstdint>
#include <map>
#include <unordered_map>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "sqlite/access/CppSQLite3.h"
#include "model/FormatIO_DynamicBase.h"

class LinkInfo;
namespace quillery {
struct StoredNoteContents;  // SqliteContentCount.h
struct TreeOutline;         // SqliteContentCount.h
class ContentByStoredId;     // SqliteContentCount.h
class SqliteContentCounter;  // SqliteContentCount.h
}  // namespace quillery
class NoteDocument;
class NoteNode;
class PixInfo;
class RecursiveTreeWalker;

class FormatIO_Sqlite : public FormatIO_DynamicBase {
 public:
  // Statement-trace callback, as sqlite3_trace_v2 calls it.
  typedef int (*TraceFn)(unsigned int mask, void* context, void* p, void* x);
  // SQLite's global error-log callback (SQLITE_CONFIG_LOG).
  typedef void (*ErrLogFn)(void* context, int code, const char* message);

  // The latest schema version; the only one new databases get.
  static constexpr int LATEST_FORMAT_VERSION = 21;
  // Busy timeout of every connection this format opens.
  static constexpr int BUSY_TIMEOUT_MS = 5000;

  FormatIO_Sqlite();
  ~FormatIO_Sqlite() override;

  // ---- Format interface ----
  int Load(const char* path, NoteDocument& doc, int parentIdx) override;
  int Save(const char* path, RecursiveTreeWalker& walker) override;
  int GetFormat() override { return FORMAT_QYDB; }
  void SetReadOnlyLoad(bool readOnly) override { _bReadOnlyLoad = readOnly; }
  // A database's content is replaced through SQLite, never by a file
  // renamed over it (SqliteReplace.h).
  bool InstallsOwnTarget() override { return true; }
  int64_t GetFileSize() override;
  int64_t CalcDocSize() override;
  bool AnyHashesToBeDone() override;
  bool UpdateHashes(bool stopAtFirst) override;
  bool DumpFile(const char* src, const char* dst, const char* password) override;
  // "%d" of _nFormatVersion ("-1" when the file has no format_version row).
  std::string GetFormatVersion() const override;

  // ---- Dynamic interface (slot order of FormatIO_DynamicBase) ----
  bool HasAttachments(NoteNode& note) override;
  bool HasNote(NoteNode& note) override;
  void OnNodeInsert(NoteNode& note, bool shiftSiblings) override;
  void OnNodeDeleted(NoteNode& note, bool shiftSiblings) override;
  void OnNodeTxtInsert(NoteNode& note, int offset, int length) override;
  void OnNodeTxtDelete(NoteNode& note, int offset, int length) override;
  void FetchNodeAtt(NoteNode& note, int index) override;
  void FetchNodeInfo(NoteNode& note, unsigned int mask) override;
  bool OnNodeUpdate(NoteNode& note, unsigned int mask, bool newNote, std::string* error) override;
  void OnNodeUpdate_ReadOnly(NoteNode& note) override;
  void OnNodeAttAdded(NoteNode& note, int index) override;
  void OnNodeAttRemoved(NoteNode& note, int index) override;
  void OnNodeAttUpdated(NoteNode& note, int index) override;
  void OnNodePixAdded(NoteNode& note, PixInfo& pix, const std::string& encodedBytes) override;
  void OnNodePixAdded(NoteNode& note, PixInfo& pix) override;
  void OnNodePixRemoved(NoteNode& note, int index) override;
  void OnNodeTagAdded(NoteNode& note, const std::string& tag) override;
  void OnNodeTagRemoved(NoteNode& note, const std::string& tag) override;
  void OnRemoveTag(const std::string& tag) override;
  bool GetNotesLinkingToTargetNote(const std::string& noteID, std::vector<std::string>& out) override;
  void OnNodeCustomIconSet(NoteNode& note, PixInfo& pix) override;
  void OnNodeCustomIconRemoved(NoteNode& note) override;
  bool ModifyNoteID(const std::string& oldID, const std::string& newID) override;
  void GetUsedColors(std::map<std::string, int>& colors) override;
  bool BackupTo(const char* path) override;
  void OnExpandAll() override;
  void OnCollapseAll() override;
  void StoreGlobalData() override;

  // ---- Object and transactions ----
  // Rolls back what was not committed (unless the file is held by another
  // process) and closes the connection.
  void Close();
  // "BEGIN" with sharing enabled, else "BEGIN EXCLUSIVE"; nothing when the
  // file is held by another process. Neither touches _bInTransaction.
  void StartTransaction(CppSQLite3Exception& err) const;
  void StartTransaction() const;
  // "COMMIT TRANSACTION" (also when the file is held by another process).
  // A commit that SQLite rolled back is recorded as lost changes
  // (ChangeNotWritten) and the next transaction begun. Once a change was
  // lost, nothing is committed: err gets a failure.
  void CommitTransaction(CppSQLite3Exception& err) const;
  void CommitTransaction() const;
  bool InTransaction() const { return _bInTransaction; }
  // Records that a change could not be written (see _bChangeLost), with the
  // connection's last failure as the cause a save reports when it is the
  // first; a failure after which SQLite dropped the transaction is dealt
  // with as BeforeChange does.
  void ChangeNotWritten() const;
  // Runs before each change is written to the file: when the long-running
  // transaction is meant to be open but SQLite has dropped it, records the
  // loss and begins the next one, so that no change is committed on its
  // own. One flag test and one SQLite call while the transaction is there.
  void BeforeChange() const {
    if (_bInTransaction && !_bLoadedByAnotherProcess && _db.isOpen() && sqlite3_get_autocommit(_db.handle()))
      TransactionDropped();
  }
  void TransactionDropped() const;
  // Must run before any other use of SQLite in the process.
  static void RegisterSqlTraceHandler(TraceFn fn, void* context);
  static bool RegisterErrLogHandler(ErrLogFn fn, void* context);
  // Debug check (g_bDebugMode only): the children of parentID are stored at
  // positions 0, 1, 2, ...; logs the first gap. Changes nothing.
  void AssertNodeValid(const char* parentID) const;

  // ---- Schema ----
  // The 16 CREATE TABLE IF NOT EXISTS statements in creation order; stops
  // at the first failure.
  void CreateTables(CppSQLite3Exception& err) const;
  // The CREATE INDEX IF NOT EXISTS statements of the schema as one script.
  void CreateIndexes(CppSQLite3Exception& err) const;

  // ---- Load (the open of a file and its repairs) ----
  // Appends the IDs of the document's notes whose parent is parentID, in
  // note-vector order; returns how many.
  int GetChildIDs(const std::string& parentID, std::vector<std::string>& out) const;
  // Orders siblings by ascending sibling index; at equal indexes by
  // descending case-insensitive ID.
  struct SiblingComparator {
    explicit SiblingComparator(NoteDocument& doc) : _doc(doc) {}
    bool operator()(const std::string& idA, const std::string& idB) const;
    NoteDocument& _doc;
  };
  void FixRemappedIDs();
  // Renumbers every level below parentID whose sibling positions are not
  // exactly 0..n-1; true when it changed any note.
  bool RecursivelyFixSiblings(const char* parentID);

  // ---- Versions and upgrades ----
  // The schema version found by probing tables, columns and one index.
  int CalcFormatVersion() const;
  // Reads the schema (a failure stays in err, and the result is -1), then
  // probes it: CalcFormatVersion, except that version 0, which gets the
  // whole schema, is only a database with an empty schema (no table, view,
  // index or trigger: a new document). One that holds something but lacks
  // the notes table (another program's database, or a document whose notes
  // table is gone) gives NOT_A_DOCUMENT.
  static constexpr int NOT_A_DOCUMENT = -2;
  int ReadFormatVersion(CppSQLite3Exception& err) const;
  // Detects the version and upgrades a writable file step by step to the
  // latest one; every failure stays in err.
  void CheckFormatUpgrade(CppSQLite3Exception& err);
  // Rebuilds a table under a new definition, keeping its rows. Columns are
  // matched by name whichever way fromOld points (an old table's columns may
  // stand in any order), so no value moves into another column.
  bool fixTableColumnNames(const char* table, const char* createSql, bool fromOld) const;
  int getTableColumnsCount(const char* table) const;
  // Comma-separated column names; max < 0 takes all.
  bool getTableColumnsList(std::string& out, const char* table, int max) const;
  // Rebuilds a custom_properties table defined with UNIQUE and re-inserts
  // the properties the document holds.
  void FixCustomPropertiesTable() const;

  // ---- Saving and document-wide data ----
  // Inserts the note's rows. ownSavepoint false leaves all-or-nothing to
  // the caller's transaction (a save into a new file, dropped whole when any
  // note fails); otherwise a failure leaves no row of the note behind.
  bool OnNodeInsertFull(NoteNode& node, bool ownSavepoint = true);
  // OnNodeUpdate, with the same choice of savepoint.
  bool WriteNoteRows(NoteNode& note, unsigned int mask, bool newNote, std::string* error, bool ownSavepoint);
  void SaveGlobalOptions() const;
  void UpdateDocBookmarks() const;
  void SaveGlobalCustomProperties() const;

  // ---- Per-change updates (not virtual) ----
  void OnNodePixMoved(NoteNode& note, int index) const;
  // Moves the note's stored pictures at or after from by delta characters.
  void ShiftPictures(const NoteNode& note, int from, int delta) const;
  bool InsertLink(const LinkInfo& link, const std::string& noteID, CppSQLite3Exception& err);

  // ---- Counts without fetching ----
  struct ContentCounts {
    long long pictures = 0;
    long long attachments = 0;
    long long links = 0;  // links in the texts; a note's own link is not one
  };
  // What FetchNodeInfo(NIF_ALL) of every note of the document would give
  // (clones false: of every note that is no clone), counted by a few
  // whole-table queries instead: rows the fetch drops as damaged (pictures
  // without bytes or past the text, links past it) are not counted. False
  // (logged) when a query fails. read: the per-ID counts of this file read
  // already (SqliteContentCounter), else they are read here.
  bool CountNoteContents(ContentCounts& out, bool clones = true, const quillery::ContentByStoredId* read = nullptr);
  // The same for the notes of an outline that are no clones.
  static ContentCounts CountOutlineContents(const quillery::TreeOutline& outline,
                                            const quillery::ContentByStoredId& read);

  // ---- The tree without the notes ----
  static constexpr int OUTLINE_NEEDS_LOAD = -1;
  // Opens path as a read-only Load does (the same checks, results and log
  // lines), reads the notes' IDs, parents and sibling positions and the
  // options (title, author and UID into doc, which must be empty; the
  // format version into this object), and closes the file again. The
  // object stays set for read-only loads. OUTLINE_NEEDS_LOAD when the
  // tree holds anything a load would skip or repair (an empty ID, a parent
  // that names no note, a level whose positions are not 0..n-1, a parent
  // cycle) or a read fails: only a load tells what the document is then.
  // counter, when given, is started on the same state of the file once it
  // is open (not for a file with a write-ahead log, whose state it could
  // not share), and on success has finished counting it.
  int LoadOutline(const char* path, NoteDocument& doc, quillery::TreeOutline& out,
                  quillery::SqliteContentCounter* counter = nullptr);
  // Load's first part: open, key, pragmas, the lock probe and the schema
  // version checks. -1 to go on, else the load's result.
  int OpenForLoad(const char* path);

  // ---- Backup, compaction and size ----
  bool CompactDatabase(std::string& error) const;
  float CalcDbFragmentationPercent() const;

  // ---- Fields (order fixed) ----
  int _nDetectedVersion = -1;   // probed schema version; -1 until computed
  int _nFormatVersion = -1;     // options row format_version; -1 when absent
  mutable CppSQLite3DB _db;     // the connection
  mutable bool _bInTransaction = false;  // inside the long-running transaction
  std::string _strPath;         // the database path, set by Load
  std::string _strPassword;     // page-encryption password; empty = plain
  bool _bHasIsTaskColumn = false;  // notes still has the old is_task column
  std::map<std::string, std::string> _mapNewToOldID;       // new ID -> stored ID
  std::map<std::string, std::string> _mapOldToNewID;       // stored ID -> new ID
  std::map<std::string, std::string> _mapRemappedCloneOf;  // new ID -> stored clone source
  int _nFirstLoadedIdx = -1;    // the document's note count when Load began
  // A change since the file was loaded or last saved could not be written
  // (a read-only file, a lock held elsewhere, a full disk, a commit that
  // SQLite rolled back, a transaction SQLite dropped): the file no longer
  // follows the document, and a save to it must not report success.
  mutable bool _bChangeLost = false;
  bool _bReadOnlyLoad = false;  // the next Load opens the file read-only
  // What a save to the file reports while _bChangeLost is set: the result
  // and failure reason of the failure that set it.
  mutable int _nLostResult = 0;
  mutable std::string _strLostReason;

  static TraceFn _pfnTrace;
  static void* _pTraceData;
};
