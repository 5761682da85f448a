#pragma once

// A hyperlink of a rich text (or, with offset -1, the note's own link) and the
// list of a text's links. A link points at a URL, at a note (target ID), or
// at both (URL plus "#ID").

#include <string>
#include <vector>

class LinkInfo {
 public:
  LinkInfo() = default;

  // True when a target note ID or a URL is set.
  bool IsValid() const { return !strTargetID.empty() || !strLink.empty(); }
  // A link to a note of this document: no URL, a target ID.
  bool IsInternal() const { return strLink.empty() && !strTargetID.empty(); }
  // Relative unless the URL is longer than 7 bytes and starts with
  // "file:///" or "lua:///". (An "http://" URL therefore counts as relative.)
  void RecalcRelative();
  void Clear() { *this = LinkInfo(); }

  std::string strLink;      // URL, may be empty
  std::string strTargetID;  // target note ID, may be empty
  bool bRelative = true;
  int nStartOffset = -1;    // -1 for the note's own link
  int nTextLength = 0;      // in offset units
};

class LinkInfoList {
 public:
  int GetSize() const { return static_cast<int>(m_list.size()); }
  bool IsEmpty() const { return m_list.empty(); }
  LinkInfo& GetAt(int i) { return m_list[i]; }
  const LinkInfo& GetAt(int i) const { return m_list[i]; }
  LinkInfo& operator[](int i) { return m_list[i]; }
  const LinkInfo& operator[](int i) const { return m_list[i]; }
  void Clear() { m_list.clear(); }
  // Stable sort by start offset.
  void Sort();
  // Appends a copy, its offset raised by delta; no sorting.
  void Append(const LinkInfo& link, int delta = 0);
  void Remove(int i);

  std::vector<LinkInfo>& Items() { return m_list; }
  const std::vector<LinkInfo>& Items() const { return m_list; }

 private:
  std::vector<LinkInfo> m_list;
};
