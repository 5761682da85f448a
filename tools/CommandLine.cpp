#include "CommandLine.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "HostFormats.h"
#include "OutputText.h"
#include "base/Log.h"
#include "model/FormatIO_Base.h"
#include "model/NoteDocument.h"

#ifndef QY_VERSION
#define QY_VERSION "unknown"
#endif

namespace quillery_host {
namespace {

bool ParseInt(const char* text, long long lo, long long hi, long long& out) {
  if (!text || !*text) return false;
  char* end = nullptr;
  errno = 0;
  out = strtoll(text, &end, 10);
  return errno == 0 && end && !*end && out >= lo && out <= hi;
}

// Stores an option's value; false when the value is not acceptable.
typedef bool (*Setter)(HostOptions&, const char* value);

struct OptionSpec {
  const char* name;      // "--seed"
  char shortName;        // 'q', or 0
  const char* value;     // placeholder of its value ("N"); null for a flag
  const char* commands;  // the commands it serves, blank-separated; null: all
  const char* help;      // lines of the help text
  Setter set;
  const char* badValue;  // the line printed for a value set() refuses
};

const char kExport[] = "convert generate";

const OptionSpec kOptions[] = {
    {"--password-file", 0, "F", "info convert dump generate compare",
     "password of the encrypted documents read, and of an\n"
     "encrypted target without --to-password-file (else\n"
     "$QUILLERY_PASSWORD, else asked on the terminal);\n"
     "F - is the standard input",
     [](HostOptions& o, const char* v) {
       o.passwordFile = v;
       return o.hasPassword = true;
     },
     nullptr},
    {"--to-password-file", 0, "F", "convert generate",
     "password of the encrypted document written (.qye,\n.qyde); F - is the standard input",
     [](HostOptions& o, const char* v) {
       o.toPasswordFile = v;
       return o.hasToPassword = true;
     },
     nullptr},
    {"--force", 'f', nullptr, "convert dump generate", "replace an existing output file",
     [](HostOptions& o, const char*) { return o.force = true; }, nullptr},
    {"--clone-mode", 0, "N", "convert generate",
     "what the save does with clones. 1 and 2 act on a clone\n"
     "whose original is missing from the document: 1 the\n"
     "first clone of each original becomes an ordinary note,\n"
     "the others point at it; 2 each becomes an ordinary note.\n"
     "3 clones stay as they are (default). 4 (.qyd .qye .qyz\n"
     ".hqy) every clone keeps its original's text in the file\n"
     "too. Refused for an .html target (the export writes\n"
     "every clone's text) and, 4, for a database",
     [](HostOptions& o, const char* v) {
       long long n = 0;
       if (!ParseInt(v, 1, 4, n)) return false;
       o.cloneMode = static_cast<int>(n);
       return true;
     },
     "--clone-mode takes 1, 2, 3 or 4 (see quillery help convert)"},
    {"--keep-id", 0, nullptr, "convert",
     "keep the document UID (default: a copy gets a new UID\nand no deletion records, as Save As does)",
     [](HostOptions& o, const char*) { return o.keepID = true; }, nullptr},
    {"--seed", 0, "S", "generate", "the seed of the sample document (default 1)",
     [](HostOptions& o, const char* v) {
       long long n = 0;
       if (!ParseInt(v, 0, 9007199254740991LL, n)) return false;
       o.seed = static_cast<uint64_t>(n);
       return true;
     },
     "--seed takes a non-negative number"},
    {"--ignore-uid", 0, nullptr, "compare", "UIDs and deletion records may differ (a converted copy\ngets a new UID)",
     [](HostOptions& o, const char*) { return o.ignoreUID = true; }, nullptr},
    // The HTML export's options (HostExport): for an .html or .htm target.
    {"--frames", 0, nullptr, kExport, "export: a frames page with a navigation tree and one\npage per note",
     [](HostOptions& o, const char* v) { return SetExportOption("--frames", v, o.html); }, nullptr},
    {"--toc", 0, "DEPTH", kExport, "export: a table of contents DEPTH levels deep\n(0: none); refused with --frames",
     [](HostOptions& o, const char* v) { return SetExportOption("--toc", v, o.html); },
     "--toc takes a depth from 0 to 100"},
    {"--numbering", 0, nullptr, kExport, "export: outline numbers before titles and in the\ncontents; refused with --frames",
     [](HostOptions& o, const char* v) { return SetExportOption("--numbering", v, o.html); }, nullptr},
    {"--headings", 0, nullptr, kExport, "export: note titles as headings, not a definition\nlist; refused with --frames",
     [](HostOptions& o, const char* v) { return SetExportOption("--headings", v, o.html); }, nullptr},
    {"--style-sheet", 0, "FILE", kExport, "export: link the style sheet FILE (class attributes\nare written); refused with --frames",
     [](HostOptions& o, const char* v) { return SetExportOption("--style-sheet", v, o.html); },
     "--style-sheet takes a file name and excludes --embed-style"},
    {"--embed-style", 0, "FILE", kExport, "export: copy the style sheet FILE into the page;\nrefused with --frames",
     [](HostOptions& o, const char* v) { return SetExportOption("--embed-style", v, o.html); },
     "--embed-style takes a file name and excludes --style-sheet"},
    {"--tags-as-classes", 0, nullptr, kExport, "export: note tags become class names; refused with\n--frames, and without --headings, --toc or a style\nsheet",
     [](HostOptions& o, const char* v) { return SetExportOption("--tags-as-classes", v, o.html); }, nullptr},
    {"--files", 0, nullptr, kExport, "export: pictures and attachments as files in the side\nfolder; refused with --frames",
     [](HostOptions& o, const char* v) { return SetExportOption("--files", v, o.html); }, nullptr},
    {"--branch", 0, "NOTE_ID", kExport, "export: only this note and its descendants",
     [](HostOptions& o, const char* v) { return SetExportOption("--branch", v, o.html); },
     "--branch takes a note ID and excludes --note"},
    {"--note", 0, "NOTE_ID", kExport, "export: only this note",
     [](HostOptions& o, const char* v) { return SetExportOption("--note", v, o.html); },
     "--note takes a note ID and excludes --branch"},
    {"--no-attachments", 0, nullptr, kExport, "export: leave attachments out",
     [](HostOptions& o, const char* v) { return SetExportOption("--no-attachments", v, o.html); }, nullptr},
    {"--template", 0, "DIR", kExport, "export: the frames template folder (default: the one\ninstalled with the program)",
     [](HostOptions& o, const char* v) { return SetExportOption("--template", v, o.html); },
     "--template takes a folder"},
    {"--log-level", 0, "N", nullptr, "write the engine's log up to level N (2 errors .. 6 trace)\nto stderr",
     [](HostOptions&, const char* v) {
       long long n = 0;
       if (!ParseInt(v, 0, 6, n)) return false;
       quillery::LogSetScreenLevel(static_cast<int>(n));
       return true;
     },
     "--log-level takes a number from 0 to 6"},
    {"--quiet", 'q', nullptr, nullptr,
     "no progress bar, no summary (generate), no verdict line\n"
     "(compare: the status tells); failures are still reported",
     [](HostOptions& o, const char*) {
       o.progress = false;
       return o.quiet = true;
     },
     nullptr},
    {"--help", 'h', nullptr, nullptr, "this text, or with a command its own help",
     [](HostOptions& o, const char*) { return o.help = true; }, nullptr},
    {"--version", 0, nullptr, nullptr, "the program's name and version",
     [](HostOptions& o, const char*) { return o.version = true; }, nullptr},
};

// An option's help where one command uses it more narrowly than the
// general help says.
struct NarrowHelp {
  const char* option;
  const char* commands;  // blank-separated
  const char* help;
};

const NarrowHelp kNarrowHelp[] = {
    {"--password-file", "info dump compare",
     "password of the encrypted input (else\n"
     "$QUILLERY_PASSWORD, else asked on the terminal);\n"
     "F - is the standard input"},
    {"--password-file", "generate",
     "password of an encrypted target without --to-password-file\n"
     "(else $QUILLERY_PASSWORD, else asked on the terminal);\n"
     "F - is the standard input"},
};

struct CommandHelp {
  const char* name;
  const char* operands;
  const char* summary;   // its line in the general help
  const char* details;   // more lines for its own help ("" for none)
  const char* example;
  const char* statuses;
};

const char kStatuses[] = "0 done, 1 failed, 2 wrong usage, 130 interrupted (Ctrl-C;\n143 SIGTERM, 129 SIGHUP)";

const CommandHelp kCommandHelp[] = {
    {"info", "FILE",
     "format, notes, depth, title, author, UID, generator (none for a\n"
     "database), size of a document",
     "Of a database, info reads the note tree and counts the pictures,\n"
     "attachments and links without reading the note texts; of any other\n"
     "document, all of it.\n",
     "quillery info notes.qyd",
     "0 done, 1 failed, or a part of what it reads is damaged\n"
     "(what was read of it is printed), 2 wrong usage,\n"
     "130 interrupted (Ctrl-C; 143 SIGTERM, 129 SIGHUP)"},
    {"convert", "IN OUT", "load IN and save it as OUT; formats come from the extensions",
     "An existing OUT is replaced only with --force; converting a file onto itself\n"
     "in its own format (to change its password, or to upgrade it) needs none. A file\n"
     "that appears at OUT while a password is read or IN loads is left as it is, and\n"
     "the command fails; so is a symbolic link made then at OUT or on its way: OUT is\n"
     "written only where it led when the command began.\n"
     "An export (an .html OUT) also writes the folder NAME_files beside it (NAME:\n"
     "OUT without its extension), an output like OUT.\n",
     "quillery --to-password-file new.pw convert notes.qyd notes.qye", kStatuses},
    {"dump", "IN OUT",
     "write the decoded contents of a container (.qye, .qyz) as .qyd or .html,\n"
     "or an encrypted database (.qyde) as a plain one (.qydb)",
     "The contents are written as they are, in the native markup, whatever OUT's\n"
     "extension: under an .html name they read back as one note (an .html file is\n"
     "read as a page). A .qyd OUT keeps the note tree. A container cut short, with\n"
     "a damaged stream, or of a version this program does not read fails as its\n"
     "load does, and nothing is written (an old .qye of version 1 holds no length:\n"
     "only a text its load takes, one that ends its body, is written). An encrypted\n"
     "database is copied only when SQLite's full check passes (every page, and each\n"
     "index against its table); otherwise nothing is written.\n",
     "quillery dump notes.qyz plain.qyd", kStatuses},
    {"generate", "N OUT", "write a sample document of N notes with every feature", "",
     "quillery --seed 7 generate 3000 sample.qyd", kStatuses},
    {"compare", "A B", "load two documents; print \"equal\" or the first difference", "",
     "quillery --ignore-uid compare notes.qyd notes.qyz",
     "0 equal, 1 different, 2 trouble (a file cannot be loaded, or is damaged:\n"
     "a part of it could not be read) or wrong usage,\n"
     "130 interrupted (Ctrl-C; 143 SIGTERM, 129 SIGHUP)"},
    {"formats", "", "list the formats: extension, id, document or export, name", "", "quillery formats",
     "0 done, 1 the list could not be written, 2 wrong usage"},
    {"help", "[COMMAND]", "this text, or the options, an example and the exit statuses\n"
                          "of one command (also: quillery COMMAND --help)",
     "", "quillery help convert", "0 done, 2 no such command"},
};

const CommandHelp* FindCommand(const std::string& name) {
  for (const CommandHelp& c : kCommandHelp)
    if (name == c.name) return &c;
  return nullptr;
}

bool InList(const char* list, const std::string& word) {
  return (std::string(" ") + list + " ").find(" " + word + " ") != std::string::npos;
}

bool Serves(const OptionSpec& o, const std::string& command) { return !o.commands || InList(o.commands, command); }

// Lines after the first are indented to the column of the first.
void PutIndented(const char* text, int column) {
  for (const char* p = text; *p; ++p) {
    fputc(*p, stdout);
    if (*p == '\n' && p[1]) printf("%*s", column, "");
  }
  fputc('\n', stdout);
}

// command: the command whose help lists it; empty in the general help.
void PutOption(const OptionSpec& o, const std::string& command) {
  std::string head = o.shortName ? std::string("  -") + o.shortName + ", " : std::string("      ");
  head += o.name;
  if (o.value) head += std::string(" ") + o.value;
  const int column = 28;
  printf("%-*s", column, head.c_str());
  if (head.size() >= static_cast<size_t>(column)) printf("\n%*s", column, "");
  const char* help = o.help;
  for (const NarrowHelp& n : kNarrowHelp)
    if (!command.empty() && o.name == std::string(n.option) && InList(n.commands, command)) help = n.help;
  PutIndented(help, column);
}

void PutStatuses(const char* statuses) {
  printf("\nexit status: ");
  PutIndented(statuses, 13);
}

void PrintUsage() {
  printf("usage: quillery [options] COMMAND OPERANDS\n\ncommands:\n");
  for (const CommandHelp& c : kCommandHelp) {
    const std::string head = std::string(c.name) + (*c.operands ? " " : "") + c.operands;
    printf("  %-18s ", head.c_str());
    PutIndented(c.summary, 21);
  }
  printf("\noptions (\"--name=value\" is \"--name value\"; \"--\" ends the options):\n");
  for (const OptionSpec& o : kOptions) PutOption(o, std::string());
  PutStatuses(kStatuses);
  printf("             compare: 0 equal, 1 different, 2 trouble\n");
  printf("\nA failure prints one line; the number in parentheses at its end names the cause:\n%s",
         CauseNumbersHelp().c_str());
}

void PrintCommandHelp(const CommandHelp& c) {
  printf("usage: quillery [options] %s%s%s\n\n", c.name, *c.operands ? " " : "", c.operands);
  PutIndented(c.summary, 0);
  if (*c.details) fputs(c.details, stdout);
  bool any = false;
  for (const OptionSpec& o : kOptions) {
    if (!o.commands || !Serves(o, c.name)) continue;
    if (!any) printf("\noptions:\n");
    any = true;
    PutOption(o, c.name);
  }
  printf("\n(and the options of every command: --log-level, -q, --help, --version)\n");
  printf("\nexample: %s\n", c.example);
  PutStatuses(c.statuses);
}

bool Encrypted(const std::string& path) { return IsEncryptedFormat(NoteDocument::GetFormatFromFileName(path)); }

// Why an option given would change nothing for these operands (an option
// that does nothing is taken for a mistake); empty when each one counts.
// Operands that are missing are the command's to report.
std::string IdleOption(const HostOptions& opt) {
  RegisterFormats();
  const std::vector<std::string>& a = opt.args;
  const std::string& command = a[0];
  const bool two = a.size() == 3;
  if (opt.hasPassword) {
    bool used = true;
    if (command == "info" || command == "dump") used = a.size() < 2 || Encrypted(a[1]);
    else if (command == "compare") used = !two || Encrypted(a[1]) || Encrypted(a[2]);
    else if (command == "convert") used = !two || Encrypted(a[1]) || (Encrypted(a[2]) && !opt.hasToPassword);
    else if (command == "generate") used = !two || (Encrypted(a[2]) && !opt.hasToPassword);
    if (!used)
      return "--password-file does nothing here: no encrypted document (.qye, .qyde) is read, nor written "
             "without --to-password-file";
  }
  if (opt.cloneMode >= 0 && two) {
    // Any mode, 3 too: an export has no clones to keep.
    const int target = NoteDocument::GetFormatFromFileName(a[2]);
    if (target == FORMAT_HTML) return "--clone-mode does nothing for an .html export: it writes every clone's text";
    if (opt.cloneMode == 4 && (target == FORMAT_QYDB || target == FORMAT_QYDE))
      return "--clone-mode 4 does nothing for a database: it stores each clone's text with its original";
  }
  return std::string();
}

// Parts of the line may be the user's words: printed with escapes.
int Usage(const std::string& line) {
  fprintf(stderr, "%s\n", Printable(line).c_str());
  return kExitUsage;
}

}  // namespace

int ParseCommandLine(int argc, char** argv, HostOptions& opt) {
  std::vector<const OptionSpec*> given;
  bool endOfOptions = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (endOfOptions || a.size() < 2 || a[0] != '-') {
      opt.args.push_back(a);
      continue;
    }
    if (a == "--") {
      endOfOptions = true;
      continue;
    }
    // The options this word names, each with its value where one was attached.
    std::vector<std::pair<const OptionSpec*, const char*>> named;
    std::string attached;
    bool hasAttached = false;
    if (a[1] == '-') {
      const size_t eq = a.find('=');
      const std::string name = a.substr(0, eq);
      hasAttached = eq != std::string::npos;
      if (hasAttached) attached = a.substr(eq + 1);
      const OptionSpec* spec = nullptr;
      for (const OptionSpec& o : kOptions)
        if (name == o.name) spec = &o;
      if (!spec) return Usage("unknown option: " + name + " (see quillery --help)");
      if (hasAttached && !spec->value) return Usage(name + " takes no value");
      named.push_back({spec, nullptr});
    } else {
      for (size_t k = 1; k < a.size(); ++k) {
        const OptionSpec* spec = nullptr;
        for (const OptionSpec& o : kOptions)
          if (o.shortName == a[k]) spec = &o;
        if (!spec) return Usage("unknown option: -" + std::string(1, a[k]) + " (see quillery --help)");
        named.push_back({spec, nullptr});
      }
    }
    for (auto& n : named) {
      const OptionSpec& o = *n.first;
      const char* value = nullptr;
      if (o.value) {
        if (hasAttached) value = attached.c_str();
        else if (i + 1 < argc) value = argv[++i];
        else return Usage(std::string(o.name) + " needs a value (see quillery --help)");
      }
      if (!o.set(opt, value)) return Usage(o.badValue ? o.badValue : std::string(o.name) + ": bad value");
      given.push_back(&o);
    }
  }

  if (opt.help) {
    if (opt.args.empty() || opt.args[0] == "help") {
      PrintUsage();
      return kExitOk;
    }
    const CommandHelp* c = FindCommand(opt.args[0]);
    if (!c) return Usage("unknown command: " + opt.args[0] + " (see quillery --help)");
    PrintCommandHelp(*c);
    return kExitOk;
  }
  if (opt.version) {
    printf("quillery %s\n", QY_VERSION);
    return kExitOk;
  }
  if (opt.args.empty()) return Usage("no command given (see quillery --help)");
  const std::string& command = opt.args[0];
  if (command == "help") {
    if (opt.args.size() == 1) {
      PrintUsage();
      return kExitOk;
    }
    const CommandHelp* c = opt.args.size() == 2 ? FindCommand(opt.args[1]) : nullptr;
    if (opt.args.size() > 2) return Usage("help takes at most 1 operand (see quillery --help)");
    if (!c) return Usage("unknown command: " + opt.args[1] + " (see quillery --help)");
    PrintCommandHelp(*c);
    return kExitOk;
  }
  if (!FindCommand(command)) return Usage("unknown command: " + command + " (see quillery --help)");
  // The standard input can be read once.
  if (opt.hasPassword && opt.hasToPassword && opt.passwordFile == "-" && opt.toPasswordFile == "-")
    return Usage("--password-file and --to-password-file cannot both read the standard input");
  for (const OptionSpec* o : given)
    if (!Serves(*o, command))
      return Usage(std::string(o->name) + " does not apply to " + command + " (see quillery help " + command + ")");
  const std::string idle = IdleOption(opt);
  if (!idle.empty()) return Usage(idle + " (see quillery help " + command + ")");
  return kRunCommand;
}

}  // namespace quillery_host
