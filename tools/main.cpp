// quillery: the command-line host of the note-document engine.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "HostCommands.h"
#include "Interrupt.h"
#include "TerminalController.h"
#include "base/Log.h"

namespace {

const char kUsage[] =
    "usage: quillery [options] COMMAND OPERANDS\n"
    "\n"
    "commands:\n"
    "  info FILE          format, notes, depth, title, author, UID, generator, size of a document\n"
    "  convert IN OUT     load IN and save it as OUT; formats come from the extensions\n"
    "  dump IN OUT        write the decoded contents of a container (.qye, .qyz) to OUT,\n"
    "                     or an encrypted database (.qyde) as a plain one (.qydb)\n"
    "  generate N OUT     write a sample document of N notes with every feature\n"
    "  compare A B        load two documents; print the first difference (status 1) or \"equal\"\n"
    "  formats            list the formats: extension, id, document or export, name\n"
    "\n"
    "options:\n"
    "  --password-file F      password of the documents read (else $QUILLERY_PASSWORD,\n"
    "                         else asked on the terminal)\n"
    "  --to-password-file F   password of an encrypted document written (else as above)\n"
    "  --clone-mode N         answer to the clone question when saving (default: keep clones)\n"
    "  --keep-id              convert: keep the document UID (default: a copy gets a new UID\n"
    "                         and no deletion records, as Save As does)\n"
    "  --seed S               generate: the seed (default 1)\n"
    "  --ignore-uid           compare: UIDs and deletion records may differ\n"
    "  --log-level N          write the engine's log up to level N (2 errors .. 6 trace) to stderr\n"
    "  -q, --quiet            no progress bar\n"
    "  -h, --help             this text\n"
    "\n"
    "exit status: 0 done, 1 failed (or compare found a difference), 2 wrong usage, 130 interrupted\n";

bool ParseInt(const char* text, long long lo, long long hi, long long& out) {
  if (!text || !*text) return false;
  char* end = nullptr;
  errno = 0;
  out = strtoll(text, &end, 10);
  return errno == 0 && end && !*end && out >= lo && out <= hi;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quillery_host;
  HostOptions opt;
  std::string passwordFile, toPasswordFile;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](const char* name) -> const char* {
      if (i + 1 >= argc) {
        fprintf(stderr, "%s needs a value (see quillery --help)\n", name);
        exit(kExitUsage);
      }
      return argv[++i];
    };
    long long n = 0;
    if (a == "-h" || a == "--help") {
      fputs(kUsage, stdout);
      return kExitOk;
    } else if (a == "--password-file") {
      passwordFile = value("--password-file");
      opt.hasPassword = true;
    } else if (a == "--to-password-file") {
      toPasswordFile = value("--to-password-file");
      opt.hasToPassword = true;
    } else if (a == "--clone-mode") {
      if (!ParseInt(value("--clone-mode"), 0, 1000, n)) {
        fprintf(stderr, "--clone-mode takes a number from 0 to 1000\n");
        return kExitUsage;
      }
      opt.cloneMode = static_cast<int>(n);
    } else if (a == "--keep-id") {
      opt.keepID = true;
    } else if (a == "--seed") {
      if (!ParseInt(value("--seed"), 0, 9007199254740991LL, n)) {
        fprintf(stderr, "--seed takes a non-negative number\n");
        return kExitUsage;
      }
      opt.seed = static_cast<uint64_t>(n);
    } else if (a == "--ignore-uid") {
      opt.ignoreUID = true;
    } else if (a == "--log-level") {
      if (!ParseInt(value("--log-level"), 0, 6, n)) {
        fprintf(stderr, "--log-level takes a number from 0 to 6\n");
        return kExitUsage;
      }
      quillery::LogSetScreenLevel(static_cast<int>(n));
    } else if (a == "-q" || a == "--quiet") {
      opt.progress = false;
    } else if (a.size() > 1 && a[0] == '-') {
      fprintf(stderr, "unknown option: %s (see quillery --help)\n", a.c_str());
      return kExitUsage;
    } else {
      opt.args.push_back(a);
    }
  }
  if (opt.args.empty()) {
    fputs(kUsage, stderr);
    return kExitUsage;
  }
  if (opt.hasPassword && !ReadPasswordFile(passwordFile, opt.password)) {
    fprintf(stderr, "cannot read the password file %s: %s\n", passwordFile.c_str(), strerror(errno));
    return kExitFailed;
  }
  if (opt.hasToPassword && !ReadPasswordFile(toPasswordFile, opt.toPassword)) {
    fprintf(stderr, "cannot read the password file %s: %s\n", toPasswordFile.c_str(), strerror(errno));
    return kExitFailed;
  }
  InstallInterruptHandler();
  return RunCommand(opt);
}
