#include "model/RecursiveTreeWalker.h"

#include <algorithm>

#include "base/Log.h"
#include "model/DocumentIterator.h"
#include "model/NoteDocument.h"

RecursiveTreeWalker::RecursiveTreeWalker(NoteDocument& doc, int type, int startIdx)
    : m_doc(doc), m_nType(type), m_nStartIdx(startIdx) {
  Build();
}

RecursiveTreeWalker::RecursiveTreeWalker(NoteDocument& doc, const std::vector<std::string>& ids)
    : m_doc(doc), m_nType(WALK_LIST), m_nStartIdx(-1), m_lstIDs(ids) {
  Build();
}

void RecursiveTreeWalker::Restart() { Build(); }

int RecursiveTreeWalker::GetNextNode() {
  if (m_nPos >= m_order.size()) return -1;
  return m_order[m_nPos++];
}

void RecursiveTreeWalker::Build() {
  m_order.clear();
  m_depth.clear();
  m_setInWalk.clear();
  m_nPos = 0;
  const int n = m_doc.GetNodeCount();
  DocumentIterator it(m_doc);

  if (m_nType == WALK_LIST) {
    m_nStartDepth = 0;
    for (const std::string& id : m_lstIDs) {
      const int idx = m_doc.GetIdxFromID(id);
      if (idx >= 0 && m_setInWalk.insert(idx).second) m_order.push_back(idx);
    }
    return;
  }

  const bool needsStart = m_nType == WALK_BRANCH || m_nType == WALK_NODE || m_nType == WALK_CHILDREN ||
                          m_nType == WALK_DESCENDANTS;
  if (needsStart && (m_nStartIdx < 0 || m_nStartIdx >= n)) {
    xLog(LOG_WARNING, "Tree walk of type %d without a valid start note (%d)\n", m_nType, m_nStartIdx);
    m_nStartDepth = 0;
    return;
  }
  m_nStartDepth = needsStart ? it.CalcNodeLevel(m_nStartIdx) : 0;
  if (m_nType == WALK_NODE) {
    m_order.push_back(m_nStartIdx);
    return;
  }

  // The document's tree by index; while its maps are blocked a walk builds
  // its own.
  TreeIndex local;
  const TreeIndex* tree = m_doc.GetTreeIndex();
  if (!tree) {
    local.Build(m_doc);
    tree = &local;
  }
  if (m_nType == WALK_ALL || m_nType == WALK_MARKED) {
    m_depth = tree->depth;
    if (m_nType == WALK_ALL) {
      m_order = tree->order;
    } else {
      for (int idx : tree->order)
        if (m_doc.GetNodeByIdx(idx).m_bMarked) m_order.push_back(idx);
    }
  } else {
    m_depth.assign(n, -1);
    std::vector<std::pair<int, int>> stack;  // (note index, depth)
    auto pushChildren = [&](int parentIdx, int depth) {
      for (const int* c = tree->ChildrenEnd(parentIdx); c != tree->Children(parentIdx);)
        stack.emplace_back(*--c, depth);
    };
    if (m_nType == WALK_BRANCH) {
      stack.emplace_back(m_nStartIdx, m_nStartDepth);
    } else {
      m_depth[m_nStartIdx] = m_nStartDepth;  // not walked, but never walked again either
      pushChildren(m_nStartIdx, m_nStartDepth + 1);
    }
    while (!stack.empty()) {
      const int idx = stack.back().first;
      const int depth = stack.back().second;
      stack.pop_back();
      if (m_depth[idx] >= 0) continue;  // a parent cycle in corrupt input
      m_depth[idx] = depth;
      m_order.push_back(idx);
      if (m_nType != WALK_CHILDREN) pushChildren(idx, depth + 1);
    }
    if (m_nType != WALK_BRANCH) m_depth[m_nStartIdx] = -1;
  }
  if (m_nType == WALK_MARKED) m_setInWalk.insert(m_order.begin(), m_order.end());
  if (m_nType == WALK_ALL && static_cast<int>(m_order.size()) < n)
    xLog(LOG_WARNING, "Tree walk: %d notes are not reachable from the top level\n",
         n - static_cast<int>(m_order.size()));
}

int RecursiveTreeWalker::CalcRelativeDepth(int idx) const {
  if (m_nType == WALK_LIST) return 0;
  if (idx >= 0 && static_cast<size_t>(idx) < m_depth.size() && m_depth[idx] >= 0) {
    const int d = m_depth[idx] - m_nStartDepth;
    return d < 0 ? 0 : d;
  }
  DocumentIterator it(m_doc);
  const int d = it.CalcNodeLevel(idx) - m_nStartDepth;
  return d < 0 ? 0 : d;
}

bool RecursiveTreeWalker::IsAncestorOrSelf(int ancestorIdx, int idx) const {
  int cur = idx;
  for (int guard = 0; cur >= 0 && guard <= m_doc.GetNodeCount(); ++guard) {
    if (cur == ancestorIdx) return true;
    cur = m_doc.GetIdxFromID(m_doc.GetNodeByIdx(cur).m_strParentID);
  }
  return false;
}

bool RecursiveTreeWalker::IsNoteWithinWalk(const std::string& id) const {
  const int idx = m_doc.GetIdxFromID(id);
  if (idx < 0) {
    xLog(LOG_WARNING, "IsNoteWithinWalk: note [%s] not found\n", id.c_str());
    return false;
  }
  switch (m_nType) {
    case WALK_ALL: return true;
    case WALK_NODE: return idx == m_nStartIdx;
    case WALK_BRANCH: return m_nStartIdx >= 0 && IsAncestorOrSelf(m_nStartIdx, idx);
    case WALK_CHILDREN:
      return m_nStartIdx >= 0 && m_doc.GetNodeByIdx(idx).m_strParentID == m_doc.GetNodeByIdx(m_nStartIdx).m_strID;
    case WALK_DESCENDANTS: return m_nStartIdx >= 0 && idx != m_nStartIdx && IsAncestorOrSelf(m_nStartIdx, idx);
    case WALK_MARKED:
    case WALK_LIST: return m_setInWalk.count(idx) != 0;
    default: return false;
  }
}
