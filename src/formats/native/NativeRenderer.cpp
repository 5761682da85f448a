// A note's rich text as HTML: what the native writer puts into the note's
// DD element, rendered on its own. The note's HTML hash is the SHA-1 of this
// text, so it must not depend on where or how the document is saved: the
// rendering has no destination path (file links stay as stored), reports no
// progress and ignores a cancel flag.

#include "formats/native/NativeRenderer.h"

#include "formats/native/FormatIOHtml.h"
#include "model/NoteDocument.h"
#include "model/NoteNode.h"
#include "model/RecursiveTreeWalker.h"

namespace {

// Lends a note's rich text to a stand-in note for the time of the rendering
// (a swap, not a copy: pictures can be large) and gives it back however the
// rendering ends.
class LentText {
 public:
  LentText(NoteNode& owner, NoteNode& borrower) : m_owner(owner), m_borrower(borrower) {
    std::swap(m_owner.m_objText, m_borrower.m_objText);
  }
  ~LentText() { std::swap(m_owner.m_objText, m_borrower.m_objText); }
  LentText(const LentText&) = delete;
  LentText& operator=(const LentText&) = delete;

 private:
  NoteNode& m_owner;
  NoteNode& m_borrower;
};

int RenderNoteHtml(NoteNode& note, bool /*flag*/, std::string& out) {
  // A one-note document saved contents-only and body-only gives exactly
  // the note's background DIV (if any) and its text markup.
  NoteDocument doc;
  doc.bExportContentsOnly = true;
  NoteNode stand;
  stand.m_strID = note.m_strID;
  stand.m_bUseNoteBkgColor = note.m_bUseNoteBkgColor;
  stand.m_clrNoteBkg = note.m_clrNoteBkg;
  doc.PushNode(stand);
  doc.RebuildMap();
  LentText lent(note, doc.GetNodeByIdx(0));
  RecursiveTreeWalker walker(doc, WALK_ALL);
  FormatIO_HTML fmt;
  fmt.SetContentsOnly(true);
  fmt.m_bReportProgress = false;
  return fmt.SaveToString(out, doc, walker);
}

}  // namespace

void InstallNativeRenderer() { SetRichTextRenderer(&RenderNoteHtml); }
