#include "HostExport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "save/SafeSave.h"
#include "formats/native/FormatIOHtml.h"
#include "formats/native/HtmlExportNames.h"
#include "model/FormatIO_Base.h"
#include "model/NoteDocument.h"
#include "model/RecursiveTreeWalker.h"

namespace quillery_host {

namespace {

const char kFramesFolder[] = "html_export_frames";

bool IsFolder(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsWebAddress(const std::string& path) {
  return path.compare(0, 7, "http://") == 0 || path.compare(0, 8, "https://") == 0;
}

// The export makes a linked style sheet relative to the page's folder, which
// needs both paths absolute; a name given on the command line is relative to
// the current folder.
std::string AbsoluteFromHere(const std::string& path) {
  if (path.empty() || path[0] == '/' || IsWebAddress(path)) return path;
  char cwd[4096];
  if (!getcwd(cwd, sizeof(cwd))) return path;
  return std::string(cwd) + "/" + path;
}

std::string ProgramFolder() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return std::string();
  std::string exe(buf, static_cast<size_t>(n));
  const size_t slash = exe.rfind('/');
  return slash == std::string::npos ? std::string() : exe.substr(0, slash);
}

bool SetNonEmpty(std::string& slot, const char* value) {
  if (!value || !*value) return false;
  slot = value;
  return true;
}

}  // namespace

bool SetExportOption(const std::string& name, const char* value, ExportOptions& out) {
  out.given = true;
  if (name == "--frames") {
    out.frames = true;
  } else if (name == "--toc") {
    if (!value || !*value) return false;
    char* end = nullptr;
    errno = 0;
    const long depth = strtol(value, &end, 10);
    if (errno != 0 || !end || *end || depth < 0 || depth > 100) return false;
    out.tocDepth = static_cast<int>(depth);
    out.toc = true;
  } else if (name == "--numbering") {
    out.numbering = true;
  } else if (name == "--headings") {
    out.headings = true;
  } else if (name == "--style-sheet" || name == "--embed-style") {
    const bool embed = name == "--embed-style";
    if (!out.styleSheet.empty() && out.embedStyle != embed) return false;
    out.embedStyle = embed;
    return SetNonEmpty(out.styleSheet, value);
  } else if (name == "--tags-as-classes") {
    out.tagsAsClasses = true;
  } else if (name == "--files") {
    out.files = true;
  } else if (name == "--branch" || name == "--note") {
    std::string& mine = name == "--branch" ? out.branchID : out.noteID;
    const std::string& other = name == "--branch" ? out.noteID : out.branchID;
    if (!other.empty()) return false;
    return SetNonEmpty(mine, value);
  } else if (name == "--no-attachments") {
    out.noAttachments = true;
  } else if (name == "--template") {
    return SetNonEmpty(out.templateDir, value);
  } else {
    return false;
  }
  return true;
}

namespace {

// Why an option given would change nothing in the export; empty when each
// one counts. A frames export has a layout of its own.
std::string IdleOption(const ExportOptions& o) {
  if (o.frames) {
    const struct {
      bool given;
      const char* name;
      const char* why;
    } idle[] = {
        {o.numbering, "--numbering", "the navigation tree holds no numbers"},
        {!o.styleSheet.empty(), o.embedStyle ? "--embed-style" : "--style-sheet",
         "the pages use the template's style sheet"},
        {o.toc, "--toc", "the navigation tree is the table of contents"},
        {o.headings, "--headings", "each note page has its title as its heading"},
        {o.tagsAsClasses, "--tags-as-classes", "no element of its pages takes the classes"},
        {o.files, "--files", "its pictures and attachments are always files"},
    };
    for (const auto& i : idle)
      if (i.given) return std::string(i.name) + " does nothing with --frames: " + i.why;
    return std::string();
  }
  if (!o.templateDir.empty()) return "--template does nothing without --frames: only a frames export uses a template";
  if (o.tagsAsClasses && o.styleSheet.empty() && !o.headings && o.tocDepth == 0)
    return "--tags-as-classes does nothing without --headings, --toc or a style sheet: no element takes the classes";
  return std::string();
}

}  // namespace

bool ExportOptionsFit(const ExportOptions& options, const std::vector<std::string>& args) {
  if (!options.given) return true;
  if (args.size() != 3 || NoteDocument::GetFormatFromFileName(args[2]) != FORMAT_HTML) {
    fprintf(stderr, "the HTML export options need an .html or .htm target\n");
    return false;
  }
  const std::string idle = IdleOption(options);
  if (idle.empty()) return true;
  fprintf(stderr, "%s\n", idle.c_str());
  return false;
}

std::string ExportSideFolder(const ExportOptions& /*options*/, const std::string& target) {
  // Every export has one, whatever its options.
  const std::string dir = quillery::ExportSubDir(quillery::FinalPath(target));
  return dir.substr(0, dir.size() - 1);
}

std::string MissingTemplateFile(const std::string& dir) {
  // What the frames pages load from the template; the export writes the rest.
  for (const char* file : {"web/toc.html", "web/tree.js", "web/blank.html", "web/css/main.css"}) {
    struct stat st;
    if (stat((dir + "/" + file).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return file;
  }
  return std::string();
}

std::string FindFramesTemplate(const ExportOptions& options) {
  if (!options.templateDir.empty()) return IsFolder(options.templateDir) ? options.templateDir : std::string();
  const std::string bin = ProgramFolder();
  if (!bin.empty()) {
    const std::string beside = bin + "/../share/quillery/" + kFramesFolder;
    if (IsFolder(beside)) return beside;
  }
#ifdef QY_INSTALL_DATA_DIR
  const std::string installed = std::string(QY_INSTALL_DATA_DIR) + "/" + kFramesFolder;
  if (IsFolder(installed)) return installed;
#endif
  return std::string();
}

std::string ApplyExportOptions(NoteDocument& doc, const ExportOptions& o, int& walkType, int& startIdx) {
  walkType = WALK_ALL;
  startIdx = -1;
  const std::string& id = !o.branchID.empty() ? o.branchID : o.noteID;
  if (!id.empty()) {
    startIdx = doc.GetIdxFromID(id);
    if (startIdx < 0) return "the document has no note with the ID " + id;
    walkType = !o.branchID.empty() ? WALK_BRANCH : WALK_NODE;
  }
  doc.bExportFrames = o.frames;
  doc.nExportTocDepth = o.tocDepth;
  doc.bExportNumbered = o.numbering;
  doc.bExportHeadings = o.headings;
  doc.strExportCss = AbsoluteFromHere(o.styleSheet);
  doc.nExportCssEmbed = o.embedStyle ? 1 : -1;
  doc.bExportPicturesToFiles = o.files;
  doc.bExportNoAttachments = o.noAttachments;
  g_bExportTagsAsCSSClasses = o.tagsAsClasses;
  return std::string();
}

}  // namespace quillery_host
