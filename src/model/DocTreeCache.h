#pragma once

// Lookup maps over a document's note list, kept by NoteDocument:
//   - note ID -> note index;
//   - (parent ID, sibling position) -> note index;
//   - child count per parent, keyed by the parent ID itself (a hash of the ID
//     would let two parents with colliding IDs share one count and hand out
//     sibling positions that are already taken);
//   - recursive-index map: note index -> depth-first position. It is a
//     cache rebuilt on demand after the tree changed (m_bRecursiveMapDirty)
//     and not upkept at all while BlockMapRecalc(true) is in force; the
//     note depths are cached with it.
// All maps are hashed: every lookup is O(1) on average.

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "model/PidSibKey.h"

class DocTreeCache {
 public:
  // The note's index; -1 for an empty or absent ID.
  int GetIdxFromID(const std::string& id) const {
    if (id.empty()) return -1;
    auto it = m_mapIdToIdx.find(id);
    return it == m_mapIdToIdx.end() ? -1 : it->second;
  }
  // The index of the child at that position, -1 when none.
  int GetIdxFromPidSib(const std::string& parentID, int sibling) const {
    auto it = m_mapPidSibToIdx.find(PidSibKey(parentID, sibling));
    return it == m_mapPidSibToIdx.end() ? -1 : it->second;
  }
  // Children of the parent per the child-count map.
  int GetChildCountOf(const std::string& parentID) const {
    auto it = m_mapChildCount.find(parentID);
    return it == m_mapChildCount.end() ? 0 : it->second;
  }

  std::unordered_map<std::string, int> m_mapIdToIdx;
  std::unordered_map<PidSibKey, int, PidSibKey::Hasher> m_mapPidSibToIdx;
  std::unordered_map<std::string, int> m_mapChildCount;
  std::unordered_map<int, int> m_mapRecursiveIdx;
  // Depth of each note (0 = top level), filled with the recursive-index map;
  // -1 for a note not reachable from the top level.
  std::vector<int> m_vecDepth;
  bool m_bRecursiveMapDirty = true;
  bool m_bBlockMapRecalc = false;
};
