#include "HostChecks.h"

#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <cerrno>
#include <cstdio>

#include "HostFormats.h"
#include "Interrupt.h"
#include "OutputText.h"
#include "TerminalController.h"
#include "base/FileUtil.h"
#include "model/FormatIO_Base.h"
#include "model/NoteDocument.h"

namespace quillery_host {

// Prints "cannot VERB PATH: WHAT" and gives the exit status: interrupted
// when a signal stopped the work, failed otherwise.
int Fail(const char* verb, const std::string& path, const std::string& what) {
  // Whatever broke off after Ctrl-C, the cause is the one word for it
  // (told already when the signal came during an export).
  const std::string cause = WasInterrupted() ? std::string("interrupted") : what;
  if (!InterruptLineSaid()) fprintf(stderr, "cannot %s %s: %s\n", verb, Printable(path).c_str(), cause.c_str());
  // A second signal while the command winds up adds no line of its own.
  if (WasInterrupted()) SetInterruptLineSaid();
  return WasInterrupted() ? InterruptedStatus() : kExitFailed;
}

std::string WithCode(const std::string& text, int code) { return text + " (" + std::to_string(code) + ")"; }
std::string WithSaveCode(const std::string& text, int result) { return WithCode(text, SaveCauseNumber(result)); }
// The engine's reason for a failed save when it named one (a full disk, a
// target in use), else the text of the result code.
std::string SaveFailure(int result) {
  const std::string reason = quillery::TakeFailureReason();
  const bool own = !reason.empty() && result != DOC_SAVE_ABORTED;
  return WithCode(own ? reason : SaveResultText(result), SaveCauseNumber(result));
}

// Why an existing input cannot be read as a document without harm: only a
// regular file is opened (a pipe or a device would block or never end; a
// kernel's file under /proc or /sys tells no size), and an empty one would
// be taken for a new document (tables written into it). Empty when there is
// no such reason; else the cause with its number.
std::string InputProblem(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return std::string();
  if (S_ISDIR(st.st_mode)) return WithCode("it is a folder", DOC_LOAD_NOT_OPEN);
  if (!S_ISREG(st.st_mode)) return WithCode("not a regular file", DOC_LOAD_NOT_OPEN);
  struct statfs fs;
  if (statfs(path.c_str(), &fs) == 0 && (fs.f_type == PROC_SUPER_MAGIC || fs.f_type == SYSFS_MAGIC))
    return WithCode("not a regular file (a file of the kernel under /proc or /sys)", DOC_LOAD_NOT_OPEN);
  if (st.st_size == 0) return WithCode("empty file", DOC_LOAD_FORMAT_ERROR);
  return std::string();
}

// The number of a save's failure that has no result code of its own: the
// existing target stays (a folder, a file not to be replaced), or a step
// before the writing failed.
extern const int kKeptTarget = DOC_SAVE_RENAME_FAILED;

// Why an existing output cannot be written: only a regular file is
// replaced (a device, a FIFO or a socket, named directly or through a link,
// would be replaced by a file or written into). Empty when there is no such
// reason; else the cause with its number.
std::string OutputProblem(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return std::string();
  if (S_ISDIR(st.st_mode)) return WithSaveCode("it is a folder", kKeptTarget);
  return WithSaveCode("it is not a regular file", DOC_SAVE_NOT_OPEN);
}

// Two names of one existing file.
bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// An existing output is replaced only when the user asked for it: a typo in
// an output name must not wipe a notebook. A dangling symlink counts too
// (a save writes the file it points at), and is named as what it is.
// An export's side folder is an output too: the export replaces it whole.
int CheckOverwrite(const HostOptions& opt, const std::string& out, const char* verb) {
  if (opt.force) return kExitOk;
  const bool html = NoteDocument::GetFormatFromFileName(out) == FORMAT_HTML;
  for (const std::string& path : {out, html ? ExportSideFolder(opt.html, out) : std::string()}) {
    struct stat st;
    if (path.empty() || lstat(path.c_str(), &st) != 0) continue;
    const std::string what = path == out ? std::string("it") : Printable(path);
    struct stat target;
    if (path == out && S_ISLNK(st.st_mode) && stat(path.c_str(), &target) != 0)
      return Fail(verb, out,
                  WithSaveCode("it is a symbolic link to a missing file (use --force to write the file it points at)",
                               kKeptTarget));
    return Fail(verb, out, WithSaveCode(what + " exists (use --force to replace it)", kKeptTarget));
  }
  return kExitOk;
}

// What an export's side folder place held when the command began (taken
// with the page's state): the one folder the export may replace there.
quillery::TargetState DecidedFolder(const HostOptions& opt, const std::string& out) {
  return quillery::TargetState::OfEntry(ExportSideFolder(opt.html, out));
}

// A password for a target that is not encrypted would leave the user
// believing the file is protected: a usage error rather than ignored.
int CheckToPassword(const HostOptions& opt, const std::string& out) {
  if (!opt.hasToPassword || IsEncryptedFormat(NoteDocument::GetFormatFromFileName(out))) return kExitOk;
  std::string encrypted;
  for (int id : RegisteredFormats())
    if (IsEncryptedFormat(id)) encrypted += (encrypted.empty() ? "" : ", ") + FormatExtension(id);
  fprintf(stderr, "--to-password-file applies only to an encrypted target (%s); %s is not encrypted\n",
          encrypted.c_str(), Printable(out).c_str());
  return kExitUsage;
}

namespace {

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

}  // namespace

int TakePasswordFiles(HostOptions& opt) {
  if (opt.hasPassword)
    if (int status = TakePasswordFile(opt, opt.passwordFile, opt.password)) return status;
  if (opt.hasToPassword)
    if (int status = TakePasswordFile(opt, opt.toPasswordFile, opt.toPassword)) return status;
  return kExitOk;
}

}  // namespace quillery_host
