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
#include "base/FileUtil.h"
#include "model/FormatIO_Base.h"

namespace {

using namespace quillery_host;

// Why a password file could not be read, with the number of its cause as a
// document's load would give it.
std::string PasswordFileProblem(int err) {
  switch (err) {
    case ENOENT: return "no such file (" + std::to_string(DOC_LOAD_NOT_FOUND) + ")";
    case EACCES:
    case EPERM: return "permission denied (" + std::to_string(DOC_LOAD_PERMISSIONS) + ")";
    default: return ReadProblem(err, kPasswordFileLimit) + " (" + std::to_string(DOC_LOAD_NOT_OPEN) + ")";
  }
}

// Reads the file of a password option into password; 0, or the exit status
// after the error line.
int TakePasswordFile(const HostOptions& opt, const std::string& path, std::string& password) {
  if (const int err = ReadPasswordFile(path, password)) {
    fprintf(stderr, "cannot read the password file %s: %s\n", Printable(path).c_str(),
            PasswordFileProblem(err).c_str());
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

// The status of a failure that ends the program from outside the command's
// work: 1, but 2 for compare (its 1 means "different"), once the command is
// known.
int g_troubleStatus = kExitFailed;

int Run(int argc, char** argv) {
  HostOptions opt;
  const int parsed = ParseCommandLine(argc, argv, opt);
  if (parsed != kRunCommand) return FinishOutput(parsed, kExitFailed);
  g_troubleStatus = TroubleStatus(opt);
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
    fprintf(stderr, "quillery: out of memory (%d)\n", DOC_LOAD_NO_MEMORY);
  } catch (const std::exception& e) {
    fprintf(stderr, "quillery: unexpected failure: %s\n", e.what());
  } catch (...) {
    fputs("quillery: unexpected failure\n", stderr);
  }
  return quillery_host::FinishOutput(g_troubleStatus, g_troubleStatus);
}
