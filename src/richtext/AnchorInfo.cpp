#include "richtext/AnchorInfo.h"

#include <algorithm>

void AnchorInfoList::Sort() {
  std::stable_sort(m_list.begin(), m_list.end(),
                   [](const AnchorInfo& a, const AnchorInfo& b) { return a.nOffset < b.nOffset; });
}

void AnchorInfoList::Append(const AnchorInfo& anchor, int delta) {
  m_list.push_back(anchor);
  if (delta != 0) m_list.back().nOffset += delta;
}

void AnchorInfoList::Remove(int i) {
  if (i < 0 || i >= GetSize()) return;
  m_list.erase(m_list.begin() + i);
}
