#include "samples/SampleDocument.h"

#include <algorithm>
#include <vector>

#include "base/StringUtil.h"
#include "model/NoteDocument.h"
#include "model/NoteNode.h"

namespace quillery_bench {

namespace {

const char* const kWords[] = {"note", "tree", "quill", "r\xC3\xA9sum\xC3\xA9", "\xE2\x82\xAC" "42", "line",
                              "text", "&amp", "<tag>", "\xE6\x97\xA5\xE6\x9C\xAC", "word", "caf\xC3\xA9"};

int Pick(std::mt19937& rng, int n) { return static_cast<int>(rng() % static_cast<uint32_t>(n)); }

}  // namespace

std::string SampleText(std::mt19937& rng, size_t bytes) {
  std::string s;
  s.reserve(bytes + 16);
  while (s.size() < bytes) {
    s += kWords[Pick(rng, sizeof(kWords) / sizeof(kWords[0]))];
    s += Pick(rng, 12) == 0 ? '\n' : ' ';
  }
  return s;
}

void AddSampleFormatting(NoteNode& note, int tags, std::mt19937& rng) {
  const int len = note.m_objText.GetTextLen();
  const int ranges = std::min(tags / 2, len / 2);
  if (ranges <= 0) return;
  // 2 * ranges distinct sorted cut points in 0..len give disjoint ranges.
  std::vector<int> cuts;
  cuts.reserve(2 * ranges);
  const int step = len / (2 * ranges);
  for (int i = 0; i < 2 * ranges; ++i) cuts.push_back(i * step + (step > 1 ? Pick(rng, step) : 0));
  static const int kKinds[] = {FMT_BOLD_BEGIN, FMT_ITALIC_BEGIN, FMT_COLOR_BEGIN, FMT_FONT_BEGIN};
  for (int r = 0; r < ranges; ++r) {
    int kind = kKinds[Pick(rng, 4)];
    FmtInfo begin(kind, cuts[2 * r]);
    FmtInfo end(kind + 1, cuts[2 * r + 1] + 1);
    if (kind == FMT_COLOR_BEGIN) begin.color.red = end.color.red = static_cast<guint16>(rng());
    if (kind == FMT_FONT_BEGIN) begin.strFont = "Sans Bold 12";
    note.m_objText.m_lstFmt.Append(begin);
    note.m_objText.m_lstFmt.Append(end);
  }
}

void MakeSampleDocument(NoteDocument& doc, const SampleOptions& opt) {
  std::mt19937 rng(opt.seed);
  std::vector<int> depth;
  std::vector<int> children;  // children per note so far
  int topLevel = 0;
  depth.reserve(opt.notes);
  children.reserve(opt.notes);
  static const unsigned char kPng[] = {0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0, 0, 0, 0x0d};
  for (int i = 0; i < opt.notes; ++i) {
    NoteNode note;
    note.m_strID = "n" + std::to_string(i);
    int parent = -1;
    if (i > 0 && opt.maxDepth > 0 && Pick(rng, 4) != 0) {
      parent = Pick(rng, i);
      if (depth[parent] >= opt.maxDepth) parent = -1;
    }
    if (parent >= 0) {
      note.m_strParentID = "n" + std::to_string(parent);
      note.m_nSibling = children[parent]++;
      depth.push_back(depth[parent] + 1);
    } else {
      note.m_nSibling = topLevel++;
      depth.push_back(0);
    }
    children.push_back(0);
    note.SetTitle("Note " + std::to_string(i));
    note.m_objText.SetText(SampleText(rng, static_cast<size_t>(opt.textBytes)));
    note.m_nDateCreated = 1600000000 + i;
    note.m_nDateModified = 1600000000 + 2 * i;
    AddSampleFormatting(note, opt.tagsPerNote, rng);
    const int len = note.m_objText.GetTextLen();
    for (int l = 0; l < opt.linksPerNote && i > 0 && len > 2; ++l) {
      LinkInfo link;
      link.strTargetID = "n" + std::to_string(Pick(rng, i));
      link.nStartOffset = Pick(rng, len - 1);
      link.nTextLength = 1;
      note.m_objText.m_lstLinks.Append(link);
    }
    if (opt.pictureRate > 0 && std::uniform_real_distribution<double>(0, 1)(rng) < opt.pictureRate) {
      PixInfo pix;
      pix.nOffset = len;
      pix.strName = "pic";
      pix.strEncoded.assign(reinterpret_cast<const char*>(kPng), sizeof(kPng));
      note.m_objText.m_lstPictures.Push(pix);
    }
    if (opt.attachmentRate > 0 && std::uniform_real_distribution<double>(0, 1)(rng) < opt.attachmentRate) {
      AttInfo att;
      att.strName = "data.bin";
      att.strData.assign(1024, static_cast<char>(i));
      att.nDataSize = 1024;
      att.strCode = "a" + std::to_string(i);
      note.m_lstAttachments.push_back(att);
    }
    doc.PushNode(note);
  }
  doc.RebuildMap();
}

}  // namespace quillery_bench
