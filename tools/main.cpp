// quillery: the command-line host of the note-document engine.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "CommandLine.h"
#include "HostCommands.h"
#include "Interrupt.h"
#include "TerminalController.h"

int main(int argc, char** argv) {
  using namespace quillery_host;
  HostOptions opt;
  const int parsed = ParseCommandLine(argc, argv, opt);
  if (parsed != kRunCommand) return parsed;
  if (opt.hasPassword && !ReadPasswordFile(opt.passwordFile, opt.password)) {
    fprintf(stderr, "cannot read the password file %s: %s\n", opt.passwordFile.c_str(), strerror(errno));
    return TroubleStatus(opt);
  }
  if (opt.hasToPassword && !ReadPasswordFile(opt.toPasswordFile, opt.toPassword)) {
    fprintf(stderr, "cannot read the password file %s: %s\n", opt.toPasswordFile.c_str(), strerror(errno));
    return TroubleStatus(opt);
  }
  InstallInterruptHandler();
  return RunCommand(opt);
}
