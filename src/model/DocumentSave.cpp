#include "model/DocumentSave.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <optional>
#include <utility>
#include <vector>

#include "base/FaultPoint.h"
#include "base/FileUtil.h"
#include "base/Progress.h"
#include "save/DocumentBackup.h"
#include "save/InstallSection.h"
#include "base/Log.h"
#include "model/FailureBoundary.h"
#include "model/FileFormatFactory.h"
#include "model/FormatIO_Base.h"
#include "model/FormatIO_DynamicBase.h"
#include "model/NoteDocument.h"
#include "model/RecursiveTreeWalker.h"

namespace {

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

DocumentSave::DocumentSave(NoteDocument& doc, RecursiveTreeWalker& walker, const std::string& absolutePath,
                           const Options& opt)
    : m_doc(doc), m_walker(walker), m_path(absolutePath), m_opt(opt) {}

DocumentSave::~DocumentSave() { ReleaseFormat(); }

void DocumentSave::ReleaseFormat() {
  if (!m_usingLoader) delete m_fmt;
  m_fmt = nullptr;
}

int DocumentSave::Run() {
  if (m_path.empty()) return DOC_SAVE_ERROR;
  quillery::ClearFailureReason();
  int result = FindTarget();
  if (result == DOC_SAVE_OK) result = MakeFormat();
  if (result == DOC_SAVE_OK) result = CheckTarget();
  if (result == DOC_SAVE_OK) result = ChoosePassword();
  if (result != DOC_SAVE_OK) return result;
  PrepareFormat();

  // The backups: before a format that installs its own target replaces
  // another file; of a new file, once it is complete and before it replaces
  // the target; of the open database, once the save has committed it (its
  // own copy commits first in any case), before its password changes.
  const bool ownInstall = m_fmt->InstallsOwnTarget();
  const bool backupFirst = ownInstall && !m_usingLoader;
  if (backupFirst && (result = MakeTargetBackups()) != DOC_SAVE_OK) return result;
  if (!ownInstall && (result = CreateOutput()) != DOC_SAVE_OK) return result;
  BeginNewIdentity();
  // A new password for the document's own file: the save's commit and the
  // re-key are one install. A hard stop between them waits for the re-key,
  // and counts as done only when the new password is in effect.
  std::optional<quillery::InstallSection> rekey;
  if (ChangesOwnPassword()) rekey.emplace();
  if ((result = WriteDocument()) != DOC_SAVE_OK) return Failed(result);
  if (!backupFirst && (result = MakeTargetBackups()) != DOC_SAVE_OK) return Failed(result);
  if ((result = ChangeOwnPassword()) != DOC_SAVE_OK) return Failed(result);
  if (rekey) rekey->Commit();
  rekey.reset();

  FormatIO_Base* keeper = AdoptFormat();
  if (!ownInstall && (result = InstallTarget(keeper)) != DOC_SAVE_OK) return result;
  // The document's own file now holds the password it was written with.
  if (m_ownFile) m_doc.m_strPassword = m_password;
  if (!m_opt.switchToNew) RestoreIdentity();
  return DOC_SAVE_OK;
}

// The format and the file the name given opens: a save through a symbolic
// link writes the file it points at. Only a regular file is replaced. A
// target the caller decided on stays the place the save writes: the name
// must still lead there, in the state found.
int DocumentSave::FindTarget() {
  m_state = quillery::TargetState::Of(m_path);
  m_target = m_state.path;
  if (m_opt.expected) {
    quillery::TargetState decided = *m_opt.expected;
    if (!decided.SameFileAs(m_state) || !decided.Holds()) {
      xLog(LOG_ERROR, "Save: [%s] changed since the save was decided\n", m_target.c_str());
      quillery::SetFailureReason(decided.ChangedReason());
      return DOC_SAVE_RENAME_FAILED;
    }
    decided.path = m_target;
    m_state = decided;
  }
  m_format = m_opt.format != 0 ? m_opt.format : NoteDocument::GetFormatFromFileName(m_path);
  if (m_format < 1) {
    xLog(LOG_INFO, "Unsupported save file format %d for file: %s\n", m_format, m_path.c_str());
    return DOC_SAVE_UNKNOWN_FORMAT;
  }
  struct stat st;
  m_targetExists = lstat(m_target.c_str(), &st) == 0;
  if (m_targetExists && !S_ISREG(st.st_mode)) {
    xLog(LOG_ERROR, "Save: [%s] is not a regular file\n", m_target.c_str());
    quillery::SetFailureReason(S_ISDIR(st.st_mode) ? "it is a folder" : "it is not a regular file");
    return DOC_SAVE_NOT_OPEN;
  }
  // Decided before the save changes anything.
  m_ownFile = SameFile(m_target, m_doc.m_strPath);
  return DOC_SAVE_OK;
}

// A loader that keeps the document in the target itself (an open database)
// saves in place; anything else is written by a new format object.
int DocumentSave::MakeFormat() {
  FormatIO_Base* loader = m_doc.m_pLoader;
  if (m_ownFile && loader && loader->IsDynamic() && loader->GetFormat() == m_format) {
    m_fmt = loader;
    m_usingLoader = true;
    return DOC_SAVE_OK;
  }
  // Any other database is built from the document as it is in memory. A
  // page copy of the open database would hold what its file held at the
  // last save (not the title, bookmarks or properties changed since), keep
  // its document ID, and commit the document's unsaved changes into the
  // file it was loaded from.
  m_fmt = FileFormatFactory::Get().CreateFileFormat(m_format);
  if (!m_fmt) {
    xLog(LOG_INFO, "Unsupported save file format %d for file: %s (no loader registered)\n", m_format, m_path.c_str());
    return DOC_SAVE_UNKNOWN_FORMAT;
  }
  return DOC_SAVE_OK;
}

int DocumentSave::CheckTarget() {
  if (!m_targetExists) return DOC_SAVE_OK;
  if (access(m_target.c_str(), W_OK) != 0) {
    xLog(LOG_ERROR, "Save: [%s] is not writable\n", m_target.c_str());
    quillery::SetFailureReason(quillery::ReasonForErrno(errno));
    return DOC_SAVE_NOT_WRITABLE;
  }
  // Another program's open document is never replaced under it (a format
  // that installs its own target respects the locks of its own kind).
  if (!m_ownFile && !m_fmt->InstallsOwnTarget() && quillery::IsHeldByAnother(m_target, 0)) {
    quillery::SetFailureReason("in use by another program");
    return DOC_SAVE_RENAME_FAILED;
  }
  return DOC_SAVE_OK;
}

// An encrypted target gets the password given (for the document's own file
// too: that is how its password changes), else the document's own when the
// target is its file, else the one the user is asked for.
int DocumentSave::ChoosePassword() {
  m_password = m_doc.m_strPassword;
  if (!m_fmt->IsEncrypted()) return DOC_SAVE_OK;
  if (m_opt.password) {
    m_password = m_opt.password;
  } else if (m_doc.m_strPassword.empty() || !m_ownFile) {
    GuiControllerBase* gui = m_doc.GetGuiController();
    if (!gui) {
      quillery::SetFailureReason("no password given");
      return DOC_SAVE_ERROR;
    }
    const char* answer = gui->GetPassword(m_path.c_str(), true);
    if (!answer) return DOC_SAVE_ABORTED;
    m_password = answer;
  }
  if (m_password.empty()) {
    quillery::SetFailureReason("the password is empty");
    return DOC_SAVE_ERROR;
  }
  return DOC_SAVE_OK;
}

// Per-format preparation of a new object, by the identifier asked for. The
// document's own loader is ready; its password changes after the save.
void DocumentSave::PrepareFormat() {
  if (!m_usingLoader) {
    if (m_format == FORMAT_QYE || m_format == FORMAT_QYDE) m_fmt->SetPassword(m_password.c_str());
    else if (m_format == FORMAT_HQY) m_fmt->SetRawText(true);
    else if (m_format == FORMAT_HTML) m_fmt->SetExport(true, m_doc.bExportLinkWarning);
  }
  m_fmt->SetDoc(m_doc);
  m_fmt->m_bReportProgress = m_doc.m_bReportProgress;
}

// The new file: NAME.part beside the target, created exclusively and never
// through a link, for a new target as for an existing one, so that a save
// that dies leaves no half-written target. The format writes through its
// descriptor.
int DocumentSave::CreateOutput() {
  if (const int e = m_part.Create(m_state)) {
    xLog(LOG_ERROR, "Save: cannot create the temporary file for [%s]: %s\n", m_target.c_str(), strerror(e));
    quillery::SetFailureReason(quillery::ReasonForErrno(e));
    return e == EBUSY ? DOC_SAVE_RENAME_FAILED : quillery::SaveResultForErrno(e);
  }
  m_fmt->SetOutputFile(m_part.Descriptor());
  return DOC_SAVE_OK;
}

// A copy under a new name gets its own document ID (and no deletion
// records of the original) for this save, in every format that stores the
// document (an export keeps neither).
void DocumentSave::BeginNewIdentity() {
  static const int kDocumentFormats[] = {FORMAT_HQY, FORMAT_QYD, FORMAT_QYE, FORMAT_QYZ, FORMAT_QYDB, FORMAT_QYDE};
  const bool document = std::find(std::begin(kDocumentFormats), std::end(kDocumentFormats), m_format) !=
                        std::end(kDocumentFormats);
  m_newID = !m_ownFile && document && !m_opt.keepID;
  if (!m_newID) return;
  xLog(LOG_INFO, "Saving file under a new name, generate new document ID\n");
  m_oldUID = m_doc.m_strUID;
  m_oldDeletedNotes.swap(m_doc.m_mapDeletedNotes);
  m_oldDeletedAtts.swap(m_doc.m_mapDeletedAttachments);
  m_doc.GenerateUniqueNodeID(m_doc.m_strUID);
}

void DocumentSave::RestoreIdentity() {
  if (!m_newID) return;
  m_newID = false;
  m_doc.m_strUID = m_oldUID;
  m_doc.m_mapDeletedNotes.swap(m_oldDeletedNotes);
  m_doc.m_mapDeletedAttachments.swap(m_oldDeletedAtts);
}

// The format writes the notes of the walk; the new file counts only when
// every byte of it is on the disk.
int DocumentSave::WriteDocument() {
  const bool part = m_part.IsOpen();
  PictureIdKeeper pictureIds(m_doc, !m_usingLoader && m_fmt->IsDynamic() && m_doc.GetDynamicLoader());
  const unsigned long readFailures = quillery::ReadFailures();
  const char* out = part ? m_part.Path().c_str() : m_target.c_str();
  // A format that installs its own target replaces only what the save found,
  // a folder that goes with the file only what the caller found.
  m_fmt->SetTargetState(&m_state, m_opt.expectedFolder);
  // An exception from the format (out of memory in a stage or a worker)
  // fails this step, so that the steps after it clean up as after any
  // failed write.
  int result = quillery::Guarded("Save", DOC_SAVE_ERROR, [&] { return m_fmt->Save(out, m_walker); });
  m_fmt->SetOutputFile(-1);
  m_fmt->SetTargetState(nullptr);
  if (result == DOC_SAVE_OK && quillery::ReadFailures() != readFailures && !m_usingLoader) {
    // A note the document could not read from its file is missing from
    // the new one: that is no saved document.
    xLog(LOG_ERROR, "Save: a part of the document could not be read\n");
    quillery::SetFailureReason("a part of the document could not be read (damaged file?)");
    result = DOC_SAVE_ERROR;
  }
  if (!(m_opt.switchToNew && result == DOC_SAVE_OK)) pictureIds.Restore();
  if (result == DOC_SAVE_OK && part) {
    if (const int e = m_part.Sync()) {
      quillery::SetFailureReason(quillery::ReasonForErrno(e));
      xLog(LOG_ERROR, "Save: flushing [%s] to disk failed\n", m_part.Path().c_str());
      result = DOC_SAVE_WRITE_ERROR;
    }
  }
  // The folder that goes in with the file is on the disk before either
  // takes its place, as the file is.
  if (result == DOC_SAVE_OK && part) m_side = m_fmt->TakeStagedFolder();
  if (result == DOC_SAVE_OK && m_side && m_side->Finish() != 0) result = DOC_SAVE_WRITE_ERROR;
  return result;
}

bool DocumentSave::ChangesOwnPassword() const {
  return m_usingLoader && m_fmt->IsEncrypted() && m_password != m_doc.m_strPassword;
}

// A new password for the document's own open file re-keys it in place
// (the content was committed by the save); a file that cannot be re-keyed
// keeps its old password, and the save says so. Re-keying rewrites every
// page in one transaction, inside the save's install (see Run).
int DocumentSave::ChangeOwnPassword() {
  if (!ChangesOwnPassword()) return DOC_SAVE_OK;
  quillery::FaultPoint("password-change");
  if (!m_fmt->ChangePassword(m_password.c_str())) {
    xLog(LOG_ERROR, "Save: the password of [%s] could not be changed\n", m_target.c_str());
    quillery::SetFailureReason("the password could not be changed; the file keeps its old one");
    return DOC_SAVE_ERROR;
  }
  m_doc.m_strPassword = m_password;
  return DOC_SAVE_OK;
}

// Numbered copies of the target before it changes. A live database is
// copied through its own backup (consistent pages), never byte by byte. A
// save that asked for backups fails when they cannot be made.
int DocumentSave::MakeTargetBackups() {
  if (!m_targetExists || m_opt.backupCount <= 0) return DOC_SAVE_OK;
  quillery::BackupCopier copy;
  if (m_usingLoader) {
    FormatIO_DynamicBase* dyn = dynamic_cast<FormatIO_DynamicBase*>(m_fmt);
    if (dyn) copy = [dyn](const std::string& to) { return dyn->BackupTo(to.c_str()); };
  }
  if (quillery::MakeBackups(m_target, m_opt.backupCount, m_opt.backupDir, copy)) return DOC_SAVE_OK;
  quillery::SetFailureReason("the backup copy could not be made");
  return DOC_SAVE_ERROR;
}

// The object that keeps the saved file from now on: the new format object
// under switch, else the document's own loader when the target is its file.
FormatIO_Base* DocumentSave::AdoptFormat() {
  if (!m_opt.switchToNew) {
    ReleaseFormat();
    return m_ownFile ? m_doc.m_pLoader : nullptr;
  }
  FormatIO_Base* keeper = m_fmt;
  if (!m_usingLoader) {
    // Leaving a file-attached format for one that is not: the parts of the
    // notes never read live only in the old file, so they are read in
    // before the old format object (and with it the file) goes away. Parts
    // in memory are the document's own (a change the file could not take
    // among them) and stay.
    FormatIO_DynamicBase* oldDyn = m_doc.GetDynamicLoader();
    if (oldDyn && !m_fmt->IsDynamic())
      for (NoteNode& n : m_doc.m_lstNodes)
        if (const unsigned int missing = NIF_ALL & ~n.m_nPartsInMemory) oldDyn->FetchNodeInfo(n, missing);
    delete m_doc.m_pLoader;
    m_doc.m_pLoader = m_fmt;
  }
  m_fmt = nullptr;
  m_usingLoader = false;
  m_doc.m_strPath = m_path;
  m_doc.m_strPassword = m_password;
  m_doc.m_bModified = false;
  return keeper;
}

// The new file takes the target's name: with the target's mode, only when
// no other program holds the target now, and never over a file that
// appeared at a new target's name meanwhile.
int DocumentSave::InstallTarget(FormatIO_Base* keeper) {
  const bool keeps = keeper && !keeper->IsDynamic();
  if (keeps) keeper->ReleaseFile();
  // The bytes went to the disk when the document was written.
  const int e = InstallPair();
  if (e != 0) {
    xLog(LOG_ERROR, "Save: Error - rename operation failed\n");
    quillery::SetFailureReason(e == EEXIST ? m_state.ChangedReason() : quillery::ReasonForErrno(e));
    m_part.Remove();
    m_side.reset();
    // The old target is still in place: keep holding it, and the document
    // still differs from it.
    if (keeps && m_targetExists) keeper->KeepFile(m_target.c_str());
    if (m_opt.switchToNew) m_doc.m_bModified = true;
    RestoreIdentity();
    return e == ECANCELED ? DOC_SAVE_ABORTED : DOC_SAVE_RENAME_FAILED;
  }
  if (keeps) keeper->KeepFile(m_target.c_str());
  // What the new folder replaced goes once the install stands.
  if (m_side) m_side->RemoveReplaced();
  m_side.reset();
  return DOC_SAVE_OK;
}

// The new file and the folder that goes with it (an export's page and side
// folder) take their places as one install: the folder first, the file
// after it, and the folder back out when the file cannot follow. A hard
// stop waits until both are in or neither is, and a stop asked for before
// the install began (after the save's last look at the cancel flag) puts
// nothing in place. 0 or errno, ECANCELED for that stop.
int DocumentSave::InstallPair() {
  // Refused before the folder moves: the common way the file cannot follow.
  if (m_side && m_targetExists && quillery::IsHeldByAnother(m_target, 1000)) return EBUSY;
  quillery::InstallSection install;
  // Opening the section and reading the flag are sequentially consistent,
  // as the signal handler's setting the flag and looking for an open
  // section are: either it sees this section open, or this sees its
  // cancel. A save that follows the cancel flag (one that reports
  // progress, and every export) looks once more.
  if ((m_doc.m_bReportProgress || m_side) && ProgressInfo::IsCanceled()) return ECANCELED;
  if (m_side) {
    if (const int e = m_side->Install()) return e;
    quillery::FaultPoint("install-pair");
  }
  const int e = quillery::ReplaceWithTempFile(m_part, m_state);
  if (e != 0) {
    if (m_side) m_side->Undo();
    return e;
  }
  if (m_side) m_side->Commit();
  install.Commit();
  return 0;
}

// Never leave a half-written file behind, whatever the failure; the
// document keeps its own ID.
int DocumentSave::Failed(int result) {
  if (!m_usingLoader && m_fmt) m_fmt->ReleaseFile();
  RestoreIdentity();
  ReleaseFormat();
  m_part.Remove();
  m_side.reset();
  return result;
}
