#include "model/DocumentIterator.h"

#include <unordered_map>
#include <vector>

#include "model/NoteDocument.h"

int DocumentIterator::CalcNodeLevel(int idx) const {
  if (idx < 0 || idx >= m_doc.GetNodeCount()) return -1;
  // Writers ask for every note: counting up each time would be quadratic in
  // a deep tree, so the document's depth cache answers when it can.
  const int cached = m_doc.GetCachedDepth(idx);
  if (cached >= 0) return cached;
  int level = 0;
  int cur = m_doc.GetIdxFromID(m_doc.GetNodeByIdx(idx).m_strParentID);
  // Bounded by the note count, which also ends a parent cycle.
  while (cur >= 0 && level < m_doc.GetNodeCount()) {
    ++level;
    cur = m_doc.GetIdxFromID(m_doc.GetNodeByIdx(cur).m_strParentID);
  }
  return level;
}

int DocumentIterator::GetChildCount(const std::string& id) const { return m_doc.GetChildCountOf(id); }

int DocumentIterator::GetChildCountByIdx(int idx) const {
  if (idx < 0 || idx >= m_doc.GetNodeCount()) return 0;
  // A note without an ID is asked as the map is: by its (empty) key.
  const TreeIndex* tree = m_doc.GetTreeIndex();
  if (!tree || tree->noID[idx]) return GetChildCount(m_doc.GetNodeByIdx(idx).m_strID);
  return static_cast<int>(tree->ChildrenEnd(idx) - tree->Children(idx));
}

int DocumentIterator::CalcChildCount(const std::string& parentID, bool recursive) const {
  const int n = m_doc.GetNodeCount();
  if (!recursive) {
    int count = 0;
    for (int i = 0; i < n; ++i)
      if (m_doc.GetNodeByIdx(i).m_strParentID == parentID) ++count;
    return count;
  }
  // Children per parent, built once, then a walk down from parentID.
  std::unordered_map<std::string, std::vector<int>> children;
  for (int i = 0; i < n; ++i) children[m_doc.GetNodeByIdx(i).m_strParentID].push_back(i);
  std::vector<char> seen(n, 0);
  std::vector<int> stack;
  auto push = [&](const std::string& pid) {
    auto it = children.find(pid);
    if (it != children.end()) stack.insert(stack.end(), it->second.begin(), it->second.end());
  };
  push(parentID);
  int count = 0;
  while (!stack.empty()) {
    const int idx = stack.back();
    stack.pop_back();
    if (seen[idx]) continue;
    seen[idx] = 1;
    ++count;
    const std::string& id = m_doc.GetNodeByIdx(idx).m_strID;
    if (!id.empty() && id != parentID) push(id);
  }
  return count;
}

std::string DocumentIterator::GetChildID(const std::string& parentID, int sibling) const {
  const int idx = m_doc.GetIdxFromPidSib(parentID, sibling);
  return idx < 0 ? std::string() : m_doc.GetNodeByIdx(idx).m_strID;
}

int DocumentIterator::NodeIdx2RecursiveIdx(int idx) const { return m_doc.GetRecursiveIdx(idx); }

int DocumentIterator::RecursiveIdx2NodeIdx(int recursiveIdx) const {
  if (recursiveIdx < 0 || recursiveIdx >= m_doc.GetNodeCount()) return -1;
  m_doc.GetRecursiveIdx(0);  // brings the map up to date
  const std::vector<int>& order = m_doc.m_tree.order;
  return static_cast<size_t>(recursiveIdx) < order.size() ? order[recursiveIdx] : -1;
}
