#pragma once

// One formatting tag of a rich text and the list that holds a text's tags.
//
// Tags are numbered 0..34: 0 removes formatting, then pairs of an odd begin
// tag and the even end tag after it. Offsets count UTF-8 characters of the
// text plus one position per picture.
//
// Ordering invariants of FmtInfoList (kept by AppendSorted and by
// NoteNode::FixFormatting; Append trusts its caller, which the readers are,
// since they produce tags in document order):
//   - entries are sorted by offset;
//   - at one offset, end tags come before begin tags, and the ends close in
//     reverse order of their begins;
//   - ranges of the span kinds (colour, background colour, font, line
//     spacing, all written as SPAN elements) never cross each other;
//   - no kind nests inside itself.

#include <gdk/gdkcolor.h>

#include <string>
#include <vector>

enum FmtTag {
  FMT_REMOVE_FORMATTING = 0,
  FMT_BOLD_BEGIN = 1,
  FMT_BOLD_END = 2,
  FMT_ITALIC_BEGIN = 3,
  FMT_ITALIC_END = 4,
  FMT_UNDERLINE_BEGIN = 5,
  FMT_UNDERLINE_END = 6,
  FMT_COLOR_BEGIN = 7,
  FMT_COLOR_END = 8,
  FMT_STRIKE_BEGIN = 9,
  FMT_STRIKE_END = 10,
  FMT_BULLET_LIST_BEGIN = 11,
  FMT_BULLET_LIST_END = 12,
  FMT_BULLET_LINE_BEGIN = 13,
  FMT_BULLET_LINE_END = 14,
  FMT_BKG_COLOR_BEGIN = 15,
  FMT_BKG_COLOR_END = 16,
  FMT_FONT_BEGIN = 17,
  FMT_FONT_END = 18,
  FMT_ALIGN_LEFT_BEGIN = 19,
  FMT_ALIGN_LEFT_END = 20,
  FMT_ALIGN_RIGHT_BEGIN = 21,
  FMT_ALIGN_RIGHT_END = 22,
  FMT_ALIGN_CENTER_BEGIN = 23,
  FMT_ALIGN_CENTER_END = 24,
  FMT_SUPERSCRIPT_BEGIN = 25,
  FMT_SUPERSCRIPT_END = 26,
  FMT_SUBSCRIPT_BEGIN = 27,
  FMT_SUBSCRIPT_END = 28,
  FMT_ALIGN_JUSTIFY_BEGIN = 29,
  FMT_ALIGN_JUSTIFY_END = 30,
  FMT_LINE_SPACING_BEGIN = 31,
  FMT_LINE_SPACING_END = 32,
  FMT_TEXT_INDENT_BEGIN = 33,
  FMT_TEXT_INDENT_END = 34,
};

constexpr int FMT_TAG_MAX = FMT_TEXT_INDENT_END;

// A plain copyable record.
class FmtInfo {
 public:
  FmtInfo();
  FmtInfo(int tag, int offset);

  bool IsBegin() const { return nFormatTag > 0 && nFormatTag <= FMT_TAG_MAX && (nFormatTag & 1); }
  bool IsEnd() const { return nFormatTag > 0 && nFormatTag <= FMT_TAG_MAX && !(nFormatTag & 1); }
  // 1..17 for the begin/end pairs, 0 for anything else.
  int GetKind() const;
  // Colour, background colour, font and line spacing: written as SPAN.
  static bool IsSpanKind(int kind);

  int nFormatTag;       // FmtTag, -1 = unset
  int nOffset;          // -1 = unset
  GdkColor color;       // colour tags
  std::string strFont;  // font tags: font description
  bool bFlag;           // free flag, false
  int nValue;           // line spacing percent, text indent; 100
};

// Ordered list of tags; see the invariants above.
class FmtInfoList {
 public:
  int GetSize() const { return static_cast<int>(m_list.size()); }
  bool IsEmpty() const { return m_list.empty(); }
  FmtInfo& GetAt(int i) { return m_list[i]; }
  const FmtInfo& GetAt(int i) const { return m_list[i]; }
  FmtInfo& operator[](int i) { return m_list[i]; }
  const FmtInfo& operator[](int i) const { return m_list[i]; }
  void Clear() { m_list.clear(); }

  // Appends a copy; no sorting.
  void Append(const FmtInfo& info) { m_list.push_back(info); }
  // Inserts a copy with its offset raised by delta before the first tag with
  // a larger offset; an end tag also goes before the begin tags at its
  // offset (ends before begins).
  void AppendSorted(const FmtInfo& info, int delta);
  void Remove(int i);

  // From start (inclusive), forward or backward, the index of the tag
  // opposite to `tag`; -1 when start is negative, the tag has no opposite,
  // the list ends, or first an entry with stopTag (or, with stopAtSame, with
  // `tag` itself) is met.
  int FindOppositeTag(int tag, int start, bool forward, bool stopAtSame, int stopTag) const;
  // Index of the first entry from start on with that tag and offset; -1 at
  // the first larger offset, at the end, or for a negative start.
  int FindTagAtOffset(int tag, int offset, int start) const;
  // Begin -> tag + 1, end -> tag - 1, 0 (and anything else) -> -1.
  static int CalcOppositeTag(int tag);

  std::vector<FmtInfo>& Items() { return m_list; }
  const std::vector<FmtInfo>& Items() const { return m_list; }

 private:
  std::vector<FmtInfo> m_list;
};
