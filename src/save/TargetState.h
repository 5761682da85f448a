#pragma once

// What a save decided at its start about its target: where the name led and
// what was there (TargetState), and the one exchange that installs over it.

#include <sys/stat.h>
#include <sys/types.h>

#include <memory>
#include <string>

namespace quillery {

// The path a write to path must replace: the last component's symbolic
// links followed (a relative link is read from the link's folder); path
// itself when it is no link. A dangling link gives the missing file it names.
std::string FinalPath(const std::string& path);

// What a save found at its target before it began, and so the one thing
// its install may replace: nothing, for a target that was missing (a file
// that appears at the name meanwhile stays, and the install fails), or the
// file (or folder) of that device, inode and type, only while the name
// still refers to it. Decided once, as early as the caller can (a host
// before it loads the input), so that a file put there during a long load
// is never replaced.
//
// Where the name led is decided then too: the folder of the final path is
// held open, and the save makes its temporary file in that folder and
// installs it there under the final name, however the path to it changes.
// A symbolic link made at the name or on its way meanwhile is never
// followed: the name no longer leads to the place decided (Leads), and the
// install fails, leaving it; a link that was there at the start is
// followed, as the path is.
//
// The object found and the folder are kept open (descriptors shared by
// every copy of the state, closed with the last copy) until the install:
// while it is open its inode number cannot be given to another file, so a
// file deleted and made again at the name never passes for the one found.
// Copies may be made and compared on any thread; the descriptors are never
// used for I/O.
struct TargetState {
  std::string path;  // the final path (FinalPath) of the name given
  std::string name;  // the name given, which failures name
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  mode_t type = 0;  // st_mode & S_IFMT of what exists

  // The state of the name's final path now.
  static TargetState Of(const std::string& name);
  // The state of path itself now, a symbolic link there not followed: for
  // a folder's place, which a link never stands in for.
  static TargetState OfEntry(const std::string& path);
  // Whether both name the same file, or both no file.
  bool SameFileAs(const TargetState& other) const {
    return exists == other.exists &&
           (!exists || (dev == other.dev && ino == other.ino && type == other.type));
  }
  // Whether the name given still leads to the place decided: the same last
  // component in the same folder (a look, nothing opened).
  bool Leads() const;
  // Whether the name still leads there and the place is still in this
  // state (a look, nothing opened).
  bool Holds() const;
  // Whether name (relative to dirFd, or AT_FDCWD; a link not followed) is
  // now the object found, and that object is of type wanted (S_IFREG,
  // S_IFDIR). False for a state of nothing.
  bool IsAt(int dirFd, const std::string& name, mode_t wanted) const;
  // The failure reason when it no longer is, naming the name given
  // (kind: "file", or "folder" for a folder's place).
  std::string ChangedReason(const char* kind = "file") const;
  // The status of the object found, through its descriptor (so never of
  // another file at the name by now); false for nothing.
  bool StatFound(struct stat& st) const;
  // The folder decided on, held open (O_PATH), or -1 when there was none.
  int Folder() const;
  // The last component of the final path.
  const std::string& Leaf() const { return m_leaf; }

 private:
  struct Held;
  std::shared_ptr<const Held> m_held;    // the object found, open; null for nothing
  std::shared_ptr<const Held> m_folder;  // the folder of the final path, open; null when none
  dev_t m_folderDev = 0;
  ino_t m_folderIno = 0;
  std::string m_leaf;
  bool m_entry = false;  // made by OfEntry: a link at the name is not followed
};

// A path that reaches leaf in the folder open as dirFd whatever becomes of
// the folder's own path (through /proc/self/fd), for what opens files by
// name (SQLite, a folder's walk); otherwise where /proc is not there. Valid
// while dirFd stays open.
std::string PathInFolder(int dirFd, const std::string& leaf, const std::string& otherwise);

// Exchanges the names from and to (each relative to its folder's
// descriptor, or AT_FDCWD) in one step, to put from in place of what the
// save decided to replace at to. What comes out (now at from) must be that
// file or folder, of type wanted: else the two are exchanged back, and
// EEXIST (where even that fails, the failure reason says where each now
// is). EINVAL or ENOSYS when the file system cannot exchange (the caller
// falls back to a look and a rename); 0 or errno.
int ExchangeDecided(int fromDir, const std::string& from, int toDir, const std::string& to,
                    const TargetState& decided, mode_t wanted);

}  // namespace quillery
