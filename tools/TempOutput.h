#pragma once

// The output file of `dump`: written under a temporary name derived from the
// target (created exclusively, mode 0600, locked while in use), and put in
// the target's place only when complete. A plain file replaces the target
// by a rename, with the target's mode, unless another program holds it; a
// database replaces an existing database's content through SQLite. Until
// then the target is untouched; a temporary file that was not committed is
// removed by the destructor (and by the interrupt handler on a hard stop).
// A symbolic link at the target when the host decided is written through
// (never one made later, at the target or on its way). Only what the host
// found at the target before it began is replaced (quillery::TargetState).
//
// Ownership: owns its temporary file. Threading: the host's main thread.

#include <string>

#include "save/SafeSave.h"

namespace quillery_host {

class TempOutput {
 public:
  TempOutput(const quillery::TargetState& target, bool database);
  TempOutput(const TempOutput&) = delete;
  TempOutput& operator=(const TempOutput&) = delete;

  // 0, or the errno of the failed creation (EBUSY: another save of the
  // target runs).
  int Error() const { return m_error; }
  // The path SQLite opens it by: it reaches the folder the file was made
  // in, however that folder's path changed (TempFile::OpenPath).
  const std::string& Path() const { return m_temp.OpenPath(); }
  // The descriptor of the exclusive create, through which a plain file is
  // written (a database is written by SQLite through Path).
  int Descriptor() const { return m_temp.Descriptor(); }
  // Puts the file in the target's place; 0 or a DocSaveResult, whose
  // reason quillery::TakeFailureReason gives.
  int Commit();

 private:
  quillery::TargetState m_target;
  bool m_database;
  quillery::TempFile m_temp;
  int m_error = 0;
};

}  // namespace quillery_host
