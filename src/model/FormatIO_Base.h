#pragma once

// The interface of every document format, the format identifiers and the
// load/save result codes shared by the model and the formats.
//
// A format object is created by FileFormatFactory, prepared by the document
// model (password, mode flags, SetDoc), used for one Load or Save, and then
// either kept by the document as its "loader" or deleted. It never owns the
// document it points to.

#include <cstdint>
#include <memory>
#include <string>

#include "save/StagedFolder.h"

class File64;
class NoteDocument;
class RecursiveTreeWalker;
namespace quillery {
struct TargetState;
}

// Format identifiers (what NoteDocument::GetFormatFromFileName derives from a
// file extension). Only some have format classes in this engine; a host may
// register formats for the others.
enum FileFormatId {
  FORMAT_HQY = 1,          // ".hqy": native HTML variant (raw-text mode)
  FORMAT_QYD = 2,          // ".qyd": native HTML document
  FORMAT_QYE = 3,          // ".qye": encrypted native HTML
  FORMAT_GJOTS2 = 4,
  FORMAT_XML = 5,
  FORMAT_TXT = 6,
  FORMAT_HTML = 7,         // ".html", ".htm"
  FORMAT_MM_UPPER = 8,     // ".MM" (exact case)
  FORMAT_KNO = 10,
  FORMAT_KNT = 11,
  FORMAT_HJT = 12,
  FORMAT_TUX = 13,
  FORMAT_MM = 14,          // ".mm" (exact case)
  FORMAT_QYDB = 15,        // ".qydb": SQLite document
  FORMAT_QYDE = 16,        // ".qyde": page-encrypted SQLite document
  FORMAT_NOTE = 17,
  FORMAT_VLT = 18,
  FORMAT_VLTXML = 19,
  FORMAT_RTF = 20,
  FORMAT_TAB = 21,
  FORMAT_OPML = 22,
  FORMAT_QYZ = 23,         // ".qyz": zlib-compressed native HTML
  FORMAT_OTL = 24,
  FORMAT_PALM = 25,
  FORMAT_NBK = 26,
  FORMAT_XMIND = 27,
  FORMAT_NDB = 28,
  FORMAT_CSV = 29,
  FORMAT_MMAP = 31,
  FORMAT_BASKETS = 32,
  FORMAT_HTMAO = 33,
  FORMAT_LEO = 34,
  FORMAT_TOODLEDO = 35,
  FORMAT_PHAT = 36,
  FORMAT_PSI = 37,
  FORMAT_TEX = 38,
  FORMAT_PSICSV = 39,
  FORMAT_ENEX = 40,
  FORMAT_MD = 42,
  FORMAT_EPUB = 43,
  FORMAT_CTB = 44,
};

// Result of every Load.
enum DocLoadResult {
  DOC_LOAD_OK = 0,
  DOC_LOAD_ABORTED = 1,         // cancelled through ProgressInfo
  DOC_LOAD_NOT_FOUND = 2,       // the file does not exist
  DOC_LOAD_WRONG_PASSWORD = 3,  // password empty or wrong
  DOC_LOAD_UNKNOWN_FORMAT = 4,  // no format registered / id < 1 (also an SQLite tags/properties query)
  DOC_LOAD_FORMAT_ERROR = 5,    // bad container header, failing SQLite statement
  DOC_LOAD_PERMISSIONS = 6,     // exists but may not be read
  DOC_LOAD_NOT_OPEN = 7,        // cannot open, busy, held by another process
  DOC_LOAD_DECODER_FAIL = 8,    // the decompressor failed to start
  DOC_LOAD_DISK_FULL = 10,      // the disk filled up while the file was prepared (the number of the save's code)
  DOC_LOAD_NO_MEMORY = 12,      // out of memory (the number of the save's code)
};

// Result of every Save (the same number means different things on load).
enum DocSaveResult {
  DOC_SAVE_OK = 0,
  DOC_SAVE_ABORTED = 1,         // cancelled: progress, refused password, clone question
  DOC_SAVE_UNKNOWN_FORMAT = 2,  // id < 1 or no format registered
  DOC_SAVE_RENAME_FAILED = 3,   // old file not deleted / temporary file not moved
  DOC_SAVE_NOT_OPEN = 4,        // output cannot be opened
  DOC_SAVE_COMMIT_FAILED = 5,   // database commit or transaction restart failed
  DOC_SAVE_CSS_FAILED = 6,      // export style sheet cannot be read
  DOC_SAVE_ERROR = 7,           // a precondition or an intermediate step failed
  DOC_SAVE_WRITE_ERROR = 10,    // write failed, low free space, disk full
  DOC_SAVE_NOT_WRITABLE = 11,   // the target is not writable
  DOC_SAVE_NO_MEMORY = 12,      // out of memory
};

class FormatIO_Base {
 public:
  FormatIO_Base() = default;
  FormatIO_Base(const FormatIO_Base&) = delete;
  FormatIO_Base& operator=(const FormatIO_Base&) = delete;

  // The virtual operations, in the order in which the format interface has
  // always listed them, so that a format's overrides can be checked against
  // this list line by line; nothing depends on the order at run time.
  virtual ~FormatIO_Base() = default;
  // parentIdx: the note under which a merged file's notes go; -1 = top level.
  virtual int Load(const char* path, NoteDocument& doc, int parentIdx) = 0;
  virtual int Save(const char* path, RecursiveTreeWalker& walker) = 0;
  virtual int GetFormat() = 0;
  // Size of the file at the document's path; -1 without a document or path.
  virtual int64_t GetFileSize();
  // Estimate of the bytes a save needs; -1 without a document.
  virtual int64_t CalcDocSize();
  virtual bool IsLoadedByAnotherProcess() { return false; }
  virtual bool IsDynamic() { return false; }
  virtual bool IsEncrypted() { return false; }
  virtual bool AnyHashesToBeDone() { return false; }
  virtual bool UpdateHashes(bool /*stopAtFirst*/) { return false; }
  // Formats with a container write the decoded contents of src to dst
  // (through the output file given by SetOutputFile, else through
  // DumpThroughTempFile).
  virtual bool DumpFile(const char* /*src*/, const char* /*dst*/, const char* /*password*/) { return false; }

  // Hooks through which NoteDocument::Load/Save prepare a concrete format
  // without knowing its class. They come after the operations above so the
  // slot order stays fixed; the defaults do nothing. Override them:
  //   - encrypted formats (3, 16): SetPassword;
  //   - the HTML format: SetRawText (id 1), SetContentsOnly (load of id 7),
  //     SetExport (save of id 7), the generator accessors, and
  //     ReleaseFile/KeepFile for the document file it keeps open;
  //   - the SQLite format: GetFormatVersion (its database format version),
  //     SetReadOnlyLoad, InstallsOwnTarget (true), and the encrypted one
  //     ChangePassword.
  virtual void SetPassword(const char* /*password*/) {}
  virtual void SetRawText(bool /*raw*/) {}
  virtual void SetContentsOnly(bool /*contentsOnly*/) {}
  virtual void SetExport(bool /*exportMode*/, bool /*linkWarning*/) {}
  // Generator name/version and format version read from the file; empty
  // when the format records none.
  virtual std::string GetGenerator() const { return std::string(); }
  virtual std::string GetGeneratorVersion() const { return std::string(); }
  virtual std::string GetFormatVersion() const { return std::string(); }
  // Unlocks and closes the file the format keeps open (if any).
  virtual void ReleaseFile() {}
  // Opens path with F64_READ|F64_SHARE_READ|F64_OPEN_EXISTING (37) and takes
  // a shared lock, keeping it open like a loaded document; false when the
  // format keeps no file or the open fails.
  virtual bool KeepFile(const char* /*path*/) { return false; }
  // A load for a command that only reads (inspection, comparison, the
  // source of a copy): the format must leave the file byte-identical, and
  // fails rather than upgrade or repair it there.
  virtual void SetReadOnlyLoad(bool /*readOnly*/) {}
  // Whether Save puts its file in the target's place itself (a database,
  // whose content is replaced through SQLite). Otherwise the document model
  // gives the format a new temporary file to write (SetOutputFile) and
  // replaces the target with it once the save is complete.
  virtual bool InstallsOwnTarget() { return false; }
  // Re-keys the file the format keeps open (an encrypted database) with a
  // new, non-empty password; false when it cannot, the old key staying.
  virtual bool ChangePassword(const char* /*password*/) { return false; }
  // The folder that the last Save built to go into place with its file (an
  // export's side folder), staged, when the caller gave the output file
  // (SetOutputFile) and so installs the pair; null when there is none. The
  // caller takes it over (see quillery::StagedFolder).
  virtual std::unique_ptr<quillery::StagedFolder> TakeStagedFolder() { return nullptr; }

  void SetDoc(NoteDocument& doc) { m_pDoc = &doc; }
  // The descriptor of the file the next Save writes, created for it by the
  // document model; -1 (the default): Save opens its path itself. Not owned.
  void SetOutputFile(int fd) { m_nOutputFd = fd; }
  // Opens the output of a Save: the descriptor given by SetOutputFile (every
  // byte goes through the file that was created for the save, whatever its
  // name refers to by now), else path with flags. True when open.
  bool OpenOutput(File64& file, const char* path, int flags) const;
  // A DumpFile without an output file given: it writes a temporary file
  // created exclusively beside dst's final path (through its descriptor),
  // which takes dst's place, with dst's mode, only when the dump succeeded;
  // dst is otherwise untouched. A dst that is src itself is refused.
  bool DumpThroughTempFile(const char* src, const char* dst, const char* password);
  // Whether the output is the format's own to remove when a save fails
  // (a file given by the caller is removed by the caller).
  bool OwnsOutput() const { return m_nOutputFd < 0; }
  // What the save found at its target before it began, for a format that
  // installs its own target (InstallsOwnTarget): it replaces only that; and
  // for one that writes more beside its file (an export's side folder), the
  // folder it decided on (TargetState::Folder), where that goes.
  // folder: what it found at the place of the folder that goes with the
  // file (an export's side folder; TargetState::OfEntry), the one folder
  // the save may replace there. Null (the default): as the format finds
  // it. Not owned.
  void SetTargetState(const quillery::TargetState* state, const quillery::TargetState* folder = nullptr) {
    m_pTargetState = state;
    m_pFolderState = folder;
  }
  const quillery::TargetState* TargetStateGiven() const { return m_pTargetState; }
  const quillery::TargetState* FolderStateGiven() const { return m_pFolderState; }
  NoteDocument* GetDoc() const { return m_pDoc; }
  static void SetEnableSharing(bool enable) { _bEnableSharing = enable; }
  // Pumps at most one pending GLib/GTK event; see the .cpp for the rules.
  static void RunLoop(int maxRounds);

  static bool _bEnableSharing;  // another process may hold the file open

 protected:
  NoteDocument* m_pDoc = nullptr;  // not owned
  int m_nOutputFd = -1;            // see SetOutputFile; not owned
  const quillery::TargetState* m_pTargetState = nullptr;  // see SetTargetState
  const quillery::TargetState* m_pFolderState = nullptr;  // see SetTargetState
 public:
  bool m_bReportProgress = true;   // report through ProgressInfo
  int m_nSpare = 0;                // unused by the base
};
