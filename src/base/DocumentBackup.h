#pragma once

// Numbered backup copies that a save makes of the file it replaces.
//
// Naming: the backup folder (or, when none is given, the target's own
// folder) holds "<file name>.bak1" ... "<file name>.bakN" for a backup count
// N; ".bak1" is the newest. Each backup shifts the older copies up by one,
// drops the one past N, then copies the current target to ".bak1".

#include <string>

namespace quillery {

// The path of backup number n (1 = newest) of target.
std::string BackupName(const std::string& target, const char* backupDir, int n);
// Rotates the backups and copies target to number 1; true when nothing was
// to be done or the copy succeeded.
bool MakeBackups(const std::string& target, int count, const char* backupDir);

}  // namespace quillery
