// Text of the native HTML reader: what the parser reports between tags goes
// to the document title, a note's title or a note's text, with the
// whitespace rules of this program's files (line feeds next to markup are
// layout; BR is the break) and of foreign HTML (whitespace collapses as in a
// browser).

#include <glib.h>

#include <algorithm>
#include <cstring>

#include "base/Log.h"
#include "base/StringUtil.h"
#include "formats/native/FormatIOHtml.h"
#include "formats/native/HtmlReaderHelpers.h"
#include "model/NoteDocument.h"
#include "model/NoteNode.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// "\r\n" and a lone "\r" become "\n", in one pass.
void NormalizeLineEnds(std::string& text) {
  if (text.find('\r') == std::string::npos) return;
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      out += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      out += text[i];
    }
  }
  text.swap(out);
}

// Foreign HTML: runs of blanks become one blank, and a blank right before
// "&nbsp;" goes (the entity is a blank of its own). One pass.
void FoldBlanks(std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ' ') {
      if (!out.empty() && out.back() == ' ') continue;
      if (text.compare(i + 1, 6, "&nbsp;") == 0) continue;
    }
    out += c;
  }
  text.swap(out);
}

}  // namespace

void FormatIO_HTML::AppendNoteText(const std::string& text) {
  NoteNode* note = CurrentNote();
  if (!note || text.empty()) return;
  const int count = static_cast<int>(quillery::Utf8CharCount(text));
  note->m_objText.AppendText(text, count);
  // Trailing blanks are single bytes, so the position after the last
  // non-blank character follows from their number.
  size_t trailing = 0;
  while (trailing < text.size() && IsBlank(text[text.size() - 1 - trailing])) ++trailing;
  if (trailing < text.size()) m_nSolidEnd = m_nInsertPos + count - static_cast<int>(trailing);
  m_nInsertPos += count;
}

void FormatIO_HTML::OnText(std::string& text) {
  if (!m_pDoc) return;
  EnsureNoteID();
  if (m_bInScript || m_bInStyle || m_bInPicture || (m_bInFigure && !m_bInFigCaption)) return;
  NormalizeLineEnds(text);
  const bool inPre = IsInPre();
  if (!inPre && !text.empty()) {
    if (text.front() == '\n') {
      if (m_bForeignHtml) text.front() = ' ';
      else text.erase(0, 1);
    }
    if (!text.empty() && text.back() == '\n') {
      if (m_bForeignHtml) text.back() = ' ';
      else text.pop_back();
    }
  }
  if (text.empty()) return;
  EnsureContentsNote();
  const bool raw = IsRawInput();
  // ANSI input is converted first, so that the characters entities decode
  // to are never taken for ANSI bytes.
  if (raw) quillery::AnsiInputToUtf8(text);

  if (m_nSection == 3) {
    if (!raw) HTMLParser::UnescapeChars(text);
    m_strDocTitle += text;
    return;
  }
  NoteNode* note = CurrentNote();
  if (!note) return;
  if (m_nSection == 1) {
    if (m_bNoNewNote) return;
    text.erase(std::remove_if(text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }), text.end());
    if (!raw) HTMLParser::UnescapeChars(text);
    note->m_strTitle += text;
    return;
  }
  if (m_nSection != 2) return;
  if (!m_bContentBegun) {
    // Blank text of the page envelope (before BODY) is layout.
    if (std::all_of(text.begin(), text.end(), IsBlank)) return;
    m_bContentBegun = true;
  }

  if ((m_bForeignHtml || m_bLineBreakSeen || m_bParagraphSeen) && !inPre) replaceall(text, '\n', ' ');
  if (m_bForeignHtml && m_bStripTabs) text.erase(std::remove(text.begin(), text.end(), '\t'), text.end());
  if (m_bForeignHtml && !inPre) {
    FoldBlanks(text);
    const std::string& sofar = note->GetText();
    if (!text.empty() && text.front() == ' ' && (sofar.empty() || sofar.back() == '\n')) text.erase(0, 1);
  }
  if (!(inPre && raw)) HTMLParser::UnescapeChars(text);
  if (text.empty()) return;

  if (m_bInBulletLine) {
    const size_t lf = text.find('\n');
    if (lf != std::string::npos) {
      // The open bullet line ends with the first line break of this text.
      xLog(LOG_INFO, "Detected unclosed bulleted line - fixing\n");
      m_pDoc->SetModified(true);
      const int at = m_nInsertPos + static_cast<int>(quillery::Utf8CharCount(text.data(), lf)) + 1;
      AppendNoteText(text.substr(0, lf + 1));
      AppendTag(FMT_BULLET_LINE_END, at);
      m_bInBulletLine = false;
      text.erase(0, lf + 1);
    }
  }
  AppendNoteText(text);
}
