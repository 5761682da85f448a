#pragma once

// Ctrl-C for the command-line host. The first SIGINT (or SIGTERM, SIGHUP)
// asks the running load or save to stop through ProgressInfo's cancel flag;
// the engine then ends with "cancelled" and removes what it was writing, and
// the host reports the failure as "interrupted" (the one word for Ctrl-C),
// with the status 128 + the signal's number (130, 143, 129). A second signal
// ends the process at once, after removing the temporary files of the saves
// under way (quillery::TempFile), so no partial file is left behind either
// way (but for an export's side folder being built, which that stop leaves
// and names for the next export to remove); while a save installs its new
// content (quillery::InstallSection) the stop waits for the install to
// commit or roll back, and the status says which: 0 when the target holds
// the new document.
// During a password prompt the first signal ends the process at once, after
// restoring the terminal's echo. Before the handler is installed (the host
// reads its password files first) a signal ends the process as by default.
//
// Interrupted system calls are restarted, so the engine's reads and writes
// never see EINTR. SIGXFSZ is ignored: a file-size limit then fails the
// write, which the engine reports, instead of killing the process in the
// middle of a file.

#include <termios.h>

#include <string>

namespace quillery_host {

void InstallInterruptHandler();
// True once a signal asked to stop.
bool WasInterrupted();
// The exit status of a command a signal stopped: 128 + the first signal.
int InterruptedStatus();
// ProgressInfo::Reset for the next load or save, keeping the cancel flag
// raised once a signal asked to stop.
void ResetProgress();
// A prompt runs on the terminal fd whose settings before the prompt are
// *saved; fd -1 ends the prompt.
void SetPromptTerminal(int fd, const struct termios* saved);
// While an export is written, the line the first signal prints at once
// (removing a large partial export takes a while), unless the export's
// install has begun (then it completes or fails, and says so itself), and
// the line a hard stop that did not commit prints in place of
// "interrupted" (it leaves the side folder being built: removing a tree is
// no work for a signal handler); empty: none.
void SetInterruptLine(const std::string& line, const std::string& stopLine);
// True when the first signal printed that line, or the host printed its
// failure line after a signal (the failure is told then: a hard stop after
// it says nothing more).
bool InterruptLineSaid();
// The host printed the failure line of a command a signal stopped.
void SetInterruptLineSaid();

}  // namespace quillery_host
