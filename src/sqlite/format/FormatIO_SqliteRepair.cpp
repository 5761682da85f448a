// FormatIO_Sqlite load: repairs of the loaded tree (parents that do not
// exist, parent cycles, gaps and clashes in sibling positions), the IDs a merge renamed, and
// the copy of merged notes into the document's own database.
//
// Every repair here is linear in the number of notes (plus a sort per
// repaired level): children are gathered once per run, never by a scan per
// parent, and the tree is walked with an explicit work list, so a deep or
// wide damaged tree costs no more than a healthy one.

#include <strings.h>

#include <algorithm>
#include <climits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/Log.h"
#include "base/Progress.h"
#include "model/NoteDocument.h"
#include "sqlite/format/FormatIO_Sqlite.h"
#include "sqlite/format/SqliteLoadSteps.h"
#include "sqlite/format/SqliteReadHelpers.h"

using namespace quillery;

int FormatIO_Sqlite::GetChildIDs(const std::string& parentID, std::vector<std::string>& out) const {
  if (!m_pDoc) return 0;
  int added = 0;
  for (const NoteNode& n : m_pDoc->GetNodeList()) {
    if (n.m_strParentID != parentID) continue;
    out.push_back(n.m_strID);
    ++added;
  }
  return added;
}

bool FormatIO_Sqlite::SiblingComparator::operator()(const std::string& idA, const std::string& idB) const {
  const int a = _doc.GetIdxFromID(idA);
  const int b = _doc.GetIdxFromID(idB);
  const int sa = a >= 0 ? _doc.GetNodeByIdx(a).m_nSibling : INT_MAX;
  const int sb = b >= 0 ? _doc.GetNodeByIdx(b).m_nSibling : INT_MAX;
  if (sa != sb) return sa < sb;
  return strcasecmp(idA.c_str(), idB.c_str()) > 0;
}

namespace quillery {

bool LoadsDocumentFile(FormatIO_Sqlite& fmt, const FormatIO_Base* docLoader) {
  return docLoader == &fmt || (!docLoader && fmt._nFirstLoadedIdx <= 0);
}

FormatIO_DynamicBase* TreeWriterOf(FormatIO_Sqlite& fmt) {
  NoteDocument* doc = fmt.GetDoc();
  if (!doc) return nullptr;
  FormatIO_Base* loader = doc->GetLoader();
  // A read-only load repairs the document in memory only.
  if (LoadsDocumentFile(fmt, loader)) return fmt._bReadOnlyLoad ? nullptr : &fmt;
  return loader && loader->IsDynamic() ? dynamic_cast<FormatIO_DynamicBase*>(loader) : nullptr;
}

void SqliteLoadRun::RemapParents() {
  for (int idx : m_parentsToRemap) {
    NoteNode& n = m_doc.GetNodeByIdx(idx);
    n.m_strParentID = LoadedIdOf(m_fmt, n.m_strParentID);
  }
}

}  // namespace quillery

void FormatIO_Sqlite::FixRemappedIDs() {
  if (!m_pDoc || m_pDoc->GetLoader() == this || _mapOldToNewID.empty()) return;
  NoteDocument& doc = *m_pDoc;
  // One pass over the loaded notes with map lookups: the renamed pairs never
  // chain, since a fresh ID is new to the file as well. Parent IDs are not
  // touched here: the load itself knows which parents came from the file
  // and which one is the note the file was merged under, whose ID may equal
  // a renamed stored ID without naming that note.
  bool cloneSourceSet = false;
  for (int i = std::max(_nFirstLoadedIdx, 0); i < doc.GetNodeCount(); ++i) {
    NoteNode& n = doc.GetNodeByIdx(i);

    // A clone follows its original under whatever ID the original has now.
    // A renamed clone whose original kept its ID keeps that original.
    auto remappedClone = _mapRemappedCloneOf.find(n.m_strID);
    const std::string source = remappedClone != _mapRemappedCloneOf.end() ? remappedClone->second : n.m_strCloneOf;
    if (!source.empty()) {
      const std::string& now = LoadedIdOf(*this, source);
      if (now != n.m_strCloneOf) {
        n.m_strCloneOf = now;
        cloneSourceSet = true;
      }
    }
    RemapNoteLinks(n, _mapOldToNewID);
  }
  // The clone registry is rebuilt from the notes, which drops relations of
  // the stored IDs and never touches the document's own notes of those IDs.
  if (cloneSourceSet) doc.RefreshCloneMaps();
}

bool FormatIO_Sqlite::RecursivelyFixSiblings(const char* parentID) {
  if (!m_pDoc || !parentID) return false;
  NoteDocument& doc = *m_pDoc;
  FormatIO_DynamicBase* writer = TreeWriterOf(*this);

  // Children per parent, in note order. The levels below a parent are found
  // through parent IDs, never through sibling positions, so a level whose
  // positions are broken hides none of the levels under it: one pass
  // repairs every level. Keys and children point at the notes' own ID
  // strings, which nothing here changes (a repair sets positions only) and
  // which stay put in the note list.
  std::unordered_map<std::string_view, std::vector<const std::string*>> children;
  for (const NoteNode& n : doc.GetNodeList()) children[n.m_strParentID].push_back(&n.m_strID);

  const SiblingComparator bySibling(doc);
  auto repairLevel = [&](std::vector<const std::string*>& ids) {
    std::stable_sort(ids.begin(), ids.end(),
                     [&bySibling](const std::string* a, const std::string* b) { return bySibling(*a, *b); });
    bool changed = false;
    for (size_t i = 0; i < ids.size(); ++i) {
      const int idx = doc.GetIdxFromID(*ids[i]);
      if (idx < 0) continue;
      NoteNode& n = doc.GetNodeByIdx(idx);
      if (n.m_nSibling == static_cast<int>(i)) continue;
      xLog(LOG_WARNING, "Invalid sibling index %d detected in the note: %s\n", n.m_nSibling, n.m_strID.c_str());
      n.m_nSibling = static_cast<int>(i);
      if (writer) writer->OnNodeUpdate(n, NIF_TREE_POSITION, false, nullptr);
      changed = true;
    }
    return changed;
  };

  // An explicit work list rather than recursion (a deep tree costs no
  // stack), with every parent taken once (parent cycles end).
  const std::string root = parentID;
  std::vector<std::string_view> pending = {root};
  std::unordered_set<std::string_view> visited = {root};
  std::vector<char> taken;
  bool changed = false;
  while (!pending.empty()) {
    const std::string_view pid = pending.back();
    pending.pop_back();
    auto level = children.find(pid);
    if (level == children.end()) continue;
    std::vector<const std::string*>& ids = level->second;
    // A sound level holds each position 0..n-1 exactly once.
    taken.assign(ids.size(), 0);
    bool broken = false;
    for (const std::string* id : ids) {
      const int idx = doc.GetIdxFromID(*id);
      const int pos = idx >= 0 ? doc.GetNodeByIdx(idx).m_nSibling : -1;
      if (!broken && pos >= 0 && static_cast<size_t>(pos) < ids.size() && !taken[static_cast<size_t>(pos)])
        taken[static_cast<size_t>(pos)] = 1;
      else
        broken = true;
      if (children.count(*id) && visited.insert(*id).second) pending.push_back(*id);
    }
    if (broken && repairLevel(ids)) changed = true;
  }
  return changed;
}

namespace quillery {

void SqliteLoadRun::RepairTree() {
  // Repairs of the format's own file go into its long-running transaction
  // (begun with the open): they reach the file with the next save.
  FormatIO_DynamicBase* writer = TreeWriterOf(m_fmt);
  if (writer == &m_fmt) PlaceNotesWithoutTreeRow();
  RepairParentsAndSiblings(writer);
}

void SqliteLoadRun::PlaceNotesWithoutTreeRow() {
  // A kept note gets its tree row back, which the sibling repair then moves
  // to its final place; a row that cannot be written leaves the file short
  // of the note, so no save may report success.
  for (int idx : m_withoutTreeRow) {
    const NoteNode& n = m_doc.GetNodeByIdx(idx);
    CppSQLite3Exception e;
    CppSQLite3Statement st = m_fmt._db.cachedStatement(
        "INSERT INTO notes_tree (note_id, note_pid, note_pos, is_expanded) VALUES (?, ?, ?, ?)", &e);
    if (e.errorCode() == 0) st.bind(1, StoredIdOf(m_fmt, n.m_strID).c_str(), &e);
    if (e.errorCode() == 0) st.bind(2, n.m_strParentID.c_str(), &e);
    if (e.errorCode() == 0) st.bind(3, n.m_nSibling, &e);
    if (e.errorCode() == 0) st.bind(4, n.m_bExpanded ? 1 : 0, &e);
    if (e.errorCode() == 0) st.execDML(&e);
    if (e.errorCode() != 0) {
      xLog(LOG_ERROR, "Sqlite format [insert node]: %s\n", SqliteMessage(e));
      m_fmt.ChangeNotWritten();
    }
  }
}

bool SqliteLoadRun::TreeNeedsNoRepair() {
  // Only a load into an empty document: the tree read lets no empty or
  // repeated ID in, so each note's level is the list of the tree index.
  if (m_fmt._nFirstLoadedIdx != 0) return false;
  const TreeIndex* tree = m_doc.GetTreeIndex();
  if (!tree) return false;
  const int n = m_doc.GetNodeCount();
  for (int i = 0; i < n; ++i)
    if (tree->parent[i] == -2) return false;  // its parent ID names no note
  // A note that no walk from the top reaches hangs in a parent cycle.
  if (tree->order.size() != static_cast<size_t>(n)) return false;
  // The lists are in sibling order: a level is sound when its k-th note
  // holds position k.
  for (int p = -1; p < n; ++p) {
    const int* begin = tree->Children(p);
    for (const int* c = begin; c != tree->ChildrenEnd(p); ++c)
      if (m_doc.GetNodeByIdx(*c).m_nSibling != static_cast<int>(c - begin)) return false;
  }
  return true;
}

void SqliteLoadRun::RepairParentsAndSiblings(FormatIO_DynamicBase* writer) {
  // A sound tree (the usual case) is told by one pass over the tree index,
  // which the document keeps for its walks.
  if (TreeNeedsNoRepair()) return;
  bool changed = false;
  for (int i = 0; i < m_doc.GetNodeCount(); ++i) {
    NoteNode& n = m_doc.GetNodeByIdx(i);
    if (n.m_strParentID.empty() || m_doc.GetIdxFromID(n.m_strParentID) >= 0) continue;
    xLog(LOG_ERROR, "Invalid parent ID detected in the note: %s\n", n.m_strParentID.c_str());
    n.m_strParentID.clear();
    if (writer) writer->OnNodeUpdate(n, NIF_TREE_POSITION, false, nullptr);
    changed = true;
  }
  if (BreakParentCycles(writer)) changed = true;
  // Notes that just became top-level take their place in the same pass.
  if (m_fmt.RecursivelyFixSiblings("")) changed = true;
  if (changed) m_doc.RebuildMap();
}

bool SqliteLoadRun::BreakParentCycles(FormatIO_DynamicBase* writer) {
  // Notes whose parents lead round in a circle reach no top level: every
  // walk of the tree (a save, a count, an export) would miss them. Each
  // note's chain of parents is followed once (notes seen before end it), so
  // the search is linear; the note whose parent closes a circle becomes a
  // top-level note, as one whose parent is missing does.
  const int n = m_doc.GetNodeCount();
  std::vector<int> parent(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) parent[i] = m_doc.GetIdxFromID(m_doc.GetNodeByIdx(i).m_strParentID);
  enum : char { kUnseen, kOnPath, kDone };
  std::vector<char> state(static_cast<size_t>(n), kUnseen);
  std::vector<int> path;
  bool changed = false;
  for (int i = 0; i < n; ++i) {
    int cur = i;
    while (cur >= 0 && state[cur] == kUnseen) {
      state[cur] = kOnPath;
      path.push_back(cur);
      cur = parent[cur];
    }
    if (cur >= 0 && state[cur] == kOnPath) {
      NoteNode& closing = m_doc.GetNodeByIdx(path.back());
      xLog(LOG_ERROR, "Parent cycle detected at the note: %s (parent: %s)\n", closing.m_strID.c_str(),
           closing.m_strParentID.c_str());
      closing.m_strParentID.clear();
      parent[path.back()] = -1;
      if (writer) writer->OnNodeUpdate(closing, NIF_TREE_POSITION, false, nullptr);
      changed = true;
    }
    for (int p : path) state[p] = kDone;
    path.clear();
  }
  return changed;
}

int SqliteLoadRun::CopyLoadedNotes(FormatIO_DynamicBase& target) {
  // The parts the tree row does not carry, read from this file.
  const unsigned int fetchMask = NIF_TEXT | NIF_ATTACHMENTS | NIF_PICTURES | NIF_LINKS | NIF_TAGS |
                                 NIF_FORMATTING | NIF_CUSTOM_PROPERTIES | NIF_ANCHORS;
  // What the other database stores: the fetched parts, the task of the tree
  // row, and the note's properties (dates, icon, flags, colours), which its
  // insert alone does not write.
  const unsigned int writeMask = fetchMask | NIF_TASK | NIF_PROPERTIES;
  int failed = 0, copied = 0;
  for (int i = std::max(m_fmt._nFirstLoadedIdx, 0); i < m_doc.GetNodeCount(); ++i) {
    if (ProgressInfo::IsCanceled()) return DOC_LOAD_ABORTED;
    NoteNode copy = m_doc.GetNodeByIdx(i);
    ApplyBuiltInIconName(copy);
    target.OnNodeInsert(copy, false);
    m_fmt.FetchNodeInfo(copy, fetchMask);
    ++copied;
    // A note whose rows did not arrive (a failed insert shows here too, as
    // a notes row that does not exist) would read back empty from the
    // document's database: the merge has failed, not succeeded.
    if (!target.OnNodeUpdate(copy, writeMask, true, nullptr)) ++failed;
    auto icon = m_doc.m_mapNoteIcon.find(copy.m_strID);
    if (icon != m_doc.m_mapNoteIcon.end()) {
      const int at = m_doc.m_lstCustomIcons.FindAtOffset(icon->second);
      if (at >= 0) target.OnNodeCustomIconSet(copy, m_doc.m_lstCustomIcons.GetAt(at));
    }
  }
  if (failed > 0) {
    xLog(LOG_ERROR, "Sqlite merge: %d of %d notes could not be stored in the document's database\n", failed, copied);
    return DOC_LOAD_FORMAT_ERROR;
  }
  return -1;
}

}  // namespace quillery
