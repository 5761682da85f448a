#pragma once

// Lookup maps over a document's note list, kept by NoteDocument:
//   - note ID -> note index;
//   - (parent ID, sibling position) -> note index;
//   - child count per parent, keyed by the parent ID itself (a hash of the ID
//     would let two parents with colliding IDs share one count and hand out
//     sibling positions that are already taken);
//   - the tree by note index (TreeIndex): parent, children in sibling order,
//     depth-first order and position, depth. It is a cache rebuilt on
//     demand after the tree changed (m_bRecursiveMapDirty) and not upkept at
//     all while BlockMapRecalc(true) is in force. Building it hashes each
//     note's parent ID once; walks and depth questions then go by index.
// The ID maps are flat hash maps (IdHashMap): every lookup is O(1) on
// average and touches one slot of a compact index and, when the slot's hash
// half matches, one entry.
//
// Threads: the lookups (GetIdxFromID, GetIdxFromPidSib, GetChildCountOf)
// are const and fill nothing: any thread may make them while no thread
// changes the maps (the document's render workers do). The tree index is a
// cache that NoteDocument::GetTreeIndex fills on demand: only the
// document's own thread asks for it and reads it.

#include <cstdint>
#include <string>
#include <vector>

#include "model/IdHashMap.h"

class NoteDocument;

// A document's tree by note index, built in one pass over the note list.
// Invariants after Build: parent, position and depth have one entry per
// note; the children of note p (p = -1: the top level) are
// Children(p)..ChildrenEnd(p), in sibling order with ties by index; a note
// whose parent ID names no note has parent -2 and, like every note not
// reachable from the top level (parent cycles), position and depth -1 and
// no place in order.
struct TreeIndex {
  std::vector<int> parent;
  std::vector<int> childStart;  // note count + 2 entries; the top level is slot 0
  std::vector<int> childList;
  std::vector<int> order;       // depth-first order of the reachable notes
  std::vector<int> position;    // note index -> place in order
  std::vector<int> depth;       // 0 = top level
  std::vector<char> noID;       // 1 for a note without an ID (it has no children here)

  void Build(const NoteDocument& doc);
  const int* Children(int parentIdx) const { return childList.data() + childStart[parentIdx + 1]; }
  const int* ChildrenEnd(int parentIdx) const { return childList.data() + childStart[parentIdx + 2]; }
};

class DocTreeCache {
 public:
  // The note's index; -1 for an empty or absent ID.
  int GetIdxFromID(const std::string& id) const {
    if (id.empty()) return -1;
    const int* idx = m_mapIdToIdx.Find(id);
    return idx ? *idx : -1;
  }
  // The index of the child at that position, -1 when none.
  int GetIdxFromPidSib(const std::string& parentID, int sibling) const {
    const int* idx = m_mapPidSibToIdx.Find(parentID, sibling);
    return idx ? *idx : -1;
  }
  // Children of the parent per the child-count map.
  int GetChildCountOf(const std::string& parentID) const {
    const int* count = m_mapChildCount.Find(parentID);
    return count ? *count : 0;
  }

  IdHashMap m_mapIdToIdx;      // ID -> note index
  IdHashMap m_mapPidSibToIdx;  // (parent ID, sibling) -> note index
  IdHashMap m_mapChildCount;   // parent ID -> child count
  TreeIndex m_tree;
  bool m_bRecursiveMapDirty = true;
  bool m_bBlockMapRecalc = false;
};
