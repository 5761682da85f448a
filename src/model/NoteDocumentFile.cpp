// NoteDocument: format identification, Load and Save.

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "base/FileUtil.h"
#include "base/Log.h"
#include "save/SafeSave.h"
#include "model/DocumentSave.h"
#include "model/FailureBoundary.h"
#include "model/FileFormatFactory.h"
#include "model/FormatIO_Base.h"
#include "model/NoteDocument.h"
#include "model/RecursiveTreeWalker.h"
#include "model/FormatIO_DynamicBase.h"

namespace {

struct ExtEntry {
  const char* ext;
  int id;
  bool exactCase;
};

// Tested in order; the first match wins.
const ExtEntry kExtensions[] = {
    {"qyd", 2, false},      {"hqy", 1, false},   {"qye", 3, false},   {"gjots2", 4, false}, {"xml", 5, false},
    {"html", 7, false},     {"txt", 6, false},   {"MM", 8, true},     {"kno", 10, false},   {"knt", 11, false},
    {"hjt", 12, false},     {"tux", 13, false},  {"mm", 14, true},    {"qydb", 15, false},  {"qyde", 16, false},
    {"note", 17, false},    {"vlt", 18, false},  {"vltxml", 19, false}, {"rtf", 20, false}, {"tab", 21, false},
    {"opml", 22, false},    {"qyz", 23, false},  {"otl", 24, false},  {"htm", 7, false},    {"palm", 25, false},
    {"nbk", 26, false},     {"xmind", 27, false}, {"ndb", 28, false}, {"csv", 29, false},   {"mmap", 31, false},
    {"baskets", 32, false}, {"htmao", 33, false}, {"leo", 34, false}, {"toodledo", 35, false}, {"phat", 36, false},
    {"psi", 37, false},     {"tex", 38, false},  {"psicsv", 39, false}, {"enex", 40, false}, {"md", 42, false},
    {"epub", 43, false},    {"ctb", 44, false},
};

}  // namespace

int NoteDocument::GetFormatFromFileName(const char* path) {
  if (!path) return -1;
  const char* dot = strrchr(path, '.');
  if (!dot) return -1;
  const char* ext = dot + 1;
  for (const ExtEntry& e : kExtensions) {
    const bool match = e.exactCase ? strcmp(ext, e.ext) == 0 : strcasecmp(ext, e.ext) == 0;
    if (match) return e.id;
  }
  return -1;
}

// ---------------------------------------------------------------------------
// Load

int NoteDocument::Load(const char* path, const char* password, int format, bool enableSharing, bool merge,
                       int parentIdx) {
  try {
    return LoadFile(path, password, format, enableSharing, merge, parentIdx);
  } catch (...) {
    const int result = quillery::CaughtFailure("Load", DOC_LOAD_NOT_OPEN);
    m_bLoading = false;
    try {
      // What the load built is dropped: a document opened afresh stays empty
      // (which also gives the memory back); notes merged so far stay, with
      // their maps rebuilt.
      if (!merge) Close();
      else if (m_bBlockMapRecalc) BlockMapRecalc(false);
    } catch (...) {
      quillery::CaughtFailure("Load clean-up", DOC_LOAD_NOT_OPEN);
    }
    return result;
  }
}

int NoteDocument::LoadFile(const char* path, const char* password, int format, bool enableSharing, bool merge,
                           int parentIdx) {
  if (!merge) Close();
  quillery::ClearFailureReason();
  // A file in a folder the user may not enter cannot be told to exist: that
  // is a permission, not a missing file.
  if (!path) return DOC_LOAD_NOT_FOUND;
  if (access(path, F_OK) != 0) return errno == EACCES || errno == EPERM ? DOC_LOAD_PERMISSIONS : DOC_LOAD_NOT_FOUND;
  if (access(path, R_OK) != 0) return DOC_LOAD_PERMISSIONS;
  // Only a regular file is read: a FIFO or a device would block the open or
  // never end.
  struct stat st = {};
  if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) {
    xLog(LOG_ERROR, "Load: [%s] is not a regular file\n", path);
    quillery::SetFailureReason(S_ISDIR(st.st_mode) ? "it is a folder" : "not a regular file");
    return DOC_LOAD_NOT_OPEN;
  }

  if (format == 0) format = GetFormatFromFileName(path);
  if (format < 1) return DOC_LOAD_UNKNOWN_FORMAT;

  // A merged file's password belongs to that file, not to the document.
  std::string filePassword;
  if (!merge) m_strPassword.clear();
  std::unique_ptr<FormatIO_Base> fmt(FileFormatFactory::Get().CreateFileFormat(format));
  if (!fmt) return DOC_LOAD_UNKNOWN_FORMAT;
  if (fmt->IsEncrypted() && password) filePassword = password;
  if (!merge) m_strPassword = filePassword;

  // Per-format preparation follows the identifier asked for: one class may
  // serve several identifiers.
  if (format == FORMAT_HTML) fmt->SetContentsOnly(true);
  else if (format == FORMAT_HQY) fmt->SetRawText(true);
  else if (format == FORMAT_QYE || format == FORMAT_QYDE) fmt->SetPassword(filePassword.c_str());

  fmt->m_bReportProgress = m_bReportProgress;
  fmt->SetReadOnlyLoad(m_bReadOnlyLoad);
  fmt->SetDoc(*this);
  // The format reads the file by the same absolute name the document keeps,
  // so that links and icons it resolves against the file's folder do not
  // depend on the working folder.
  const std::string absolutePath = MakeAbsolutePath(path);
  if (!merge) m_strPath = absolutePath;
  FormatIO_Base::SetEnableSharing(enableSharing);

  const int firstNew = GetNodeCount();
  m_bLoading = true;
  const int result = fmt->Load(absolutePath.c_str(), *this, merge ? parentIdx : -1);
  m_bLoading = false;

  if (result != DOC_LOAD_OK) {
    if (!merge) {
      m_strPassword.clear();
      m_strPath.clear();
    }
  } else {
    if (!merge) m_bModified = false;
    const std::string gen = fmt->GetGenerator();
    const std::string genVer = fmt->GetGeneratorVersion();
    const std::string fmtVer = fmt->GetFormatVersion();
    if (!gen.empty() || !genVer.empty() || !fmtVer.empty())
      xLog(LOG_INFO, "Loaded [%s]: generator [%s %s], format version [%s]\n", path, gen.c_str(), genVer.c_str(),
           fmtVer.c_str());
    if (m_strUID.empty()) GenerateUniqueNodeID(m_strUID);
  }

  if (merge) {
    // A dynamic format reads note contents on demand from its file; once it
    // is gone they could not be read any more, so a document that does not
    // keep them in a file of its own takes them now.
    if (result == DOC_LOAD_OK && fmt->IsDynamic() && !GetDynamicLoader()) {
      if (FormatIO_DynamicBase* dyn = dynamic_cast<FormatIO_DynamicBase*>(fmt.get()))
        for (int i = firstNew; i < GetNodeCount(); ++i) dyn->FetchNodeInfo(m_lstNodes[i], NIF_ALL);
    }
  } else {
    delete m_pLoader;
    m_pLoader = fmt.release();
  }
  return result;
}

// ---------------------------------------------------------------------------
// Save

int NoteDocument::Save(const char* path, RecursiveTreeWalker& walker, bool switchToNew, int backupCount,
                       const char* backupDir, const char* password, int format, int cloneMode, bool keepID,
                       const quillery::TargetState* expected, const quillery::TargetState* expectedFolder) {
  // What a save may change of the document before it fails (a copy under a
  // new name takes a new ID and empty deletion records until it is done).
  std::string uid;
  std::map<std::string, int> deletedNotes, deletedAtts;
  bool kept = false;
  try {
    uid = m_strUID;
    deletedNotes = m_mapDeletedNotes;
    deletedAtts = m_mapDeletedAttachments;
    kept = true;
    m_nCloneMode = cloneMode;
    m_mapCloneConversion.clear();
    return SaveWithFormat(path, walker, switchToNew, backupCount, backupDir, password, format, keepID, expected,
                          expectedFolder);
  } catch (...) {
    // The temporary files went with the save's own objects; the target was
    // not replaced.
    const int result = quillery::CaughtFailure("Save", DOC_SAVE_ERROR);
    if (kept) {
      m_strUID.swap(uid);
      m_mapDeletedNotes.swap(deletedNotes);
      m_mapDeletedAttachments.swap(deletedAtts);
    }
    return result;
  }
}

int NoteDocument::SaveWithFormat(const char* path, RecursiveTreeWalker& walker, bool switchToNew, int backupCount,
                                 const char* backupDir, const char* password, int format, bool keepID,
                                 const quillery::TargetState* expected,
                                 const quillery::TargetState* expectedFolder) {
  if (!path || !*path) return DOC_SAVE_ERROR;
  DocumentSave::Options opt;
  opt.switchToNew = switchToNew;
  opt.backupCount = backupCount;
  opt.backupDir = backupDir;
  opt.password = password;
  opt.format = format;
  opt.keepID = keepID;
  opt.expected = expected;
  opt.expectedFolder = expectedFolder;
  return DocumentSave(*this, walker, MakeAbsolutePath(path), opt).Run();
}
