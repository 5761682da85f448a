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

#include "base/File64.h"
#include "base/FileUtil.h"
#include "base/Log.h"
#include "base/SafeSave.h"
#include "model/FailureBoundary.h"
#include "model/FileFormatFactory.h"
#include "model/FormatIO_Base.h"
#include "base/DocumentBackup.h"
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

bool IsDatabaseFormat(int format) { return format == FORMAT_QYDB || format == FORMAT_QYDE; }

// Forces written data to the disk before a rename makes it the document.
bool SyncFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

int ClampInt(int64_t v) { return v > INT_MAX ? INT_MAX : (v < INT_MIN ? INT_MIN : static_cast<int>(v)); }

// Picture IDs name the rows of the database a note's pictures were written
// to. A save into another database gives the notes it writes that file's
// IDs; a document that does not move there (a copy, or a failed save) gets
// its notes' own IDs back, or removing or moving a picture later would hit
// another row of its own file.
class PictureIdKeeper {
 public:
  PictureIdKeeper(NoteDocument& doc, bool active) : m_doc(doc) {
    if (!active) return;
    for (int i = 0; i < doc.GetNodeCount(); ++i) {
      const PictureList& pics = doc.GetNodeByIdx(i).m_objText.m_lstPictures;
      if (pics.IsEmpty()) continue;
      std::vector<int64_t> ids;
      for (int p = 0; p < pics.GetSize(); ++p) ids.push_back(pics.GetAt(p).nPictureID);
      m_saved.emplace_back(i, std::move(ids));
    }
  }
  void Restore() {
    for (const auto& entry : m_saved) {
      if (entry.first >= m_doc.GetNodeCount()) continue;
      PictureList& pics = m_doc.GetNodeByIdx(entry.first).m_objText.m_lstPictures;
      if (pics.GetSize() != static_cast<int>(entry.second.size())) continue;
      for (int p = 0; p < pics.GetSize(); ++p) pics.GetAt(p).nPictureID = entry.second[p];
    }
  }

 private:
  NoteDocument& m_doc;
  std::vector<std::pair<int, std::vector<int64_t>>> m_saved;
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
  if (!path || access(path, F_OK) != 0) return DOC_LOAD_NOT_FOUND;
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
                       const char* backupDir, const char* password, int format, int cloneMode, bool keepID) {
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
    return SaveWithFormat(path, walker, switchToNew, backupCount, backupDir, password, format, keepID);
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
                                 const char* backupDir, const char* password, int format, bool keepID) {
  if (!path || !*path) return DOC_SAVE_ERROR;
  quillery::ClearFailureReason();
  // A save through a symbolic link writes the file it points at.
  const std::string target = quillery::FinalPath(MakeAbsolutePath(path));

  // 1. The format.
  if (format == 0) format = GetFormatFromFileName(path);
  if (format < 1) {
    xLog(LOG_INFO, "Unsupported save file format %d for file: %s\n", format, path);
    return DOC_SAVE_UNKNOWN_FORMAT;
  }
  // 2. An existing target is replaced by a finished ".part" file; the
  //    database formats replace an existing database through SQLite.
  struct stat targetStat;
  bool targetExists = lstat(target.c_str(), &targetStat) == 0;
  if (targetExists && !S_ISREG(targetStat.st_mode)) {
    xLog(LOG_ERROR, "Save: [%s] is not a regular file\n", target.c_str());
    quillery::SetFailureReason(S_ISDIR(targetStat.st_mode) ? "it is a folder" : "it is not a regular file");
    return DOC_SAVE_NOT_OPEN;
  }
  // Whether the target is this document's own file (decided before the save
  // changes anything).
  const bool ownFile = SameFile(target, m_strPath);
  if (targetExists && access(target.c_str(), W_OK) != 0) {
    xLog(LOG_ERROR, "Save: [%s] is not writable\n", target.c_str());
    quillery::SetFailureReason(quillery::ReasonForErrno(errno));
    return DOC_SAVE_NOT_WRITABLE;
  }
  // Another program's open document is never replaced under it.
  if (targetExists && !ownFile && !IsDatabaseFormat(format) && quillery::IsHeldByAnother(target, 0)) {
    quillery::SetFailureReason("in use by another program");
    return DOC_SAVE_RENAME_FAILED;
  }

  // 3. The format object.
  FormatIO_Base* fmt = FileFormatFactory::Get().CreateFileFormat(format);
  if (!fmt) {
    xLog(LOG_INFO, "Unsupported save file format %d for file: %s (no loader registered)\n", format, path);
    return DOC_SAVE_UNKNOWN_FORMAT;
  }
  bool usingLoader = false;
  auto release = [&]() {
    if (!usingLoader) delete fmt;
    fmt = nullptr;
  };

  // 4. The password of an encrypted target.
  std::string savePassword = m_strPassword;
  if (fmt->IsEncrypted() && (m_strPassword.empty() || !ownFile)) {
    if (password) {
      savePassword = password;
    } else {
      GuiControllerBase* gui = GetGuiController();
      if (!gui) {
        quillery::SetFailureReason("no password given");
        release();
        return DOC_SAVE_ERROR;
      }
      const char* answer = gui->GetPassword(path, true);
      if (!answer) {
        release();
        return DOC_SAVE_ABORTED;
      }
      savePassword = answer;
    }
    if (savePassword.empty()) {
      quillery::SetFailureReason("the password is empty");
      release();
      return DOC_SAVE_ERROR;
    }
  }

  // 5. Per-format preparation, by the identifier asked for.
  if (format == FORMAT_QYE || format == FORMAT_QYDE) fmt->SetPassword(savePassword.c_str());
  else if (format == FORMAT_HQY) fmt->SetRawText(true);
  else if (format == FORMAT_HTML) fmt->SetExport(true, bExportLinkWarning);
  if (IsDatabaseFormat(format) && m_pLoader && m_pLoader->GetFormat() == format && ownFile) {
    // The open database is the target: its loader commits in place.
    delete fmt;
    fmt = m_pLoader;
    usingLoader = true;
  }
  // Any other database is built from the document as it is in memory. A
  // page copy of the open database would hold what its file held at the
  // last save (not the title, bookmarks or properties changed since), keep
  // its document ID, and commit the document's unsaved changes into the
  // file it was loaded from.

  // 6. Free space, then backups of an existing target (a copy: the target
  //    itself stays in place until the new file replaces it).
  fmt->SetDoc(*this);
  const int64_t need = fmt->GetFileSize();
  if (need > 0) {
    const std::string dir = target.rfind('/') == std::string::npos ? "." : target.substr(0, target.rfind('/') + 1);
    const int64_t freeSpace = File64::DriveFreeSize(dir);
    if (freeSpace < 0) {
      xLog(LOG_INFO, "Save: free space of [%s] unknown\n", dir.c_str());
    } else if (freeSpace < need) {
      xLog(LOG_ERROR, "Save: Low free space %d detected!\n", ClampInt(freeSpace));
      quillery::SetFailureReason("writing failed: too little free space");
      release();
      return DOC_SAVE_WRITE_ERROR;
    }
  }
  if (targetExists && IsDatabaseFormat(format) && !usingLoader) quillery::MakeBackups(target, backupCount, backupDir);

  // The file the format writes: a ".part" file beside an existing target,
  // a new target itself; both created here, exclusively and never through
  // a link. The database formats build and install their own file.
  quillery::TempFile part, created;
  if (!IsDatabaseFormat(format) && !targetExists) {
    const int e = created.CreateNew(target);
    if (e == EEXIST) {
      targetExists = true;  // appeared meanwhile: replaced like any other
    } else if (e != 0) {
      xLog(LOG_ERROR, "Save: cannot create [%s]: %s\n", target.c_str(), strerror(e));
      quillery::SetFailureReason(quillery::ReasonForErrno(e));
      release();
      return quillery::SaveResultForErrno(e);
    }
  }
  const bool usePart = targetExists && !IsDatabaseFormat(format);
  if (usePart) {
    if (const int e = part.Create(quillery::TempFile::NameFor(target))) {
      xLog(LOG_ERROR, "Save: cannot create the temporary file for [%s]: %s\n", target.c_str(), strerror(e));
      quillery::SetFailureReason(quillery::ReasonForErrno(e));
      release();
      return e == EBUSY ? DOC_SAVE_RENAME_FAILED : quillery::SaveResultForErrno(e);
    }
  }
  const std::string savePath = usePart ? part.Path() : target;

  // 7. A copy under a new name gets its own document ID.
  const bool newID = !ownFile && is_main_format(target) && !keepID;
  const std::string oldUID = m_strUID;
  std::map<std::string, int> oldDeletedNotes, oldDeletedAtts;
  if (newID) {
    xLog(LOG_INFO, "Saving file under a new name, generate new document ID\n");
    oldDeletedNotes.swap(m_mapDeletedNotes);
    oldDeletedAtts.swap(m_mapDeletedAttachments);
    GenerateUniqueNodeID(m_strUID);
  }
  auto restoreID = [&]() {
    if (!newID) return;
    m_strUID = oldUID;
    m_mapDeletedNotes.swap(oldDeletedNotes);
    m_mapDeletedAttachments.swap(oldDeletedAtts);
  };

  fmt->m_bReportProgress = m_bReportProgress;
  PictureIdKeeper pictureIds(*this, !usingLoader && fmt->IsDynamic() && GetDynamicLoader());
  const unsigned long readFailures = quillery::ReadFailures();
  int result = quillery::Guarded("Save", DOC_SAVE_ERROR, [&] { return fmt->Save(savePath.c_str(), walker); });
  if (result == DOC_SAVE_OK && quillery::ReadFailures() != readFailures && !usingLoader) {
    // A note the document could not read from its file is missing from
    // the new one: that is no saved document.
    xLog(LOG_ERROR, "Save: a part of the document could not be read\n");
    quillery::SetFailureReason("a part of the document could not be read (damaged file?)");
    result = DOC_SAVE_ERROR;
  }
  if (!(switchToNew && result == DOC_SAVE_OK)) pictureIds.Restore();
  if (result == DOC_SAVE_OK && !IsDatabaseFormat(format) && !SyncFile(savePath)) {
    quillery::SetFailureReason(quillery::ReasonForErrno(errno));
    xLog(LOG_ERROR, "Save: flushing [%s] to disk failed\n", savePath.c_str());
    result = DOC_SAVE_WRITE_ERROR;
  }
  if (result != DOC_SAVE_OK) {
    // Never leave a half-written file behind, whatever the failure.
    if (!usingLoader) fmt->ReleaseFile();
    restoreID();
    release();
    part.Remove();
    created.Remove();
    return result;
  }
  created.Keep();

  // Backups of the replaced file. A live database is copied through its own
  // backup (consistent pages), never byte by byte.
  if (usePart) {
    quillery::MakeBackups(target, backupCount, backupDir);
  } else if (usingLoader && backupCount > 0) {
    if (FormatIO_DynamicBase* dyn = dynamic_cast<FormatIO_DynamicBase*>(fmt)) {
      for (int n = backupCount; n >= 2; --n)
        std::rename(quillery::BackupName(target, backupDir, n - 1).c_str(),
                    quillery::BackupName(target, backupDir, n).c_str());
      const std::string b1 = quillery::BackupName(target, backupDir, 1);
      std::remove(b1.c_str());
      if (!dyn->BackupTo(b1.c_str())) xLog(LOG_WARNING, "Save: backup of [%s] failed\n", path);
    }
  }

  // The object that keeps the saved file: the new loader under switch, or
  // the document's own loader when the target is its own file.
  FormatIO_Base* keeper = nullptr;
  if (switchToNew) {
    if (!usingLoader) {
      // Leaving a file-attached format for one that is not: the notes'
      // contents live only in the old file, so they are read in before the
      // old format object (and with it the file) goes away.
      FormatIO_DynamicBase* oldDyn = GetDynamicLoader();
      if (oldDyn && !fmt->IsDynamic())
        for (NoteNode& n : m_lstNodes) oldDyn->FetchNodeInfo(n, NIF_ALL);
      delete m_pLoader;
      m_pLoader = fmt;
    }
    keeper = fmt;
    m_strPath = MakeAbsolutePath(path);
    m_strPassword = savePassword;
    m_bModified = false;
  } else {
    release();
    if (ownFile) keeper = m_pLoader;
  }
  fmt = nullptr;

  if (usePart) {
    if (keeper && !keeper->IsDynamic()) keeper->ReleaseFile();
    // The old file is replaced only when no other program holds it now,
    // and the new one carries its mode before it gets its name.
    int e = quillery::IsHeldByAnother(target, 1000) ? EBUSY : 0;
    if (e == 0) e = part.ApplyTargetMode(target);
    if (e == 0) e = part.RenameOver(target, false);
    if (e != 0) {
      xLog(LOG_ERROR, "Save: Error - rename operation failed\n");
      quillery::SetFailureReason(quillery::ReasonForErrno(e));
      part.Remove();
      // The old target is still in place: keep holding it, and the document
      // still differs from it.
      if (keeper && !keeper->IsDynamic()) keeper->KeepFile(target.c_str());
      if (switchToNew) m_bModified = true;
      restoreID();
      return DOC_SAVE_RENAME_FAILED;
    }
    if (keeper && !keeper->IsDynamic()) keeper->KeepFile(target.c_str());
  }
  if (!switchToNew) restoreID();
  return DOC_SAVE_OK;
}
