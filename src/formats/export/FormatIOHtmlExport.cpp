// The HTML export's page: preparing the side folder, the page header with
// its title, link-warning script and style sheet, the frameset page with
// its title page, and the order in which the export writes its body.
//
// The export is the native writer running with m_bExport set; this file
// holds what only an export writes. Native files never pass through here.

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/File64.h"
#include "base/FileUtil.h"
#include "base/Log.h"
#include "base/Progress.h"
#include "base/StringUtil.h"
#include "formats/native/FormatIOHtml.h"
#include "formats/export/FormatIOHtmlExport.h"
#include "html/HtmlParser.h"
#include "html/HtmlWriteEscape.h"
#include "io/IOProcess.h"
#include "model/GuiControllerBase.h"
#include "model/NoteDocument.h"
#include "model/RecursiveTreeWalker.h"
#include "save/SafeSave.h"
#include "save/StagedFolder.h"

using quillery::AppendAttrValue;
using quillery::UriEscapePathSegment;

std::string* g_pStrHeaderPreHtmlExport = nullptr;
std::string* g_pStrNotePreHtmlExport = nullptr;
std::string* g_pStrNoteTitlePreHtmlExport = nullptr;
std::string g_strNoteIDPreHtmlExport;
std::string g_strRootIDPreHtmlExport;

namespace quillery {

const char kLinkWarningScript[] =
    "<script type=\"text/JavaScript\">\n"
    "<!--\n"
    "\tfunction LinkWarning(){\n"
    "\t\talert(\"This link is no longer valid!\");\n"
    "\t}\n"
    "//-->\n"
    "</script>\n";

const char kHtml401Doctype[] =
    "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\"\n"
    "\"http://www.w3.org/TR/html4/loose.dtd\">\n";

void RaiseHtmlExportEvent(GuiControllerBase* gui, int event, std::string** slot, std::string* text) {
  struct Reset {
    std::string** slot;
    ~Reset() {
      *slot = nullptr;
      g_strNoteIDPreHtmlExport.clear();
      g_strRootIDPreHtmlExport.clear();
    }
  } reset{slot};
  if (!gui) return;
  *slot = text;
  gui->HandleEvent(event);
}

std::string ExportNoteTitle(NoteDocument& doc, const NoteNode& note) {
  std::string title = note.m_strTitle;
  RaiseHtmlExportEvent(doc.GetGuiController(), HTML_EXPORT_NOTE_TITLE, &g_pStrNoteTitlePreHtmlExport, &title);
  replaceall(title, "\r\n", 2, " ", 1);
  replaceall(title, '\r', ' ');
  replaceall(title, '\n', ' ');
  HTMLParser::EscapeChars(title);
  return title;
}

}  // namespace quillery

namespace {

// A style sheet given as a web address is linked as it stands.
bool IsWebAddress(const std::string& path) {
  return path.compare(0, 7, "http://") == 0 || path.compare(0, 8, "https://") == 0;
}

}  // namespace

int FormatIO_HTMLExport::Save(const char* path, RecursiveTreeWalker& walker) {
  int result = FormatIO_HTML::Save(path, walker);
  // A cancel that came while the last bytes were written still leaves the
  // earlier export as it was: the page is not put in place either.
  if (result == 0 && ProgressInfo::IsCanceled()) result = DOC_SAVE_ABORTED;
  if (result == 0 && m_side && OwnsOutput()) {
    // The page was written in its place: nobody else installs the folder.
    if (const int e = m_side->Install()) {
      result = SideFolderFailure(e);
    } else {
      m_side->Commit();
      m_side->RemoveReplaced();
    }
    m_side.reset();
  }
  if (result != 0) m_side.reset();
  m_pageAnchors.clear();
  m_pWalker = nullptr;
  return result;
}

int FormatIO_HTMLExport::PrepareExportFolders() {
  _strExportSubName = quillery::ExportSubName(m_strPath);
  _strExportSubDir = quillery::ExportSubDir(m_strPath);
  // Beside the page in the folder the save decided on, however that
  // folder's path changed since (a link made on the way is not followed).
  if (const quillery::TargetState* page = TargetStateGiven())
    _strExportSubDir = quillery::PathInFolder(page->Folder(), _strExportSubName,
                                              _strExportSubDir.substr(0, _strExportSubDir.size() - 1)) + "/";
  m_pageAnchors.clear();
  m_pWalker = nullptr;
  m_side.reset();
  GuiControllerBase* gui = GetDoc()->GetGuiController();
  const char* tmpl = m_opt.bFrames && gui ? gui->GetHtmlFramesTemplateDir() : nullptr;
  if (m_opt.bFrames && (!tmpl || !*tmpl)) {
    // Without its template the frames pages would refer to a tree script
    // and pages that do not exist.
    xLog(LOG_ERROR, "HTML export: no frames template folder\n");
    return DOC_SAVE_ERROR;
  }
  quillery::TargetState decided;
  if (const int result = ClaimSideFolder(decided)) return result;
  m_side.reset(new quillery::StagedFolder);
  if (const int e = m_side->Begin(_strExportSubDir, decided)) {
    xLog(LOG_ERROR, "HTML export: cannot make a folder beside [%s]: %s\n", _strExportSubDir.c_str(), strerror(e));
    m_side.reset();
    quillery::SetFailureReason(quillery::ReasonForErrno(e));
    return quillery::SaveResultForErrno(e);
  }
  // Side files go into the build folder; links name the side folder.
  _strExportSubDir = m_side->Build();
  if (!m_opt.bFrames) {
    // The folders of attachments and pictures, made whether used or not;
    // a failure shows when a file goes there.
    for (const char* sub : {"attach", "img"})
      if (mkdir((_strExportSubDir + sub).c_str(), 0777) != 0)
        xLog(LOG_WARNING, "HTML export: cannot make [%s%s]: %s\n", _strExportSubDir.c_str(), sub, strerror(errno));
    return 0;
  }
  xLog(LOG_INFO, "Copy dir: %s -> %s\n", tmpl, _strExportSubDir.c_str());
  if (!CopyTemplate(tmpl, _strExportSubDir, 0)) return DOC_SAVE_ERROR;
  return 0;
}

int FormatIO_HTMLExport::ClaimSideFolder(quillery::TargetState& decided) {
  // The side folder of an earlier export is replaced whole, with the host's
  // consent; anything else in its place is never replaced, nor a folder
  // that is not the one the caller found there before the save began.
  // (By its path, which failures name: the build goes where the page's
  // folder is, and only the folder found is replaced.)
  const std::string subDir = quillery::ExportSubDir(m_strPath);
  const std::string place = subDir.substr(0, subDir.size() - 1);
  decided = quillery::TargetState::OfEntry(place);
  if (const quillery::TargetState* given = FolderStateGiven()) {
    const bool same = given->SameFileAs(decided);
    decided = *given;
    decided.path = place;
    if (!same) {
      xLog(LOG_ERROR, "HTML export: [%s] changed since the save was decided\n", place.c_str());
      quillery::SetFailureReason(decided.ChangedReason("folder"));
      return DOC_SAVE_RENAME_FAILED;
    }
  }
  if (!decided.exists) return 0;
  struct stat st;
  if (lstat(place.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
    xLog(LOG_ERROR, "HTML export: [%s] is no folder\n", place.c_str());
    return SideFolderFailure(ENOTDIR);
  }
  GuiControllerBase* gui = GetDoc()->GetGuiController();
  if (!gui || !gui->AskFileOverwrite(place.c_str())) {
    quillery::SetFailureReason(_strExportSubName + " exists");
    return DOC_SAVE_ABORTED;
  }
  return 0;
}

int FormatIO_HTMLExport::SideFolderFailure(int err) const {
  quillery::SetFailureReason(quillery::StagedFolder::FailureReason(_strExportSubName, err));
  if (err == EEXIST) return DOC_SAVE_RENAME_FAILED;  // not the folder the save began with
  return err == ENOTDIR ? DOC_SAVE_NOT_OPEN : quillery::SaveResultForErrno(err);
}

std::string FormatIO_HTMLExport::ExportPageTitle(const RecursiveTreeWalker& walker, bool fromTarget) const {
  NoteDocument& doc = *GetDoc();
  std::string title = doc.GetTitle();
  const int type = walker.GetType();
  const int start = walker.GetStartIdx();
  if ((type == WALK_BRANCH || type == WALK_NODE) && start >= 0 && start < doc.GetNodeCount())
    title = doc.GetNodeByIdx(start).m_strTitle;
  if (title.empty() && fromTarget) title = GetTitleName(quillery::ExportTargetPath(m_strPath));
  replaceall(title, "\r\n", 2, " ", 1);
  replaceall(title, '\r', ' ');
  replaceall(title, '\n', ' ');
  return title;
}

bool FormatIO_HTMLExport::AppendStyleSheet(std::string& h) {
  NoteDocument& doc = *GetDoc();
  const std::string& css = m_opt.strCss;
  if (doc.nExportCssEmbed > 0) {
    // A style sheet is a small regular file: a FIFO or a device named
    // instead would block or never end.
    std::string sheet;
    if (const int err = ReadRegularFile(css, kStyleSheetLimit, sheet)) {
      xLog(LOG_ERROR, "HTML export: style sheet [%s] cannot be read: %s\n", css.c_str(), strerror(err));
      quillery::SetFailureReason("the style sheet " + css + ": " + ReadProblem(err, kStyleSheetLimit));
      return false;
    }
    h += "<style type=\"text/css\">\n<!--\n";
    h += sheet;
    h += "-->\n</style>\n";
    return true;
  }
  std::string href = css;
  if (!IsWebAddress(css)) {
    if (!File64::PathExists(css)) {
      xLog(LOG_ERROR, "HTML export: style sheet [%s] does not exist\n", css.c_str());
      return false;
    }
    if (!ConvertToRelativePath(href, quillery::ExportTargetPath(m_strPath))) href = "file://" + css;
  }
  h += "<link rel=\"stylesheet\" type=\"text/css\" href=\"";
  AppendAttrValue(h, href);
  h += "\">\n";
  return true;
}

bool FormatIO_HTMLExport::SaveExportHeader(RecursiveTreeWalker& walker, IOProcess& io) {
  NoteDocument& doc = *GetDoc();
  const bool frames = m_opt.bFrames;
  const bool styled = !m_opt.strCss.empty();
  std::string h;
  if (!m_bBodyOnly) {
    h += quillery::kHtml401Doctype;
    AppendHeadMeta(h, doc);
    // A TITLE belongs to a HEAD; a page body alone has none.
    if (!m_bContentsOnly) {
      std::string title = ExportPageTitle(walker, true);
      HTMLParser::EscapeChars(title);
      h += "<TITLE>" + title + "</TITLE>\n";
    }
  }
  if (!frames && m_bLinkWarning && !m_bContentsOnly) h += quillery::kLinkWarningScript;
  quillery::PrepareTabReplacement(doc);
  if (!frames && styled && !AppendStyleSheet(h)) {
    m_nSaveError = DOC_SAVE_CSS_FAILED;
    return false;
  }
  if (!frames) {
    if (!m_bBodyOnly) h += "</HEAD>\n";
    quillery::RaiseHtmlExportEvent(doc.GetGuiController(), quillery::HTML_EXPORT_HEADER_DONE,
                                   &g_pStrHeaderPreHtmlExport, &h);
  }
  if (!WriteString(io, h.data(), static_cast<int>(h.size()))) {
    m_nSaveError = DOC_SAVE_WRITE_ERROR;
    return false;
  }
  if (frames) return WriteFramesetPages(io, walker);

  std::string b;
  if (!m_bBodyOnly) {
    b += "<BODY";
    if (styled && !m_bContentsOnly) b += m_opt.bHeadings ? " class=\"qy_export_h\"" : " class=\"qy_export_dl\"";
    b += ">\n";
  }
  const int type = walker.GetType();
  if (styled && type != WALK_BRANCH && type != WALK_NODE) {
    std::string title = doc.GetTitle();
    replaceall(title, '\n', ' ');
    if (title.empty()) title = GetTitleName(doc.GetPath());
    if (!title.empty()) {
      HTMLParser::EscapeChars(title);
      b += "\n<div class=\"qy_title\"><h1>" + title + "</h1></div>\n";
    }
  }
  if (!WriteString(io, b.data(), static_cast<int>(b.size()))) {
    m_nSaveError = DOC_SAVE_WRITE_ERROR;
    return false;
  }
  return true;
}

bool FormatIO_HTMLExport::WriteFramesetPages(IOProcess& io, const RecursiveTreeWalker& walker) {
  NoteDocument& doc = *GetDoc();
  const std::string sub = "./" + UriEscapePathSegment(_strExportSubName);
  // The main frame opens on the first walked note.
  int first = -1;
  const int type = walker.GetType();
  if (type == WALK_BRANCH || type == WALK_NODE) {
    first = walker.GetStartIdx();
  } else {
    RecursiveTreeWalker probe(walker);
    probe.Restart();
    first = probe.GetNextNode();
  }
  if (first >= doc.GetNodeCount()) first = -1;
  std::string f = "<frameset rows=\"100,*\" border=0>\n";
  f += "\t<frame name=\"nav\" src=\"" + sub + "/web/top.html\" frameborder=\"0\">\n";
  f += "\t<frameset cols=\"230,*,30\" border=\"4\">\n";
  f += "\t\t<frame name=\"tree\"  src=\"" + sub + "/web/toc.html\" frameborder=\"1\">\n";
  if (first >= 0) {
    f += "\t\t<frame name=\"main\" src=\"" + sub + "/notes/" +
         UriEscapePathSegment(m_exportNames.PageName(doc.GetNodeByIdx(first).m_strID)) +
         "\" frameborder=\"0\">\n";
  } else {
    f += "\t\t<frame name=\"main\" frameborder=\"0\">\n";
  }
  f += "\t\t<frame name=\"blank\" src=\"" + sub + "/web/blank.html\" frameborder=\"0\">\n";
  f += "\t</frameset>\n<noframes>\n <body>\n You need a browser that supports frames.\n </body>\n</noframes>\n";
  f += "</frameset>\n</html>\n";
  if (!WriteString(io, f.data(), static_cast<int>(f.size()))) {
    m_nSaveError = DOC_SAVE_WRITE_ERROR;
    return false;
  }

  std::string title = ExportPageTitle(walker, true);
  if (title.empty()) {
    title = "RirazivoVuv <i>Html Export</i>";
  } else {
    HTMLParser::EscapeChars(title);
  }
  std::string top = quillery::kHtml401Doctype;
  top += "<html>\n<head>\n\t<title>RirazivoVuv</title>\n";
  top += "\t<link rel=\"stylesheet\" type=\"text/css\" href=\"css/main.css\">";
  top += "</head>\n<body>\n<center><h1>" + title + "</h1></center>\n</body>\n</html>";
  if (!WriteSideFile(_strExportSubDir + "web/top.html", top.data(), top.size(), false)) return false;
  return true;
}

bool FormatIO_HTMLExport::WriteExportContents(DocumentIterator& it, IOProcess& io, RecursiveTreeWalker& walker) {
  const bool styled = !m_opt.strCss.empty();
  int entries = 0;
  m_nExportIntroIdx = -1;
  m_pWalker = &walker;
  if (m_opt.bFrames) {
    // The navigation tree first, then one page per note.
    WriteTOC(it, io, walker, entries);
    if (m_nSaveError != 0) return false;
    walker.Restart();
    WriteLevel(it, io, walker, true, styled);
    return m_nSaveError == 0;
  }
  walker.Restart();
  const int type = walker.GetType();
  if (type == WALK_BRANCH || type == WALK_NODE) {
    // The start note is the page's title and introduction.
    const int start = walker.GetNextNode();
    if (start >= 0) {
      int previous = -1;
      m_nExportIntroIdx = start;
      WriteNote(it, io, walker, previous, start, true, styled, true);
      if (m_nSaveError != 0) return false;
    }
  }
  if (m_opt.nTocDepth > 0) {
    WriteTOC(it, io, walker, entries);
    if (m_nSaveError != 0) return false;
  }
  walker.Restart();
  if (styled && !WriteString(io, "<div class=\"qy_content\">\n", -1)) {
    m_nSaveError = DOC_SAVE_WRITE_ERROR;
    return false;
  }
  WriteLevel(it, io, walker, true, styled);
  if (m_nSaveError != 0) {
    xLog(LOG_DEBUG, "HTML::Save write contents (exit on err.)\n");
    return false;
  }
  if ((styled && !WriteString(io, "</div>\n", -1)) ||
      (!m_bBodyOnly && !WriteString(io, "</BODY>\n</HTML>\n", -1))) {
    m_nSaveError = DOC_SAVE_WRITE_ERROR;
    return false;
  }
  return true;
}
