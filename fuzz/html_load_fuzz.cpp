// Fuzzes the native HTML reader through FormatIO_HTML::LoadFromString.
//
// Input layout: byte 0 holds mode bits (1 contents-only, 2 ANSI ".hqy" text,
// 4 paste into the first note of a prepared document); the rest is the
// markup. Checked properties: nothing crashes, hangs or leaks; the result is
// 0 or 5; every title and text is valid UTF-8; IDs are unique; every
// formatting tag, link, anchor and picture lies inside its note; the loaded
// document can be saved and loaded again.

#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include "formats/native/FormatIOHtml.h"
#include "model/NoteDocument.h"
#include "model/RecursiveTreeWalker.h"

namespace {

void Check(bool ok) {
  if (!ok) abort();
}

void CheckUtf8(const std::string& s) { Check(g_utf8_validate_len(s.data(), s.size(), nullptr)); }

void CheckDocument(NoteDocument& doc) {
  std::set<std::string> ids;
  CheckUtf8(doc.GetTitle());
  for (int i = 0; i < doc.GetNodeCount(); ++i) {
    const NoteNode& n = doc.GetNodeByIdx(i);
    Check(ids.insert(n.m_strID).second);
    CheckUtf8(n.GetTitle());
    CheckUtf8(n.GetText());
    const RichText& rt = n.m_objText;
    const int total = rt.GetTotalLength();
    for (const FmtInfo& f : rt.m_lstFmt.Items()) Check(f.nOffset >= 0 && f.nOffset <= total);
    for (const LinkInfo& l : rt.m_lstLinks.Items())
      Check(l.nStartOffset >= 0 && l.nTextLength >= 1 && l.nStartOffset + l.nTextLength <= total);
    for (const AnchorInfo& a : rt.m_lstAnchors.Items()) Check(a.nOffset >= 0 && a.nOffset <= total);
    for (const PixInfo& p : rt.m_lstPictures.Items()) Check(p.nOffset >= 0 && p.nOffset < total);
  }
  Check(doc.m_nLastNoteIdx >= -1 && doc.m_nLastNoteIdx < doc.GetNodeCount());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const unsigned mode = data[0];
  std::string html(reinterpret_cast<const char*>(data) + 1, size - 1);

  NoteDocument doc;
  FormatIO_HTML fmt;
  fmt.m_bContentsOnly = (mode & 1) != 0;
  fmt.m_bRawText = (mode & 2) != 0;
  if (mode & 4) {
    doc.NodeInsert("", -1);
    doc.GetNodeByIdx(0).m_objText.SetText("host text");
    fmt.m_bNoNewNote = true;
    fmt.m_nNodeIdx = 0;
  }
  const int rc = fmt.LoadFromString(html, doc);
  Check(rc == 0 || rc == 5);
  if (rc != 0) return 0;
  CheckDocument(doc);

  // What was loaded saves and loads again (a clone of a missing note is
  // written as it stands, without asking).
  doc.m_bNoCloneQuestion = true;
  RecursiveTreeWalker walker(doc, WALK_ALL, -1);
  FormatIO_HTML writer;
  std::string saved;
  Check(writer.SaveToString(saved, doc, walker) == 0);
  NoteDocument again;
  FormatIO_HTML reader;
  Check(reader.LoadFromString(saved, again) == 0);
  CheckDocument(again);
  Check(again.GetNodeCount() == doc.GetNodeCount());
  return 0;
}
