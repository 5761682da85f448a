// quillery: the command-line host of the note-document engine.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "CommandLine.h"
#include "HostCommands.h"
#include "Interrupt.h"
#include "OutputText.h"
#include "TerminalController.h"

namespace {

using namespace quillery_host;

// Reads the file of a password option into password; 0, or the exit status
// after the error line.
int TakePasswordFile(const HostOptions& opt, const std::string& path, std::string& password) {
  if (!ReadPasswordFile(path, password)) {
    fprintf(stderr, "cannot read the password file %s: %s\n", Printable(path).c_str(), strerror(errno));
    return TroubleStatus(opt);
  }
  // The ciphers take a password as a C string: a NUL byte would end it there
  // and leave a file protected by its first few bytes only.
  if (password.find('\0') != std::string::npos) {
    fprintf(stderr, "cannot use the password file %s: it holds a NUL byte, which would cut the password short\n",
            Printable(path).c_str());
    return kExitUsage;
  }
  return kExitOk;
}

int Run(int argc, char** argv) {
  HostOptions opt;
  const int parsed = ParseCommandLine(argc, argv, opt);
  if (parsed != kRunCommand) return FinishOutput(parsed, kExitFailed);
  if (opt.hasPassword)
    if (int status = TakePasswordFile(opt, opt.passwordFile, opt.password)) return status;
  if (opt.hasToPassword)
    if (int status = TakePasswordFile(opt, opt.toPasswordFile, opt.toPassword)) return status;
  InstallInterruptHandler();
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
    fputs("quillery: out of memory\n", stderr);
  } catch (const std::exception& e) {
    fprintf(stderr, "quillery: unexpected failure: %s\n", e.what());
  } catch (...) {
    fputs("quillery: unexpected failure\n", stderr);
  }
  return quillery_host::FinishOutput(quillery_host::kExitFailed, quillery_host::kExitFailed);
}
