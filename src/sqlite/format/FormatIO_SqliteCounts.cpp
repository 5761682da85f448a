// FormatIO_Sqlite::CountNoteContents: the pictures, attachments and links of
// every note, from four whole-table queries rather than a fetch of each note
// (which costs about nine queries and the decoding of every part per note).
//
// The counts must be those of a full fetch, which drops damaged rows on the
// way (FetchNodeInfo, then NoteNode::FixFormatting): a picture without bytes,
// a picture read while its offset lies past the text and the pictures taken
// so far, a picture at a negative or repeated offset or past the end of the
// text, a link of the text that is empty or ends past the text and its
// pictures. Those rules need each note's text length in characters, which
// is read for the notes that have such rows.

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/Log.h"
#include "base/StringUtil.h"
#include "model/NoteDocument.h"
#include "sqlite/format/FormatIO_Sqlite.h"
#include "sqlite/format/SqliteReadHelpers.h"

namespace {

struct NoteRows {
  int notes = 0;                // loaded notes stored under this ID (normally 1)
  long long attachments = 0;
  std::vector<int> pictures;    // offsets of pictures with bytes, in the fetch's order
  std::vector<std::pair<int, int>> links;  // offset and length of the text's links
  int textLen = 0;
};

// Pictures a fetch keeps: first those it reads (each must lie within the
// text and the pictures taken before it), then the repair's rule.
int KeptPictures(const std::vector<int>& offsets, int textLen) {
  std::vector<int> read;
  for (int off : offsets)
    if (off <= textLen + static_cast<int>(read.size())) read.push_back(off);
  std::unordered_set<int> taken;
  std::vector<int> kept;
  for (int off : read)
    if (off >= 0 && taken.insert(off).second) kept.push_back(off);
  std::sort(kept.begin(), kept.end());
  for (size_t r = 0; r < kept.size(); ++r)
    if (kept[r] - static_cast<int>(r) > textLen) return static_cast<int>(r);
  return static_cast<int>(kept.size());
}

int KeptLinks(const std::vector<std::pair<int, int>>& links, int total) {
  int n = 0;
  for (const auto& l : links)
    if (l.second >= 1 && static_cast<long long>(l.first) + l.second <= total) ++n;
  return n;
}

// Characters of a text as the model counts them (up to a NUL), with a
// shortcut for the plain ASCII that most texts are.
int CharCount(const char* text) {
  const size_t len = strlen(text);
  size_t i = 0;
  while (i < len && static_cast<unsigned char>(text[i]) < 0x80) ++i;
  if (i == len) return static_cast<int>(len);
  return static_cast<int>(i + quillery::Utf8CharCount(text + i, len - i));
}

// The document's notes by stored ID. The keys point into the document's
// own strings, which stay put while the counts are made.
using NoteMap = std::unordered_map<std::string_view, NoteRows>;

// Runs sql and hands every row whose note is one of the document's to row().
template <class Row>
bool ForEachRow(CppSQLite3DB& db, const char* sql, NoteMap& notes, Row row) {
  CppSQLite3Exception err;
  CppSQLite3Query q = db.execQuery(sql, &err);
  for (; err.errorCode() == 0 && !q.eof(); q.nextRow(&err)) {
    auto it = notes.find(std::string_view(q.getStringField(0, "")));
    if (it != notes.end()) row(q, it->second);
  }
  if (err.errorCode() == 0) return true;
  xLog(LOG_ERROR, "Sqlite format [count contents]: Sql [%s] failed! Error: %s\n", sql, quillery::SqliteMessage(err));
  return false;
}

}  // namespace

bool FormatIO_Sqlite::CountNoteContents(ContentCounts& out, bool clones) {
  out = ContentCounts();
  if (!m_pDoc || !_db.isOpen()) return false;
  // The rows of a note are those stored under its stored ID (a fetch asks
  // for exactly that ID, so other kinds of value never match).
  NoteMap notes;
  notes.reserve(static_cast<size_t>(m_pDoc->GetNodeCount()));
  for (int i = 0; i < m_pDoc->GetNodeCount(); ++i) {
    const NoteNode& note = m_pDoc->GetNodeByIdx(i);
    if (!note.m_strID.empty() && (clones || !note.IsClone())) ++notes[quillery::StoredIdOf(*this, note.m_strID)].notes;
  }

  bool ok = ForEachRow(_db, "SELECT note_id, count(*) FROM attachments WHERE typeof(note_id)='text' GROUP BY note_id",
                       notes, [](CppSQLite3Query& q, NoteRows& n) { n.attachments += q.getInt64Field(1, 0); });
  ok = ok && ForEachRow(_db,
                        "SELECT note_id, note_offset FROM images WHERE typeof(note_id)='text' AND image_data IS NOT "
                        "NULL ORDER BY note_id, note_offset",
                        notes, [](CppSQLite3Query& q, NoteRows& n) { n.pictures.push_back(q.getIntField(1, 0)); });
  // A link at a negative offset is the note's own link.
  ok = ok && ForEachRow(_db, "SELECT note_id, note_offset, lnk_length FROM links WHERE typeof(note_id)='text'", notes,
                        [](CppSQLite3Query& q, NoteRows& n) {
                          const int off = q.getIntField(1, 0);
                          if (off >= 0) n.links.emplace_back(off, q.getIntField(2, 0));
                        });
  // Text lengths, as the fetched text (up to a NUL) counts its characters.
  ok = ok && ForEachRow(_db, "SELECT note_id, note_text FROM notes WHERE typeof(note_id)='text'", notes,
                        [](CppSQLite3Query& q, NoteRows& n) {
                          if (n.pictures.empty() && n.links.empty()) return;
                          n.textLen = CharCount(q.getStringField(1, ""));
                        });
  if (!ok) return false;

  for (const auto& entry : notes) {
    const NoteRows& n = entry.second;
    const int pictures = KeptPictures(n.pictures, n.textLen);
    out.pictures += static_cast<long long>(pictures) * n.notes;
    out.attachments += n.attachments * n.notes;
    out.links += static_cast<long long>(KeptLinks(n.links, n.textLen + pictures)) * n.notes;
  }
  return true;
}
