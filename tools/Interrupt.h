#pragma once

// Ctrl-C for the command-line host. The first SIGINT (or SIGTERM) asks the
// running load or save to stop through ProgressInfo's cancel flag; the
// engine then ends with "cancelled" and removes what it was writing. A
// second signal ends the process at once, after removing the temporary
// output file registered here, so no partial file is left behind either way.
// SIGXFSZ is ignored too: a file-size limit then fails the write, which the
// engine reports, instead of killing the process in the middle of a file.

#include <string>

namespace quillery_host {

void InstallInterruptHandler();
// True once a signal asked to stop.
bool WasInterrupted();
// The temporary file to remove when a second signal ends the process; an
// empty path clears it.
void SetPendingOutput(const std::string& path);

}  // namespace quillery_host
