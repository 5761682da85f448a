#pragma once

// What every save needs to replace a file without losing, corrupting or
// exposing it:
//  - FinalPath and TargetState (TargetState.h): where the target's name led
//    and what was there when the save began, the one thing it may replace;
//  - TempFile: the temporary file a save writes first, under a name derived
//    from its target. It is created with O_CREAT|O_EXCL|O_NOFOLLOW and mode
//    0600 in a folder opened once, so it is never a planted link nor
//    readable by others while it is written, and it carries a lock while
//    its save runs: a leftover of a save that was killed is unlocked, and
//    the next save of the same target removes it. A leftover is known only
//    by its look (a regular file with one link, this user's, mode 0600,
//    unlocked): a user's file that looks so is taken for one. Anything else
//    at that name (a folder, a FIFO, a symbolic link, a user's file of
//    another mode, owner or link count) is never removed: the save fails and names it. Every
//    byte is written through its descriptor (Descriptor), never through a
//    reopened name. It takes the target's name (through the folder's
//    descriptor) only while its name still refers to the file it created,
//    and only over what the save found at the target when it began
//    (TargetState); only then (where the file system can exchange) does it
//    get the target's mode and owner, so that until its install it looks
//    like the leftover it would be (a kill in the instant between leaves
//    the target with mode 0600). Unless released, the destructor removes
//    it (and, for a database's file, the journal SQLite may have left
//    beside it), again only while its name refers to it;
//  - IsHeldByAnother: the native formats' shared lock of an open document;
//  - the failure reason: one line naming why a save or load failed, for the
//    host's error message (the result codes are coarser).
//
// Every TempFile alive is also listed for RemovePendingTempFiles, which a
// signal handler may call (async-signal-safe) before it ends the process.

#include <sys/stat.h>
#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "save/TargetState.h"

namespace quillery {

// The mode a file replacing path gets: the existing file's permission bits,
// else 0666 minus the umask.
mode_t TargetMode(const std::string& path);

// True when a process other than this one (through another open file)
// holds a flock on the regular file at path; waits up to waitMs for it to go.
bool IsHeldByAnother(const std::string& path, int waitMs);

class TempFile {
 public:
  TempFile() = default;
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  // Creates path exclusively (0600) and locks it. A file already there that
  // a save made (regular, one link, this user's, mode 0600) and no running
  // save holds is a leftover and is removed first; anything else there (a
  // symbolic link too, never followed) stays. For a database (written by
  // SQLite through the name, which may keep a journal at path +
  // "-journal") a journal that looks like the leftover goes with it, and
  // any other file at the journal's name is in the way: SQLite would take
  // it for the new file's journal. 0, EBUSY when another save of the same
  // target runs, EEXIST when something else is in the way, or the errno of
  // the failed creation (the failure reason names the file for EEXIST and
  // ENAMETOOLONG).
  int Create(const std::string& path, bool database = false);
  // Likewise NameFor(target.path), made in the folder target decided on
  // (TargetState::Folder) however its path changed since; by the path
  // where it held none.
  int Create(const TargetState& target, bool database = false);
  const std::string& Path() const { return m_path; }
  // The path through which the file is opened by name (SQLite): one that
  // reaches the folder it was made in (PathInFolder) while it is open.
  const std::string& OpenPath() const { return m_open; }
  bool IsOpen() const { return m_fd >= 0; }
  // The descriptor of the exclusive create, through which the file is
  // written; -1 when none is open. It stays the object's.
  int Descriptor() const { return m_fd; }

  // Decides the mode, owner and group of target (existing) for the file,
  // or 0666 minus the umask for a new one. RenameOver gives them, as far
  // as this process may set them, once the file has the target's name:
  // until then it keeps 0600, so that a save killed before its install
  // leaves a leftover the next save knows. Group permissions are dropped
  // when the group cannot be kept, so no other group gets to read it. 0 or
  // errno.
  int ApplyTargetMode(const std::string& target);
  // Likewise from the file target found (nothing: a new one), never from
  // what its name leads to by now.
  int ApplyTargetMode(const TargetState& target);
  // Forces the bytes to the disk. 0 or errno.
  int Sync();
  // Renames the file over target's final name in the folder it was made
  // in, which must be the one target decided on (EXDEV otherwise): when
  // target was missing only where nothing is now, else only while the name
  // still refers to target's file (EEXIST otherwise: see ChangedReason).
  // An existing target is exchanged with the file in one step and the file
  // that came out must be target's regular file (else the two are
  // exchanged back); only where the file system cannot exchange is the
  // name looked at before a plain rename. Then the file gets the mode
  // ApplyTargetMode decided, forced to the disk (where the file system
  // cannot exchange, before the rename); where that fails, what was at the
  // target's name is put back. ESTALE when the temporary name no longer
  // refers to the file this object created. On success the file is the
  // target, the old target is removed (only while the temporary name still
  // refers to it), and the file is no longer removed. 0 or errno.
  int RenameOver(const TargetState& target);
  // Unlinks the file (and for a database its journal) now, while the name
  // still refers to the file this object created.
  void Remove();

  // The name a save of target writes first.
  static std::string NameFor(const std::string& target) { return target + ".part"; }

 private:
  void Close();
  // Whether the temporary name still refers to the file of m_fd.
  bool NameIsOurs() const;
  // The two ways of RenameOver, to the target's last component leaf.
  int PlaceNew(const std::string& leaf);
  int ExchangeWith(const TargetState& target, const std::string& leaf);
  // Gives the file the mode (and owner) ApplyTargetMode decided and forces
  // it to the disk; nothing when none was decided. 0 or errno.
  int GiveDecidedMode();
  int CreateIn(int folder, const std::string& path, bool database);
  // ApplyTargetMode of the target whose status is st (null: a new one).
  int DecideModeOf(const struct stat* st, mode_t mode);
  std::string m_path;
  std::string m_open;  // see OpenPath
  std::string m_leaf;  // the last component of m_path
  bool m_database = false;
  int m_fd = -1;
  int m_dirFd = -1;    // the folder the file was created in
  int m_slot = -1;     // entry in the signal-time list
  bool m_modeDecided = false;
  mode_t m_mode = 0;
  std::optional<std::pair<uid_t, gid_t>> m_owner;  // the target's, when not the file's
};

// Puts the complete file of temp, already forced to the disk (Sync), in
// the place of target (in the same folder): refused with EEXIST when the
// name no longer leads there or the place changed (TargetState::Holds),
// with EBUSY while another program holds it, then the target's mode decided
// and the rename, which gives it (see RenameOver). 0 or errno; on failure
// the target is untouched.
int ReplaceWithTempFile(TempFile& temp, const TargetState& target);

// Unlinks every temporary file of live TempFile objects (and a database's
// journal) whose name still refers to the file the object created;
// async-signal-safe, for a handler that ends the process.
void RemovePendingTempFiles();

// The reason of the last failure, as one short line ("in use by another
// program", "writing failed: disk full", ...). The first reason set after a
// Clear stays; Take returns it and clears it.
void SetFailureReason(const std::string& reason);
std::string TakeFailureReason();
void ClearFailureReason();

// Reads of a document's parts that failed (a damaged database page, a
// failed query) since the process began. A save compares the count before
// and after it wrote the document: a part it could not read would be
// missing from the new file, so such a save fails and keeps the old one.
void CountReadFailure();
unsigned long ReadFailures();

// The reason for an errno of a failed file operation on a save target, and
// the save result it calls for (10 disk full, 11 not writable, 4 otherwise).
int SaveResultForErrno(int err);
std::string ReasonForErrno(int err);

}  // namespace quillery
