#include "formats/native/HtmlSegmentList.h"

#include <algorithm>
#include <cstring>

#include "base/StringUtil.h"
#include "html/HtmlWriteEscape.h"

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

// The order of placing a batch: by offset, equal offsets in batch order.
// Sorting (offset, index) pairs gives that order without moving the markup
// strings; a batch that is in order already (most are) is not sorted and
// `order` stays empty.
bool PlacingOrder(const std::vector<tSegmentInsert>& items, std::vector<std::pair<int, int>>& order) {
  const bool sorted = std::is_sorted(items.begin(), items.end(), [](const tSegmentInsert& a, const tSegmentInsert& b) {
    return a.nOffset < b.nOffset;
  });
  if (!sorted) {
    order.reserve(items.size());
    for (size_t i = 0; i < items.size(); ++i) order.emplace_back(items[i].nOffset, static_cast<int>(i));
    std::sort(order.begin(), order.end());
  }
  return sorted;
}

// A piece of the rendering: note text (by reference) or ready markup.
struct Piece {
  const char* data;
  size_t len;
  bool text;
  bool Is(const char* markup, size_t n) const { return !text && len == n && memcmp(data, markup, n) == 0; }
  bool LineStart() const { return Is("<LI>", 4); }
  bool LineEnd() const { return Is("</LI>\n", 6); }
  // Zero-length markup (every item here) that a bullet look-around steps over.
  bool Transparent() const { return text ? len == 0 : !LineStart() && !LineEnd(); }
};

}  // namespace

void RenderTextWithMarkup(const std::string& text, int textLen, std::vector<tSegmentInsert>& items,
                          const char* bullet, std::string& out) {
  std::vector<std::pair<int, int>> order;
  const bool sorted = PlacingOrder(items, order);
  // Reused from note to note: the pieces of a note need no allocation of their own.
  static thread_local std::vector<Piece> pieces;
  pieces.clear();
  pieces.reserve(2 * items.size() + 1);
  bool textLeft = !text.empty();
  size_t usedBytes = 0;
  long pos = 0;
  auto emitRest = [&]() {
    pieces.push_back({text.data() + usedBytes, text.size() - usedBytes, true});
    pos = textLen;
    textLeft = false;
  };
  for (size_t k = 0; k < items.size(); ++k) {
    const tSegmentInsert& item = items[sorted ? k : static_cast<size_t>(order[k].second)];
    if (textLeft && textLen <= item.nOffset) emitRest();
    if (!textLeft) {
      if (item.nOffset > pos) continue;  // beyond the end: dropped
    } else if (item.nOffset > pos) {
      const long d = item.nOffset - pos;
      const size_t cut = usedBytes + Utf8CharToByteOffset(text.data() + usedBytes, text.size() - usedBytes, d);
      pieces.push_back({text.data() + usedBytes, cut - usedBytes, true});
      usedBytes = cut;
      pos += d;
    }
    pieces.push_back({item.markup.data(), item.markup.size(), false});
  }
  if (textLeft) emitRest();

  const size_t n = pieces.size();
  const size_t bulletLen = strlen(bullet);
  for (size_t i = 0; i < n; ++i) {
    if (!pieces[i].LineStart()) continue;
    size_t j = i + 1;
    while (j < n && pieces[j].Transparent()) ++j;
    if (j < n && pieces[j].text && pieces[j].len >= bulletLen && memcmp(pieces[j].data, bullet, bulletLen) == 0) {
      pieces[j].data += bulletLen;
      pieces[j].len -= bulletLen;
    }
  }
  out.clear();
  size_t total = 0;
  for (const Piece& p : pieces) total += p.len;
  out.reserve(total + total / 8);
  BulletBreakSeam seam;
  for (size_t i = 0; i < n; ++i) {
    const Piece& p = pieces[i];
    if (!p.text) {
      seam.Markup(p.LineEnd(), p.Transparent());
      out.append(p.data, p.len);
      continue;
    }
    if (p.len == 0) continue;
    size_t j = i + 1;
    while (j < n && pieces[j].Transparent()) ++j;
    const bool lineEnd = j < n && pieces[j].LineEnd();
    const size_t skip = seam.Text(p.data, p.len, lineEnd);
    AppendNoteText(out, p.data + skip, p.len - skip, lineEnd);
  }
}

void MergeIntoSegmentList(tSegmentList& segs, std::vector<tSegmentInsert>& items) {
  if (items.empty()) return;
  std::vector<std::pair<int, int>> order;
  const bool sorted = PlacingOrder(items, order);

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
