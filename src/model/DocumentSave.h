#pragma once

// DocumentSave: one NoteDocument::Save, as named steps. It is the one owner
// of "replace the target": it finds the target, picks the format object,
// the password and the document ID, has the format write a new temporary
// file beside the target (or lets a format that installs its own target,
// a database, do that part), makes the backups and puts the new file in
// the target's place. A failed step leaves the target as it was and the
// document with its own file, ID and password.
//
// Ownership: borrows the document and the walker for one Run; owns the
// format object it creates until the document adopts it; the temporary
// file (and the folder built to go in with it, an export's side folder) is
// removed on every way out unless it became the target.
// Threading: the caller's thread, like the document.

#include <map>
#include <memory>
#include <string>

#include "save/SafeSave.h"
#include "save/StagedFolder.h"

class FormatIO_Base;
class NoteDocument;
class RecursiveTreeWalker;

class DocumentSave {
 public:
  struct Options {
    bool switchToNew = true;  // the document continues with the new file
    int backupCount = 0;
    const char* backupDir = nullptr;
    const char* password = nullptr;  // given: the target's password, also for the document's own file
    int format = 0;                  // 0: from the path's extension
    bool keepID = false;             // a copy under a new name keeps the UID
    // The target as the caller found it before it began (a host, before it
    // loaded the input); null: as the save finds it. The save replaces only
    // that, and fails when the target is no longer in that state.
    const quillery::TargetState* expected = nullptr;
    // Likewise the place of the folder that goes with the target (an
    // export's side folder; TargetState::OfEntry): only that folder is
    // replaced. Null: as the save finds it.
    const quillery::TargetState* expectedFolder = nullptr;
  };

  // absolutePath: the path asked for, made absolute.
  DocumentSave(NoteDocument& doc, RecursiveTreeWalker& walker, const std::string& absolutePath, const Options& opt);
  ~DocumentSave();
  DocumentSave(const DocumentSave&) = delete;
  DocumentSave& operator=(const DocumentSave&) = delete;

  // The DocSaveResult; a failure's reason is set (quillery::SetFailureReason).
  int Run();

 private:
  int FindTarget();
  int MakeFormat();
  int CheckTarget();
  int ChoosePassword();
  void PrepareFormat();
  int CreateOutput();
  void BeginNewIdentity();
  void RestoreIdentity();
  int WriteDocument();
  bool ChangesOwnPassword() const;
  int ChangeOwnPassword();
  int MakeTargetBackups();
  FormatIO_Base* AdoptFormat();
  int InstallTarget(FormatIO_Base* keeper);
  int InstallPair();
  int Failed(int result);
  void ReleaseFormat();

  NoteDocument& m_doc;
  RecursiveTreeWalker& m_walker;
  const std::string m_path;  // as asked for (absolute)
  const Options m_opt;
  std::string m_target;      // the file written: links followed
  int m_format = 0;
  quillery::TargetState m_state;  // what the install may replace
  bool m_targetExists = false;
  bool m_ownFile = false;    // the target is the document's own file
  FormatIO_Base* m_fmt = nullptr;
  bool m_usingLoader = false;  // m_fmt is the document's loader, which keeps the document in the target
  std::string m_password;
  quillery::TempFile m_part;   // the new file, unless the format installs its own target
  std::unique_ptr<quillery::StagedFolder> m_side;  // the folder that goes in with m_part, if any

  bool m_newID = false;
  std::string m_oldUID;
  std::map<std::string, int> m_oldDeletedNotes, m_oldDeletedAtts;
};
