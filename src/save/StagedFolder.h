#pragma once

// A folder that is one output together with a file: an HTML export's side
// folder beside its page. It is built under a staging name beside its place
// ("NAME.part-XXXXXX", made exclusively and locked while the run lasts) and
// goes into its place in the same install as its file, so that nothing of
// a run is in place until the file and the folder are complete and on the
// disk, and a run that fails at any point leaves the earlier pair whole:
//   Begin ... (the folder is written) ... Finish (forced to the disk),
//   then, inside the caller's InstallSection: Install, the file's rename,
//   and Commit when the rename succeeded, Undo when it failed.
//
// Leftovers of a run that was killed are removed by the next Begin for the
// same place, but only a folder that is provably one: a name of the exact
// staging form, unlocked, holding the marker file a run writes into it
// first, which names that very folder (its device and inode), so that a
// user's folder of a similar name, or a copy of a leftover, is never
// removed. The marker leaves a folder when it is committed in its place; a
// replaced folder gets one before it is moved aside, and loses it again if
// it returns. A marked folder loses its marker last when it is removed, so a
// run killed while it removes one still leaves a leftover the next removes.
//
// Owned by one save, used by the thread that saves. Build() names the build
// folder (with a trailing slash) from Begin to Commit or Discard, otherwise
// it is empty. A replaced folder waits under a staging name until
// RemoveReplaced (or the destructor), so that removing it costs the install
// no time. The destructor undoes an install that was not committed and
// removes what the run built.

#include <sys/types.h>

#include <string>

#include "save/SafeSave.h"

namespace quillery {

class StagedFolder {
 public:
  StagedFolder() = default;
  ~StagedFolder();
  StagedFolder(const StagedFolder&) = delete;
  StagedFolder& operator=(const StagedFolder&) = delete;

  // Makes the build folder for the folder finalDir (a path, a trailing '/'
  // allowed), in the folder that path leads to now, where every later step
  // works. decided: what its place held when the save began
  // (TargetState::OfEntry), the one folder the install may replace (whole;
  // the caller has the consent to replace it); nothing: the folder goes in
  // only where nothing is. 0, or the errno of the failed creation.
  int Begin(const std::string& finalDir, const TargetState& decided);
  const std::string& Build() const { return m_build; }
  // The folder's name in its place (its last path component).
  std::string Name() const;

  // Forces every file and folder of the build to the disk. 0 or errno.
  int Finish();
  // Puts the build folder in its place: where nothing was decided, only
  // where nothing is; else only over the folder decided on, which is
  // exchanged with the build and checked as it comes out (put back when it
  // is another). EEXIST when the place no longer holds what was decided
  // (the failure reason is TargetState::ChangedReason); anything there
  // that is no folder (a file, a link) is never replaced (ENOTDIR). 0 or
  // errno, with the failure reason set; on failure the place is as it was.
  int Install();
  // The install stands (the file went into its place too).
  void Commit();
  // Takes back the last Install: the replaced folder, or nothing, is in
  // the place again, and the new one goes with the build. 0 or errno.
  int Undo();
  // Removes the build folder and everything in it (an installed one is
  // taken back first).
  void Discard();
  // Removes the folder that the last committed Install replaced.
  void RemoveReplaced();

  // Why a folder of that name cannot take its place (errno err), as the
  // failure reason says it.
  static std::string FailureReason(const std::string& name, int err);

 private:
  void RemoveLeftovers();
  void Unlock();

  TargetState m_place;     // holds the folder of the place open
  std::string m_final;     // the folder's place, without the trailing slash (PathInFolder)
  std::string m_build;     // the build folder with a trailing slash, or empty
  std::string m_replaced;  // where the replaced folder waits, or empty
  TargetState m_decided;   // what the install may replace (see Begin)
  bool m_installed = false;  // Install succeeded, neither Commit nor Undo yet
  bool m_swapped = false;  // the replaced folder was exchanged with the build
  int m_lock = -1;         // the build folder, opened and locked
};

// Removes path and everything below it, never following a link; a staging
// marker in it goes last. False when something stayed.
bool RemoveFolderTree(const std::string& path);

}  // namespace quillery
