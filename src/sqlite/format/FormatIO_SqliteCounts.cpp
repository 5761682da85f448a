// What `info` tells of a database without loading or fetching its notes:
// FormatIO_Sqlite::CountNoteContents, the pictures, attachments and links of
// every note from the per-ID counts of a few whole-table queries
// (SqliteContentCount.cpp) rather than a fetch of each note (about nine
// queries and the decoding of every part per note); and LoadOutline, the
// tree's IDs, parents and positions instead of the tree query's forty
// columns and three joins per note.

#include <string>
#include <vector>

#include "base/Progress.h"
#include "model/IdHashMap.h"
#include "model/NoteDocument.h"
#include "sqlite/format/FormatIO_Sqlite.h"
#include "sqlite/format/SqliteContentCount.h"
#include "sqlite/format/SqliteLoadSteps.h"
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
    const quillery::StoredNoteContents* c = read->Find(quillery::StoredIdOf(*this, note.m_strID));
    if (!c) continue;
    out.pictures += c->pictures;
    out.attachments += c->attachments;
    out.links += c->links;
  }
  return true;
}

FormatIO_Sqlite::ContentCounts FormatIO_Sqlite::CountOutlineContents(const quillery::TreeOutline& outline,
                                                                     const quillery::ContentByStoredId& read) {
  ContentCounts out;
  for (const std::string& id : outline.ids) {
    const quillery::StoredNoteContents* c = read.Find(id);
    if (!c || c->clone) continue;
    out.pictures += c->pictures;
    out.attachments += c->attachments;
    out.links += c->links;
  }
  return out;
}

int FormatIO_Sqlite::LoadOutline(const char* path, NoteDocument& doc, quillery::TreeOutline& out,
                                 quillery::SqliteContentCounter* counter) {
  out = quillery::TreeOutline();
  SetDoc(doc);
  if (!path) return DOC_LOAD_NOT_OPEN;
  if (doc.GetNodeCount() != 0) return OUTLINE_NEEDS_LOAD;
  // An encrypted file's outline, like its load, needs the password.
  if (IsEncrypted() && _strPassword.empty()) return Load(path, doc, -1);
  if (_db.isOpen()) Close();
  _nFirstLoadedIdx = 0;
  // An outline only reads: no upgrade, no index, no rollback of a journal.
  _bReadOnlyLoad = true;
  _mapNewToOldID.clear();
  _mapOldToNewID.clear();
  _mapRemappedCloneOf.clear();
  int r = OpenForLoad(path);
  if (r < 0) {
    // The open holds one read of the file (see OpenForLoad), which the
    // count on the counter's connection must see too: it starts inside
    // that read, which lasts until the count is done, and no writer can
    // commit meanwhile. With a write-ahead log writers can, and the count
    // might read a later state: it is not started (the caller counts on
    // the load's own connection then). The counter counts the indexes as
    // well, on a thread of its own, while this one reads the outline.
    const bool count = counter && !quillery::SqliteUsesWal(_db);
    if (count) counter->Start(path, _strPassword);
    quillery::SqliteLoadRun run(*this, doc);
    run.docLoader = doc.GetLoader();
    r = run.ReadOutline(out, !count);
    if (r == DOC_LOAD_OK && count && counter->Wait()) quillery::ReportUnmatchedIndex(counter->UnmatchedIndex());
  }
  Close();
  return r;
}

namespace quillery {

namespace {

// The tree query's rows in its order, with only what places a note; the
// count tells a note ID that two rows share, which the tree query would fold
// into one of them, and the last column a note without a tree row, which
// the load places.
const char* const kOutlineSql =
    "select notes.note_id, notes_tree.note_pid, notes_tree.note_pos, count(*), notes_tree.note_id IS NULL from "
    "notes LEFT JOIN notes_tree ON notes.note_id=notes_tree.note_id GROUP BY notes.note_id";

}  // namespace

int SqliteLoadRun::ReadOutline(TreeOutline& out, bool checkIndexes) {
  std::vector<std::string>& ids = out.ids;
  std::vector<std::string> parentIds;
  std::vector<int> positions;
  {
    CppSQLite3Query q = m_fmt._db.execQuery(kOutlineSql, &m_e3);
    for (; m_e3.errorCode() == 0 && !q.eof(); q.nextRow(&m_e3)) {
      if (ProgressInfo::IsCanceled()) return DOC_LOAD_ABORTED;
      if (q.getInt64Field(3, 0) != 1 || q.getIntField(4, 0) != 0) return FormatIO_Sqlite::OUTLINE_NEEDS_LOAD;
      ids.emplace_back(q.getStringField(0, ""));
      if (ids.back().empty()) return FormatIO_Sqlite::OUTLINE_NEEDS_LOAD;
      parentIds.emplace_back(q.getStringField(1, ""));
      positions.push_back(q.getIntField(2, 0));
    }
  }
  if (m_e3.errorCode() != 0) return FormatIO_Sqlite::OUTLINE_NEEDS_LOAD;

  // Parents by index (-1: the top level); each must name a note.
  const int n = static_cast<int>(ids.size());
  IdHashMap indexOf;  // each note's index plus one
  indexOf.Reserve(ids.size());
  for (int i = 0; i < n; ++i) {
    int& at = indexOf.Get(ids[i]);
    if (at != 0) return FormatIO_Sqlite::OUTLINE_NEEDS_LOAD;
    at = i + 1;
  }
  std::vector<int> parent(ids.size(), -1);
  for (int i = 0; i < n; ++i) {
    if (parentIds[i].empty()) continue;
    const int* at = indexOf.Find(parentIds[i]);
    if (!at) return FormatIO_Sqlite::OUTLINE_NEEDS_LOAD;
    parent[i] = *at - 1;
  }

  // Every level holds the positions 0..k-1 once each: the children of
  // parent p own the slots first[p+1] .. first[p+1]+k-1 of one table.
  std::vector<int> first(ids.size() + 2, 0);
  for (int i = 0; i < n; ++i) ++first[parent[i] + 2];
  for (int p = 0; p <= n; ++p) first[p + 1] += first[p];
  std::vector<char> taken(ids.size(), 0);
  for (int i = 0; i < n; ++i) {
    const int from = first[parent[i] + 1], count = first[parent[i] + 2] - from;
    if (positions[i] < 0 || positions[i] >= count || taken[from + positions[i]]) return FormatIO_Sqlite::OUTLINE_NEEDS_LOAD;
    taken[from + positions[i]] = 1;
  }

  // Levels, each note's found once: up the parents to a known one, then
  // back down. A parent cycle ends the outline.
  constexpr int kUnknown = -1, kOnPath = -2;
  std::vector<int> depth(ids.size(), kUnknown);
  std::vector<int> path;
  int deepest = -1;
  for (int i = 0; i < n; ++i) {
    int cur = i;
    while (cur >= 0 && depth[cur] == kUnknown) {
      depth[cur] = kOnPath;
      path.push_back(cur);
      cur = parent[cur];
    }
    if (cur >= 0 && depth[cur] == kOnPath) return FormatIO_Sqlite::OUTLINE_NEEDS_LOAD;
    int d = cur < 0 ? -1 : depth[cur];
    while (!path.empty()) {
      depth[path.back()] = ++d;
      path.pop_back();
    }
    if (depth[i] > deepest) deepest = depth[i];
  }
  out.levels = deepest + 1;

  int r = checkIndexes ? CheckIndexes() : -1;
  if (r >= 0) return r;
  r = ReadOptions();
  if (r >= 0) return r;
  return m_e3.errorCode() != 0 ? FormatIO_Sqlite::OUTLINE_NEEDS_LOAD : DOC_LOAD_OK;
}

}  // namespace quillery
