#include "richtext/FmtInfo.h"

FmtInfo::FmtInfo() : nFormatTag(-1), nOffset(-1), color{0, 0, 0, 0}, bFlag(false), nValue(100) {}

FmtInfo::FmtInfo(int tag, int offset) : FmtInfo() {
  nFormatTag = tag;
  nOffset = offset;
}

int FmtInfo::GetKind() const {
  if (nFormatTag <= 0 || nFormatTag > FMT_TAG_MAX) return 0;
  return (nFormatTag + 1) / 2;
}

bool FmtInfo::IsSpanKind(int kind) {
  return kind == (FMT_COLOR_BEGIN + 1) / 2 || kind == (FMT_BKG_COLOR_BEGIN + 1) / 2 ||
         kind == (FMT_FONT_BEGIN + 1) / 2 || kind == (FMT_LINE_SPACING_BEGIN + 1) / 2;
}

void FmtInfoList::AppendSorted(const FmtInfo& info, int delta) {
  FmtInfo item = info;
  item.nOffset += delta;
  const bool isEnd = item.IsEnd();
  // Binary search would not help much: insertions in the middle shift the
  // vector anyway. Scan from the back, since new tags usually go last.
  size_t pos = m_list.size();
  while (pos > 0) {
    const FmtInfo& prev = m_list[pos - 1];
    if (prev.nOffset > item.nOffset || (isEnd && prev.nOffset == item.nOffset && prev.IsBegin())) {
      --pos;
      continue;
    }
    break;
  }
  m_list.insert(m_list.begin() + pos, item);
}

void FmtInfoList::Remove(int i) {
  if (i < 0 || i >= GetSize()) return;
  m_list.erase(m_list.begin() + i);
}

int FmtInfoList::CalcOppositeTag(int tag) {
  if (tag <= 0 || tag > FMT_TAG_MAX) return -1;
  return (tag & 1) ? tag + 1 : tag - 1;
}

int FmtInfoList::FindOppositeTag(int tag, int start, bool forward, bool stopAtSame, int stopTag) const {
  if (start < 0) return -1;
  const int opposite = CalcOppositeTag(tag);
  if (opposite < 0) return -1;
  const int size = GetSize();
  for (int i = start; i >= 0 && i < size; i += forward ? 1 : -1) {
    const int t = m_list[i].nFormatTag;
    if (t == opposite) return i;
    if (t == stopTag) return -1;
    if (stopAtSame && t == tag) return -1;
  }
  return -1;
}

int FmtInfoList::FindTagAtOffset(int tag, int offset, int start) const {
  if (start < 0) return -1;
  for (int i = start; i < GetSize(); ++i) {
    const FmtInfo& f = m_list[i];
    if (f.nOffset > offset) return -1;
    if (f.nFormatTag == tag && f.nOffset == offset) return i;
  }
  return -1;
}
