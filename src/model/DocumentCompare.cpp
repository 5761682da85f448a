#include "model/DocumentCompare.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <cstdint>
#include <cstring>
#include <unordered_map>

#include "model/InternalIcons.h"
#include "model/NoteDocument.h"

namespace quillery {
namespace {

// A value as it appears in a difference line: strings quoted and shortened,
// control and non-ASCII bytes as \xNN.
std::string Show(const std::string& s) {
  const size_t kMax = 48;
  std::string out = "\"";
  for (size_t i = 0; i < s.size() && i < kMax; ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') {
      static const char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  out += s.size() > kMax ? "\"... (" + std::to_string(s.size()) + " bytes)" : "\"";
  return out;
}
std::string Show(long long v) { return std::to_string(v); }
std::string Show(bool v) { return v ? "true" : "false"; }

// Records the first difference; every check after it is skipped.
class Differ {
 public:
  explicit Differ(std::string* out) : m_out(out) {}
  bool Ok() const { return !m_failed; }
  void SetContext(const std::string& ctx) { m_ctx = ctx; }

  bool Fail(const std::string& what) {
    if (m_failed) return false;
    m_failed = true;
    if (m_out) *m_out = m_ctx.empty() ? what : m_ctx + ": " + what;
    return false;
  }
  bool Str(const std::string& what, const std::string& a, const std::string& b) {
    if (m_failed) return false;
    if (a == b) return true;
    if (a.size() > 48 || b.size() > 48) {  // long texts: show where they part
      size_t i = 0;
      while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
      const size_t from = i > 16 ? i - 16 : 0;
      return Fail(what + " differs at byte " + std::to_string(i) + ": " + Show(a.substr(from)) + " vs " +
                  Show(b.substr(from)));
    }
    return Fail(what + ": " + Show(a) + " vs " + Show(b));
  }
  bool Num(const std::string& what, long long a, long long b) {
    if (m_failed) return false;
    return a == b || Fail(what + ": " + Show(a) + " vs " + Show(b));
  }
  bool Flag(const std::string& what, bool a, bool b) {
    if (m_failed) return false;
    return a == b || Fail(what + ": " + Show(a) + " vs " + Show(b));
  }
  bool Color(const std::string& what, const GdkColor& a, const GdkColor& b) {
    if (m_failed) return false;
    if (a.red == b.red && a.green == b.green && a.blue == b.blue) return true;
    char buf[96];
    snprintf(buf, sizeof(buf), ": %04x%04x%04x vs %04x%04x%04x", a.red, a.green, a.blue, b.red, b.green, b.blue);
    return Fail(what + buf);
  }

 private:
  std::string* m_out;
  std::string m_ctx;
  bool m_failed = false;
};

bool SamePixels(const PixInfo& a, const PixInfo& b) {
  if (!a.strEncoded.empty() && a.strEncoded == b.strEncoded) return true;
  PixInfo ca(a), cb(b);  // decoding fills the copies only
  GdkPixbuf* pa = ca.GetPixbuf();
  GdkPixbuf* pb = cb.GetPixbuf();
  if (!pa || !pb) return !pa && !pb && a.strEncoded == b.strEncoded;
  const int w = gdk_pixbuf_get_width(pa), h = gdk_pixbuf_get_height(pa);
  if (w != gdk_pixbuf_get_width(pb) || h != gdk_pixbuf_get_height(pb)) return false;
  if (gdk_pixbuf_get_n_channels(pa) != gdk_pixbuf_get_n_channels(pb)) return false;
  if (gdk_pixbuf_get_bits_per_sample(pa) != gdk_pixbuf_get_bits_per_sample(pb)) return false;
  const size_t rowBytes = static_cast<size_t>(w) * static_cast<size_t>(gdk_pixbuf_get_n_channels(pa)) *
                          static_cast<size_t>(gdk_pixbuf_get_bits_per_sample(pa)) / 8;
  const guchar* ra = gdk_pixbuf_read_pixels(pa);
  const guchar* rb = gdk_pixbuf_read_pixels(pb);
  for (int y = 0; y < h; ++y) {
    if (memcmp(ra + static_cast<size_t>(y) * static_cast<size_t>(gdk_pixbuf_get_rowstride(pa)),
               rb + static_cast<size_t>(y) * static_cast<size_t>(gdk_pixbuf_get_rowstride(pb)), rowBytes) != 0)
      return false;
  }
  return true;
}

bool ComparePicture(Differ& d, const std::string& what, const PixInfo& a, const PixInfo& b) {
  d.Num(what + ": offset", a.nOffset, b.nOffset);
  d.Str(what + ": name", a.strName, b.strName);
  d.Flag(what + ": PNG", a.bPNG, b.bPNG);
  if (d.Ok() && !SamePixels(a, b))
    d.Fail(what + ": image differs (" + std::to_string(a.strEncoded.size()) + " vs " +
           std::to_string(b.strEncoded.size()) + " stored bytes)");
  return d.Ok();
}

// Lists are compared item by item over their common length first, so a
// missing item is reported where the lists part rather than as a count.
int Common(int a, int b) { return a < b ? a : b; }

void CompareFormatting(Differ& d, const FmtInfoList& a, const FmtInfoList& b) {
  for (int i = 0; i < Common(a.GetSize(), b.GetSize()) && d.Ok(); ++i) {
    const FmtInfo& x = a[i];
    const FmtInfo& y = b[i];
    const std::string what = "formatting tag " + std::to_string(i);
    d.Num(what + ": tag", x.nFormatTag, y.nFormatTag);
    d.Num(what + ": offset", x.nOffset, y.nOffset);
    switch (x.nFormatTag) {
      case FMT_COLOR_BEGIN:
      case FMT_BKG_COLOR_BEGIN: d.Color(what + ": colour", x.color, y.color); break;
      case FMT_FONT_BEGIN: d.Str(what + ": font", x.strFont, y.strFont); break;
      case FMT_LINE_SPACING_BEGIN:
      case FMT_TEXT_INDENT_BEGIN: d.Num(what + ": value", x.nValue, y.nValue); break;
      default: break;
    }
  }
  d.Num("formatting tags", a.GetSize(), b.GetSize());
}

void CompareRichText(Differ& d, const RichText& a, const RichText& b) {
  d.Str("text", a.GetText(), b.GetText());
  CompareFormatting(d, a.m_lstFmt, b.m_lstFmt);
  for (int i = 0; i < Common(a.m_lstLinks.GetSize(), b.m_lstLinks.GetSize()) && d.Ok(); ++i) {
    const LinkInfo& x = a.m_lstLinks[i];
    const LinkInfo& y = b.m_lstLinks[i];
    const std::string what = "link " + std::to_string(i);
    d.Num(what + ": offset", x.nStartOffset, y.nStartOffset);
    d.Num(what + ": length", x.nTextLength, y.nTextLength);
    d.Str(what + ": URL", x.strLink, y.strLink);
    d.Str(what + ": target", x.strTargetID, y.strTargetID);
    d.Flag(what + ": relative", x.bRelative, y.bRelative);
  }
  d.Num("links", a.m_lstLinks.GetSize(), b.m_lstLinks.GetSize());
  for (int i = 0; i < Common(a.m_lstAnchors.GetSize(), b.m_lstAnchors.GetSize()) && d.Ok(); ++i) {
    const std::string what = "anchor " + std::to_string(i);
    d.Str(what + ": name", a.m_lstAnchors[i].strName, b.m_lstAnchors[i].strName);
    d.Num(what + ": offset", a.m_lstAnchors[i].nOffset, b.m_lstAnchors[i].nOffset);
  }
  d.Num("anchors", a.m_lstAnchors.GetSize(), b.m_lstAnchors.GetSize());
  for (int i = 0; i < Common(a.m_lstPictures.GetSize(), b.m_lstPictures.GetSize()) && d.Ok(); ++i)
    ComparePicture(d, "picture " + std::to_string(i), a.m_lstPictures[i], b.m_lstPictures[i]);
  d.Num("pictures", a.m_lstPictures.GetSize(), b.m_lstPictures.GetSize());
}

void CompareTask(Differ& d, const Task& a, const Task& b) {
  if (!d.Flag("task", a.IsValid(), b.IsValid()) || !a.IsValid()) return;
  const Timestamp* ta[] = {&a.dateCreated, &a.dateDue, &a.dateCompleted, &a.dateExpire, &a.dateLastAck};
  const Timestamp* tb[] = {&b.dateCreated, &b.dateDue, &b.dateCompleted, &b.dateExpire, &b.dateLastAck};
  static const char* const kNames[] = {"created", "due", "completed", "expiry", "last acknowledged"};
  for (int i = 0; i < 5; ++i) {
    const std::string what = std::string("task ") + kNames[i] + " time";
    // An empty time (unset or not above 0) is one value, however it is held.
    if (d.Flag(what + " set", !ta[i]->IsEmpty(), !tb[i]->IsEmpty()) && !ta[i]->IsEmpty())
      d.Num(what, ta[i]->GetValue(), tb[i]->GetValue());
  }
  d.Num("task priority", a.nPriority, b.nPriority);
  d.Num("task status", a.nStatus, b.nStatus);
  d.Num("task repeat", a.nRepeat, b.nRepeat);
  d.Num("task alarm mode", a.nAlarmMode, b.nAlarmMode);
  d.Str("task sound", a.strSoundPath, b.strSoundPath);
  d.Str("task script", a.strScriptPath, b.strScriptPath);
}

void CompareProperties(Differ& d, const std::string& what, const std::vector<CustomProperty>& a,
                       const std::vector<CustomProperty>& b) {
  d.Num(what, static_cast<long long>(a.size()), static_cast<long long>(b.size()));
  for (size_t i = 0; i < a.size() && d.Ok(); ++i) {
    d.Str(what + " " + std::to_string(i) + ": name", a[i].strName, b[i].strName);
    d.Str(what + " " + std::to_string(i) + ": value", a[i].strValue, b[i].strValue);
  }
}

std::string NoteIdAt(const NoteDocument& doc, int idx) {
  return idx >= 0 && idx < doc.GetNodeCount() ? doc.GetNodeByIdx(idx).m_strID : std::string();
}

std::string BuiltInIconName(const NoteNode& note) {
  return note.m_strIconPath.empty() ? InternalIcon_Index2Name(note.m_nIconType) : note.m_strIconPath;
}

const PixInfo* CustomIcon(const NoteDocument& doc, const NoteNode& note) {
  auto it = doc.m_mapNoteIcon.find(note.m_strID);
  if (it == doc.m_mapNoteIcon.end()) return nullptr;
  const int slot = doc.m_lstCustomIcons.FindAtOffset(it->second);
  return slot < 0 ? nullptr : &doc.m_lstCustomIcons.GetAt(slot);
}

void CompareNote(Differ& d, const NoteDocument& da, const NoteNode& a, const NoteDocument& db, const NoteNode& b,
                 const DocCompareOptions& opt) {
  d.Str("parent", a.m_strParentID, b.m_strParentID);
  d.Num("sibling position", a.m_nSibling, b.m_nSibling);
  d.Str("clone source", a.m_strCloneOf, b.m_strCloneOf);
  d.Str("title", a.m_strTitle, b.m_strTitle);
  d.Num("created", a.m_nDateCreated, b.m_nDateCreated);
  d.Num("modified", a.m_nDateModified, b.m_nDateModified);
  d.Flag("finished", a.m_bFinished, b.m_bFinished);
  d.Flag("expanded", a.m_bExpanded, b.m_bExpanded);
  d.Flag("read-only", a.m_bReadOnly, b.m_bReadOnly);
  d.Flag("template", a.m_bTemplate, b.m_bTemplate);
  if (opt.bHashes) {
    // An empty hash is one not computed yet (the database formats fill them
    // in as they read notes), not a different one.
    if (!a.m_strHash.empty() && !b.m_strHash.empty()) d.Str("text hash", a.m_strHash, b.m_strHash);
    if (!a.m_strHashHtml.empty() && !b.m_strHashHtml.empty()) d.Str("HTML hash", a.m_strHashHtml, b.m_strHashHtml);
  }
  d.Str("tags", a.m_strKeywords, b.m_strKeywords);
  d.Str("source language", a.m_strSourceLanguage, b.m_strSourceLanguage);
  if (a.m_nIconType >= ICON_INTERNAL && b.m_nIconType >= ICON_INTERNAL) {
    // A built-in icon is kept by its name; a database hands it back as type 0
    // with the name, the native format as its index with the name.
    d.Str("built-in icon", BuiltInIconName(a), BuiltInIconName(b));
  } else {
    d.Num("icon type", a.m_nIconType, b.m_nIconType);
  }
  if (a.m_nIconType == ICON_FILE) d.Str("icon file", a.m_strIconPath, b.m_strIconPath);
  if (a.m_nIconType == ICON_CUSTOM && d.Ok()) {
    const PixInfo* ia = CustomIcon(da, a);
    const PixInfo* ib = CustomIcon(db, b);
    if (d.Flag("custom icon present", ia != nullptr, ib != nullptr) && ia && !SamePixels(*ia, *ib))
      d.Fail("custom icon differs");
  }
  CompareProperties(d, "custom properties", a.m_lstCustomProperties, b.m_lstCustomProperties);
  CompareTask(d, a.m_objTask, b.m_objTask);
  if (d.Flag("title colour flag", a.m_bUseTxtColor, b.m_bUseTxtColor) && a.m_bUseTxtColor)
    d.Color("title colour", a.m_clrTxt, b.m_clrTxt);
  if (d.Flag("title background flag", a.m_bUseBkgColor, b.m_bUseBkgColor) && a.m_bUseBkgColor)
    d.Color("title background", a.m_clrBkg, b.m_clrBkg);
  if (d.Flag("title font flag", a.m_bUseFont, b.m_bUseFont) && a.m_bUseFont)
    d.Str("title font", a.m_strCustomFont, b.m_strCustomFont);
  if (a.IsClone()) return;
  if (d.Flag("note background flag", a.m_bUseNoteBkgColor, b.m_bUseNoteBkgColor) && a.m_bUseNoteBkgColor)
    d.Color("note background", a.m_clrNoteBkg, b.m_clrNoteBkg);

  if (d.Flag("own link", a.m_objLink.IsValid(), b.m_objLink.IsValid()) && a.m_objLink.IsValid()) {
    d.Str("own link URL", a.m_objLink.strLink, b.m_objLink.strLink);
    d.Str("own link target", a.m_objLink.strTargetID, b.m_objLink.strTargetID);
  }
  d.Num("attachments", static_cast<long long>(a.m_lstAttachments.size()),
        static_cast<long long>(b.m_lstAttachments.size()));
  for (size_t i = 0; i < a.m_lstAttachments.size() && d.Ok(); ++i) {
    const AttInfo& x = a.m_lstAttachments[i];
    const AttInfo& y = b.m_lstAttachments[i];
    const std::string what = "attachment " + std::to_string(i);
    d.Str(what + ": name", x.strName, y.strName);
    d.Num(what + ": size", x.nDataSize, y.nDataSize);
    d.Str(what + ": data", x.strData, y.strData);
    d.Str(what + ": hash", x.strHash, y.strHash);
    d.Str(what + ": code", x.strCode, y.strCode);
    d.Str(what + ": target", x.strTarget, y.strTarget);
  }
  CompareRichText(d, a.m_objText, b.m_objText);
}

void CompareDocumentFields(Differ& d, const NoteDocument& a, const NoteDocument& b, const DocCompareOptions& opt) {
  d.SetContext("document");
  d.Str("title", a.GetTitle(), b.GetTitle());
  d.Str("author", a.GetAuthor(), b.GetAuthor());
  if (opt.bUID) d.Str("UID", a.GetUID(), b.GetUID());
  d.Flag("read-only", a.IsReadOnly(), b.IsReadOnly());
  d.Num("properties modified", a.m_nPropModifiedTime, b.m_nPropModifiedTime);
  // Notes are matched by ID, so the last note is too: its index depends on
  // the order in which a format hands the notes over.
  if (opt.bLastNote) d.Str("last note", NoteIdAt(a, a.m_nLastNoteIdx), NoteIdAt(b, b.m_nLastNoteIdx));
  CompareProperties(d, "custom properties", a.m_lstCustomProperties, b.m_lstCustomProperties);
  const BookmarkList& ba = a.GetBookmarkList();
  const BookmarkList& bb = b.GetBookmarkList();
  d.Num("bookmarks", ba.GetCount(), bb.GetCount());
  for (int i = 0; i < ba.GetCount() && d.Ok(); ++i) {
    d.Str("bookmark " + std::to_string(i) + ": title", ba.GetBookTitle(i), bb.GetBookTitle(i));
    d.Str("bookmark " + std::to_string(i) + ": path", ba.GetBookPath(i), bb.GetBookPath(i));
  }
  if (opt.bDeletions) {
    if (d.Ok() && a.m_mapDeletedNotes != b.m_mapDeletedNotes) d.Fail("deleted-note records differ");
    if (d.Ok() && a.m_mapDeletedAttachments != b.m_mapDeletedAttachments)
      d.Fail("deleted-attachment records differ");
  }
  d.Num("anchor directory entries", static_cast<long long>(a.m_mapAnchors.size()),
        static_cast<long long>(b.m_mapAnchors.size()));
  for (auto it = a.m_mapAnchors.begin(); it != a.m_mapAnchors.end() && d.Ok(); ++it) {
    auto other = b.m_mapAnchors.find(it->first);
    if (other == b.m_mapAnchors.end()) d.Fail("anchor " + Show(it->first) + " missing");
    else d.Str("anchor " + Show(it->first) + " note", it->second, other->second);
  }
  d.Num("notes", a.GetNodeCount(), b.GetNodeCount());
}

}  // namespace

bool CompareDocuments(const NoteDocument& a, const NoteDocument& b, std::string* firstDiff,
                      const DocCompareOptions& options) {
  if (firstDiff) firstDiff->clear();
  Differ d(firstDiff);
  CompareDocumentFields(d, a, b, options);
  if (!d.Ok()) return false;

  std::unordered_map<std::string, int> byID;  // b's notes by ID
  byID.reserve(static_cast<size_t>(b.GetNodeCount()));
  for (int i = 0; i < b.GetNodeCount(); ++i) {
    if (!byID.emplace(b.GetNodeByIdx(i).m_strID, i).second) {
      d.SetContext("second document");
      return d.Fail("note ID " + Show(b.GetNodeByIdx(i).m_strID) + " appears twice");
    }
  }
  for (int i = 0; i < a.GetNodeCount(); ++i) {
    if (options.stop && options.stop()) return d.Fail("stopped");
    const NoteNode& na = a.GetNodeByIdx(i);
    d.SetContext("note " + std::to_string(i) + " [" + na.m_strID + "] " + Show(na.m_strTitle));
    auto it = byID.find(na.m_strID);
    if (it == byID.end()) return d.Fail("missing in the second document");
    CompareNote(d, a, na, b, b.GetNodeByIdx(it->second), options);
    if (!d.Ok()) return false;
  }
  return true;
}

}  // namespace quillery
