#include "formats/native/HtmlSegmentList.h"

#include <algorithm>

#include "base/StringUtil.h"

namespace quillery {

void CalcSegmentCharLength(tSegment& seg) {
  if (seg.nLen >= 0) return;
  if (seg.bText) {
    seg.nLen = static_cast<int>(Utf8CharCount(seg.text));
    return;
  }
  const std::string& t = seg.text;
  seg.nLen = (t.size() >= 4 && t[0] == '<' && (t[1] == 'I' || t[1] == 'i') &&
              (t[2] == 'M' || t[2] == 'm') && (t[3] == 'G' || t[3] == 'g'))
                 ? 1
                 : 0;
}

long SegmentListPositions(tSegmentList& segs) {
  long total = 0;
  for (tSegment& s : segs) {
    CalcSegmentCharLength(s);
    total += s.nLen;
  }
  return total;
}

namespace {

// The part of one input segment that is not yet in the output.
struct Cursor {
  size_t index = 0;
  size_t usedBytes = 0;  // bytes of a text segment already cut off
  int usedChars = 0;
};

void EmitRest(tSegmentList& in, Cursor& c, tSegmentList& out) {
  tSegment& s = in[c.index];
  if (c.usedBytes == 0) {
    out.push_back(std::move(s));
  } else {
    out.emplace_back(s.text.substr(c.usedBytes), s.bText, s.nLen - c.usedChars);
  }
  ++c.index;
  c.usedBytes = 0;
  c.usedChars = 0;
}

}  // namespace

void MergeIntoSegmentList(tSegmentList& segs, std::vector<tSegmentInsert>& items) {
  if (items.empty()) return;
  // The order of placing: by offset, equal offsets in batch order. Sorting
  // (offset, index) pairs gives that order without moving the markup
  // strings, and a batch that is in order already (most are) is not sorted.
  std::vector<std::pair<int, int>> order;
  const bool sorted = std::is_sorted(items.begin(), items.end(), [](const tSegmentInsert& a, const tSegmentInsert& b) {
    return a.nOffset < b.nOffset;
  });
  if (!sorted) {
    order.reserve(items.size());
    for (size_t i = 0; i < items.size(); ++i) order.emplace_back(items[i].nOffset, static_cast<int>(i));
    std::sort(order.begin(), order.end());
  }

  tSegmentList out;
  out.reserve(segs.size() + 2 * items.size() + 1);
  Cursor c;
  long pos = 0;  // position where the unemitted input begins
  for (size_t k = 0; k < items.size(); ++k) {
    tSegmentInsert& item = items[sorted ? k : static_cast<size_t>(order[k].second)];
    // Emit everything that lies wholly before the item's offset, and the
    // zero-length markup that stands at it.
    while (c.index < segs.size()) {
      tSegment& s = segs[c.index];
      CalcSegmentCharLength(s);
      int rest = s.nLen - c.usedChars;
      if (s.nLen == 0 || pos + rest <= item.nOffset) {
        pos += rest;
        EmitRest(segs, c, out);
        continue;
      }
      break;
    }
    if (c.index == segs.size()) {
      if (item.nOffset > pos) continue;  // beyond the end: dropped
    } else if (item.nOffset > pos) {
      // Inside a text segment (a picture covers one position, so an offset
      // strictly inside a segment is always inside text): cut it.
      tSegment& s = segs[c.index];
      int d = static_cast<int>(item.nOffset - pos);
      size_t cut = c.usedBytes + Utf8CharToByteOffset(s.text.data() + c.usedBytes,
                                                      s.text.size() - c.usedBytes, d);
      out.emplace_back(s.text.substr(c.usedBytes, cut - c.usedBytes), true, d);
      c.usedBytes = cut;
      c.usedChars += d;
      pos += d;
    }
    out.emplace_back(std::move(item.markup), false, item.nLen);
    pos += item.nLen;
  }
  while (c.index < segs.size()) EmitRest(segs, c, out);
  segs.swap(out);
}

}  // namespace quillery
