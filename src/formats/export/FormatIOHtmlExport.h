#pragma once

// Process-wide values of the running HTML export (one save at a time per
// process) and the host hooks it raises through
// GuiControllerBase::HandleEvent.
//
// While the host handles an event, the matching pointer points to the text
// the export is about to write; the host may change that text. Every
// pointer is null again, and the two ID strings are empty, once
// HandleEvent has returned.

#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "formats/native/FormatIOHtml.h"
#include "save/StagedFolder.h"

class GuiControllerBase;

// Event 20: the page header (up to and with "</HEAD>") is complete.
extern std::string* g_pStrHeaderPreHtmlExport;
// Event 15: a note's HTML is complete; the note's ID and, when the walk has
// a start note, that note's ID are set beside it.
extern std::string* g_pStrNotePreHtmlExport;
extern std::string g_strNoteIDPreHtmlExport;
extern std::string g_strRootIDPreHtmlExport;
// Event 32: a note title is about to be written (page or frames tree).
extern std::string* g_pStrNoteTitlePreHtmlExport;

namespace quillery {

enum HtmlExportEvent {
  HTML_EXPORT_NOTE_DONE = 15,
  HTML_EXPORT_HEADER_DONE = 20,
  HTML_EXPORT_NOTE_TITLE = 32,
};

// Points slot at text for the time the host handles the event; the slot
// (and the two note ID strings) are cleared afterwards, also when the host
// throws. A null controller raises nothing.
void RaiseHtmlExportEvent(GuiControllerBase* gui, int event, std::string** slot, std::string* text);

// A note title as an export shows it: through the host's title hook (event
// 32), line ends turned into blanks, escaped.
std::string ExportNoteTitle(NoteDocument& doc, const NoteNode& note);

// The script that warning links call (links to notes outside the export).
extern const char kLinkWarningScript[];

// The HTML 4.01 Transitional document type declaration of exported pages.
extern const char kHtml401Doctype[];

}  // namespace quillery

// FormatIO_HTMLExport: the native writer in export mode. The factory hands
// it out for the ".html" format, so that a save there becomes an export; it
// reads exactly as FormatIO_HTML does. It adds what only an export writes:
// the side folder and its files, the style sheet, the table of contents and
// the frames pages. The per-run state it uses lives in FormatIO_HTML and is
// reset by every save there; its own (the side folder being built, the
// anchors on the current page, the running walk) is reset when a run
// prepares its side folder. Every export has a side folder (without
// frames its "attach/" and "img/" are made at the start, used or not). It
// is built under a temporary name: when the caller gave the page's output
// file (the document model), the caller takes the finished folder
// (TakeStagedFolder) and installs it with the page; a Save that writes its
// page in place installs the folder itself. A failed or cancelled export
// removes it and leaves an earlier export whole.
class FormatIO_HTMLExport : public FormatIO_HTML {
 public:
  int Save(const char* path, RecursiveTreeWalker& walker) override;
  std::unique_ptr<quillery::StagedFolder> TakeStagedFolder() override { return std::move(m_side); }
  // The table of contents of an export (an unordered list of links to the
  // notes), or with frames the navigation tree script. counter grows by one
  // per entry; a cancel or a failed write sets m_nSaveError.
  void WriteTOC(DocumentIterator& it, IOProcess& io, RecursiveTreeWalker& walker, int& counter);
  // Closes the table-of-contents items and lists that end before an entry
  // at the given level (1 = the top level; 0 closes everything). False when
  // the write fails.
  bool TerminateTOCBranchTags(const RecursiveTreeWalker& walker, IOProcess& io, const DocumentIterator& it,
                              int idx, int depth);

 protected:
  int PrepareExportFolders() override;
  bool SaveExportHeader(RecursiveTreeWalker& walker, IOProcess& io) override;
  bool WriteExportContents(DocumentIterator& it, IOProcess& io, RecursiveTreeWalker& walker) override;
  void AppendExportNodeTitle(const RecursiveTreeWalker& walker, NoteNode& note, int level, int depth, bool first,
                             std::string& out) override;
  std::string ExportListOpen(const RecursiveTreeWalker& walker, int depth) const override;
  bool FinishExportNote(const RecursiveTreeWalker& walker, NoteNode& note, std::string& html) override;
  void EncodePictureFile(const std::string& noteID, const PixInfo& pix, const char* data, size_t len, bool png,
                         std::string& out) override;
  std::string WriteAttachmentFile(const AttInfo& att) override;
  // Anchor names are unique in one page: a clone whose original is on the
  // page too leaves the anchors to the original (links reach it there), and
  // a name met again on the page is not written again.
  void SegmentListAddAnchors(NoteNode& note, tSegmentList& segs, bool unused) override;

 private:
  // The largest style sheet or template file the export reads: they are
  // small text files, and a larger one is taken for a mistake.
  static constexpr size_t kStyleSheetLimit = 16u << 20;
  bool AppendStyleSheet(std::string& head);
  std::string ExportPageTitle(const RecursiveTreeWalker& walker, bool fromTarget) const;
  bool WriteFramesetPages(IOProcess& io, const RecursiveTreeWalker& walker);
  void WriteFramesTree(RecursiveTreeWalker& walker, int& counter);
  std::string ExportNoteHead(const NoteNode& note) const;
  // 0 when the side folder's place is free or the host lets an earlier
  // export's folder there be replaced; else the save result. decided: what
  // the place held when the save began (as the caller found it, when it
  // gave that: FolderStateGiven), the one folder the install may replace.
  int ClaimSideFolder(quillery::TargetState& decided);
  // Names why the side folder cannot take its place (errno err) as the
  // failure reason; the save result.
  int SideFolderFailure(int err) const;
  // Writes a file below the side folder (path starts with _strExportSubDir),
  // making the folders on the way; false, with m_nSaveError set, when it
  // cannot be written or a link stands anywhere below the page's folder.
  bool WriteSideFile(const std::string& path, const char* data, size_t len, bool pollCancel);
  int OpenSideFile(const std::string& path);
  // The first path from the side folder down to path that exists and is no
  // folder (a file or a link in a folder's place); empty when there is none.
  std::string FirstNonFolder(const std::string& path) const;
  bool CopyTemplate(const std::string& src, const std::string& dst, int depth);

  std::unique_ptr<quillery::StagedFolder> m_side;  // the side folder being built, until taken
  std::unordered_set<std::string> m_pageAnchors;  // anchor names written on the current page
  const RecursiveTreeWalker* m_pWalker = nullptr;  // the running walk (null between runs)
};
