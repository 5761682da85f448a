#include "HostCommands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "DocumentReads.h"
#include "HostChecks.h"
#include "HostFormats.h"
#include "Interrupt.h"
#include "OutputText.h"
#include "ProgressBar.h"
#include "TempOutput.h"
#include "TerminalController.h"
#include "base/File64.h"
#include "base/FileUtil.h"
#include "save/SafeSave.h"
#include "base/StopWatch.h"
#include "samples/SampleNotebook.h"
#include "model/FileFormatFactory.h"
#include "model/FormatIO_Base.h"
#include "model/DocumentCompare.h"
#include "model/DocumentIterator.h"
#include "model/NoteDocument.h"
#include "model/RecursiveTreeWalker.h"
#include "model/FormatIO_DynamicBase.h"
#include "sqlite/format/FormatIO_Sqlite.h"
#include "sqlite/format/SqliteContentCount.h"

namespace quillery_host {
namespace {

// The failures of a document whose load or fetches skipped what they could
// not read (a note row, a table, a damaged page): one that is shown is shown
// as damaged; nothing is written of one, since that would lack those parts.
const char* const kDamagedInput = "the file is damaged: a part of it could not be read";
const char* const kDamagedSource = "a part of the document could not be read (damaged file?)";

// Keeps a document that is only read until the process ends, which takes
// back its memory at once (freeing a large document's notes one by one
// costs a good part of a quick command's time). Nothing of it waits to be
// written: the caller has closed its file. Held through a pointer that
// stays reachable, so a leak checker does not count it.
void KeepUntilExit(std::unique_ptr<NoteDocument> doc) {
  static std::vector<NoteDocument*>* const kept = new std::vector<NoteDocument*>;
  kept->push_back(doc.release());
}

// What a command that writes found at its output, and at an export's side
// folder, when it began: the one file and folder it may replace.
struct Decided {
  quillery::TargetState output, sideFolder;
};

class Host {
 public:
  explicit Host(const HostOptions& opt)
      : m_opt(opt),
        m_gui(opt.hasPassword ? &opt.password : nullptr, opt.hasToPassword ? &opt.toPassword : nullptr,
              opt.cloneMode) {
    m_gui.SetOverwriteFiles(opt.force);
  }

  // Loads path into doc; 0, or the exit status after the error line.
  // readOnly: the command only reads the file, which stays byte-identical
  // (a database of an older version is refused rather than upgraded).
  // verb: what the error line says the command could not do.
  int Load(NoteDocument& doc, const std::string& path, bool readOnly, const char* verb = "load") {
    const std::string problem = InputProblem(path);
    if (!problem.empty()) return Fail(verb, path, problem);
    doc.SetGuiController(&m_gui);
    const char* password = nullptr;
    const int id = NoteDocument::GetFormatFromFileName(path);
    if (int status = LoadPassword(path, id, password, verb)) return status;
    ResetProgress();
    int result;
    {
      ProgressBar bar("loading " + path, m_opt.progress);
      doc.SetReadOnlyLoad(readOnly);
      // A file loaded to be written back is held alone: a database another
      // program holds is refused after one wait for its lock.
      result = doc.Load(path.c_str(), password, 0, readOnly);
    }
    if (result != DOC_LOAD_OK) {
      const std::string reason = quillery::TakeFailureReason();
      if (!readOnly && result == DOC_LOAD_NOT_OPEN && reason == "in use by another program")
        return Fail("save", path, WithSaveCode(reason, DOC_SAVE_RENAME_FAILED));
      return Fail(verb, path, WithCode(reason.empty() ? LoadResultText(result) : reason, result));
    }
    // Opening a document selects the note it was left at: the native format
    // keeps its place, a database the note selected when it was saved (which
    // is what a database save stores again).
    if (doc.m_nLastNoteIdx < 0) doc.m_nLastNoteIdx = doc.m_nStartNoteIdx;
    doc.m_nCurrentNoteIdx = doc.m_nLastNoteIdx;
    // A load that ended before it saw the cancel flag still counts as stopped.
    if (WasInterrupted()) return Fail(verb, path, WithCode(LoadResultText(DOC_LOAD_ABORTED), DOC_LOAD_ABORTED));
    const std::string leftOut = LeftOutText(doc.GetLoader());
    if (!leftOut.empty()) fprintf(stderr, "%s: %s\n", Printable(path).c_str(), leftOut.c_str());
    return kExitOk;
  }

  // Reads what info shows of a database without loading its notes
  // (FormatIO_Sqlite::LoadOutline), while counter counts its contents on a
  // second, read-only connection, in the same state of the file. 0 with fmt
  // set when it did; 0 with fmt empty when the file is no database or only
  // a load can tell (the caller loads it then); else the exit status after
  // the error line.
  int LoadOutline(NoteDocument& doc, const std::string& path, quillery::SqliteContentCounter& counter,
                  quillery::TreeOutline& outline, std::unique_ptr<FormatIO_Sqlite>& fmt) {
    fmt.reset();
    const int id = NoteDocument::GetFormatFromFileName(path);
    if ((id != FORMAT_QYDB && id != FORMAT_QYDE) || !InputProblem(path).empty() || access(path.c_str(), R_OK) != 0)
      return kExitOk;
    std::unique_ptr<FormatIO_Base> made(FileFormatFactory::Get().CreateFileFormat(id));
    std::unique_ptr<FormatIO_Sqlite> database(dynamic_cast<FormatIO_Sqlite*>(made.get()));
    if (!database) return kExitOk;
    made.release();
    doc.SetGuiController(&m_gui);
    const char* password = nullptr;
    if (int status = LoadPassword(path, id, password)) return status;
    if (password) database->SetPassword(password);
    database->SetReadOnlyLoad(true);
    quillery::ClearFailureReason();
    const int result = database->LoadOutline(path.c_str(), doc, outline, &counter);
    if (result == FormatIO_Sqlite::OUTLINE_NEEDS_LOAD) return kExitOk;
    if (result != DOC_LOAD_OK) {
      const std::string reason = quillery::TakeFailureReason();
      return Fail("load", path, WithCode(reason.empty() ? LoadResultText(result) : reason, result));
    }
    if (WasInterrupted()) return Fail("load", path, WithCode(LoadResultText(DOC_LOAD_ABORTED), DOC_LOAD_ABORTED));
    fmt = std::move(database);
    return kExitOk;
  }

  // Fails early (before any loading) when path cannot be a target.
  int CheckTarget(const std::string& path, const char* verb) {
    const int id = NoteDocument::GetFormatFromFileName(path);
    if (id < 1 || !FileFormatFactory::Get().IsRegistered(id))
      return Fail(verb, path, SaveFailure(DOC_SAVE_UNKNOWN_FORMAT));
    const std::string problem = OutputProblem(path);
    if (!problem.empty()) return Fail(verb, path, problem);
    if (id == FORMAT_HTML && m_opt.html.frames) {
      const std::string tmpl = FindFramesTemplate(m_opt.html);
      const std::string missing = tmpl.empty() ? std::string() : MissingTemplateFile(tmpl);
      if (tmpl.empty() || !missing.empty()) {
        std::string why = "the frames template " + tmpl + " has no " + missing;
        if (tmpl.empty())
          why = m_opt.html.templateDir.empty() ? "the frames template is not installed (give one with --template DIR)"
                                               : "the frames template " + m_opt.html.templateDir + " is no folder";
        // Its frames would stay empty: a template given is wrong usage.
        const int status = Fail(verb, path, WithSaveCode(why, DOC_SAVE_ERROR));
        return m_opt.html.templateDir.empty() || status != kExitFailed ? status : kExitUsage;
      }
      m_gui.SetFramesTemplateDir(tmpl);
    }
    return kExitOk;
  }

  // Saves the whole document as path. The engine writes a new file beside
  // the target and replaces the target only when it is complete (a
  // database's content through SQLite), so a failed save leaves it as it was.
  // decided: what the command found at the target before it began, the
  // one thing the save may replace; folder: likewise at an export's side
  // folder (DecidedFolder).
  int Save(NoteDocument& doc, const std::string& path, bool keepID, const quillery::TargetState& decided,
           const quillery::TargetState& folder) {
    if (int status = CheckTarget(path, "save")) return status;
    doc.SetGuiController(&m_gui);
    const char* password = nullptr;
    if (IsEncryptedFormat(NoteDocument::GetFormatFromFileName(path))) {
      password = m_gui.GetPassword(path.c_str(), true);
      if (!password) return Fail("save", path, WithSaveCode(m_gui.Failure(), DOC_SAVE_ERROR));
    }
    int walkType = WALK_ALL, startIdx = -1;
    if (NoteDocument::GetFormatFromFileName(path) == FORMAT_HTML) {
      const std::string why = ApplyExportOptions(doc, m_opt.html, walkType, startIdx);
      if (!why.empty()) return Fail("save", path, WithSaveCode(why, DOC_SAVE_ERROR));
    }
    ResetProgress();
    // Removing the pages of a large export that Ctrl-C stopped takes a
    // while: the user is told at once what happens, and what a second
    // Ctrl-C, which ends the process before that removal, leaves.
    const bool exporting = NoteDocument::GetFormatFromFileName(path) == FORMAT_HTML;
    if (exporting) {
      const std::string failed = "cannot save " + Printable(path) + ": ";
      SetInterruptLine(failed + "interrupted, removing the partial export",
                       failed + "stopped at once, leaving any partial side folder " +
                           Printable(ExportSideFolder(m_opt.html, path)) + ".part-XXXXXX (the next export to " +
                           Printable(path) + " removes it)");
    }
    int result;
    {
      ProgressBar bar("saving " + path, m_opt.progress);
      RecursiveTreeWalker walker(doc, walkType, startIdx);
      result = doc.Save(path.c_str(), walker, false, 0, nullptr, password, 0,
                        m_opt.cloneMode >= 0 ? m_opt.cloneMode : 0, keepID, &decided, exporting ? &folder : nullptr);
    }
    if (exporting) SetInterruptLine(std::string(), std::string());
    // A signal that came after the save's last cancel check did not stop it:
    // the file is complete and in place, so it is not reported as unsaved.
    if (result != DOC_SAVE_OK) return Fail("save", path, SaveFailure(result));
    return kExitOk;
  }

  // An encrypted target without any source of a password fails before the
  // input is loaded (which may take seconds), not after.
  int CheckTargetPassword(const std::string& path) {
    if (!IsEncryptedFormat(NoteDocument::GetFormatFromFileName(path)) || m_gui.CanGivePassword(true)) return kExitOk;
    return Fail("save", path, WithSaveCode(m_gui.Failure(), DOC_SAVE_ERROR));
  }

  TerminalController& Gui() { return m_gui; }

  // The password of an encrypted document that exists; 0, or the exit
  // status after the error line.
  int LoadPassword(const std::string& path, int id, const char*& password, const char* verb = "load") {
    password = nullptr;
    if (id < 1 || !IsEncryptedFormat(id) || !File64::PathExists(path)) return kExitOk;
    // Asked once per file: an info that ends up loading the whole file does
    // not prompt a second time.
    if (m_askedPath == path) {
      password = m_asked.c_str();
      return kExitOk;
    }
    password = m_gui.GetPassword(path.c_str(), false);
    if (!password) return Fail(verb, path, WithCode(m_gui.Failure(), DOC_LOAD_WRONG_PASSWORD));
    m_askedPath = path;
    m_asked = password;
    password = m_asked.c_str();
    return kExitOk;
  }


 private:
  std::string m_askedPath, m_asked;  // the last file a password was given for, and that password

  const HostOptions& m_opt;
  TerminalController m_gui;
};

std::string Bytes(int64_t n) {
  char buf[64];
  if (n < 0) return "unknown";
  if (n < 10 * 1024) snprintf(buf, sizeof(buf), "%lld bytes", static_cast<long long>(n));
  else if (n < 10 * 1024 * 1024) snprintf(buf, sizeof(buf), "%.1f KB", static_cast<double>(n) / 1024.0);
  else snprintf(buf, sizeof(buf), "%.1f MB", static_cast<double>(n) / (1024.0 * 1024.0));
  return buf;
}

int CmdInfo(const HostOptions& opt, const Decided&) {
  const std::string& path = opt.args[1];
  Host host(opt);
  std::unique_ptr<NoteDocument> owned(new NoteDocument);
  NoteDocument& doc = *owned;
  // A database tells its tree without its notes, and counts its notes'
  // contents itself (on a second connection meanwhile), far faster than
  // loading and fetching every note; any other document holds them already.
  quillery::SqliteContentCounter counter;
  quillery::TreeOutline outline;
  std::unique_ptr<FormatIO_Sqlite> outlined;
  const unsigned long readFailures = quillery::ReadFailures();
  if (int status = host.LoadOutline(doc, path, counter, outline, outlined)) return status;
  const quillery::ContentByStoredId* rows = outlined ? counter.Wait() : nullptr;
  if (outlined && !rows) outlined.reset();  // not counted (failed, or a write-ahead log): the load tells
  if (!outlined)
    if (int status = host.Load(doc, path, true)) return status;

  FormatIO_Sqlite::ContentCounts counts;
  auto* database = outlined ? nullptr : dynamic_cast<FormatIO_Sqlite*>(doc.GetLoader());
  bool counted = true;
  if (outlined) counts = FormatIO_Sqlite::CountOutlineContents(outline, *rows);
  // (counted on the load's own connection: the counter may have read the
  // file before the load's own read began)
  else counted = database && database->CountNoteContents(counts, false);
  if (!counted && !FetchAllNotes(doc)) return Fail("load", path, "interrupted");

  int levels = outline.levels;
  long long pictures = counts.pictures, attachments = counts.attachments, links = counts.links;
  if (!outlined) {
    DocumentIterator it(doc);
    for (int i = 0; i < doc.GetNodeCount(); ++i) {
      const int level = it.CalcNodeLevel(i);
      if (level + 1 > levels) levels = level + 1;
      if (counted) continue;
      const NoteNode& n = doc.GetNodeByIdx(i);
      // A clone shows its original's content (the native format even repeats
      // the attachments there): counted once, as the document holds it.
      if (n.IsClone()) continue;
      pictures += n.m_objText.m_lstPictures.GetSize();
      attachments += static_cast<long long>(n.m_lstAttachments.size());
      links += n.m_objText.m_lstLinks.GetSize();
    }
  } else if (doc.GetUID().empty()) {
    std::string uid;  // as a load gives a document that has none
    doc.GenerateUniqueNodeID(uid);
    doc.SetUID(uid);
  }
  const int id = NoteDocument::GetFormatFromFileName(path);
  FormatIO_Base* loader = outlined ? outlined.get() : doc.GetLoader();
  std::string generator = loader ? loader->GetGenerator() : std::string();
  if (loader && !loader->GetGeneratorVersion().empty()) generator += " " + loader->GetGeneratorVersion();
  const std::string version = loader ? loader->GetFormatVersion() : std::string();
  const int notes = outlined ? static_cast<int>(outline.ids.size()) : doc.GetNodeCount();
  const bool encrypted = outlined ? IsEncryptedFormat(id) : doc.IsEncrypted();

  printf("file:            %s\n", Printable(path).c_str());
  printf("format:          %s\n", FormatName(id).c_str());
  printf("encrypted:       %s\n", encrypted ? "yes" : "no");
  printf("size:            %s\n", Bytes(File64::FileSize(path)).c_str());
  printf("notes:           %d in %s\n", notes, Counted(levels, "level").c_str());
  printf("contents:        %s, %s, %s\n", Counted(pictures, "picture").c_str(),
         Counted(attachments, "attachment").c_str(), Counted(links, "link").c_str());
  printf("title:           %s\n", Printable(doc.GetTitle()).c_str());
  printf("author:          %s\n", Printable(doc.GetAuthor()).c_str());
  printf("UID:             %s\n", Printable(doc.GetUID()).c_str());
  // A database records no generator: the line would only say so.
  if (!outlined && !doc.GetDynamicLoader())
    printf("generator:       %s\n", generator.empty() ? "(none recorded)" : Printable(generator).c_str());
  printf("format version:  %s\n", version.empty() ? "(none recorded)" : Printable(version).c_str());
  // The command ends the process: its file is closed now, its notes go
  // with the process rather than being freed one by one.
  if (database) database->Close();
  KeepUntilExit(std::move(owned));
  // What it read is shown, and that it could not read all of it.
  if (quillery::ReadFailures() != readFailures)
    return Fail("load", path, WithCode(kDamagedInput, DOC_LOAD_FORMAT_ERROR));
  return kExitOk;
}

int CmdConvert(const HostOptions& opt, const Decided& decided) {
  const std::string& in = opt.args[1];
  const std::string& out = opt.args[2];
  Host host(opt);
  if (int status = host.CheckTarget(out, "save")) return status;
  if (int status = CheckToPassword(opt, out)) return status;
  // Rewriting a file in place (to change its password, to upgrade it) keeps
  // its identity: the temporary file's other name must not make it count as
  // a copy. Only the same document in the same format is rewritten without
  // --force: another format, or a page read as one note and written as an
  // export, would put something else in the file's place.
  const int inId = NoteDocument::GetFormatFromFileName(in);
  const bool inPlace = SameFile(in, out) && inId == NoteDocument::GetFormatFromFileName(out) && StoresDocument(inId);
  // A file that may not be written cannot be rewritten in place: said before
  // it is loaded (an old database's load would fail at its upgrade).
  if (inPlace && access(out.c_str(), W_OK) != 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) {
    const int id = NoteDocument::GetFormatFromFileName(out);
    int version = 0;
    if (id == FORMAT_QYDB || id == FORMAT_QYDE) {
      const char* password = nullptr;
      if (int status = host.LoadPassword(in, id, password)) return status;
      version = OlderDatabaseVersion(in, password);
    }
    const std::string why = version > 0 ? "the file is at an older format version (" + std::to_string(version) +
                                              ") and read-only: it cannot be upgraded"
                                        : SaveResultText(DOC_SAVE_NOT_WRITABLE);
    return Fail("save", out, WithSaveCode(why, DOC_SAVE_NOT_WRITABLE));
  }
  // Nor one whose folder may not be written: the new copy (or a database's
  // journal) is made beside it.
  std::string folder, name;
  if (inPlace) SplitFolderAndName(out, folder, name);
  if (inPlace && access(folder.c_str(), W_OK | X_OK) != 0 && (errno == EACCES || errno == EPERM || errno == EROFS))
    return Fail("save", out, WithCode("permission denied: its folder may not be written", DOC_LOAD_PERMISSIONS));
  if (!inPlace) {
    if (int status = CheckOverwrite(opt, out, "save")) return status;
    if (int status = host.CheckTargetPassword(out)) return status;
  }
  const bool keepID = opt.keepID || inPlace;
  NoteDocument doc;
  const unsigned long readFailures = quillery::ReadFailures();
  // The source stays as it is, unless it is the target.
  if (int status = host.Load(doc, in, !inPlace)) return status;
  // A database rewritten in place keeps its notes' contents where they are,
  // unread: they are read now, as a copy would read them, so that a damaged
  // file fails here as its copy would (and is left as it was).
  if (inPlace && !ReadEveryNote(doc)) return Fail("save", out, "interrupted");
  if (quillery::ReadFailures() != readFailures) return Fail("save", out, WithSaveCode(kDamagedSource, DOC_SAVE_ERROR));
  return host.Save(doc, out, keepID, decided.output, decided.sideFolder);
}

int CmdDump(const HostOptions& opt, const Decided& decided) {
  const std::string& in = opt.args[1];
  const std::string& out = opt.args[2];
  const int id = NoteDocument::GetFormatFromFileName(in);
  std::unique_ptr<FormatIO_Base> fmt(id > 0 ? FileFormatFactory::Get().CreateFileFormat(id) : nullptr);
  if (!fmt) return Fail("dump", in, WithCode(LoadResultText(DOC_LOAD_UNKNOWN_FORMAT), DOC_LOAD_UNKNOWN_FORMAT));
  if (id != FORMAT_QYE && id != FORMAT_QYZ && id != FORMAT_QYDE)
    return Fail("dump", in,
                WithCode("only containers (.qye, .qyz) and encrypted databases (.qyde) can be dumped",
                         DOC_LOAD_UNKNOWN_FORMAT));
  // The decoded copy would replace the only encoded one.
  if (SameFile(in, out)) return Fail("dump", out, WithSaveCode("it is the input file", kKeptTarget));
  // The output is named for what it holds: a native document (or a page)
  // for a container, a plain database for an encrypted one.
  const int outId = NoteDocument::GetFormatFromFileName(out);
  if (id == FORMAT_QYDE ? outId != FORMAT_QYDB : outId != FORMAT_QYD && outId != FORMAT_HTML) {
    fprintf(stderr, "dump writes the contents of %s as %s\n", Printable(in).c_str(),
            id == FORMAT_QYDE ? "a plain database: the output must end in .qydb"
                              : "a native document: the output must end in .qyd or .html");
    return kExitUsage;
  }
  if (access(in.c_str(), F_OK) != 0) {
    const int cause = errno == EACCES || errno == EPERM ? DOC_LOAD_PERMISSIONS : DOC_LOAD_NOT_FOUND;
    return Fail("dump", in, WithCode(LoadResultText(cause), cause));
  }
  const std::string problem = InputProblem(in);
  if (!problem.empty()) return Fail("dump", in, problem);
  const std::string outProblem = OutputProblem(out);
  if (!outProblem.empty()) return Fail("dump", out, outProblem);
  if (int status = CheckOverwrite(opt, out, "dump")) return status;
  Host host(opt);
  const char* password = nullptr;
  if (int status = host.LoadPassword(in, id, password, "dump")) return status;
  quillery::ClearFailureReason();
  TempOutput tmp(decided.output, id == FORMAT_QYDE);
  if (int err = tmp.Error()) {
    const std::string named = quillery::TakeFailureReason();  // what is in the way, by name
    return Fail("dump", out,
                WithSaveCode(named.empty() ? quillery::ReasonForErrno(err) : named, quillery::SaveResultForErrno(err)));
  }
  ResetProgress();
  // A container's markup goes through the descriptor of the file created
  // for it, never through a name that may refer to another file by now.
  if (id != FORMAT_QYDE) fmt->SetOutputFile(tmp.Descriptor());
  const unsigned long readFailures = quillery::ReadFailures();
  if (!fmt->DumpFile(in.c_str(), tmp.Path().c_str(), password)) {
    if (WasInterrupted()) return Fail("dump", in, "interrupted");
    if (quillery::ReadFailures() != readFailures)
      return Fail("dump", out, WithSaveCode(kDamagedSource, DOC_SAVE_ERROR));
    // Why it could not be decoded is told as a load tells it (a wrong
    // password fails at the header, at once); a file that loads was
    // readable, and its copy could not be written.
    NoteDocument doc;
    if (int status = host.Load(doc, in, true, "dump")) return status;
    return Fail("dump", out, WithSaveCode(SaveResultText(DOC_SAVE_WRITE_ERROR), DOC_SAVE_WRITE_ERROR));
  }
  if (WasInterrupted()) return Fail("dump", in, "interrupted");
  quillery::ClearFailureReason();
  if (int result = tmp.Commit()) return Fail("dump", out, SaveFailure(result));
  return kExitOk;
}

int CmdGenerate(const HostOptions& opt, const Decided& decided) {
  char* end = nullptr;
  const long n = strtol(opt.args[1].c_str(), &end, 10);
  if (!end || *end || n < 0 || n > 10000000) {
    fprintf(stderr, "generate: the note count must be a number from 0 to 10000000\n");
    return kExitUsage;
  }
  const std::string& out = opt.args[2];
  Host host(opt);
  if (int status = host.CheckTarget(out, "save")) return status;
  if (int status = CheckToPassword(opt, out)) return status;
  if (int status = CheckOverwrite(opt, out, "save")) return status;
  if (int status = host.CheckTargetPassword(out)) return status;
  StopWatch sw;
  NoteDocument doc;
  quillery::NotebookOptions no;
  no.nNotes = static_cast<int>(n);
  no.nSeed = opt.seed;
  no.stop = WasInterrupted;
  const quillery::NotebookStats st = quillery::MakeSampleNotebook(doc, no);
  if (WasInterrupted()) return Fail("save", out, "interrupted");
  if (int status = host.Save(doc, out, true, decided.output, decided.sideFolder)) return status;
  if (opt.quiet) return kExitOk;
  printf("wrote %s: %s in %s, %s, %s, %s, %s, %s, %s, %s; %s in %.2f s\n", Printable(out).c_str(),
         Counted(st.nNotes, "note").c_str(), Counted(st.nMaxLevel + (st.nNotes ? 1 : 0), "level").c_str(),
         Counted(st.nPictures, "picture").c_str(), Counted(st.nAttachments, "attachment").c_str(),
         Counted(st.nLinks, "link").c_str(), Counted(st.nAnchors, "anchor").c_str(),
         Counted(st.nFormatTags, "formatting tag").c_str(), Counted(st.nTasks, "task").c_str(),
         Counted(st.nClones, "clone").c_str(), Bytes(File64::FileSize(out)).c_str(),
         static_cast<double>(sw.GetElapsedMiliSeconds()) / 1000.0);
  return kExitOk;
}

int CmdCompare(const HostOptions& opt, const Decided&) {
  Host host(opt);
  NoteDocument a, b;
  // 1 is kept for "different": a file that cannot be compared, or that
  // could not be read whole, is trouble.
  for (int i : {1, 2}) {
    const unsigned long readFailures = quillery::ReadFailures();
    NoteDocument& doc = i == 1 ? a : b;
    if (int status = host.Load(doc, opt.args[i], true)) return WasInterrupted() ? status : TroubleStatus(opt);
    if (!FetchAllNotes(doc)) return Fail("load", opt.args[i], "interrupted");
    if (quillery::ReadFailures() != readFailures) {
      const int status = Fail("load", opt.args[i], WithCode(kDamagedInput, DOC_LOAD_FORMAT_ERROR));
      return WasInterrupted() ? status : TroubleStatus(opt);
    }
  }
  quillery::DocCompareOptions co;
  co.bUID = co.bDeletions = !opt.ignoreUID;
  co.stop = WasInterrupted;
  std::string diff;
  const bool equal = quillery::CompareDocuments(a, b, &diff, co);
  // A verdict reached after Ctrl-C may be a stopped comparison's.
  if (WasInterrupted()) return Fail("compare", opt.args[1], "interrupted");
  if (!equal) {
    if (!opt.quiet) printf("different: %s\n", Printable(diff).c_str());
    return kExitFailed;
  }
  if (!opt.quiet) printf("equal: %d notes\n", a.GetNodeCount());
  return kExitOk;
}

int CmdFormats(const HostOptions&, const Decided&) {
  for (int id : RegisteredFormats())
    printf("%s\t%d\t%s\t%s\n", FormatExtension(id).c_str(), id, StoresDocument(id) ? "document" : "export",
           FormatName(id).c_str());
  return kExitOk;
}

struct Command {
  const char* name;
  size_t operands;
  int (*run)(const HostOptions&, const Decided&);
  bool writes;   // its last operand is the file it writes
  bool exports;  // and that file may be an export, with a side folder
};

const Command kCommands[] = {
    {"info", 1, CmdInfo, false, false},         {"convert", 2, CmdConvert, true, true},
    {"dump", 2, CmdDump, true, false},          {"generate", 2, CmdGenerate, true, true},
    {"compare", 2, CmdCompare, false, false},   {"formats", 0, CmdFormats, false, false},
};

// What command c may replace, looked at now.
Decided Decide(const Command& c, const HostOptions& opt) {
  if (!c.writes) return Decided();
  const std::string& out = opt.args.back();
  // Only an export has a side folder (a state holds what it found open).
  const bool exporting = c.exports && NoteDocument::GetFormatFromFileName(out) == FORMAT_HTML;
  return Decided{quillery::TargetState::Of(out), exporting ? DecidedFolder(opt, out) : quillery::TargetState()};
}

}  // namespace

int TroubleStatus(const HostOptions& options) {
  return !options.args.empty() && options.args[0] == "compare" ? kExitUsage : kExitFailed;
}

int RunCommand(HostOptions& options) {
  RegisterFormats();
  if (options.args.empty()) return kExitUsage;
  for (const Command& c : kCommands) {
    if (options.args[0] != c.name) continue;
    if (options.args.size() != c.operands + 1) {
      fprintf(stderr, "%s takes %zu operand%s (see quillery --help)\n", c.name, c.operands, c.operands == 1 ? "" : "s");
      return kExitUsage;
    }
    // Documents are files whose extensions tell their formats; a "-" would
    // otherwise be taken for a file of that name.
    for (size_t i = 1; i < options.args.size(); ++i) {
      if (options.args[i] != "-") continue;
      fprintf(stderr, "%s: - (standard input or output) cannot be used; name a file\n", c.name);
      return kExitUsage;
    }
    if (!ExportOptionsFit(options.html, options.args)) return kExitUsage;
    // Decided as the command begins, before a password is read (a terminal
    // or a slow pipe may take long) and the input loaded: a file or folder
    // that appears at an output meanwhile is not the command's to replace.
    const Decided decided = Decide(c, options);
    if (int status = TakePasswordFiles(options)) return status;
    // Until then Ctrl-C ends the process at once: a password file (the
    // standard input too) is read to its end, and a cancel flag would not
    // stop that read.
    InstallInterruptHandler();
    return c.run(options, decided);
  }
  fprintf(stderr, "unknown command: %s (see quillery --help)\n", options.args[0].c_str());
  return kExitUsage;
}

}  // namespace quillery_host
