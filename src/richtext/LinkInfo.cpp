#include "richtext/LinkInfo.h"

#include <algorithm>

void LinkInfo::RecalcRelative() {
  const std::string& u = strLink;
  const bool absolute = u.size() > 7 && (u.compare(0, 8, "file:///") == 0 || u.compare(0, 7, "lua:///") == 0);
  bRelative = !absolute;
}

void LinkInfoList::Sort() {
  std::stable_sort(m_list.begin(), m_list.end(),
                   [](const LinkInfo& a, const LinkInfo& b) { return a.nStartOffset < b.nStartOffset; });
}

void LinkInfoList::Append(const LinkInfo& link, int delta) {
  m_list.push_back(link);
  if (delta != 0) m_list.back().nStartOffset += delta;
}

void LinkInfoList::Remove(int i) {
  if (i < 0 || i >= GetSize()) return;
  m_list.erase(m_list.begin() + i);
}
