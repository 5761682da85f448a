#include "save/TargetState.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "base/FileUtil.h"
#include "base/Log.h"
#include "save/SafeSave.h"

namespace quillery {

std::string FinalPath(const std::string& path) {
  std::string p = path;
  for (int hops = 0; hops < 40; ++hops) {
    char buf[PATH_MAX];
    const ssize_t n = readlink(p.c_str(), buf, sizeof(buf) - 1);
    if (n <= 0) return p;
    std::string link(buf, static_cast<size_t>(n));
    if (link[0] != '/') {
      const size_t slash = p.rfind('/');
      if (slash != std::string::npos) link = p.substr(0, slash + 1) + link;
    }
    p = link;
  }
  return p;  // a loop of links: opening it fails with ELOOP
}

// The object a state found, held open until the last copy of the state
// goes. O_PATH: it needs no read permission (only the folders' search),
// opens no FIFO or device for I/O, and closing it leaves the process's
// POSIX record locks on the file alone (closing any other descriptor of a
// database would drop the locks SQLite holds on it through its own).
struct TargetState::Held {
  explicit Held(int f) : fd(f) {}
  ~Held() { close(fd); }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  const int fd;
};

TargetState TargetState::Of(const std::string& name) {
  TargetState state = OfEntry(FinalPath(name));
  state.name = name;
  state.m_entry = false;
  return state;
}

TargetState TargetState::OfEntry(const std::string& path) {
  TargetState state;
  state.path = path;
  state.name = path;
  state.m_entry = true;
  std::string dir;
  SplitFolderAndName(path, dir, state.m_leaf);
  struct stat st;
  // The folder first: what is found is then looked for in it, not at a
  // path that may lead elsewhere by the time it is opened.
  int folder = state.m_leaf.empty() ? -1 : open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0 && fstat(folder, &st) == 0) {
    state.m_folder = std::make_shared<Held>(folder);
    state.m_folderDev = st.st_dev;
    state.m_folderIno = st.st_ino;
  } else if (folder >= 0) {
    close(folder);
    folder = -1;
  }
  const int at = folder >= 0 ? folder : AT_FDCWD;
  const char* name = folder >= 0 ? state.m_leaf.c_str() : path.c_str();
  const int fd = openat(at, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0 && fstat(fd, &st) == 0) {
    state.m_held = std::make_shared<Held>(fd);
  } else {
    if (fd >= 0) close(fd);
    // Nothing there, or no descriptor to spare (the save that follows
    // needs more and fails): then the look is all there is.
    if (fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return state;
  }
  state.exists = true;
  state.dev = st.st_dev;
  state.ino = st.st_ino;
  state.type = st.st_mode & S_IFMT;
  return state;
}

int TargetState::Folder() const { return m_folder ? m_folder->fd : -1; }

bool TargetState::StatFound(struct stat& st) const { return m_held && fstat(m_held->fd, &st) == 0; }

bool TargetState::Leads() const {
  // The name is resolved again as it was at the start; its folder is
  // followed wherever a link on the way now leads.
  std::string dir, leaf;
  SplitFolderAndName(m_entry ? name : FinalPath(name), dir, leaf);
  struct stat st;
  const bool there = stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  if (!m_folder) return !there;  // none then, none now
  return there && leaf == m_leaf && st.st_dev == m_folderDev && st.st_ino == m_folderIno;
}

bool TargetState::Holds() const {
  if (!Leads()) return false;  // a link put at the name or on its way meanwhile
  const int at = m_folder ? m_folder->fd : AT_FDCWD;
  const std::string& entry = m_folder ? m_leaf : path;
  struct stat st;
  return exists ? IsAt(at, entry, type) : fstatat(at, entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0;
}

bool TargetState::IsAt(int dirFd, const std::string& name, mode_t wanted) const {
  // The object found is held open: no other file has its number.
  struct stat st;
  return exists && type == wanted && fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
         st.st_dev == dev && st.st_ino == ino && (st.st_mode & S_IFMT) == type;
}

std::string TargetState::ChangedReason(const char* kind) const {
  const std::string& given = name.empty() ? path : name;
  if (!Leads()) {
    const std::string now = m_entry ? given : FinalPath(given);
    return given + " no longer leads where it did when the save began (a symbolic link at it or on its way " +
           "changed meanwhile" + (now != given && now != path ? "; it leads to " + now + " now" : std::string()) +
           "); it was left as it is";
  }
  if (exists) return given + " is no longer the " + kind + " it was when the save began; it was left as it is";
  // Said as what is there now, in the place decided.
  struct stat st;
  const bool seen = m_folder ? fstatat(m_folder->fd, m_leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0
                             : lstat(path.c_str(), &st) == 0;
  const std::string what = !seen                  ? std::string("a ") + kind
                           : S_ISLNK(st.st_mode) ? "a symbolic link"
                           : S_ISDIR(st.st_mode) ? "a folder"
                                                 : "a file";
  return what + " appeared at " + given + " meanwhile; it was left as it is";
}

std::string PathInFolder(int dirFd, const std::string& leaf, const std::string& otherwise) {
  static const bool kProc = access("/proc/self/fd", X_OK) == 0;
  if (!kProc || dirFd < 0) return otherwise;
  return "/proc/self/fd/" + std::to_string(dirFd) + "/" + leaf;
}

int ExchangeDecided(int fromDir, const std::string& from, int toDir, const std::string& to,
                    const TargetState& decided, mode_t wanted) {
  // Only after the exchange is what came out looked at: a file or folder
  // moved onto the place at any moment before is never replaced, it is put
  // back.
  if (renameat2(fromDir, from.c_str(), toDir, to.c_str(), RENAME_EXCHANGE) != 0) return errno;
  if (decided.IsAt(fromDir, from, wanted)) return 0;
  if (renameat2(fromDir, from.c_str(), toDir, to.c_str(), RENAME_EXCHANGE) != 0) {
    // Both names stay taken, each by the other's: the reason says where.
    const int err = errno;
    const char* kind = wanted == S_IFDIR ? "folder" : "file";
    std::string folder, placeLeaf, fromLeaf;
    SplitFolderAndName(decided.path, folder, placeLeaf);
    SplitFolderAndName(from, folder, fromLeaf);
    xLog(LOG_ERROR, "Save: what was at [%s] could not be put back from [%s]: %s\n", to.c_str(), from.c_str(),
         strerror(err));
    SetFailureReason((decided.name.empty() ? decided.path : decided.name) + " is no longer the " + kind +
                     " it was when the save began and could not be put back (" + strerror(err) +
                     "): it is now at " + fromLeaf + ", the new " + kind + " at " + placeLeaf);
  }
  return EEXIST;
}

}  // namespace quillery
