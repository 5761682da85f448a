#pragma once

// A note's text (UTF-8) with its formatting, link, anchor and picture lists.
// All lists place items by offset: UTF-8 characters of the text plus one
// position per picture (pictures are not in the text itself).
//
// Characters are counted by the one rule of quillery::Utf8CharCount, which
// the HTML writer uses too, so offsets agree between reader and writer and
// stay bounded on invalid UTF-8.
//
// Invariant: m_nTextLen is -1 (unknown) or the character count of m_strText.
//
// Threads: a plain value with no lock. Its const methods may be called from
// several threads at once once the character count is known: GetTextLen,
// and everything that counts through it (GetTotalLength, offset
// conversions), fills m_nTextLen on first use. A thread that hands a text
// to other readers calls GetTextLen first (the parallel writer does).

#include <string>

#include "richtext/AnchorInfo.h"
#include "richtext/FmtInfo.h"
#include "richtext/LinkInfo.h"
#include "richtext/PixInfo.h"

class RichText {
 public:
  const std::string& GetText() const { return m_strText; }
  void SetText(const std::string& text);
  void SetText(const char* text, size_t len);

  // Number of characters of the text (pictures excluded), cached.
  int GetTextLen() const;
  // Characters plus one position per picture.
  int GetTotalLength() const { return GetTextLen() + m_lstPictures.GetSize(); }
  // Appends text; count is its character count when known, negative when
  // not (it is then counted here). Nothing for an empty text.
  void AppendText(const char* text, int count = -1);
  void AppendText(const std::string& text, int count = -1);
  // The text characters in [offset, offset + length) in offset units,
  // pictures skipped; empty for length < 1 or an offset that is negative or
  // at/after the end.
  std::string GetTextAtOffset(int offset, int length) const;
  // Byte position in the text of the character with that character index
  // (clamped to the text's size).
  size_t CharToByteOffset(int charIndex) const;

  // Drops the text and all lists.
  void Clear();

  FmtInfoList m_lstFmt;
  LinkInfoList m_lstLinks;
  AnchorInfoList m_lstAnchors;
  PictureList m_lstPictures;

 private:
  std::string m_strText;
  mutable int m_nTextLen = 0;  // -1 = unknown
};
