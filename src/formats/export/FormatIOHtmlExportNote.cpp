// One note of an HTML export: its title element (definition term, heading,
// the page's title block, or a frames page heading), the classed list
// opening, and what happens once the note's HTML is complete (the host's
// hook, and in a frames export the note's own page).

#include <algorithm>
#include <cstdio>

#include "base/Log.h"
#include "formats/native/FormatIOHtml.h"
#include "formats/export/FormatIOHtmlExport.h"
#include "formats/native/HtmlExportNames.h"
#include "formats/native/HtmlSegmentList.h"
#include "html/HtmlParser.h"
#include "html/HtmlWriteEscape.h"
#include "model/NoteDocument.h"
#include "model/NoteNode.h"
#include "model/RecursiveTreeWalker.h"
#include "richtext/AnchorInfo.h"

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
  const std::string path = _strExportSubDir + "notes/" + m_exportNames.PageName(note.m_strID);
  const std::string page = ExportNoteHead(note) + html + "\n</BODY>\n</HTML>\n";
  WriteSideFile(path, page.data(), page.size(), false);
  return true;
}

void FormatIO_HTMLExport::SegmentListAddAnchors(NoteNode& note, tSegmentList& segs, bool unused) {
  if (!m_bExport) {
    FormatIO_HTML::SegmentListAddAnchors(note, segs, unused);
    return;
  }
  if (note.m_objText.m_lstAnchors.Items().empty()) return;
  if (m_opt.bFrames) {
    m_pageAnchors.clear();  // every note is a page of its own
  } else if (!m_strCloneSourceOut.empty() && m_pWalker && m_pWalker->IsNoteWithinWalk(m_strCloneSourceOut)) {
    return;  // the text is the original's, and so are its anchors
  }
  // Through the note's batch like every other pass, so an anchor keeps its
  // place after the links and tags at its offset.
  AddAnchorSegments(note, segs, &m_pageAnchors);
}
