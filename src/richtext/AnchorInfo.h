#pragma once

// A named anchor inside a rich text, and the list of a text's anchors.

#include <string>
#include <vector>

class AnchorInfo {
 public:
  AnchorInfo() = default;
  AnchorInfo(const std::string& name, int offset) : strName(name), nOffset(offset) {}

  std::string strName;
  int nOffset = -1;
};

class AnchorInfoList {
 public:
  int GetSize() const { return static_cast<int>(m_list.size()); }
  bool IsEmpty() const { return m_list.empty(); }
  AnchorInfo& GetAt(int i) { return m_list[i]; }
  const AnchorInfo& GetAt(int i) const { return m_list[i]; }
  AnchorInfo& operator[](int i) { return m_list[i]; }
  const AnchorInfo& operator[](int i) const { return m_list[i]; }
  void Clear() { m_list.clear(); }
  // Stable sort by offset.
  void Sort();
  // Appends a copy, its offset raised by delta; no sorting.
  void Append(const AnchorInfo& anchor, int delta = 0);
  void Remove(int i);

  std::vector<AnchorInfo>& Items() { return m_list; }
  const std::vector<AnchorInfo>& Items() const { return m_list; }

 private:
  std::vector<AnchorInfo> m_list;
};
