#include "model/NoteNode.h"

#include <algorithm>
#include <atomic>
#include <iterator>
#include <unordered_set>

#include "base/Log.h"
#include "base/Sha1.h"
#include "model/FormatIO_Base.h"
#include "model/FormatIO_DynamicBase.h"

NoteNode::NoteNode() : m_clrTxt{0, 0, 0, 0}, m_clrBkg{0, 0, 0, 0}, m_clrNoteBkg{0, 0, 0, 0} {}

void NoteNode::CalcDataHash(const char* data, size_t len, std::string& out) {
  out = CSHA1::HexDigest(data ? data : "", data ? len : 0);
}

void NoteNode::CalcDataHash(const std::string& input, std::string& out) {
  CalcDataHash(input.data(), input.size(), out);
}

int NoteNode::CalcHtmlHash(std::string& out) {
  std::string html;
  const int result = RichText2Html(*this, true, html);
  if (result == DOC_SAVE_OK) CalcDataHash(html, out);
  return result;
}

void NoteNode::SetText(const char* text, const char* hash, const char* htmlHash, bool compute) {
  m_objText.SetText(text ? std::string(text) : std::string());
  if (hash && *hash) m_strHash = hash;
  else if (compute) CalcDataHash(GetText(), m_strHash);
  else m_strHash.clear();
  if (htmlHash && *htmlHash) m_strHashHtml = htmlHash;
  else m_strHashHtml.clear();
  if (m_strHashHtml.empty() && compute) CalcHtmlHash(m_strHashHtml);
}

void NoteNode::Clear(bool keepSelection) {
  m_objText.Clear();
  m_lstAttachments.clear();
  m_objLink.Clear();
  m_nPartsInMemory &= ~NIF_CONTENT;
  if (!keepSelection) {
    m_nSelStart = 0;
    m_nSelEnd = 0;
    m_nScrollPos = 0;
  }
}

void NoteNode::CopyData(const NoteNode& other) {
  if (this == &other) return;
  const std::string id = m_strID;
  const std::string pid = m_strParentID;
  const int sib = m_nSibling;
  *this = other;
  m_strID = id;
  m_strParentID = pid;
  m_nSibling = sib;
}

void tag_list_quote(std::string& tags) {
  if (tags.empty()) return;
  if (tags.front() != ';') tags.insert(tags.begin(), ';');
  if (tags.back() != ';') tags.push_back(';');
}

// ---------------------------------------------------------------------------
// FixFormatting

namespace {

// Removes the items whose drop flag is set, keeping the order of the rest, in
// one pass (erasing one by one would be quadratic on a list of many bad
// items). True when anything was removed.
template <class T, class Drop>
bool RemoveWhere(std::vector<T>& items, Drop drop) {
  size_t kept = 0;
  for (size_t i = 0; i < items.size(); ++i) {
    if (drop(i)) continue;
    if (kept != i) items[kept] = std::move(items[i]);
    ++kept;
  }
  if (kept == items.size()) return false;
  items.erase(items.begin() + static_cast<std::ptrdiff_t>(kept), items.end());
  return true;
}

// Matches begin and end tags and rebuilds the list by the rules in the
// header, one group of equal offsets at a time:
//   A. closings: the group's ends, and kinds that a begin of the group finds
//      already open, innermost first;
//   B. reopening of ranges that A interrupted (lifted spans, outer ranges of
//      a kind whose inner range ended);
//   C. the group's begins.
// Returns true when the result differs from the input.
class FormattingRepair {
 public:
  explicit FormattingRepair(int totalLen) : m_total(totalLen) {}

  // True when Run would leave the list as it is; answered in one pass
  // without copying a tag, since nearly every list a reader builds is so.
  // Conservative: a list it refuses may still come out of Run unchanged.
  // It accepts only lists where, group of equal offsets by group:
  //   - every tag is a known begin or end, its offset within the text, the
  //     offsets ascending;
  //   - the group's ends come before its begins, and each end closes an
  //     open range of its kind, no range twice, innermost first;
  //   - a span kind range that ends leaves no span opened after it open;
  //   - a begin finds its kind closed (after the group's ends), and no kind
  //     begins twice in the group;
  //   - nothing is left open at the end.
  // Run then closes exactly what the ends name, in their order, reopens
  // nothing, drops nothing (no range is empty: its end would stand in a
  // later group) and emits the begins in list order.
  static bool IsAlreadyValid(const std::vector<FmtInfo>& items, int total) {
    constexpr int kKinds = FMT_TAG_MAX / 2 + 1;
    int stack[kKinds];  // open kinds, outermost first; a kind is open at most once
    int depth = 0;
    bool open[kKinds + 1] = {};
    const size_t n = items.size();
    for (size_t i = 0; i < n;) {
      const int offset = items[i].nOffset;
      if (offset < 0 || offset > total || (i > 0 && offset < items[i - 1].nOffset)) return false;
      // Ends: each must name the innermost kind still open below the
      // previous end of the group; kinds it skips stay open.
      int below = depth;            // stack positions >= below are settled
      int closed = 0;               // ranges closed in this group
      bool closedMark[kKinds] = {};  // by stack position
      for (; i < n && items[i].nOffset == offset && items[i].IsEnd(); ++i) {
        const int kind = items[i].GetKind();
        if (!open[kind]) return false;
        int k = below - 1;
        while (k >= 0 && stack[k] != kind) --k;
        if (k < 0) return false;  // open, but above an end already met: out of order
        closedMark[k] = true;
        ++closed;
        below = k;
      }
      if (closed) {
        // A span that ends while a span opened after it stays open would
        // have that span lifted over it.
        int lowestSpan = depth;
        for (int k = 0; k < depth; ++k)
          if (closedMark[k] && FmtInfo::IsSpanKind(stack[k])) {
            lowestSpan = k;
            break;
          }
        for (int k = lowestSpan + 1; k < depth; ++k)
          if (!closedMark[k] && FmtInfo::IsSpanKind(stack[k])) return false;
        int kept = 0;
        for (int k = 0; k < depth; ++k) {
          if (closedMark[k]) open[stack[k]] = false;
          else stack[kept++] = stack[k];
        }
        depth = kept;
      }
      for (; i < n && items[i].nOffset == offset; ++i) {
        if (!items[i].IsBegin()) return false;  // an end after a begin, tag 0 or an unknown tag
        const int kind = items[i].GetKind();
        if (open[kind]) return false;
        open[kind] = true;
        stack[depth++] = kind;
      }
    }
    return depth == 0;
  }

  bool Run(FmtInfoList& list) {
    std::vector<FmtInfo> in;
    in.reserve(list.GetSize());
    for (const FmtInfo& f : list.Items()) {
      const bool known = f.nFormatTag >= 0 && f.nFormatTag <= FMT_TAG_MAX;
      if (known && f.nOffset >= 0 && f.nOffset <= m_total) in.push_back(f);
    }
    auto byOffset = [](const FmtInfo& a, const FmtInfo& b) { return a.nOffset < b.nOffset; };
    if (!std::is_sorted(in.begin(), in.end(), byOffset)) std::stable_sort(in.begin(), in.end(), byOffset);

    for (size_t i = 0; i < in.size();) {
      size_t j = i;
      while (j < in.size() && in[j].nOffset == in[i].nOffset) ++j;
      DoGroup(in, i, j);
      i = j;
    }
    for (const Open& o : m_open) m_out[o.outIdx].dropped = true;  // begins without an end

    std::vector<FmtInfo> result;
    result.reserve(m_out.size());
    for (const Out& o : m_out)
      if (!o.dropped) result.push_back(o.info);
    if (SameList(result, list.Items())) return false;
    list.Items().swap(result);
    return true;
  }

 private:
  struct Out {
    FmtInfo info;
    bool dropped;
  };
  // An open range. outer: ranges of the same kind it interrupted, outermost
  // first; the innermost is reopened when this range ends.
  struct Open {
    int kind;
    size_t outIdx;
    FmtInfo begin;
    std::vector<FmtInfo> outer;
  };
  struct Reopen {
    FmtInfo begin;
    std::vector<FmtInfo> outer;
  };

  // Appends `from` (outermost first) to `to`, taking its items over. `to` is
  // nearly always empty, and then nothing is copied: a deep nesting of one
  // kind hands its chain of interrupted ranges on in O(1) per level.
  static void TakeOver(std::vector<FmtInfo>& to, std::vector<FmtInfo>& from) {
    if (to.empty()) {
      to.swap(from);
    } else {
      to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
    }
    from.clear();
  }

  static bool SameList(const std::vector<FmtInfo>& a, const std::vector<FmtInfo>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
      if (a[i].nFormatTag != b[i].nFormatTag || a[i].nOffset != b[i].nOffset) return false;
    return true;
  }

  int FindOpen(int kind) const {
    for (int k = static_cast<int>(m_open.size()) - 1; k >= 0; --k)
      if (m_open[k].kind == kind) return k;
    return -1;
  }

  void EmitBegin(const FmtInfo& begin, int offset, std::vector<FmtInfo> outer) {
    FmtInfo b = begin;
    b.nOffset = offset;
    m_out.push_back(Out{b, false});
    m_open.push_back(Open{b.GetKind(), m_out.size() - 1, b, std::move(outer)});
  }

  // Ends the range at stack position k at offset and removes it from the
  // stack; an empty range is dropped with its begin.
  Open EndRange(size_t k, int offset) {
    Open o = std::move(m_open[k]);
    m_open.erase(m_open.begin() + k);
    if (m_out[o.outIdx].info.nOffset == offset) {
      m_out[o.outIdx].dropped = true;
    } else {
      FmtInfo e = o.begin;
      e.nFormatTag = o.begin.nFormatTag + 1;
      e.nOffset = offset;
      m_out.push_back(Out{e, false});
    }
    return o;
  }

  void DoGroup(const std::vector<FmtInfo>& in, size_t from, size_t to) {
    const int offset = in[from].nOffset;
    std::vector<bool> beginKind(FMT_TAG_MAX / 2 + 2, false);
    for (size_t i = from; i < to; ++i)
      if (in[i].IsBegin()) beginKind[in[i].GetKind()] = true;

    // A. Closing requests: (kind, true for an end tag / false for a begin
    //    that finds its kind open).
    std::vector<std::pair<int, bool>> req;
    for (size_t i = from; i < to; ++i)
      if (in[i].IsEnd()) req.emplace_back(in[i].GetKind(), true);
    for (int kind = 1; kind < static_cast<int>(beginKind.size()); ++kind)
      if (beginKind[kind] && FindOpen(kind) >= 0) req.emplace_back(kind, false);

    // The open ranges to close here: requested ones, and every span opened
    // after a requested span (lifted, to be reopened). Closed innermost
    // first, so the ends come in reverse order of their begins.
    const int depth = static_cast<int>(m_open.size());
    std::vector<int> reason(depth, 0);  // 0 stays, 1 ends, 2 interrupted by a new begin, 3 lifted
    std::vector<int> extraEnds;         // ends finding their kind already claimed
    for (const auto& r : req) {
      const int k = FindOpen(r.first);
      if (k < 0) {
        if (r.second) extraEnds.push_back(r.first);
        continue;
      }
      if (reason[k] == 0) reason[k] = r.second ? 1 : 2;
      else if (r.second) extraEnds.push_back(r.first);
    }
    int lowestSpan = depth;
    for (int k = 0; k < depth; ++k)
      if (reason[k] && FmtInfo::IsSpanKind(m_open[k].kind)) {
        lowestSpan = k;
        break;
      }
    for (int k = lowestSpan + 1; k < depth; ++k)
      if (!reason[k] && FmtInfo::IsSpanKind(m_open[k].kind)) reason[k] = 3;

    std::vector<std::pair<int, Reopen>> reopenAt;  // (stack position, range)
    std::vector<std::vector<FmtInfo>> outerFor(beginKind.size());  // for the group's begins
    for (int k = depth - 1; k >= 0; --k) {
      if (!reason[k]) continue;
      Open closed = EndRange(static_cast<size_t>(k), offset);
      if (reason[k] == 3) {
        reopenAt.emplace_back(k, Reopen{closed.begin, std::move(closed.outer)});
      } else if (reason[k] == 1) {  // its end: the innermost interrupted range resumes
        if (!closed.outer.empty()) {
          FmtInfo b = closed.outer.back();
          closed.outer.pop_back();
          reopenAt.emplace_back(k, Reopen{b, std::move(closed.outer)});
        }
      } else {  // interrupted by a new begin of its kind
        std::vector<FmtInfo>& o = outerFor[closed.kind];
        TakeOver(o, closed.outer);
        o.push_back(closed.begin);
      }
    }
    std::stable_sort(reopenAt.begin(), reopenAt.end(),
                     [](const std::pair<int, Reopen>& a, const std::pair<int, Reopen>& b) { return a.first < b.first; });
    std::vector<Reopen> reopen;
    for (auto& r : reopenAt) reopen.push_back(std::move(r.second));
    // A second end of a kind closes its range's resumed part at once (that
    // part would be empty): the next outer range resumes instead.
    for (int kind : extraEnds) {
      for (size_t q = reopen.size(); q-- > 0;) {
        if (reopen[q].begin.GetKind() != kind) continue;
        Reopen cancelled = std::move(reopen[q]);
        reopen.erase(reopen.begin() + q);
        if (!cancelled.outer.empty()) {
          FmtInfo b = cancelled.outer.back();
          cancelled.outer.pop_back();
          reopen.insert(reopen.begin() + q, Reopen{b, std::move(cancelled.outer)});
        }
        break;
      }
    }

    // B. Reopen what A interrupted, unless a begin of the same kind follows
    //    here: then it waits behind that begin.
    for (Reopen& r : reopen) {
      const int kind = r.begin.GetKind();
      if (beginKind[kind]) {
        std::vector<FmtInfo>& o = outerFor[kind];
        TakeOver(o, r.outer);
        o.push_back(r.begin);
      } else {
        EmitBegin(r.begin, offset, std::move(r.outer));
      }
    }

    // C. Begins in list order. A second begin of a kind at this offset
    //    replaces the first (whose range would be empty); the first waits.
    for (size_t i = from; i < to; ++i) {
      const FmtInfo& f = in[i];
      if (f.IsEnd()) continue;
      if (!f.IsBegin()) {  // FMT_REMOVE_FORMATTING stays where it stands
        m_out.push_back(Out{f, false});
        continue;
      }
      const int kind = f.GetKind();
      std::vector<FmtInfo> outer;
      outer.swap(outerFor[kind]);
      const int k = FindOpen(kind);
      if (k >= 0) {
        Open& prev = m_open[k];
        TakeOver(outer, prev.outer);
        outer.push_back(prev.begin);
        m_out[prev.outIdx].dropped = true;
        m_open.erase(m_open.begin() + k);
      }
      EmitBegin(f, offset, std::move(outer));
    }
  }

  int m_total;
  std::vector<Out> m_out;
  std::vector<Open> m_open;
};

}  // namespace

namespace {
std::atomic<RichTextRenderer> g_richTextRenderer{nullptr};
}  // namespace

void SetRichTextRenderer(RichTextRenderer renderer) { g_richTextRenderer.store(renderer); }

int RichText2Html(NoteNode& note, bool flag, std::string& out) {
  out.clear();
  const RichTextRenderer renderer = g_richTextRenderer.load();
  if (!renderer) {
    // An empty text here would become the hash of "" and be stored as the
    // note's: a program must install the native renderer before it hashes.
    xLog(LOG_ERROR, "RichText2Html: no note renderer installed (note %s); its HTML hash is not computed\n",
         note.m_strID.c_str());
    return DOC_SAVE_UNKNOWN_FORMAT;
  }
  const int result = renderer(note, flag, out);
  if (result != DOC_SAVE_OK) {
    xLog(LOG_ERROR, "RichText2Html: rendering note %s failed (%d)\n", note.m_strID.c_str(), result);
    out.clear();
  }
  return result;
}

bool NoteNode::FixFormatting(FormatIO_Base* loader) {
  bool changed = false;
  RichText& rt = m_objText;
  FormatIO_DynamicBase* dyn =
      loader && loader->IsDynamic() ? dynamic_cast<FormatIO_DynamicBase*>(loader) : nullptr;

  // 1. Pictures.
  PictureList& pics = rt.m_lstPictures;
  if (!pics.IsEmpty()) {
    const int textLen = rt.GetTextLen();
    std::vector<bool> drop(pics.GetSize(), false);
    std::vector<std::pair<int, int>> byOffset;  // (offset, index) of pictures kept so far
    std::unordered_set<int> taken;
    for (int i = 0; i < pics.GetSize(); ++i) {
      const int off = pics[i].nOffset;
      if (off < 0 || !taken.insert(off).second) drop[i] = true;
      else byOffset.emplace_back(off, i);
    }
    std::sort(byOffset.begin(), byOffset.end());
    for (size_t r = 0; r < byOffset.size(); ++r) {
      // Text characters before the picture: its offset minus the pictures
      // before it. More than the text has means it lies past the end, and
      // so do all later ones.
      if (byOffset[r].first - static_cast<int>(r) > textLen) {
        for (size_t s = r; s < byOffset.size(); ++s) drop[byOffset[s].second] = true;
        break;
      }
    }
    // Reported highest index first (each index is the picture's position in
    // the list as it stands), then removed together.
    if (dyn)
      for (int i = pics.GetSize() - 1; i >= 0; --i)
        if (drop[i]) dyn->OnNodePixRemoved(*this, i);
    if (RemoveWhere(pics.Items(), [&drop](size_t i) { return bool(drop[i]); })) changed = true;
  }
  const int total = rt.GetTotalLength();

  // 2. Links of the text.
  LinkInfoList& links = rt.m_lstLinks;
  if (RemoveWhere(links.Items(), [&links, total](size_t i) {
        const LinkInfo& l = links.Items()[i];
        return l.nStartOffset < 0 || l.nTextLength < 1 ||
               static_cast<long long>(l.nStartOffset) + l.nTextLength > total;
      }))
    changed = true;
  // 3. Anchors.
  AnchorInfoList& anchors = rt.m_lstAnchors;
  if (RemoveWhere(anchors.Items(), [&anchors, total](size_t i) {
        const AnchorInfo& a = anchors.Items()[i];
        return a.nOffset < 0 || a.nOffset > total;
      }))
    changed = true;
  // 4. Formatting.
  if (!rt.m_lstFmt.IsEmpty() && !FormattingRepair::IsAlreadyValid(rt.m_lstFmt.Items(), total)) {
    FormattingRepair repair(total);
    if (repair.Run(rt.m_lstFmt)) changed = true;
  }
  return changed;
}
