#pragma once

// Numbered backup copies that a save makes of the file it replaces.
//
// Naming: the backup folder (or, when none is given, the target's own
// folder) holds "<file name>.bak1" ... "<file name>.bakN" for a backup count
// N; ".bak1" is the newest. Each backup shifts the older copies up by one,
// drops the one past N, then copies the current target to ".bak1".
// Stateless; the caller's copier decides how a file is copied (a live
// database through its own consistent copy, anything else byte by byte).

#include <functional>
#include <string>

namespace quillery {

// The path of backup number n (1 = newest) of target.
std::string BackupName(const std::string& target, const char* backupDir, int n);
// Writes the copy of the target at the path given; true when it is complete.
using BackupCopier = std::function<bool(const std::string& to)>;

// Creates a missing backup folder, rotates the backups and copies target to
// number 1 (with copy, or byte by byte when copy is empty); true when no
// backup was asked for or target does not exist, or when the copy was made.
bool MakeBackups(const std::string& target, int count, const char* backupDir, const BackupCopier& copy = nullptr);

}  // namespace quillery
