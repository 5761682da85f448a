#pragma once

// The document's bookmarks: each a unique title and a note path (or note ID),
// kept in their order.

#include <string>
#include <unordered_set>
#include <vector>

class BookmarkList {
 public:
  int GetCount() const { return static_cast<int>(m_list.size()); }
  const std::string& GetBookPath(int i) const { return m_list[i].path; }
  const std::string& GetBookTitle(int i) const { return m_list[i].title; }
  // Inserts at pos (-1 or past the end appends); false when a bookmark with
  // that title exists.
  bool Insert(const std::string& title, const std::string& path, int pos = -1);
  void Remove(int i);
  void Clear();

 private:
  struct Entry {
    std::string title;
    std::string path;
  };
  std::vector<Entry> m_list;
  std::unordered_set<std::string> m_titles;
};
