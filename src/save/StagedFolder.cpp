#include "save/StagedFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <glib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/FileUtil.h"
#include "base/Log.h"
#include "save/SafeSave.h"

namespace quillery {

namespace {

const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
const size_t kSuffixLength = 6;
const char kAside[] = "-old";
// The marker a run writes into its build folder first. Its content names
// the folder it was written into, so a copy of the folder carries no valid
// marker.
const char kMarker[] = ".quillery-staging";

int RemoveEntry(const char* path, const struct stat*, int, struct FTW* ftw) {
  // The top and its marker go after the walk (RemoveFolderTree).
  if (ftw->level == 0 || (ftw->level == 1 && strcmp(path + ftw->base, kMarker) == 0)) return 0;
  // Depth first, so a folder is empty when its turn comes; an entry that
  // stays is reported by the folder above it.
  remove(path);
  return 0;
}

thread_local int t_syncError = 0;

int SyncEntry(const char* path, const struct stat*, int type, struct FTW*) {
  if (type != FTW_F && type != FTW_DP) return 0;  // links are never followed; nothing else is ours
  const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | (type == FTW_DP ? O_DIRECTORY : 0));
  if (fd < 0 || fsync(fd) != 0) {
    t_syncError = errno;
    if (fd >= 0) close(fd);
    return 1;  // stops the walk: the build is not on the disk
  }
  close(fd);
  return 0;
}

std::string MarkerText(int dirFd) {
  struct stat st;
  if (fstat(dirFd, &st) != 0) return std::string();
  return "staging folder " + std::to_string(st.st_dev) + " " + std::to_string(st.st_ino) + "\n";
}

bool Mark(int dirFd) {
  const std::string text = MarkerText(dirFd);
  const int fd = openat(dirFd, kMarker, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (text.empty() || fd < 0) {
    if (fd >= 0) close(fd);
    return false;
  }
  const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return close(fd) == 0 && ok;
}

bool IsMarked(int dirFd) {
  const std::string text = MarkerText(dirFd);
  const int fd = openat(dirFd, kMarker, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (text.empty() || fd < 0) {
    if (fd >= 0) close(fd);
    return false;
  }
  char buf[128];
  const ssize_t n = read(fd, buf, sizeof(buf));
  close(fd);
  return n == static_cast<ssize_t>(text.size()) && text.compare(0, text.size(), buf, static_cast<size_t>(n)) == 0;
}

void Unmark(int dirFd) {
  if (dirFd >= 0) unlinkat(dirFd, kMarker, 0);
}

// Opens the folder at path (never through a link) and locks it for this
// run; -1 when it is missing or another run holds it.
int LockFolder(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Renames from to to only where nothing is; 0 or errno (EEXIST when
// something is there).
int RenameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  int err = errno;
  struct stat st;
  if (err == EINVAL || err == ENOSYS)
    err = lstat(to.c_str(), &st) == 0 ? EEXIST : rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
  return err;
}

// Renames from to to in place of the folder decided on: the two swap
// places, and what came out (now at from) must be that folder, else they
// swap back (EEXIST). Some file systems cannot swap: there the folder at to
// is moved aside (to aside) only while it is the one decided on, checked
// again once it is there, and put back when the rename fails.
int SwapInto(const std::string& from, const std::string& to, const std::string& aside, const TargetState& decided,
             bool& swapped) {
  const int rc = ExchangeDecided(AT_FDCWD, from, AT_FDCWD, to, decided, S_IFDIR);
  swapped = rc == 0;
  if (rc != EINVAL && rc != ENOSYS) return rc;
  if (!decided.IsAt(AT_FDCWD, to, S_IFDIR)) return EEXIST;
  if (rename(to.c_str(), aside.c_str()) != 0) return errno;
  int err = decided.IsAt(AT_FDCWD, aside, S_IFDIR) ? RenameNoReplace(from, to) : EEXIST;
  if (err != 0 && RenameNoReplace(aside, to) != 0)
    xLog(LOG_ERROR, "Save: cannot put [%s] back in [%s]\n", aside.c_str(), to.c_str());
  return err;
}

// Whether name is leaf's staging name: ".part-" and six of kLetters,
// optionally followed by the aside mark.
bool IsStagingName(const std::string& name, const std::string& leaf) {
  const std::string prefix = leaf + ".part-";
  if (name.size() < prefix.size() + kSuffixLength || name.compare(0, prefix.size(), prefix) != 0) return false;
  const std::string letters = name.substr(prefix.size(), kSuffixLength);
  const std::string rest = name.substr(prefix.size() + kSuffixLength);
  return letters.find_first_not_of(kLetters) == std::string::npos && (rest.empty() || rest == kAside);
}

}  // namespace

bool RemoveFolderTree(const std::string& path) {
  nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  // The marker last: a removal killed halfway leaves a folder that the
  // next run still tells for a leftover of its own, and removes.
  unlinkat(AT_FDCWD, (path + "/" + kMarker).c_str(), 0);
  remove(path.c_str());
  struct stat st;
  return lstat(path.c_str(), &st) != 0 && errno == ENOENT;
}

std::string StagedFolder::FailureReason(const std::string& name, int err) {
  if (err == ENOTDIR) return name + " is in the way (not a folder)";
  return ReasonForErrno(err);
}

StagedFolder::~StagedFolder() {
  Discard();
  RemoveReplaced();
}

std::string StagedFolder::Name() const {
  std::string dir, leaf;
  SplitFolderAndName(m_final, dir, leaf);
  return leaf;
}

int StagedFolder::Begin(const std::string& finalDir, const TargetState& decided) {
  Discard();
  RemoveReplaced();
  m_final = finalDir.size() > 1 && finalDir.back() == '/' ? finalDir.substr(0, finalDir.size() - 1) : finalDir;
  // Every step from here works in the folder the place is in now, however
  // its path changes (a link made on the way is not followed).
  m_place = TargetState::OfEntry(m_final);
  m_final = PathInFolder(m_place.Folder(), m_place.Leaf(), m_final);
  m_decided = decided;
  m_decided.path = m_final;
  RemoveLeftovers();
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = m_final + ".part-";
    for (size_t i = 0; i < kSuffixLength; ++i) name += kLetters[g_random_int_range(0, sizeof(kLetters) - 1)];
    if (mkdir(name.c_str(), 0777) != 0) {
      if (errno == EEXIST) continue;
      return errno;
    }
    // The marker first: a run killed from here on leaves a folder that the
    // next run can tell for its own.
    m_lock = LockFolder(name);
    if (m_lock < 0 || !Mark(m_lock)) {
      const int err = errno ? errno : EIO;
      RemoveFolderTree(name);
      Unlock();
      return err;
    }
    m_build = name + "/";
    return 0;
  }
  return EEXIST;
}

void StagedFolder::RemoveLeftovers() {
  // Only the folders of runs that were killed: no running export holds
  // their lock, and they carry the marker that names them.
  std::string dir, leaf;
  SplitFolderAndName(m_final, dir, leaf);
  std::vector<std::string> found;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d))
      if (IsStagingName(e->d_name, leaf)) found.push_back(dir + "/" + e->d_name);
    closedir(d);
  }
  for (const std::string& path : found) {
    const int fd = LockFolder(path);
    if (fd < 0) continue;
    if (IsMarked(fd)) {
      xLog(LOG_INFO, "Save: removing the leftover folder [%s]\n", path.c_str());
      RemoveFolderTree(path);
    } else {
      xLog(LOG_INFO, "Save: [%s] was not made by a save; it stays\n", path.c_str());
    }
    close(fd);
  }
}

int StagedFolder::Finish() {
  if (m_build.empty()) return 0;
  t_syncError = 0;
  if (nftw(m_build.c_str(), SyncEntry, 16, FTW_DEPTH | FTW_PHYS) != 0 && t_syncError == 0) t_syncError = errno;
  if (t_syncError != 0) {
    xLog(LOG_ERROR, "Save: flushing [%s] to disk failed: %s\n", m_build.c_str(), strerror(t_syncError));
    SetFailureReason(ReasonForErrno(t_syncError));
  }
  return t_syncError;
}

int StagedFolder::Install() {
  if (m_build.empty() || m_installed) return 0;
  const std::string build = m_build.substr(0, m_build.size() - 1);
  int err = 0;
  m_swapped = false;
  if (!m_decided.exists) {
    err = RenameNoReplace(build, m_final);
  } else if (!m_decided.IsAt(AT_FDCWD, m_final, m_decided.type)) {
    err = EEXIST;
  } else if (m_decided.type != S_IFDIR) {
    err = ENOTDIR;
  } else {
    // The folder moved out of the place is marked first, so that a kill
    // before it is removed leaves a folder the next run removes; a folder
    // swapped in meanwhile is not marked.
    const int old = open(m_final.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat ost;
    if (old >= 0 && (fstat(old, &ost) != 0 || ost.st_dev != m_decided.dev || ost.st_ino != m_decided.ino)) {
      err = EEXIST;
    } else {
      const bool marked = old >= 0 && Mark(old);
      err = SwapInto(build, m_final, build + kAside, m_decided, m_swapped);
      if (err == 0) m_replaced = m_swapped ? build : build + kAside;
      if (err != 0 && marked) Unmark(old);
    }
    if (old >= 0) close(old);
  }
  if (err != 0) {
    xLog(LOG_ERROR, "Save: cannot put the folder [%s] in place: %s\n", m_final.c_str(), strerror(err));
    SetFailureReason(err == EEXIST ? m_decided.ChangedReason("folder") : FailureReason(Name(), err));
    return err;
  }
  m_installed = true;
  return 0;
}

void StagedFolder::Commit() {
  if (!m_installed) return;
  m_installed = false;
  // The folder in its place is no staging folder any more.
  Unmark(m_lock);
  if (m_lock >= 0) fsync(m_lock);
  m_build.clear();
  Unlock();
}

int StagedFolder::Undo() {
  if (!m_installed) return 0;
  m_installed = false;
  const std::string build = m_build.substr(0, m_build.size() - 1);
  int err = 0;
  if (m_replaced.empty()) {
    // A new folder goes only while the place still holds it.
    struct stat own, placed;
    if (fstat(m_lock, &own) != 0 || lstat(m_final.c_str(), &placed) != 0 || own.st_ino != placed.st_ino ||
        own.st_dev != placed.st_dev)
      err = ESTALE;
    else
      err = RenameNoReplace(m_final, build);
  } else if (m_swapped) {
    if (renameat2(AT_FDCWD, m_replaced.c_str(), AT_FDCWD, m_final.c_str(), RENAME_EXCHANGE) != 0) err = errno;
  } else if (rename(m_final.c_str(), build.c_str()) != 0 || rename(m_replaced.c_str(), m_final.c_str()) != 0) {
    err = errno;
  }
  if (err != 0) {
    xLog(LOG_ERROR, "Save: cannot take the folder [%s] back: %s\n", m_final.c_str(), strerror(err));
    // What is where is unknown now: nothing more is moved or removed.
    m_build.clear();
    m_replaced.clear();
    Unlock();
    return err;
  }
  if (!m_replaced.empty()) {
    const int old = open(m_final.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    Unmark(old);
    if (old >= 0) close(old);
  }
  m_replaced.clear();
  return 0;
}

void StagedFolder::Discard() {
  if (m_installed && Undo() != 0) return;
  if (m_build.empty()) return;
  // Only the folder this run made: after a swap that could not be taken
  // back, another folder may have the build's name.
  const std::string build = m_build.substr(0, m_build.size() - 1);
  struct stat own, named;
  if (m_lock < 0 || fstat(m_lock, &own) != 0 || lstat(build.c_str(), &named) != 0 || own.st_dev != named.st_dev ||
      own.st_ino != named.st_ino)
    xLog(LOG_ERROR, "Save: [%s] is not the folder this save built; it stays\n", build.c_str());
  else if (!RemoveFolderTree(build))
    xLog(LOG_ERROR, "Save: cannot remove [%s]\n", m_build.c_str());
  m_build.clear();
  Unlock();
}

void StagedFolder::Unlock() {
  if (m_lock >= 0) close(m_lock);
  m_lock = -1;
}

void StagedFolder::RemoveReplaced() {
  if (m_replaced.empty() || m_installed) return;
  // Only while the name still is the folder replaced (held open by the
  // decided state, its number is no other folder's).
  if (!m_decided.IsAt(AT_FDCWD, m_replaced, S_IFDIR))
    xLog(LOG_WARNING, "Save: [%s] is no longer the replaced folder; it stays\n", m_replaced.c_str());
  else if (!RemoveFolderTree(m_replaced))
    xLog(LOG_ERROR, "Save: cannot remove [%s]\n", m_replaced.c_str());
  m_replaced.clear();
}

}  // namespace quillery
