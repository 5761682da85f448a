#pragma once

// Builds one note's rich text front to back: text, formatting tags, links,
// anchors and pictures, each placed at the current offset (UTF-8 characters
// of the text plus one position per picture). Items are appended in offset
// order, so every list comes out sorted the way the readers produce it.
//
// The builder writes into a RichText it does not own; Finish() stores the
// collected text, which must be called once at the end.

#include <string>

#include "richtext/RichText.h"

namespace quillery {

class SampleTextBuilder {
 public:
  explicit SampleTextBuilder(RichText& rt) : m_rt(rt) {}

  // The offset where the next item lands.
  int Pos() const { return m_pos; }
  bool EndsWithNewline() const { return !m_text.empty() && m_text.back() == '\n'; }

  void Text(const std::string& text);
  // A formatting tag at the current offset, with its attributes.
  void Tag(const FmtInfo& tag);
  void Tag(int tag) { Tag(FmtInfo(tag, m_pos)); }
  // A link over [start, current offset).
  void Link(LinkInfo link, int start);
  void Anchor(const std::string& name);
  // A picture at the current offset; it takes one position.
  void Picture(PixInfo pix);

  void Finish();

 private:
  RichText& m_rt;
  std::string m_text;
  int m_pos = 0;
};

}  // namespace quillery
