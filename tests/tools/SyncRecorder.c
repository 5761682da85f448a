/* A library preloaded into the host by its save tests: it records which file
 * each fsync or fdatasync forced to the disk and which file each rename or
 * link moved into place, as the (device, inode) of the file, so that a test
 * can tell whether the bytes a save gave a name were on the disk first.
 *
 * Each call that succeeds appends one line to the file named by
 * QY_SYNC_LOG (nothing is recorded without it):
 *   "sync DEV INO"               after a successful fsync or fdatasync;
 *   "move DEV INO FROM -> TO"    after a successful rename, renameat,
 *                                renameat2, link or linkat; the inode is
 *                                the source's, taken (without following a
 *                                link) just before the call, 0 0 when it
 *                                could not be taken.
 * Each line is one write to a file opened with O_APPEND, so lines of several
 * threads never mix and each line is in the log before its call returns.
 * errno is what the real call left. The real functions are looked up when
 * the library is loaded (and again by a call that comes earlier).
 *
 * It also signals the host at a fixed point: with QY_RAISE_AFTER set to
 * "sync:SUFFIX" or "move:SUFFIX", the calling thread raises the signal
 * QY_RAISE_SIGNAL (a number; SIGINT without it) once, right after the
 * first successful sync of a file whose path ends in SUFFIX, or move to
 * such a path, so that it lands before the call returns to the host.
 * With QY_RAISE_BEFORE set to "move:SUFFIX" it raises the signal once right
 * before the first move to such a path instead (the move then does not
 * happen unless the signal lets the host go on).
 *
 * With QY_NO_EXCHANGE set, a renameat2 asked to exchange two names fails
 * with EINVAL, as on a file system that cannot exchange. */

#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static void Record(const char* what, const struct stat* st, const char* from, const char* to) {
  const char* log = getenv("QY_SYNC_LOG");
  if (!log) return;
  const int saved = errno;
  char line[8192];
  int n = snprintf(line, sizeof(line), "%s %llu %llu", what, (unsigned long long)st->st_dev,
                   (unsigned long long)st->st_ino);
  if (from && n > 0 && (size_t)n < sizeof(line))
    n += snprintf(line + n, sizeof(line) - (size_t)n, " %s -> %s", from, to);
  if (n > 0 && (size_t)n < sizeof(line) - 1) {
    line[n++] = '\n';
    const int fd = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
      if (write(fd, line, (size_t)n) != n) { /* the test sees a line missing */ }
      close(fd);
    }
  }
  errno = saved;
}

static int g_raised;

/* Raises the signal once when what ("sync" or "move") and path match the
 * setting named var (QY_RAISE_AFTER, QY_RAISE_BEFORE). */
static void MaybeRaise(const char* var, const char* what, const char* path) {
  const char* spec = getenv(var);
  const char* sig = getenv("QY_RAISE_SIGNAL");
  const size_t n = strlen(what);
  if (g_raised || !spec || !path || strncmp(spec, what, n) != 0 || spec[n] != ':') return;
  const char* suffix = spec + n + 1;
  const size_t len = strlen(path), slen = strlen(suffix);
  if (len < slen || strcmp(path + len - slen, suffix) != 0) return;
  g_raised = 1;
  const int saved = errno;
  raise(sig ? atoi(sig) : SIGINT);
  errno = saved;
}

typedef int (*SyncFn)(int);
typedef int (*RenameFn)(const char*, const char*);
typedef int (*RenameAtFn)(int, const char*, int, const char*);
typedef int (*Rename2Fn)(int, const char*, int, const char*, unsigned int);
typedef int (*LinkAtFn)(int, const char*, int, const char*, int);

static SyncFn g_fsync, g_fdatasync;
static RenameFn g_rename, g_link;
static RenameAtFn g_renameat;
static Rename2Fn g_renameat2;
static LinkAtFn g_linkat;

__attribute__((constructor)) static void FindRealFunctions(void) {
  g_fsync = (SyncFn)dlsym(RTLD_NEXT, "fsync");
  g_fdatasync = (SyncFn)dlsym(RTLD_NEXT, "fdatasync");
  g_rename = (RenameFn)dlsym(RTLD_NEXT, "rename");
  g_link = (RenameFn)dlsym(RTLD_NEXT, "link");
  g_renameat = (RenameAtFn)dlsym(RTLD_NEXT, "renameat");
  g_renameat2 = (Rename2Fn)dlsym(RTLD_NEXT, "renameat2");
  g_linkat = (LinkAtFn)dlsym(RTLD_NEXT, "linkat");
}

#define REAL(fn) (g_##fn ? g_##fn : (FindRealFunctions(), g_##fn))

static void RecordSync(int fd) {
  struct stat st;
  if (fstat(fd, &st) == 0) Record("sync", &st, NULL, NULL);
  char link[64], path[4096];
  snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, path, sizeof(path) - 1);
  if (n > 0) {
    path[n] = 0;
    MaybeRaise("QY_RAISE_AFTER", "sync", path);
  }
}

int fsync(int fd) {
  const int rc = REAL(fsync)(fd);
  if (rc == 0) RecordSync(fd);
  return rc;
}

int fdatasync(int fd) {
  const int rc = REAL(fdatasync)(fd);
  if (rc == 0) RecordSync(fd);
  return rc;
}

/* The source of a move as the call sees it; false when it is not there. */
static int SourceOf(int dirfd, const char* path, int follow, struct stat* st) {
  if (path && *path) return fstatat(dirfd, path, st, follow ? 0 : AT_SYMLINK_NOFOLLOW) == 0;
  return fstat(dirfd, st) == 0; /* linkat with AT_EMPTY_PATH: the descriptor itself */
}

static int Moved(int rc, int known, struct stat* st, const char* from, const char* to) {
  if (rc != 0) return rc;
  if (!known) st->st_dev = st->st_ino = 0; /* a move of a file nobody can have synced */
  Record("move", st, from, to);
  MaybeRaise("QY_RAISE_AFTER", "move", to);
  return rc;
}

int rename(const char* from, const char* to) {
  struct stat st;
  const int known = SourceOf(AT_FDCWD, from, 0, &st);
  MaybeRaise("QY_RAISE_BEFORE", "move", to);
  return Moved(REAL(rename)(from, to), known, &st, from, to);
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
  struct stat st;
  const int known = SourceOf(fromDir, from, 0, &st);
  MaybeRaise("QY_RAISE_BEFORE", "move", to);
  return Moved(REAL(renameat)(fromDir, from, toDir, to), known, &st, from, to);
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned int flags) {
  if ((flags & RENAME_EXCHANGE) && getenv("QY_NO_EXCHANGE")) {
    errno = EINVAL;
    return -1;
  }
  struct stat st;
  const int known = SourceOf(fromDir, from, 0, &st);
  MaybeRaise("QY_RAISE_BEFORE", "move", to);
  return Moved(REAL(renameat2)(fromDir, from, toDir, to, flags), known, &st, from, to);
}

int link(const char* from, const char* to) {
  struct stat st;
  const int known = SourceOf(AT_FDCWD, from, 0, &st);
  MaybeRaise("QY_RAISE_BEFORE", "move", to);
  return Moved(REAL(link)(from, to), known, &st, from, to);
}

int linkat(int fromDir, const char* from, int toDir, const char* to, int flags) {
  struct stat st;
  const int known = SourceOf(fromDir, from, (flags & AT_SYMLINK_FOLLOW) != 0, &st);
  MaybeRaise("QY_RAISE_BEFORE", "move", to);
  return Moved(REAL(linkat)(fromDir, from, toDir, to, flags), known, &st, from, to);
}
