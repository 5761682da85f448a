#include "richtext/RichText.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/StringUtil.h"

void RichText::SetText(const std::string& text) {
  m_strText = text;
  m_nTextLen = -1;
}

void RichText::SetText(const char* text, size_t len) {
  if (text) m_strText.assign(text, len);
  else m_strText.clear();
  m_nTextLen = -1;
}

int RichText::GetTextLen() const {
  if (m_nTextLen < 0) m_nTextLen = static_cast<int>(quillery::Utf8CharCount(m_strText));
  return m_nTextLen;
}

namespace {

// True when the text ends inside a multi-byte sequence whose lead byte
// announces more continuation bytes than follow it, so that continuation
// bytes appended next would join that character.
bool EndsIncomplete(const std::string& s) {
  const size_t n = s.size();
  for (size_t back = 1; back <= 4 && back <= n; ++back) {
    const unsigned char c = static_cast<unsigned char>(s[n - back]);
    if ((c & 0xC0) == 0x80) continue;  // continuation byte: keep looking for the lead
    size_t want = 1;
    if ((c & 0xE0) == 0xC0) want = 2;
    else if ((c & 0xF0) == 0xE0) want = 3;
    else if ((c & 0xF8) == 0xF0) want = 4;
    return back < want;
  }
  return false;
}

}  // namespace

void RichText::AppendText(const char* text, int count) {
  if (!text || !*text) return;
  const size_t len = strlen(text);
  // The cached count grows by the piece's count, so that a note built from
  // many pieces is never recounted as a whole (which would be quadratic).
  // Only when the old text ends in a truncated sequence and the piece starts
  // with continuation bytes can the seam merge characters: recount then.
  if (m_nTextLen >= 0) {
    const bool seam = (static_cast<unsigned char>(text[0]) & 0xC0) == 0x80 && EndsIncomplete(m_strText);
    if (seam) {
      m_nTextLen = -1;
    } else {
      m_nTextLen += count >= 0 ? count : static_cast<int>(quillery::Utf8CharCount(text, len));
    }
  }
  m_strText.append(text, len);
}

void RichText::AppendText(const std::string& text, int count) { AppendText(text.c_str(), count); }

size_t RichText::CharToByteOffset(int charIndex) const {
  return quillery::Utf8CharToByteOffset(m_strText, charIndex);
}

std::string RichText::GetTextAtOffset(int offset, int length) const {
  if (length < 1 || offset < 0 || offset >= GetTotalLength()) return std::string();
  // Positions taken by pictures, sorted, so that a position maps to a
  // character index as position - (pictures before it).
  std::vector<int> pics;
  pics.reserve(m_lstPictures.GetSize());
  for (const PixInfo& p : m_lstPictures.Items()) pics.push_back(p.nOffset);
  std::sort(pics.begin(), pics.end());
  auto charIndex = [&pics](long long pos) {
    const long long before = std::lower_bound(pics.begin(), pics.end(), pos) - pics.begin();
    return pos - before;
  };
  const long long endPos = static_cast<long long>(offset) + length;
  long long c0 = charIndex(offset);
  long long c1 = charIndex(endPos);
  const long long textLen = GetTextLen();
  if (c0 > textLen) c0 = textLen;
  if (c1 > textLen) c1 = textLen;
  if (c1 <= c0) return std::string();
  const size_t b0 = quillery::Utf8CharToByteOffset(m_strText, c0);
  const size_t b1 = quillery::Utf8CharToByteOffset(m_strText, c1);
  return m_strText.substr(b0, b1 - b0);
}

void RichText::Clear() {
  m_strText.clear();
  m_nTextLen = 0;
  m_lstFmt.Clear();
  m_lstLinks.Clear();
  m_lstAnchors.Clear();
  m_lstPictures.Clear();
}
