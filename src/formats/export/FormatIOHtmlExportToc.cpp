// The export's table of contents (nested lists of links to the notes), the
// navigation tree script of a frames export, and the check whether a link
// leads into the export.
//
// The lists are tracked on a stack of the open lists' levels, so every item
// and list that is opened is closed exactly once, whatever the walk skips
// (notes below the contents depth, unmarked notes).

#include <cstdio>
#include <vector>

#include "base/Log.h"
#include "base/Progress.h"
#include "formats/native/FormatIOHtml.h"
#include "formats/export/FormatIOHtmlExport.h"
#include "html/HtmlWriteEscape.h"
#include "io/IOProcess.h"
#include "model/DocumentIterator.h"
#include "richtext/LinkInfo.h"
#include "model/NoteDocument.h"
#include "model/RecursiveTreeWalker.h"

namespace {

// Walks whose start note is not part of the listed notes count their
// levels from its children.
bool CountsFromStartChildren(int type) {
  return type == WALK_BRANCH || type == WALK_CHILDREN || type == WALK_DESCENDANTS;
}

}  // namespace

void FormatIO_HTMLExport::WriteTOC(DocumentIterator& it, IOProcess& io, RecursiveTreeWalker& walker, int& counter) {
  if (m_opt.bFrames) {
    WriteFramesTree(walker, counter);
    return;
  }
  NoteDocument& doc = *GetDoc();
  const int type = walker.GetType();
  const int start = walker.GetStartIdx();
  if (type == WALK_NODE) return;
  if (type == WALK_BRANCH && (start < 0 || it.GetChildCount(doc.GetNodeByIdx(start).m_strID) == 0)) return;
  const bool styled = !m_opt.strCss.empty();
  GuiControllerBase* gui = doc.GetGuiController();
  std::string s = styled ? "\n<div class=\"qy_toc\">\n" : "<hr>\n";
  s += "<h1><A name=\"TOC\"></a>";
  s += gui ? gui->GetDefaultTOCTitle() : "Table of contents";
  s += "</h1>\n\n";
  if (!WriteString(io, s.data(), static_cast<int>(s.size()))) {
    m_nSaveError = DOC_SAVE_WRITE_ERROR;
    return;
  }
  m_arTocLists.clear();
  m_bTocItemOpen = false;
  const int offset = CountsFromStartChildren(type) ? 0 : 1;
  const int stop = (type == WALK_BRANCH || type == WALK_NODE) ? start : -1;
  walker.Restart();
  for (int idx = walker.GetNextNode(); idx >= 0; idx = walker.GetNextNode()) {
    if (!m_bStringTarget && ProgressInfo::IsCanceled()) {
      m_nSaveError = DOC_SAVE_ABORTED;
      return;
    }
    if (type == WALK_BRANCH && idx == start) continue;
    int level = walker.CalcRelativeDepth(idx) + offset;
    if (level < 1) level = 1;
    if (level > m_opt.nTocDepth) continue;
    if (!TerminateTOCBranchTags(walker, io, it, idx, level)) {
      m_nSaveError = DOC_SAVE_WRITE_ERROR;
      return;
    }
    const NoteNode& note = doc.GetNodeByIdx(idx);
    s.clear();
    if (m_arTocLists.empty() || level > m_arTocLists.back().nLevel) {
      char buf[64];
      if (styled) {
        snprintf(buf, sizeof(buf), "<UL class=\"qy_level%02d %s", level,
                 m_opt.bNumbered ? "numbered\"" : "unnumbered\"");
        s += buf;
      } else {
        s += m_opt.bNumbered ? "<UL style=\"list-style-type:none\"" : "<UL";
      }
      s += ">\n";
      m_arTocLists.push_back({level, m_bTocItemOpen});
      m_bTocItemOpen = false;
    }
    s += "<LI>";
    const std::string tags = m_opt.bTagsAsClasses ? quillery::ExportTagClasses(note.m_strKeywords) : "";
    if (!tags.empty()) s += "<span class=\"" + tags + "\">";
    if (!m_opt.bNumbered) {
      s += "\n";
    } else {
      std::string number;
      doc.CalcNodePath(idx, number, stop);
      s += number + " ";
    }
    s += "<A href=\"#";
    quillery::AppendAttrValue(s, note.m_strID);
    s += "\">" + quillery::ExportNoteTitle(doc, note) + "</A>";
    if (!tags.empty()) s += "</span>";
    m_bTocItemOpen = true;
    ++counter;
    if (!WriteString(io, s.data(), static_cast<int>(s.size()))) {
      m_nSaveError = DOC_SAVE_WRITE_ERROR;
      return;
    }
  }
  if (!TerminateTOCBranchTags(walker, io, it, -1, 0) ||
      !WriteString(io, styled ? "</div>\n" : "<hr>\n", -1)) {
    m_nSaveError = DOC_SAVE_WRITE_ERROR;
  }
}

bool FormatIO_HTMLExport::TerminateTOCBranchTags(const RecursiveTreeWalker& /*walker*/, IOProcess& io,
                                           const DocumentIterator& /*it*/, int /*idx*/, int depth) {
  std::string s;
  for (;;) {
    // The open item ends unless the next entry goes one list deeper: its
    // list then stands inside the item.
    if (m_bTocItemOpen && !m_arTocLists.empty() && depth <= m_arTocLists.back().nLevel) {
      s += "</LI>\n";
      m_bTocItemOpen = false;
    }
    if (m_arTocLists.empty() || m_arTocLists.back().nLevel <= depth) break;
    m_bTocItemOpen = m_arTocLists.back().bInItem;
    m_arTocLists.pop_back();
    s += "</UL>\n";
  }
  return WriteString(io, s.data(), static_cast<int>(s.size()));
}

void FormatIO_HTMLExport::WriteFramesTree(RecursiveTreeWalker& walker, int& counter) {
  NoteDocument& doc = *GetDoc();
  std::string s = "d = new dTree('d');\n\n// nodeId | parentNodeId | nodeName | nodeUrl\n";
  // Depth-first positions of the walked notes; a parent precedes its
  // children in the walk.
  std::vector<int> position(doc.GetNodeCount(), -1);
  int n = 0;
  walker.Restart();
  for (int idx = walker.GetNextNode(); idx >= 0; idx = walker.GetNextNode()) {
    if (!m_bStringTarget && ProgressInfo::IsCanceled()) {
      m_nSaveError = DOC_SAVE_ABORTED;
      return;
    }
    const NoteNode& note = doc.GetNodeByIdx(idx);
    position[idx] = n;
    const int parent = doc.GetIdxFromID(note.m_strParentID);
    const int parentPos = parent >= 0 ? position[parent] : -1;
    s += "d.add(" + std::to_string(n) + "," + std::to_string(parentPos) + ",'" +
         quillery::JsStringEscape(quillery::ExportNoteTitle(doc, note)) + "','../notes/" +
         quillery::JsStringEscape(quillery::UriEscapePathSegment(m_exportNames.PageName(note.m_strID))) +
         "');\n";
    ++n;
    ++counter;
  }
  s += "document.write(d);\n";
  if (n > 0) s += "document.s(0);\n";
  WriteSideFile(_strExportSubDir + "web/tree_data.js", s.data(), s.size(), false);
}
