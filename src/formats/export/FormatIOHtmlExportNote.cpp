// One note of an HTML export: its title element (definition term, heading,
// the page's title block, or a frames page heading), the classed list
// opening, and what happens once the note's HTML is complete (the host's
// hook, and in a frames export the note's own page).

#include <algorithm>
#include <cstdio>

#include "base/File64.h"
#include "base/Log.h"
#include "formats/native/FormatIOHtml.h"
#include "formats/export/FormatIOHtmlExport.h"
#include "formats/native/HtmlExportNames.h"
#include "html/HtmlParser.h"
#include "html/HtmlWriteEscape.h"
#include "model/NoteDocument.h"
#include "model/NoteNode.h"
#include "model/RecursiveTreeWalker.h"

namespace {

// Levels count from 1 at the walk's top notes; walks that leave out their
// start note have their top notes one level below it.
int ExportLevel(const RecursiveTreeWalker& walker, int depth) {
  const int type = walker.GetType();
  const bool fromChildren = type == WALK_BRANCH || type == WALK_CHILDREN || type == WALK_DESCENDANTS;
  return depth + (fromChildren ? 0 : 1);
}

}  // namespace

std::string FormatIO_HTMLExport::ExportListOpen(const RecursiveTreeWalker& walker, int depth) const {
  char buf[48];
  snprintf(buf, sizeof(buf), "<DL class=\"qy_level%02d\">\n", ExportLevel(walker, depth));
  return buf;
}

void FormatIO_HTMLExport::AppendExportNodeTitle(const RecursiveTreeWalker& walker, NoteNode& note, int level, int depth,
                                          bool first, std::string& out) {
  NoteDocument& doc = *GetDoc();
  const bool styled = !m_opt.strCss.empty();
  const bool frames = m_opt.bFrames;
  const bool headings = m_opt.bHeadings;
  const std::string title = quillery::ExportNoteTitle(doc, note);
  const std::string tags = m_opt.bTagsAsClasses ? quillery::ExportTagClasses(note.m_strKeywords) : "";
  char buf[64];
  std::string close;
  if (frames) {
    // A note page opens with its title as the heading.
    out += "<h1>";
    close = "</h1>\n";
  } else if (first) {
    out += "<div class=\"qy_title";
    if (styled && !tags.empty()) out += " " + tags;
    out += "\">";
    if (!headings) out += "<h1>";
    close = headings ? "</div>\n" : "</h1></div>\n";
  } else if (headings) {
    const int h = std::min(level + 1, 6);
    snprintf(buf, sizeof(buf), "<h%d", h);
    out += buf;
    if (styled) {
      snprintf(buf, sizeof(buf), " class=\"qy_level%02d\"", depth + 1);
      out += buf;
    }
    out += ">";
    snprintf(buf, sizeof(buf), "</h%d>\n", h);
    close = buf;
  } else {
    if (!styled) {
      out += "<DT style=\"font-weight: bold;\">";
    } else if (!tags.empty()) {
      out += "<DT class=\"" + tags + "\">\n";
    } else {
      out += "<DT>";
    }
    const int spans = AppendTitleSpans(note, out);
    for (int i = 0; i < spans; ++i) close += "</span>\n";
    close += "</DT>\n";
  }
  if (!frames) {
    out += "<A name=\"";
    quillery::AppendAttrValue(out, note.m_strID);
    out += "\"></A>";
    if (note.m_nIconType == ICON_CUSTOM) AppendCustomIcon(note, true, out);
    if (m_opt.bNumbered) {
      const int type = walker.GetType();
      const int stop = (type == WALK_BRANCH || type == WALK_NODE) ? walker.GetStartIdx() : -1;
      std::string number;
      if (doc.CalcNodePath(doc.GetIdxFromID(note.m_strID), number, stop) && !number.empty()) out += number + " ";
    }
  }
  if (note.m_objLink.IsValid()) {
    EncodeHyperlinkStart(out, note.m_objLink, walker, note);
    out += title + "</A>";
  } else {
    out += title;
  }
  out += close;
}

std::string FormatIO_HTMLExport::ExportNoteHead(const NoteNode& note) const {
  std::string title = note.m_strTitle;
  for (char& c : title)
    if (c == '\r' || c == '\n') c = ' ';
  HTMLParser::EscapeChars(title);
  std::string h = quillery::kHtml401Doctype;
  h += "<HTML>\n<HEAD>\n<meta content=\"text/html;charset=UTF-8\" http-equiv=\"Content-Type\">\n";
  h += "<TITLE>" + title + "</TITLE>\n";
  h += "<link rel=\"stylesheet\" type=\"text/css\" href=\"../web/css/main.css\">\n";
  if (m_bLinkWarning) h += quillery::kLinkWarningScript;
  h += "</HEAD>\n<BODY>\n";
  return h;
}

bool FormatIO_HTMLExport::FinishExportNote(const RecursiveTreeWalker& walker, NoteNode& note, std::string& html) {
  NoteDocument& doc = *GetDoc();
  g_strNoteIDPreHtmlExport = note.m_strID;
  const int start = walker.GetStartIdx();
  if (start >= 0 && start < doc.GetNodeCount()) g_strRootIDPreHtmlExport = doc.GetNodeByIdx(start).m_strID;
  quillery::RaiseHtmlExportEvent(doc.GetGuiController(), quillery::HTML_EXPORT_NOTE_DONE, &g_pStrNotePreHtmlExport,
                                 &html);
  if (!m_opt.bFrames) return false;

  // Frames: the note's own page in the side folder's "notes" folder.
  const std::string path = _strExportSubDir + "notes/" + quillery::ExportPageName(note.m_strID);
  const std::string head = ExportNoteHead(note);
  const char tail[] = "\n</BODY>\n</HTML>\n";
  File64 f;
  bool ok = f.Open(path.c_str(), F64_WRITE | F64_SHARE_READ | F64_OPEN_ALWAYS | F64_OPEN_EXISTING);
  if (ok) {
    ok = f.Write(head.data(), static_cast<int>(head.size())) == static_cast<int>(head.size()) &&
         f.Write(html.data(), static_cast<int>(html.size())) == static_cast<int>(html.size()) &&
         f.Write(tail, static_cast<int>(sizeof(tail) - 1)) == static_cast<int>(sizeof(tail) - 1);
    ok = f.Close() && ok && !f.HasError();
  }
  if (!ok) {
    xLog(LOG_ERROR, "HTML export: writing the note page [%s] failed\n", path.c_str());
    remove(path.c_str());
    if (m_nSaveError == 0) m_nSaveError = DOC_SAVE_WRITE_ERROR;
  }
  return true;
}
