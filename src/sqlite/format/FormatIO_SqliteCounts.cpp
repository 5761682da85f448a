// FormatIO_Sqlite::CountNoteContents: the pictures, attachments and links of
// every note, from the per-ID counts of a few whole-table queries
// (SqliteContentCount.cpp) rather than a fetch of each note (which costs
// about nine queries and the decoding of every part per note).

#include <string>

#include "model/NoteDocument.h"
#include "sqlite/format/FormatIO_Sqlite.h"
#include "sqlite/format/SqliteContentCount.h"
#include "sqlite/format/SqliteReadHelpers.h"

bool FormatIO_Sqlite::CountNoteContents(ContentCounts& out, bool clones, const quillery::ContentByStoredId* read) {
  out = ContentCounts();
  if (!m_pDoc || !_db.isOpen()) return false;
  quillery::ContentByStoredId own;
  if (!read) {
    if (!quillery::ReadNoteContents(_db, own, true)) return false;
    read = &own;
  }
  // Each note counts the rows stored under its stored ID; notes that share
  // one count its rows once each, as a fetch of each would.
  for (int i = 0; i < m_pDoc->GetNodeCount(); ++i) {
    const NoteNode& note = m_pDoc->GetNodeByIdx(i);
    if (note.m_strID.empty() || (!clones && note.IsClone())) continue;
    auto it = read->find(quillery::StoredIdOf(*this, note.m_strID));
    if (it == read->end()) continue;
    out.pictures += it->second.pictures;
    out.attachments += it->second.attachments;
    out.links += it->second.links;
  }
  return true;
}
