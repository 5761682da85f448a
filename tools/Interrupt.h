#pragma once

// Ctrl-C for the command-line host. The first SIGINT (or SIGTERM) asks the
// running load or save to stop through ProgressInfo's cancel flag; the
// engine then ends with "cancelled" and removes what it was writing, and the
// host reports the failure as "interrupted" (the one word for Ctrl-C). A
// second signal ends the process at once, after removing the temporary
// files of the saves under way (quillery::TempFile), so no partial file is
// left behind either way.
// During a password prompt the first signal ends the process at once, after
// restoring the terminal's echo.
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
// ProgressInfo::Reset for the next load or save, keeping the cancel flag
// raised once a signal asked to stop.
void ResetProgress();
// A prompt runs on the terminal fd whose settings before the prompt are
// *saved; fd -1 ends the prompt.
void SetPromptTerminal(int fd, const struct termios* saved);

}  // namespace quillery_host
