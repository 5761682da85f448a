#pragma once

// How the host's commands fail (one line on stderr, one exit status), and
// what they check of their files before they begin: an input that cannot
// be read without harm, an output that is not a regular file, an existing
// output without --force, a password for a target that is not encrypted,
// and the password files they read.
// Free functions for the host's main thread; they own nothing.

#include <string>

#include "HostCommands.h"
#include "save/SafeSave.h"

namespace quillery_host {

// Prints "cannot VERB PATH: WHAT" and gives the exit status: interrupted
// when a signal stopped the work, failed otherwise.
int Fail(const char* verb, const std::string& path, const std::string& what);

// "TEXT (CODE)", and the same with the number of a save result.
std::string WithCode(const std::string& text, int code);
std::string WithSaveCode(const std::string& text, int result);
// The engine's reason for a failed save when it named one (a full disk, a
// target in use), else the text of the result code; with its number.
std::string SaveFailure(int result);

// The number of a save's failure that has no result code of its own: the
// existing target stays (a folder, a file not to be replaced), or a step
// before the writing failed.
extern const int kKeptTarget;

// Why an existing input cannot be read as a document without harm; empty
// when there is no such reason, else the cause with its number.
std::string InputProblem(const std::string& path);
// Why an existing output cannot be written (only a regular file is
// replaced); empty when there is no such reason, else the cause with its
// number.
std::string OutputProblem(const std::string& path);
// Two names of one existing file.
bool SameFile(const std::string& a, const std::string& b);

// An existing output (an export's side folder too) is replaced only with
// --force: kExitOk, or the status of the failure it printed.
int CheckOverwrite(const HostOptions& opt, const std::string& out, const char* verb);
// What an export's side folder place held when the command began (taken
// with the page's state): the one folder the export may replace there.
quillery::TargetState DecidedFolder(const HostOptions& opt, const std::string& out);
// Reads the files of --password-file and --to-password-file into opt:
// kExitOk, or the status of the failure it printed (a NUL byte in one is
// wrong usage).
int TakePasswordFiles(HostOptions& opt);
// A password for a target that is not encrypted is wrong usage: kExitOk,
// or kExitUsage after the line that says so.
int CheckToPassword(const HostOptions& opt, const std::string& out);

}  // namespace quillery_host
