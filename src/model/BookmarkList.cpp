#include "model/BookmarkList.h"

bool BookmarkList::Insert(const std::string& title, const std::string& path, int pos) {
  if (!m_titles.insert(title).second) return false;
  Entry e{title, path};
  if (pos < 0 || pos >= GetCount()) m_list.push_back(std::move(e));
  else m_list.insert(m_list.begin() + pos, std::move(e));
  return true;
}

void BookmarkList::Remove(int i) {
  if (i < 0 || i >= GetCount()) return;
  m_titles.erase(m_list[i].title);
  m_list.erase(m_list.begin() + i);
}

void BookmarkList::Clear() {
  m_list.clear();
  m_titles.clear();
}
