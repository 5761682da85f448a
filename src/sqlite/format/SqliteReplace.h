#pragma once

// Putting a newly built database file in the place of its target. A
// database file and its journal belong to SQLite: an existing target is
// never renamed over, moved aside or unlinked while it may have a hot
// journal or a holder. Its content is replaced through SQLite itself: the
// target is opened (which rolls a hot journal back and respects the locks
// of every other connection) and the new pages are copied in with the
// online backup, one transaction on the target, so that a crash leaves
// either the old or the new document; a copy that fails (a full disk) or
// that Ctrl-C stops (looked at between steps of the copy, until the last
// one, which commits) is rolled back through SQLite, leaving the target as
// it was and no journal.
// A target in write-ahead-log mode with pages of another size leaves that
// mode for the copy and returns to it. A target that cannot be opened as a
// database of this key (another password, no database) is replaced by a
// rename only when it has no journal and no process holds SQLite's lock on
// it. Only what the save found at the target when it began is replaced
// (TargetState): a new target is the renamed file, never replacing one
// that appears meanwhile, and an existing one only while its name still
// refers to the file found. A file at a new target's journal name (which
// SQLite would take for the new file's journal, and delete) is no
// journal of the save's: it stays, and the save fails naming it.

#include <string>

namespace quillery {

class TempFile;
struct TargetState;

// Installs the closed database in built (keyed with key, empty = plain) as
// target.path (already the final path of a link). Returns a DocSaveResult;
// on failure the reason is set (SetFailureReason), the target is untouched
// and built is left to its owner. On success built is gone.
int InstallDatabase(TempFile& built, const TargetState& target, const std::string& key);

// Whether a save could replace the existing database target now: 0, or the
// DocSaveResult (with its reason) of a target that another program holds or
// that may not be written. Rolls a hot journal of the target back. A target
// that does not exist passes unless a file lies at its journal's name; one
// that is no database of this key passes unless it has a journal.
int ProbeDatabaseTarget(const std::string& target, const std::string& key);

}  // namespace quillery
