#include "save/DocumentBackup.h"

#include <cstdio>

#include "base/File64.h"
#include "base/FileUtil.h"
#include "base/Log.h"
#include "save/CopyFile.h"

namespace quillery {

std::string BackupName(const std::string& target, const char* backupDir, int n) {
  std::string dir;
  if (backupDir && *backupDir) {
    dir = backupDir;
    EnsureTerminated(dir, '/');
  } else {
    const size_t slash = target.rfind('/');
    if (slash != std::string::npos) dir = target.substr(0, slash + 1);
  }
  return dir + GetBaseName(target) + ".bak" + std::to_string(n);
}

bool MakeBackups(const std::string& target, int count, const char* backupDir, const BackupCopier& copy) {
  if (count <= 0 || !File64::PathExists(target)) return true;
  if (backupDir && *backupDir && !EnsureDirExists(backupDir)) {
    xLog(LOG_WARNING, "Save: backup folder [%s] cannot be created\n", backupDir);
    return false;
  }
  std::remove(BackupName(target, backupDir, count).c_str());
  for (int n = count - 1; n >= 1; --n) {
    const std::string from = BackupName(target, backupDir, n);
    if (File64::PathExists(from)) std::rename(from.c_str(), BackupName(target, backupDir, n + 1).c_str());
  }
  const std::string first = BackupName(target, backupDir, 1);
  const bool ok = copy ? copy(first) : copy_file(target.c_str(), first.c_str());
  if (!ok) xLog(LOG_WARNING, "Save: backup of [%s] failed\n", target.c_str());
  return ok;
}

}  // namespace quillery
