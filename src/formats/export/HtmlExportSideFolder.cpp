#include "formats/export/HtmlExportSideFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <glib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "base/FileUtil.h"
#include "base/Log.h"

namespace quillery {

namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  // Depth first, so a folder is empty when its turn comes; an entry that
  // stays is reported by the folder above it.
  remove(path);
  return 0;
}

// Renames from to to: an existing folder at to swaps places with from, a
// missing one is simply taken. Some file systems cannot swap: there the old
// folder is moved aside first (to aside) and put back when the rename fails.
int SwapInto(const std::string& from, const std::string& to, const std::string& aside, bool& swapped) {
  swapped = false;
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE) == 0) {
    swapped = true;
    return 0;
  }
  if (errno != EINVAL && errno != ENOSYS) return errno;
  if (rename(to.c_str(), aside.c_str()) != 0) return errno;
  if (rename(from.c_str(), to.c_str()) != 0) {
    const int err = errno;
    rename(aside.c_str(), to.c_str());
    return err;
  }
  return 0;
}

// Locks the folder at path for this run; -1 when it is missing or another
// run holds it.
int LockFolder(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

const size_t kSuffixLength = 6;

}  // namespace

bool RemoveFolderTree(const std::string& path) {
  nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  struct stat st;
  return lstat(path.c_str(), &st) != 0 && errno == ENOENT;
}

HtmlExportSideFolder::~HtmlExportSideFolder() {
  Discard();
  RemoveReplaced();
}

int HtmlExportSideFolder::Begin(const std::string& finalDir) {
  Discard();
  RemoveReplaced();
  m_final = finalDir.size() > 1 && finalDir.back() == '/' ? finalDir.substr(0, finalDir.size() - 1) : finalDir;
  RemoveLeftovers();
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = m_final + ".part-";
    for (size_t i = 0; i < kSuffixLength; ++i) name += kLetters[g_random_int_range(0, sizeof(kLetters) - 1)];
    if (mkdir(name.c_str(), 0777) == 0) {
      m_lock = LockFolder(name);
      m_build = name + "/";
      return 0;
    }
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

void HtmlExportSideFolder::RemoveLeftovers() {
  // The build folders of runs that were killed: no running export holds
  // their lock. Folders moved aside hold none and are always leftovers.
  std::string dir, prefix;
  SplitFolderAndName(m_final, dir, prefix);
  prefix += ".part-";
  std::vector<std::string> found;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      const size_t rest = name.size() - std::min(name.size(), prefix.size());
      if (name.compare(0, prefix.size(), prefix) == 0 && (rest == kSuffixLength || rest == kSuffixLength + 4))
        found.push_back(dir + "/" + name);
    }
    closedir(d);
  }
  for (const std::string& path : found) {
    const bool aside = path.size() > 4 && path.compare(path.size() - 4, 4, "-old") == 0;
    const int fd = aside ? -1 : LockFolder(path);
    if (!aside && fd < 0) continue;
    RemoveFolderTree(path);
    if (fd >= 0) close(fd);
  }
}

int HtmlExportSideFolder::Install(bool replace) {
  if (m_build.empty()) return 0;
  const std::string build = m_build.substr(0, m_build.size() - 1);
  struct stat st;
  const bool taken = lstat(m_final.c_str(), &st) == 0;
  int err = 0;
  if (!taken) {
    // An empty side folder is not worth a folder beside the page.
    if (rmdir(build.c_str()) == 0) {
      m_build.clear();
      Unlock();
      return 0;
    }
    if (renameat2(AT_FDCWD, build.c_str(), AT_FDCWD, m_final.c_str(), RENAME_NOREPLACE) != 0) {
      err = errno;
      if ((err == EINVAL || err == ENOSYS) && lstat(m_final.c_str(), &st) != 0)
        err = rename(build.c_str(), m_final.c_str()) == 0 ? 0 : errno;
    }
  } else if (!S_ISDIR(st.st_mode)) {
    err = ENOTDIR;
  } else if (!replace) {
    err = EEXIST;
  } else {
    bool swapped = false;
    const std::string aside = build + "-old";
    err = SwapInto(build, m_final, aside, swapped);
    if (err == 0) m_replaced = swapped ? build : aside;
  }
  if (err != 0) {
    xLog(LOG_ERROR, "HTML export: cannot put the side folder [%s] in place: %s\n", m_final.c_str(), g_strerror(err));
    Discard();
    return err;
  }
  m_build.clear();
  Unlock();
  return 0;
}

void HtmlExportSideFolder::Discard() {
  if (m_build.empty()) return;
  if (!RemoveFolderTree(m_build.substr(0, m_build.size() - 1)))
    xLog(LOG_ERROR, "HTML export: cannot remove [%s]\n", m_build.c_str());
  m_build.clear();
  Unlock();
}

void HtmlExportSideFolder::Unlock() {
  if (m_lock >= 0) close(m_lock);
  m_lock = -1;
}

void HtmlExportSideFolder::RemoveReplaced() {
  if (m_replaced.empty()) return;
  if (!RemoveFolderTree(m_replaced)) xLog(LOG_ERROR, "HTML export: cannot remove [%s]\n", m_replaced.c_str());
  m_replaced.clear();
}

}  // namespace quillery
