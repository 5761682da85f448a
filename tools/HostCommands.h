#pragma once

// The commands of the `quillery` host, each a thin call of the engine:
//   info FILE        what a document file holds
//   convert IN OUT   NoteDocument::Load, then NoteDocument::Save (formats from
//                    the extensions)
//   dump IN OUT      the container's decoded contents (FormatIO_Base::DumpFile)
//   generate N OUT   the sample notebook of N notes, saved as OUT
//   compare A B      loads both and reports the first difference
//   formats          the registered formats, one per line: extension, id,
//                    "document" or "export", name
// Outputs are written to a temporary file and renamed over the target only
// when complete. A failure prints one line on stderr naming the result
// code's meaning and returns a non-zero exit status.

#include <cstdint>
#include <string>
#include <vector>

#include "HostExport.h"

namespace quillery_host {

enum ExitStatus {
  kExitOk = 0,
  kExitFailed = 1,        // the command failed (compare: found a difference)
  kExitUsage = 2,         // wrong command line (compare: also any trouble)
  kExitInterrupted = 130, // stopped by Ctrl-C (SIGTERM 143, SIGHUP 129: InterruptedStatus)
};

struct HostOptions {
  bool hasPassword = false;    // --password-file was given (password holds it)
  std::string passwordFile;
  std::string password;
  bool hasToPassword = false;  // --to-password-file was given
  std::string toPasswordFile;
  std::string toPassword;
  bool force = false;          // an existing output file may be replaced
  int cloneMode = -1;          // --clone-mode; -1 keeps clones
  bool keepID = false;         // convert: keep the document UID
  uint64_t seed = 1;           // generate
  bool ignoreUID = false;      // compare: UIDs and deletion records may differ
  bool progress = true;        // progress bar when stderr is a terminal
  bool quiet = false;          // -q
  bool help = false;           // --help
  bool version = false;        // --version
  ExportOptions html;          // convert or generate to .html
  std::vector<std::string> args;  // the command and its operands
};

// Runs the command in options.args[0]; returns the exit status. Once its
// usage is checked, a command that writes takes the state of its output
// (and of an export's side folder), the one file and folder it may
// replace; only then are the password files read into options and Ctrl-C
// handed to InstallInterruptHandler.
int RunCommand(HostOptions& options);

// The status of a failure outside the command's own work (an unreadable
// password file, a failed write of the output): 1, but 2 for compare,
// whose 1 means "different" as with cmp and diff.
int TroubleStatus(const HostOptions& options);

}  // namespace quillery_host
