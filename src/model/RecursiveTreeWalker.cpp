#include "model/RecursiveTreeWalker.h"

#include <algorithm>
#include <unordered_map>

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

  // Children per parent in sibling order (ties by index), built once.
  std::unordered_map<std::string, std::vector<std::pair<int, int>>> children;
  children.reserve(static_cast<size_t>(n) / 2 + 1);
  for (int i = 0; i < n; ++i) {
    const NoteNode& note = m_doc.GetNodeByIdx(i);
    children[note.m_strParentID].emplace_back(note.m_nSibling, i);
  }
  for (auto& c : children) std::sort(c.second.begin(), c.second.end());

  std::vector<int> stack;
  std::vector<char> seen(n, 0);
  auto pushChildren = [&](int parentIdx) {
    const std::string pid = parentIdx < 0 ? std::string() : m_doc.GetNodeByIdx(parentIdx).m_strID;
    if (parentIdx >= 0 && pid.empty()) return;
    auto f = children.find(pid);
    if (f == children.end()) return;
    for (auto r = f->second.rbegin(); r != f->second.rend(); ++r) stack.push_back(r->second);
  };
  if (m_nType == WALK_BRANCH) {
    stack.push_back(m_nStartIdx);
  } else if (m_nType == WALK_CHILDREN || m_nType == WALK_DESCENDANTS) {
    seen[m_nStartIdx] = 1;
    pushChildren(m_nStartIdx);
  } else {
    pushChildren(-1);
  }
  while (!stack.empty()) {
    const int idx = stack.back();
    stack.pop_back();
    if (seen[idx]) continue;  // a parent cycle in corrupt input
    seen[idx] = 1;
    if (m_nType != WALK_MARKED || m_doc.GetNodeByIdx(idx).m_bMarked) m_order.push_back(idx);
    if (m_nType != WALK_CHILDREN) pushChildren(idx);
  }
  if (m_nType == WALK_MARKED) m_setInWalk.insert(m_order.begin(), m_order.end());
  if (m_nType == WALK_ALL && static_cast<int>(m_order.size()) < n)
    xLog(LOG_WARNING, "Tree walk: %d notes are not reachable from the top level\n",
         n - static_cast<int>(m_order.size()));
}

int RecursiveTreeWalker::CalcRelativeDepth(int idx) const {
  if (m_nType == WALK_LIST) return 0;
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
