#include "samples/SampleTextBuilder.h"

#include <utility>

#include "base/StringUtil.h"

namespace quillery {

void SampleTextBuilder::Text(const std::string& text) {
  m_text += text;
  m_pos += static_cast<int>(Utf8CharCount(text));
}

void SampleTextBuilder::Tag(const FmtInfo& tag) {
  FmtInfo t = tag;
  t.nOffset = m_pos;
  m_rt.m_lstFmt.Append(t);
}

void SampleTextBuilder::Link(LinkInfo link, int start) {
  link.nStartOffset = start;
  link.nTextLength = m_pos - start;
  link.RecalcRelative();
  m_rt.m_lstLinks.Append(link);
}

void SampleTextBuilder::Anchor(const std::string& name) { m_rt.m_lstAnchors.Append(AnchorInfo(name, m_pos)); }

void SampleTextBuilder::Picture(PixInfo pix) {
  pix.nOffset = m_pos;
  m_rt.m_lstPictures.Push(pix);
  ++m_pos;
}

void SampleTextBuilder::Finish() { m_rt.SetText(m_text); }

}  // namespace quillery
