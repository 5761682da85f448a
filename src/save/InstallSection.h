#pragma once

// The moments in which a save puts its new content into the target: the
// final rename of a file, the replacement of a database's content through
// SQLite, the commit to the document's own database. Ending the process
// inside one would leave a status that lies (the target holds the new
// document while the host reports the save as stopped) or a database with a
// hot journal. So a host's hard stop (a second Ctrl-C) asks DeferStop
// first: inside a section the stop is only recorded, and it runs when the
// last open section ends, once the install has committed or rolled back,
// through the function the host registered, told whether the install
// committed. Steps that belong to one install for the status (a commit and
// the re-key after it) share an outer section: a nested section's Commit
// does not count, only the outermost section's does, so a stop between the
// steps waits for the last of them.
//
// Threading: any thread may open a section; DeferStop, Committed and IsOpen are
// async-signal-safe (one lock-free atomic each) and may be called from a
// signal handler on any thread. Sections nest. The deferred stop runs on
// the thread that closes the last section.

namespace quillery {

class InstallSection {
 public:
  using StopFunction = void (*)(bool committed);

  InstallSection();
  ~InstallSection();
  InstallSection(const InstallSection&) = delete;
  InstallSection& operator=(const InstallSection&) = delete;

  // The new content is in the target now (the rename or the commit
  // succeeded); without this call the section counts as rolled back. In a
  // nested section it does nothing: the outermost section decides.
  void Commit();

  // For a signal handler: true when a section is open, in which case the
  // stop is recorded and runs when the last section ends; false when the
  // caller may stop now.
  static bool DeferStop();
  // True when the latest install (the outermost section) committed: a stop
  // after it finds the new content in the target.
  static bool Committed();
  // True while a section is open: an install is under way, and a cancel
  // raised now may come too late to stop it. Async-signal-safe.
  static bool IsOpen();
  // The host's stop; null (the default) leaves a recorded stop unrun.
  static void SetStopFunction(StopFunction stop);

 private:
  bool m_outermost;
};

}  // namespace quillery
