// quillery: the command-line host of the note-document engine.

#include <cstdio>
#include <exception>
#include <new>
#include <string>

#include "CommandLine.h"
#include "HostCommands.h"
#include "OutputText.h"
#include "model/FormatIO_Base.h"

namespace {

using namespace quillery_host;

// The status of a failure that ends the program from outside the command's
// work: 1, but 2 for compare (its 1 means "different"), once the command is
// known.
int g_troubleStatus = kExitFailed;

int Run(int argc, char** argv) {
  HostOptions opt;
  const int parsed = ParseCommandLine(argc, argv, opt);
  if (parsed != kRunCommand) return FinishOutput(parsed, kExitFailed);
  g_troubleStatus = TroubleStatus(opt);
  // The command reads the password files once it has decided its outputs,
  // and then takes over Ctrl-C (InstallInterruptHandler).
  return FinishOutput(RunCommand(opt), TroubleStatus(opt));
}

}  // namespace

int main(int argc, char** argv) {
  // Loads and saves end every exception as a result code; this catches
  // what is thrown anywhere else, so that the program still ends with one
  // line and a status, its temporary files removed on the way out.
  try {
    return Run(argc, argv);
  } catch (const std::bad_alloc&) {
    fprintf(stderr, "quillery: out of memory (%d)\n", DOC_LOAD_NO_MEMORY);
  } catch (const std::exception& e) {
    fprintf(stderr, "quillery: unexpected failure: %s\n", e.what());
  } catch (...) {
    fputs("quillery: unexpected failure\n", stderr);
  }
  return quillery_host::FinishOutput(g_troubleStatus, g_troubleStatus);
}
