#include "save/SafeSave.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "base/FaultPoint.h"
#include "base/FileUtil.h"
#include "base/Log.h"
#include "save/InstallSection.h"

namespace quillery {
namespace {

// The lock that marks a temporary file as in use: an open-file-description
// record lock on one byte far beyond any file's end, which neither SQLite's
// own locks (at 1 GiB) nor the formats' flock locks touch, and which stays
// while SQLite opens and closes the same file in this process.
const off_t kLiveByte = static_cast<off_t>(1) << 40;

bool LockLive(int fd, bool wait) {
  struct flock fl;
  memset(&fl, 0, sizeof(fl));
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = kLiveByte;
  fl.l_len = 1;
  return fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == 0;
}

// Temporary files of live objects, for a signal handler: fixed storage,
// written only outside the handler while the slot's flag is 0. A slot
// keeps the descriptors of its object (the file and its folder), so the
// handler removes only a name that still refers to that file.
const int kSlots = 8;
const char kJournal[] = "-journal";
struct Slot {
  int fd;
  int dirFd;
  bool database;
  char leaf[NAME_MAX + 1];
};
Slot g_slots[kSlots];
volatile sig_atomic_t g_used[kSlots];

int TakeSlot(int fd, int dirFd, const std::string& leaf, bool database) {
  if (leaf.size() > NAME_MAX) return -1;
  for (int i = 0; i < kSlots; ++i) {
    if (g_used[i]) continue;
    g_slots[i].fd = fd;
    g_slots[i].dirFd = dirFd;
    g_slots[i].database = database;
    memcpy(g_slots[i].leaf, leaf.c_str(), leaf.size() + 1);
    g_used[i] = 1;
    return i;
  }
  return -1;
}

void FreeSlot(int slot) {
  if (slot >= 0) g_used[slot] = 0;
}

// Whether leaf in dirFd refers to the file open as fd. Async-signal-safe.
bool NameRefersTo(int fd, int dirFd, const char* leaf) {
  struct stat own, named;
  return fstat(fd, &own) == 0 && fstatat(dirFd, leaf, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         own.st_dev == named.st_dev && own.st_ino == named.st_ino;
}

// The name of the journal SQLite keeps beside leaf, in out (NAME_MAX + 1
// bytes); false when it would be longer than a name can be (so there is
// none). Async-signal-safe.
bool JournalName(const char* leaf, char* out) {
  const size_t n = strlen(leaf);
  if (n + sizeof(kJournal) > NAME_MAX + 1) return false;
  memcpy(out, leaf, n);
  memcpy(out + n, kJournal, sizeof(kJournal));
  return true;
}

// Unlinks the temporary file open as fd at leaf in dirFd, and for a
// database's file the journal beside it first (so that a stop in between
// leaves a leftover the next save recognises, not a lone journal), only
// while the name still refers to that file. Async-signal-safe.
void RemoveOwn(int fd, int dirFd, const char* leaf, bool database) {
  if (!NameRefersTo(fd, dirFd, leaf)) return;
  char journal[NAME_MAX + 1];
  if (database && JournalName(leaf, journal)) unlinkat(dirFd, journal, 0);
  unlinkat(dirFd, leaf, 0);
}

std::string g_reason;

// A temporary file is created with exactly this mode.
const mode_t kTempMode = 0600;

// Whether what st describes can be a temporary file of a save (one that
// died, unless a live save holds its lock): a regular file with one name,
// of this user, with the mode a save gives it while writing. The look is
// all there is to go by: a user's file that has it is taken for one.
bool LooksLikeTempFile(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == geteuid() && (st.st_mode & 07777) == kTempMode;
}


// The mode of a new file: 0666 minus the umask.
mode_t NewFileMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

}  // namespace

mode_t TargetMode(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return st.st_mode & 07777;
  return NewFileMode();
}

bool IsHeldByAnother(const std::string& path, int waitMs) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool held = false;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    held = true;
    for (int waited = 0;; waited += 50) {
      if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        flock(fd, LOCK_UN);
        held = false;
        break;
      }
      if (errno != EWOULDBLOCK && errno != EINTR) {
        held = false;  // no flock on this file system: nothing to respect
        break;
      }
      if (waited >= waitMs) break;
      usleep(50 * 1000);
    }
  }
  close(fd);
  return held;
}

TempFile::~TempFile() {
  if (m_fd >= 0) Remove();
}

void TempFile::Close() {
  // Out of the signal-time list before its descriptors go.
  FreeSlot(m_slot);
  m_slot = -1;
  if (m_fd >= 0) close(m_fd);
  if (m_dirFd >= 0) close(m_dirFd);
  m_fd = -1;
  m_dirFd = -1;
  m_open = m_path;  // the folder's descriptor is gone
}

bool TempFile::NameIsOurs() const { return NameRefersTo(m_fd, m_dirFd, m_leaf.c_str()); }

int TempFile::Create(const std::string& path, bool database) { return CreateIn(-1, path, database); }

int TempFile::Create(const TargetState& target, bool database) {
  return CreateIn(target.Folder(), NameFor(target.path), database);
}

int TempFile::CreateIn(int folder, const std::string& path, bool database) {
  if (m_fd >= 0) Remove();
  m_path = path;
  m_open = path;
  m_database = database;
  std::string dir;
  SplitFolderAndName(path, dir, m_leaf);
  if (m_leaf.empty()) return EISDIR;
  // Every later step (the create, the check before the rename, the rename
  // and the removal) works in this one folder, however its path changes:
  // the one the target decided on, where it holds one.
  const int dfd = folder >= 0 ? openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                              : open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) return errno;
  const char* leaf = m_leaf.c_str();
  char journal[NAME_MAX + 1];
  const bool hasJournalName = database && JournalName(leaf, journal);
  for (int attempt = 0; attempt < 3; ++attempt) {
    const int fd = openat(dfd, leaf, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kTempMode);
    if (fd >= 0) {
      if (!LockLive(fd, false)) {
        // Another process opened the new name and locked it first.
        close(fd);
        close(dfd);
        return EBUSY;
      }
      // The mode is what tells a leftover of a save from a user's file:
      // set whatever the umask took away.
      int e = fchmod(fd, kTempMode) == 0 ? 0 : errno;
      // SQLite would take a file at the journal's name for the new
      // database's journal (and remove or play it): it is not the save's.
      struct stat jst;
      const bool journalInTheWay = e == 0 && hasJournalName && fstatat(dfd, journal, &jst, AT_SYMLINK_NOFOLLOW) == 0;
      if (e != 0 || journalInTheWay) {
        RemoveOwn(fd, dfd, leaf, false);
        close(fd);
        close(dfd);
        if (!journalInTheWay) return e;
        xLog(LOG_ERROR, "Save: [%s%s] is in the way and was not left by a save\n", path.c_str(), kJournal);
        SetFailureReason(m_leaf + kJournal +
                         " is in the way (SQLite would take it for the journal of the new file): move it away");
        return EEXIST;
      }
      m_fd = fd;
      m_dirFd = dfd;
      m_open = PathInFolder(dfd, m_leaf, path);
      m_slot = TakeSlot(fd, dfd, m_leaf, database);
      return 0;
    }
    const int err = errno;
    if (err != EEXIST) {
      close(dfd);
      if (err == ENAMETOOLONG)
        SetFailureReason("the name is too long for the temporary file a save writes first (" + m_leaf + ")");
      return err;
    }
    // Something has the name: a leftover of a save that died (unlocked:
    // removed), a save that runs now, or anything else (stays).
    struct stat st;
    if (fstatat(dfd, leaf, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!LooksLikeTempFile(st)) break;
    const int old = openat(dfd, leaf, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (old < 0) {
      const int e = errno == ELOOP ? EEXIST : errno;
      close(dfd);
      return e;
    }
    struct stat ost;
    const bool same = fstat(old, &ost) == 0 && ost.st_dev == st.st_dev && ost.st_ino == st.st_ino;
    if (!LockLive(old, false)) {
      close(old);
      close(dfd);
      return EBUSY;
    }
    if (same && LooksLikeTempFile(ost)) {
      xLog(LOG_INFO, "Save: removing the leftover temporary file [%s]\n", path.c_str());
      // A database save's leftover may have its journal beside it: SQLite
      // gives a journal the mode and owner of its database, so only a file
      // that looks like the leftover goes with it. A native save never
      // made one, and removes none.
      struct stat jst;
      if (hasJournalName && fstatat(dfd, journal, &jst, AT_SYMLINK_NOFOLLOW) == 0 && LooksLikeTempFile(jst))
        unlinkat(dfd, journal, 0);
      RemoveOwn(old, dfd, leaf, false);
    }
    close(old);
  }
  // Whatever else is there was not made by a save: it stays, and is named.
  struct stat st;
  const bool seen = fstatat(dfd, leaf, &st, AT_SYMLINK_NOFOLLOW) == 0;
  close(dfd);
  const char* what = seen && S_ISDIR(st.st_mode)   ? " is in the way (a folder)"
                     : seen && S_ISLNK(st.st_mode) ? " is in the way (a symbolic link)"
                                                   : " is in the way (not a temporary file of a save)";
  xLog(LOG_ERROR, "Save: [%s] is in the way and was not made by a save\n", path.c_str());
  SetFailureReason(m_leaf + what + ": move it away");
  return EEXIST;
}

int TempFile::ApplyTargetMode(const std::string& target) {
  struct stat st;
  const bool found = stat(target.c_str(), &st) == 0;
  return DecideModeOf(found ? &st : nullptr, TargetMode(target));
}

int TempFile::ApplyTargetMode(const TargetState& target) {
  struct stat st;
  if (target.StatFound(st)) return DecideModeOf(&st, st.st_mode & 07777);
  // A new file (or one found with no descriptor to spare: the look then).
  return target.exists ? ApplyTargetMode(target.path) : DecideModeOf(nullptr, NewFileMode());
}

int TempFile::DecideModeOf(const struct stat* st, mode_t mode) {
  if (m_fd < 0) return EBADF;
  m_mode = mode;
  m_modeDecided = true;
  m_owner.reset();
  struct stat own;
  if (st && fstat(m_fd, &own) == 0 && (own.st_uid != st->st_uid || own.st_gid != st->st_gid))
    m_owner = std::make_pair(st->st_uid, st->st_gid);
  return 0;
}

int TempFile::GiveDecidedMode() {
  if (!m_modeDecided) return 0;
  mode_t mode = m_mode;
  struct stat own;
  if (m_owner && fstat(m_fd, &own) == 0) {
    // The owner too where the process may give it (root rewriting another
    // user's file in place), else at least the group.
    const uid_t uid = m_owner->first;
    const gid_t gid = m_owner->second;
    const bool kept =
        fchown(m_fd, uid, gid) == 0 || own.st_gid == gid || fchown(m_fd, static_cast<uid_t>(-1), gid) == 0;
    if (!kept) mode &= ~static_cast<mode_t>(070);
  }
  // On the disk with the name: a crash after the save must not bring the
  // file back with the mode it was written with.
  if (fchmod(m_fd, mode) != 0 || fsync(m_fd) != 0) return errno;
  return 0;
}

int TempFile::Sync() {
  if (m_fd < 0) return EBADF;
  return fsync(m_fd) == 0 ? 0 : errno;
}

int TempFile::RenameOver(const TargetState& target) {
  if (m_fd < 0) return EBADF;
  std::string dir, leaf, ownDir, ownLeaf;
  SplitFolderAndName(target.path, dir, leaf);
  SplitFolderAndName(m_path, ownDir, ownLeaf);
  // The temporary file lives beside its target: in the folder the target
  // decided on, where it holds one.
  struct stat own, decided;
  const bool beside = target.Folder() >= 0 ? fstat(m_dirFd, &own) == 0 && fstat(target.Folder(), &decided) == 0 &&
                                                 own.st_dev == decided.st_dev && own.st_ino == decided.st_ino
                                           : dir == ownDir;
  if (!beside || leaf.empty()) return EXDEV;
  // Another program that can write the folder may have put something else
  // under the temporary name: that is never installed.
  if (!NameIsOurs()) {
    xLog(LOG_ERROR, "Save: [%s] is no longer the file this save wrote\n", m_path.c_str());
    return ESTALE;
  }
  InstallSection install;
  const int rc = target.exists ? ExchangeWith(target, leaf) : PlaceNew(leaf);
  if (rc != 0) return rc;
  install.Commit();
  // The folder entry must be on the disk as well as the bytes.
  fsync(m_dirFd);
  Close();
  return 0;
}

namespace {

// Moves from to the free name to in dirFd, never over another file. 0 or errno.
int MoveToFreeName(int dirFd, const char* from, const char* to) {
  int rc = renameat2(dirFd, from, dirFd, to, RENAME_NOREPLACE);
  if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
    // A file system without that flag: a hard link never replaces a name.
    rc = linkat(dirFd, from, dirFd, to, 0);
    if (rc == 0) unlinkat(dirFd, from, 0);
  }
  return rc == 0 ? 0 : errno;
}

}  // namespace

int TempFile::PlaceNew(const std::string& leaf) {
  if (const int e = MoveToFreeName(m_dirFd, m_leaf.c_str(), leaf.c_str())) return e;
  const int e = GiveDecidedMode();
  if (e != 0 && MoveToFreeName(m_dirFd, leaf.c_str(), m_leaf.c_str()) != 0)
    xLog(LOG_ERROR, "Save: [%s] could not be given its mode nor taken back: %s\n", leaf.c_str(), strerror(e));
  return e;
}

int TempFile::ExchangeWith(const TargetState& target, const std::string& leaf) {
  const char* own = m_leaf.c_str();
  // Only the regular file the save found there is replaced.
  const int rc = ExchangeDecided(m_dirFd, m_leaf, m_dirFd, leaf, target, S_IFREG);
  if (rc == EINVAL || rc == ENOSYS) {
    // A file system that cannot exchange: a look, then a rename, which
    // nothing could undo; so the mode comes first there.
    if (const int e = GiveDecidedMode()) return e;
    if (!target.IsAt(m_dirFd, leaf, S_IFREG)) return EEXIST;
    return renameat(m_dirFd, own, m_dirFd, leaf.c_str()) == 0 ? 0 : errno;
  }
  if (rc != 0) return rc;
  // The mode is given only now that the file has the target's name: until
  // then it has the one that tells a killed save's leftover. Where it
  // cannot be given, the replaced file is put back.
  if (const int e = GiveDecidedMode()) {
    if (renameat2(m_dirFd, own, m_dirFd, leaf.c_str(), RENAME_EXCHANGE) != 0)
      xLog(LOG_ERROR, "Save: [%s] could not be given its mode nor put back: %s\n", target.path.c_str(),
           strerror(e));
    return e;
  }
  // The old target, now under the temporary name, is what the save
  // replaces, and goes, only while that name is still it (held open by
  // target, its number is no other file's): another save may have taken
  // it for a leftover and made its own file there, or the user put one
  // there. A stop cannot come between (the install section holds a hard
  // stop; the signal-time list removes only this object's own file, which
  // that is not); a kill leaves it there, with its own mode: a file no
  // save takes for its leftover unless it looks like one.
  FaultPoint("replaced-file");
  if (!target.IsAt(m_dirFd, m_leaf, S_IFREG))
    xLog(LOG_WARNING, "Save: [%s] is no longer the replaced file; it stays\n", m_path.c_str());
  else if (unlinkat(m_dirFd, own, 0) != 0)
    xLog(LOG_ERROR, "Save: the replaced file, now at [%s], could not be removed: %s\n", m_path.c_str(),
         strerror(errno));
  return 0;
}

void TempFile::Remove() {
  if (m_fd < 0) return;
  // Only the file this object made goes; a name another program has taken
  // over since is left alone (and so is the journal beside it).
  RemoveOwn(m_fd, m_dirFd, m_leaf.c_str(), m_database);
  Close();
}

void RemovePendingTempFiles() {
  for (int i = 0; i < kSlots; ++i)
    if (g_used[i]) RemoveOwn(g_slots[i].fd, g_slots[i].dirFd, g_slots[i].leaf, g_slots[i].database);
}

void SetFailureReason(const std::string& reason) {
  if (g_reason.empty()) g_reason = reason;
}

std::string TakeFailureReason() {
  std::string r;
  r.swap(g_reason);
  return r;
}

void ClearFailureReason() { g_reason.clear(); }

namespace {
unsigned long g_readFailures = 0;
}  // namespace

void CountReadFailure() { ++g_readFailures; }
unsigned long ReadFailures() { return g_readFailures; }

int ReplaceWithTempFile(TempFile& temp, const TargetState& target) {
  // A look first, so that nothing below reads through a link made meanwhile
  // (the rename itself never follows one).
  if (!target.Holds()) return EEXIST;
  int err = IsHeldByAnother(target.path, 1000) ? EBUSY : 0;
  if (err == 0) err = temp.ApplyTargetMode(target);
  if (err == 0) err = temp.RenameOver(target);
  return err;
}

int SaveResultForErrno(int err) {
  switch (err) {
    case ENOSPC:
    case EFBIG:
    case EDQUOT:
      return 10;  // writing failed
    case EACCES:
    case EPERM:
    case EROFS:
      return 11;  // not writable
    default:
      return 4;  // cannot be opened
  }
}

std::string ReasonForErrno(int err) {
  switch (err) {
    case ENOSPC:
      return "writing failed: disk full";
    case EDQUOT:
      return "writing failed: disk quota exceeded";
    case EFBIG:
      return "writing failed: the file would exceed the file-size limit";
    case EMFILE:
    case ENFILE:
      return "too many open files";
    case EBUSY:
      return "in use by another program";
    case ESTALE:
      return "its temporary file was replaced by another program";
    default:
      return strerror(err);
  }
}

}  // namespace quillery
