// Rich text of the native HTML reader: inline elements (B, I, U, S, SUP,
// SUB), paragraphs and alignment, bullet lists, line breaks and the block
// elements of foreign HTML, and the bookkeeping of the current note's
// formatting list. FONT and SPAN styles are in FormatIOHtmlStyles.cpp.
//
// Formatting tags are appended in document order. For every kind the
// indexes of its begin tags that no end tag has closed yet are kept in
// m_arOpenTags, so "is a kind open, and where does it begin" is answered
// without searching the list backwards.

#include <glib.h>

#include <algorithm>
#include <cstring>

#include "base/Log.h"
#include "base/StringUtil.h"
#include "formats/native/FormatIOHtml.h"
#include "formats/native/HtmlFontHelpers.h"
#include "formats/native/HtmlReaderHelpers.h"
#include "html/HtmlTextUtils.h"
#include "html/HtmlTokens.h"
#include "model/NoteDocument.h"
#include "model/NoteNode.h"

namespace {

// 1..17 for the tag pairs, 0 for anything else.
int KindOf(int tag) { return (tag >= FMT_BOLD_BEGIN && tag <= FMT_TAG_MAX) ? (tag + 1) / 2 : 0; }

bool NameIs(const char* tag, const char* name) { return g_ascii_strcasecmp(tag, name) == 0; }

const char* InlineName(int beginTag) {
  switch (beginTag) {
    case FMT_BOLD_BEGIN: return "bold";
    case FMT_ITALIC_BEGIN: return "italic";
    case FMT_UNDERLINE_BEGIN: return "underline";
    default: return "strikethrough";
  }
}

const char* InlineElement(int beginTag) {
  switch (beginTag) {
    case FMT_BOLD_BEGIN: return "b";
    case FMT_ITALIC_BEGIN: return "i";
    case FMT_UNDERLINE_BEGIN: return "u";
    default: return "s";
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Formatting list bookkeeping

void FormatIO_HTML::RebuildOpenTags() {
  for (auto& open : m_arOpenTags) open.clear();
  NoteNode* note = CurrentNote();
  if (!note) return;
  const FmtInfoList& list = note->m_objText.m_lstFmt;
  for (int i = 0; i < list.GetSize(); ++i) {
    const int tag = list[i].nFormatTag;
    const int kind = KindOf(tag);
    if (!kind) continue;
    if (tag & 1) m_arOpenTags[kind].push_back(i);
    else m_arOpenTags[kind].clear();
  }
}

int FormatIO_HTML::OpenBegin(int beginTag) const {
  const int kind = KindOf(beginTag);
  if (!kind || m_arOpenTags[kind].empty()) return -1;
  return m_arOpenTags[kind].back();
}

void FormatIO_HTML::AppendTag(const FmtInfo& info) {
  NoteNode* note = CurrentNote();
  if (!note) return;
  FmtInfoList& list = note->m_objText.m_lstFmt;
  const int idx = list.GetSize();
  list.Append(info);
  const int kind = KindOf(info.nFormatTag);
  if (!kind) return;
  if (info.nFormatTag & 1) m_arOpenTags[kind].push_back(idx);
  else m_arOpenTags[kind].clear();
}

void FormatIO_HTML::AppendTag(int tag, int offset) { AppendTag(FmtInfo(tag, offset)); }

void FormatIO_HTML::RemoveTag(int idx) {
  NoteNode* note = CurrentNote();
  if (!note) return;
  FmtInfoList& list = note->m_objText.m_lstFmt;
  if (idx < 0 || idx >= list.GetSize()) return;
  const int tag = list[idx].nFormatTag;
  list.Remove(idx);
  if (!(tag & 1) && KindOf(tag)) {
    // An end tag leaves: earlier begins may be open again.
    RebuildOpenTags();
    return;
  }
  for (auto& open : m_arOpenTags) {
    for (size_t i = open.size(); i-- > 0;) {
      if (open[i] == idx) open.erase(open.begin() + static_cast<long>(i));
      else if (open[i] > idx) --open[i];
      else break;
    }
  }
}

void FormatIO_HTML::InsertTagSorted(const FmtInfo& info) {
  NoteNode* note = CurrentNote();
  if (!note) return;
  std::vector<FmtInfo>& items = note->m_objText.m_lstFmt.Items();
  // Before the first tag with a larger offset; an end tag also before the
  // begin tags at its own offset. The reader's list is sorted, so the place
  // is found from the end.
  const bool isEnd = !(info.nFormatTag & 1);
  size_t pos = items.size();
  while (pos > 0 && (items[pos - 1].nFormatTag < 0 || items[pos - 1].nOffset > info.nOffset ||
                     (isEnd && items[pos - 1].nOffset == info.nOffset && (items[pos - 1].nFormatTag & 1))))
    --pos;
  items.insert(items.begin() + static_cast<long>(pos), info);
  const int kind = KindOf(info.nFormatTag);
  if (!isEnd || !kind) {
    RebuildOpenTags();
    return;
  }
  for (auto& open : m_arOpenTags)
    for (int& i : open)
      if (i >= static_cast<int>(pos)) ++i;
  // An end tag closes the begins of its kind that stand before it.
  auto& own = m_arOpenTags[kind];
  own.erase(std::remove_if(own.begin(), own.end(), [pos](int i) { return i < static_cast<int>(pos); }), own.end());
}

bool FormatIO_HTML::RangeIsBlank(int start) const { return m_nSolidEnd <= start; }

void FormatIO_HTML::AppendLineBreak() { AppendNoteText("\n"); }

void FormatIO_HTML::AppendBulletLineBreak() {
  // The line feed of a bullet line is implicit in the file: markup of the
  // next line's first position that the writer put before the line's end
  // tag (a link that starts there) belongs after the line feed.
  const int end = m_nInsertPos;
  AppendLineBreak();
  if (m_bInLink && m_nLinkStart == end) ++m_nLinkStart;
  if (m_bLinkSaved && m_savedLink.bInLink && m_savedLink.nStart == end) ++m_savedLink.nStart;
}

// ---------------------------------------------------------------------------
// Dispatch

bool FormatIO_HTML::OnRichTagBegin(unsigned int token, const char* tag, const std::string& params) {
  NoteNode* note = CurrentNote();
  switch (token) {
    case HTML_TOKEN_B: OnInlineBegin(FMT_BOLD_BEGIN, m_bInBold); return true;
    case HTML_TOKEN_I: OnInlineBegin(FMT_ITALIC_BEGIN, m_bInItalic); return true;
    case HTML_TOKEN_U: OnInlineBegin(FMT_UNDERLINE_BEGIN, m_bInUnderline); return true;
    case HTML_TOKEN_S: OnInlineBegin(FMT_STRIKE_BEGIN, m_bInStrike); return true;
    case HTML_TOKEN_FONT: OnFontBegin(params); return true;
    case HTML_TOKEN_SPAN: OnSpanBegin(params); return true;
    case HTML_TOKEN_P: OnParagraphBegin(params); return true;
    case HTML_TOKEN_UL:
    case HTML_TOKEN_OL: OnListBegin(); return true;
    case HTML_TOKEN_LI: OnLineBegin(); return true;
    case HTML_TOKEN_SUP: if (note) AppendTag(FMT_SUPERSCRIPT_BEGIN, m_nInsertPos); return true;
    case HTML_TOKEN_SUB: if (note) AppendTag(FMT_SUBSCRIPT_BEGIN, m_nInsertPos); return true;
    case HTML_TOKEN_A: OnLinkBegin(params); return true;
    case HTML_TOKEN_IMG: if (!m_bInFigure) ExtractImageData(params); return true;
    case HTML_TOKEN_BR:
      m_bLineBreakSeen = true;
      if (!note) return true;
      if (m_nSection == 1) {
        if (!m_bNoNewNote) note->m_strTitle += '\n';
      } else {
        AppendLineBreak();
      }
      return true;
    case HTML_TOKEN_TR:
    case HTML_TOKEN_TD: m_bForeignHtml = true; return true;
    case HTML_TOKEN_H1: case HTML_TOKEN_H2: case HTML_TOKEN_H3:
    case HTML_TOKEN_H4: case HTML_TOKEN_H5: case HTML_TOKEN_H6: return true;
    default: (void)tag; return false;
  }
}

bool FormatIO_HTML::OnRichTagEnd(unsigned int token, const char* tag) {
  NoteNode* note = CurrentNote();
  switch (token) {
    case HTML_TOKEN_B: OnInlineEnd(FMT_BOLD_BEGIN, m_bInBold, "b"); return true;
    case HTML_TOKEN_I: OnInlineEnd(FMT_ITALIC_BEGIN, m_bInItalic, "i"); return true;
    case HTML_TOKEN_U: OnInlineEnd(FMT_UNDERLINE_BEGIN, m_bInUnderline, "u"); return true;
    case HTML_TOKEN_S: OnInlineEnd(FMT_STRIKE_BEGIN, m_bInStrike, "s"); return true;
    case HTML_TOKEN_FONT: OnFontEnd(); return true;
    case HTML_TOKEN_SPAN: OnSpanEnd(); return true;
    case HTML_TOKEN_P: OnParagraphEnd(); return true;
    case HTML_TOKEN_UL:
    case HTML_TOKEN_OL: OnListEnd(); return true;
    case HTML_TOKEN_LI: OnLineEnd(); return true;
    case HTML_TOKEN_SUP: if (note) AppendTag(FMT_SUPERSCRIPT_END, m_nInsertPos); return true;
    case HTML_TOKEN_SUB: if (note) AppendTag(FMT_SUBSCRIPT_END, m_nInsertPos); return true;
    case HTML_TOKEN_A: OnLinkEnd(); return true;
    case HTML_TOKEN_BR: OnRichTagBegin(HTML_TOKEN_BR, tag, std::string()); return true;  // a second break
    case HTML_TOKEN_H1: case HTML_TOKEN_H2: case HTML_TOKEN_H3:
    case HTML_TOKEN_H4: case HTML_TOKEN_H5: case HTML_TOKEN_H6:
      if (note && !m_bRawText) AppendLineBreak();
      return true;
    case HTML_TOKEN_TR: if (note) AppendNoteText("\n"); return true;
    case HTML_TOKEN_TD: if (note) AppendNoteText("\t"); return true;
    case HTML_TOKEN_DIV: {
      if (!note) return true;
      if (m_bForeignHtml) AppendLineBreak();
      const int begin = OpenBegin(FMT_TEXT_INDENT_BEGIN);
      if (begin >= 0) {
        FmtInfo end(FMT_TEXT_INDENT_END, m_nInsertPos);
        end.nValue = note->m_objText.m_lstFmt[begin].nValue;
        AppendTag(end);
      }
      return true;
    }
    default: return false;
  }
}

bool FormatIO_HTML::OnNamedTagBegin(const char* tag) {
  if (NameIs(tag, "PRE") || NameIs(tag, "!DOCTYPE") || NameIs(tag, "HTML") || NameIs(tag, "HEAD")) return true;
  if (NameIs(tag, "strong")) OnInlineBegin(FMT_BOLD_BEGIN, m_bInBold);
  else if (NameIs(tag, "em")) OnInlineBegin(FMT_ITALIC_BEGIN, m_bInItalic);
  else if (NameIs(tag, "hr")) { if (CurrentNote()) AppendLineBreak(); }
  else if (NameIs(tag, "script")) m_bInScript = true;
  else if (NameIs(tag, "style")) m_bInStyle = true;
  else if (NameIs(tag, "picture")) m_bInPicture = true;
  else if (NameIs(tag, "figure")) m_bInFigure = true;
  else if (NameIs(tag, "figcaption")) m_bInFigCaption = true;
  else {
    xLog(LOG_INFO, "Unsupported start tag: [%s], offset: %d\n", tag, GetCurrentCumulativeOffset());
    return false;
  }
  return true;
}

bool FormatIO_HTML::OnNamedTagEnd(const char* tag) {
  if (NameIs(tag, "strong")) OnInlineEnd(FMT_BOLD_BEGIN, m_bInBold, "b");
  else if (NameIs(tag, "em")) OnInlineEnd(FMT_ITALIC_BEGIN, m_bInItalic, "i");
  else if (NameIs(tag, "script")) m_bInScript = false;
  else if (NameIs(tag, "style")) m_bInStyle = false;
  else if (NameIs(tag, "picture")) m_bInPicture = false;
  else if (NameIs(tag, "figure")) m_bInFigure = false;
  else if (NameIs(tag, "figcaption")) m_bInFigCaption = false;
  else if (!NameIs(tag, "hr")) {
    xLog(LOG_INFO, "Unsupported end tag: [%s], offset: %d\n", tag, GetCurrentCumulativeOffset());
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// B, I, U, S (and "strong", "em")

void FormatIO_HTML::OnInlineBegin(int beginTag, bool& flag) {
  if (!flag && CurrentNote()) AppendTag(beginTag, m_nInsertPos);
  flag = true;
}

void FormatIO_HTML::OnInlineEnd(int beginTag, bool& flag, const char* /*name*/) {
  if (!flag) {
    xLog(LOG_INFO, "Detected %s close tag with no opening tag before\n", InlineName(beginTag));
    return;
  }
  flag = false;
  NoteNode* note = CurrentNote();
  if (!note) return;
  FmtInfoList& list = note->m_objText.m_lstFmt;
  const int last = list.GetSize() - 1;
  if (last >= 0 && list[last].nFormatTag == beginTag && list[last].nOffset == m_nInsertPos) {
    RemoveTag(last);
    xLog(LOG_INFO, "Skip adding empty <%s></%s> block\n", InlineElement(beginTag), InlineElement(beginTag));
  } else {
    AppendTag(beginTag + 1, m_nInsertPos);
  }
}

// ---------------------------------------------------------------------------
// P

void FormatIO_HTML::OnParagraphBegin(const std::string& params) {
  m_bParagraphSeen = true;
  m_arParagraphTags.clear();
  if (!CurrentNote()) return;
  std::string style;
  if (HTMLParser::ExtractParam(params, "style", style)) {
    ApplyStyleBackground(style, m_arParagraphTags, true);
    ApplyStyleColor(style, m_arParagraphTags, true);
  }
  int tag = FMT_ALIGN_LEFT_BEGIN;
  if (params.find("align=\"right\"") != std::string::npos) tag = FMT_ALIGN_RIGHT_BEGIN;
  else if (params.find("align=\"center\"") != std::string::npos) tag = FMT_ALIGN_CENTER_BEGIN;
  else if (params.find("align=\"justify\"") != std::string::npos) tag = FMT_ALIGN_JUSTIFY_BEGIN;
  if (tag == FMT_ALIGN_RIGHT_BEGIN && m_bInAlignRight) {
    xLog(LOG_INFO, "Cleanup invalid align right opening tag\n");
    return;
  }
  if (tag == FMT_ALIGN_CENTER_BEGIN && m_bInAlignCenter) {
    xLog(LOG_INFO, "Cleanup invalid align center opening tag\n");
    return;
  }
  if (m_bForeignHtml) return;
  AppendTag(tag, m_nInsertPos);
  if (tag == FMT_ALIGN_RIGHT_BEGIN) m_bInAlignRight = true;
  if (tag == FMT_ALIGN_CENTER_BEGIN) m_bInAlignCenter = true;
}

void FormatIO_HTML::CloseRecordedTags(std::vector<int>& tags, int offset) {
  NoteNode* note = CurrentNote();
  for (int t : tags) {
    const int idx = OpenBegin(t);
    if (idx < 0) continue;
    const FmtInfo& begin = note->m_objText.m_lstFmt[idx];
    FmtInfo end(t + 1, offset);
    end.color = begin.color;
    end.strFont = begin.strFont;
    AppendTag(end);
  }
  tags.clear();
}

void FormatIO_HTML::OnParagraphEnd() {
  NoteNode* note = CurrentNote();
  if (!note) return;
  if (!note->m_objText.m_lstFmt.IsEmpty() && !m_arParagraphTags.empty())
    CloseRecordedTags(m_arParagraphTags, m_nInsertPos);
  if (m_bForeignHtml) {
    if (m_nSection == 2) {
      AppendLineBreak();
      if (m_bParagraphBlankLine) AppendLineBreak();
    }
    return;
  }
  const int left = OpenBegin(FMT_ALIGN_LEFT_BEGIN), right = OpenBegin(FMT_ALIGN_RIGHT_BEGIN);
  const int center = OpenBegin(FMT_ALIGN_CENTER_BEGIN), justify = OpenBegin(FMT_ALIGN_JUSTIFY_BEGIN);
  const int k = std::max(std::max(left, right), std::max(center, justify));
  if (k < 0) return;
  if (k == left) {
    if (!m_bInAlignRight && !m_bInAlignCenter) RemoveTag(left);  // left is the default, never stored
    else AppendTag(FMT_ALIGN_LEFT_END, m_nInsertPos);
  } else if (k == right) {
    if (m_bInAlignRight) {
      AppendTag(FMT_ALIGN_RIGHT_END, m_nInsertPos);
      m_bInAlignRight = false;
    }
  } else if (k == center) {
    if (m_bInAlignCenter) {
      AppendTag(FMT_ALIGN_CENTER_END, m_nInsertPos);
      m_bInAlignCenter = false;
    }
  } else {
    AppendTag(FMT_ALIGN_JUSTIFY_END, m_nInsertPos);
  }
}

// ---------------------------------------------------------------------------
// Bullet lists

void FormatIO_HTML::OnListBegin() {
  if (!CurrentNote()) return;
  if (m_bInBulletLine || m_bInBulletList) FixBulletedList();
  AppendTag(FMT_BULLET_LIST_BEGIN, m_nInsertPos);
  m_bInBulletList = true;
}

void FormatIO_HTML::OnListEnd() {
  if (!m_bInBulletList) {
    xLog(LOG_INFO, "Invalid bullet list closing tag - no matching opening tag\n");
    return;
  }
  if (CurrentNote()) {
    if (m_bInBulletLine) {
      xLog(LOG_INFO, "Detected unclosed bulleted line - fixing\n");
      AppendBulletLineBreak();
      m_pDoc->SetModified(true);
      AppendTag(FMT_BULLET_LINE_END, m_nInsertPos);
      m_bInBulletLine = false;
    }
    AppendTag(FMT_BULLET_LIST_END, m_nInsertPos);
  }
  m_bInBulletList = false;
}

void FormatIO_HTML::OnLineBegin() {
  NoteNode* note = CurrentNote();
  if (!note) return;
  if (m_bInBulletLine) {
    xLog(LOG_INFO, "Detected unclosed bulleted line - fixing\n");
    AppendBulletLineBreak();
    m_pDoc->SetModified(true);
    AppendTag(FMT_BULLET_LINE_END, m_nInsertPos);
  } else if (m_bForeignHtml) {
    const std::string& text = note->GetText();
    if (!text.empty() && text.back() != '\n') AppendLineBreak();
  }
  AppendTag(FMT_BULLET_LINE_BEGIN, m_nInsertPos);
  // Text is only ever appended, so where the line starts in bytes is known
  // now; the repair of an unclosed line needs it without counting the whole
  // text again.
  m_nBulletLinePos = m_nInsertPos;
  m_nBulletLineByte = note->GetText().size();
  m_nBulletLinePics = note->m_objText.m_lstPictures.Items().size();
  AppendNoteText(g_szBullet);
  m_bInBulletLine = true;
}

void FormatIO_HTML::OnLineEnd() {
  if (!m_bInBulletLine) {
    xLog(LOG_INFO, "Invalid bullet line closing tag - no matching opening tag\n");
    return;
  }
  if (CurrentNote()) {
    AppendBulletLineBreak();
    AppendTag(FMT_BULLET_LINE_END, m_nInsertPos);
  }
  m_bInBulletLine = false;
}

void FormatIO_HTML::FixBulletedList() {
  NoteNode* note = CurrentNote();
  if (note && m_bInBulletLine) {
    xLog(LOG_INFO, "Detected unclosed bulleted line - fixing\n");
    const int begin = OpenBegin(FMT_BULLET_LINE_BEGIN);
    if (begin >= 0) {
      // The line ends after the first line break that follows its begin.
      RichText& rt = note->m_objText;
      const int start = rt.m_lstFmt[begin].nOffset;
      const std::string& text = rt.GetText();
      const std::vector<PixInfo>& pictures = rt.m_lstPictures.Items();
      std::vector<int> pics;
      size_t from = m_nBulletLineByte;
      if (start == m_nBulletLinePos && from <= text.size() && m_nBulletLinePics <= pictures.size()) {
        // Only the pictures read since the line began can follow its begin.
        for (size_t i = m_nBulletLinePics; i < pictures.size(); ++i)
          if (pictures[i].nOffset >= start) pics.push_back(pictures[i].nOffset);
      } else {
        for (const PixInfo& pix : pictures)
          if (pix.nOffset >= start) pics.push_back(pix.nOffset);
        int before = 0;
        for (const PixInfo& pix : rt.m_lstPictures.Items())
          if (pix.nOffset >= 0 && pix.nOffset < start) ++before;
        from = rt.CharToByteOffset(std::max(start - before, 0));
      }
      std::sort(pics.begin(), pics.end());
      const size_t lf = text.find('\n', from);
      int offset;
      if (lf != std::string::npos) {
        offset = start + static_cast<int>(quillery::Utf8CharCount(text.data() + from, lf - from)) + 1;
        for (int pic : pics)
          if (pic < offset) ++offset;
      } else {
        // A bullet line holds its line break, as the other repairs of an
        // unclosed line give it: a line ended without one would be written
        // with its end tag, which reads back as a break the text never had.
        AppendBulletLineBreak();
        offset = m_nInsertPos;
      }
      InsertTagSorted(FmtInfo(FMT_BULLET_LINE_END, offset));
    }
    m_pDoc->SetModified(true);
    m_bInBulletLine = false;
  }
  if (note && m_bInBulletList) {
    xLog(LOG_INFO, "Detected unclosed bulleted list - fixing\n");
    const int open = OpenBegin(FMT_BULLET_LIST_BEGIN);
    // A list that holds nothing yet is dropped rather than closed: an end at
    // its own offset would be sorted in before every begin there, and each
    // of a run of empty nested lists would cost time in their number.
    if (open >= 0 && note->m_objText.m_lstFmt[open].nOffset == m_nInsertPos) RemoveTag(open);
    else if (open >= 0) InsertTagSorted(FmtInfo(FMT_BULLET_LIST_END, m_nInsertPos));
    m_pDoc->SetModified(true);
  }
  m_bInBulletLine = false;
  m_bInBulletList = false;
}

void FormatIO_HTML::OnTextEnd() {
  if (!CurrentNote()) return;
  if (m_bInBulletLine || m_bInBulletList) FixBulletedList();
  // A colour that was never closed is dropped.
  if (m_bInColor) {
    const int open = OpenBegin(FMT_COLOR_BEGIN);
    if (open >= 0) RemoveTag(open);
  }
}
