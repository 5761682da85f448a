// What the native writer does itself in export mode, and the export hooks of
// a plain FormatIO_HTML, which cannot export (FormatIO_HTMLExport can).

#include "base/Log.h"
#include "formats/native/FormatIOHtml.h"
#include "formats/native/HtmlExportNames.h"
#include "model/FormatIO_Base.h"
#include "model/NoteDocument.h"
#include "model/RecursiveTreeWalker.h"
#include "richtext/LinkInfo.h"

namespace quillery {

void PrepareTabReplacement(NoteDocument& doc) {
  if (doc.nExportTabSize < 1) doc.nExportTabSize = 4;
  g_strTabReplacement.clear();
  g_strTabReplacement.reserve(6 * static_cast<size_t>(doc.nExportTabSize));
  for (int i = 0; i < doc.nExportTabSize; ++i) g_strTabReplacement += "&nbsp;";
}

}  // namespace quillery

std::string FormatIO_HTML::ResolveExportTarget(const std::string& id) const {
  NoteDocument& doc = *GetDoc();
  if (doc.GetIdxFromID(id) >= 0) return id;
  auto sub = doc.m_mapIDSubstitution.find(id);
  if (sub != doc.m_mapIDSubstitution.end() && doc.GetIdxFromID(sub->second) >= 0) return sub->second;
  return id;
}

bool FormatIO_HTML::IsLinkValidOnExport(const LinkInfo& link, NoteDocument& doc,
                                  const RecursiveTreeWalker& walker) const {
  if (!link.strLink.empty() || link.strTargetID.empty()) return true;
  if (doc.GetIdxFromID(link.strTargetID) >= 0 && walker.IsNoteWithinWalk(link.strTargetID)) return true;
  auto sub = doc.m_mapIDSubstitution.find(link.strTargetID);
  if (sub != doc.m_mapIDSubstitution.end() && doc.GetIdxFromID(sub->second) >= 0 &&
      walker.IsNoteWithinWalk(sub->second))
    return true;
  if (doc.GetIdxFromID(link.strTargetID) >= 0) return false;
  auto anchor = doc.m_mapAnchors.find(link.strTargetID);
  return anchor != doc.m_mapAnchors.end() && doc.GetIdxFromID(anchor->second) >= 0 &&
         walker.IsNoteWithinWalk(anchor->second);
}

std::string FormatIO_HTML::ExportNoteRef(const std::string& id, const NoteNode& note) const {
  NoteDocument& doc = *GetDoc();
  const std::string target = ResolveExportTarget(id);
  if (!g_bExportFrames) return "#" + target;
  std::string page = target, fragment;
  if (doc.GetIdxFromID(target) < 0) {
    auto anchor = doc.m_mapAnchors.find(id);
    if (anchor != doc.m_mapAnchors.end()) {
      page = anchor->second;
      fragment = "#" + id;
    }
  }
  if (page == note.m_strID) return fragment;
  return quillery::UriEscapePathSegment(m_exportNames.PageName(page)) + fragment;
}

int FormatIO_HTML::PrepareExportFolders() {
  xLog(LOG_ERROR, "HTML::Save: this format object cannot export; the factory's export object can\n");
  return DOC_SAVE_ERROR;
}

bool FormatIO_HTML::SaveExportHeader(RecursiveTreeWalker&, IOProcess&) {
  m_nSaveError = DOC_SAVE_ERROR;
  return false;
}

bool FormatIO_HTML::WriteExportContents(DocumentIterator&, IOProcess&, RecursiveTreeWalker&) {
  m_nSaveError = DOC_SAVE_ERROR;
  return false;
}

void FormatIO_HTML::AppendExportNodeTitle(const RecursiveTreeWalker&, NoteNode&, int, int, bool, std::string&) {}

std::string FormatIO_HTML::ExportListOpen(const RecursiveTreeWalker&, int) const { return "<DL>\n"; }

bool FormatIO_HTML::FinishExportNote(const RecursiveTreeWalker&, NoteNode&, std::string&) { return false; }

void FormatIO_HTML::EncodePictureFile(const std::string&, const PixInfo&, const char*, size_t, bool, std::string&) {}

std::string FormatIO_HTML::WriteAttachmentFile(const AttInfo&) { return std::string(); }
