#pragma once

// The segment list through which a note's rich text becomes HTML: the note
// text cut into pieces with ready markup between them, all placed by offset.
//
// Offsets count UTF-8 characters of the text plus one position per picture.
// A text segment covers as many positions as it has characters, a picture's
// markup covers one, every other markup covers none.
//
// Insertion is done in batches (one batch per pass: pictures, links,
// formatting, anchors) by one merging sweep, so a pass costs time linear in
// the list, the batch and the text bytes it has to cut, however many items
// land in one text segment.

#include <string>
#include <vector>

struct tSegment {
  tSegment() = default;
  tSegment(std::string t, bool isText, int len) : text(std::move(t)), bText(isText), nLen(len) {}

  std::string text;  // note text (UTF-8, not yet escaped) or ready markup
  bool bText = false;
  int nLen = -1;  // positions covered; -1 = not yet known
};

typedef std::vector<tSegment> tSegmentList;

// One markup item waiting to be placed.
struct tSegmentInsert {
  int nOffset;
  int nLen;  // 1 for a picture, 0 for everything else
  std::string markup;
};

namespace quillery {

// The bullet-line seam of joining a note's pieces in order. A bullet line's
// end tag stands for the line's own line break, so the text before it drops
// its last one. A line that ended before its line break (as lines that
// earlier versions read from nested lists are stored) has that break after
// the end tag instead: it is the one the end tag stands for, and is not
// written a second time. Feed every non-empty text piece and every markup
// piece in order; one object per note, on the thread that joins it; it
// holds two flags and no pointers.
class BulletBreakSeam {
 public:
  // A text piece about to be written; lineEnd: a bullet line's end tag
  // follows it (over zero-length markup). Returns how many of its first
  // bytes are the line break that an end tag before it already stands for.
  size_t Text(const char* data, size_t len, bool lineEnd) {
    size_t skip = 0;
    if (m_bOwed) skip = len >= 2 && data[0] == '\r' && data[1] == '\n' ? 2 : len >= 1 && data[0] == '\n' ? 1 : 0;
    m_bOwed = false;
    m_bBroken = lineEnd && len > skip && (data[len - 1] == '\n' || data[len - 1] == '\r');
    return skip;
  }
  // A markup piece: a bullet line's end tag, or other markup that takes
  // no position and may stand between a line's end and its break.
  void Markup(bool lineEnd, bool transparent) {
    if (lineEnd) {
      m_bOwed = !m_bBroken;
      m_bBroken = false;
    } else if (!transparent) {
      m_bOwed = false;
      m_bBroken = false;
    }
  }

 private:
  bool m_bOwed = false;    // a line ended without its break: a break that follows is its own
  bool m_bBroken = false;  // the last text ended with a break that a line end takes
};

// Fills a missing nLen: the character count of a text segment; for markup 1
// when it starts with "<IMG" (any case), else 0.
void CalcSegmentCharLength(tSegment& seg);

// Total positions the list covers.
long SegmentListPositions(tSegmentList& segs);

// Places a batch of markup items. Items are taken in order of offset (a
// stable sort: equal offsets keep their batch order) and each goes before the
// first positioned piece (text character or picture) at its offset, so after
// all zero-length markup already standing there. An item at exactly the end
// is appended; an item beyond the end is dropped. A picture's item shifts
// the offsets of what follows it, as the offsets of later items already
// count it. A second picture at an offset already taken by one of the same
// batch is placed right after it.
void MergeIntoSegmentList(tSegmentList& segs, std::vector<tSegmentInsert>& items);

// The native rendering of a note's text without pictures in one pass: the
// same bytes as merging the zero-length items into a list holding the text
// (textLen positions) and joining it with the bullet clean-up (one leading
// bullet of a bullet line's first text goes; a bullet line's text drops its
// line breaks), but the text is cut by reference instead of into copies.
void RenderTextWithMarkup(const std::string& text, int textLen, std::vector<tSegmentInsert>& items,
                          const char* bullet, std::string& out);

}  // namespace quillery
