// quillery: the command-line host of the note-document engine.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "CommandLine.h"
#include "HostCommands.h"
#include "Interrupt.h"
#include "OutputText.h"
#include "TerminalController.h"

int main(int argc, char** argv) {
  using namespace quillery_host;
  HostOptions opt;
  const int parsed = ParseCommandLine(argc, argv, opt);
  if (parsed != kRunCommand) return FinishOutput(parsed, kExitFailed);
  if (opt.hasPassword && !ReadPasswordFile(opt.passwordFile, opt.password)) {
    fprintf(stderr, "cannot read the password file %s: %s\n", Printable(opt.passwordFile).c_str(), strerror(errno));
    return TroubleStatus(opt);
  }
  if (opt.hasToPassword && !ReadPasswordFile(opt.toPasswordFile, opt.toPassword)) {
    fprintf(stderr, "cannot read the password file %s: %s\n", Printable(opt.toPasswordFile).c_str(), strerror(errno));
    return TroubleStatus(opt);
  }
  InstallInterruptHandler();
  return FinishOutput(RunCommand(opt), TroubleStatus(opt));
}
