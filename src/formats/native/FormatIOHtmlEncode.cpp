// Rich text to HTML: the insertion passes over a note's segment list, the
// markup of formatting tags, links, anchors and pictures, the joining of the
// list into one string, and a note's attachments.
//
// This markup is also what RichText2Html renders for a note's HTML hash, so
// every byte of it is part of the stored format.

#include <glib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/Base64.h"
#include "base/FileUtil.h"
#include "base/Log.h"
#include "base/StringUtil.h"
#include "formats/native/FormatIOHtml.h"
#include "formats/native/HtmlExportNames.h"
#include "formats/native/HtmlFontHelpers.h"
#include "html/HtmlParser.h"
#include "html/HtmlTextUtils.h"
#include "html/HtmlWriteEscape.h"
#include "io/IOProcess.h"
#include "model/NoteDocument.h"
#include "model/NoteNode.h"
#include "model/RecursiveTreeWalker.h"

using quillery::AppendAttrValue;
using quillery::MergeIntoSegmentList;

namespace {

// A 1x1 transparent PNG, written for a picture that has neither stored
// bytes nor an encoding, so that it still takes its position.
const unsigned char kPlaceholderPng[] = {
    0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52, 0x00,
    0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00, 0x00, 0x1f, 0x15, 0xc4, 0x89, 0x00,
    0x00, 0x00, 0x0b, 0x49, 0x44, 0x41, 0x54, 0x78, 0xda, 0x63, 0x60, 0x00, 0x02, 0x00, 0x00, 0x05, 0x00,
    0x01, 0xe9, 0xfa, 0xdc, 0xd8, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};

void AppendColor(std::string& out, const char* prefix, const GdkColor& c) {
  out += prefix;
  quillery::AppendHexColor(out, c.red, c.green, c.blue);
  out += "\">";
}

void AppendBase64(std::string& out, const void* data, size_t len) {
  std::string b64;
  b64encode(data, static_cast<int>(len), b64, true);
  out += b64;
}


bool IsMarkup(const tSegment& s, const char* markup, size_t len) {
  return !s.bText && s.text.size() == len && s.text.compare(0, len, markup) == 0;
}
bool IsBulletLineStart(const tSegment& s) { return IsMarkup(s, "<LI>", 4); }
bool IsBulletLineEnd(const tSegment& s) { return IsMarkup(s, "</LI>\n", 6); }

// Zero-length markup that a bullet look-around may step over.
bool IsTransparent(const tSegment& s) {
  if (s.bText) return s.text.empty();
  return s.nLen == 0 && !IsBulletLineStart(s) && !IsBulletLineEnd(s);
}

}  // namespace

void FormatIO_HTML::MergeOrDefer(tSegmentList& segs, std::vector<tSegmentInsert>& items) {
  if (!m_pDeferredItems) {
    MergeIntoSegmentList(segs, items);
    return;
  }
  // Zero-length items of later passes go after those of earlier passes at
  // one offset, exactly as separate merges would place them: the merge's
  // stable sort keeps the batches' order.
  if (m_pDeferredItems->empty()) {
    m_pDeferredItems->swap(items);
    return;
  }
  m_pDeferredItems->insert(m_pDeferredItems->end(), std::make_move_iterator(items.begin()),
                           std::make_move_iterator(items.end()));
}

void FormatIO_HTML::SegmentListAddPictures(NoteNode& note, tSegmentList& segs, bool exp) {
  PictureList& pics = note.m_objText.m_lstPictures;
  if (pics.IsEmpty()) return;
  // The list may be unsorted; placing pictures in order of offset keeps
  // every picture at its own position.
  std::vector<int> order(pics.GetSize());
  for (int i = 0; i < pics.GetSize(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&pics](int a, int b) { return pics[a].nOffset < pics[b].nOffset; });
  std::vector<tSegmentInsert> items;
  items.reserve(order.size());
  for (int i : order) {
    PixInfo& pix = pics[i];
    if (pix.nOffset < 0) continue;
    tSegmentInsert item{pix.nOffset, 1, std::string()};
    EncodePicture(note.m_strID, pix, item.markup, exp);
    items.push_back(std::move(item));
  }
  MergeIntoSegmentList(segs, items);
}

void FormatIO_HTML::SegmentListAddLinks(NoteNode& note, tSegmentList& segs, bool exp, DocumentIterator& /*it*/,
                                        RecursiveTreeWalker& walker) {
  const std::vector<LinkInfo>& src = note.m_objText.m_lstLinks.Items();
  if (src.empty()) return;
  // Sorted on a copy: a save never reorders the note's own list.
  std::vector<const LinkInfo*> links;
  links.reserve(src.size());
  for (const LinkInfo& l : src) links.push_back(&l);
  std::stable_sort(links.begin(), links.end(),
                   [](const LinkInfo* a, const LinkInfo* b) { return a->nStartOffset < b->nStartOffset; });
  NoteDocument& doc = *GetDoc();
  std::vector<tSegmentInsert> items;
  items.reserve(2 * links.size());
  for (const LinkInfo* link : links) {
    if (link->nStartOffset < 0) continue;
    if (exp && doc.bExportLinkedImages && link->strTargetID.empty() && IsImageFile(link->strLink)) {
      std::string img = "<img alt=\"\" src=\"";
      AppendAttrValue(img, link->strLink);
      img += "\">";
      items.push_back({link->nStartOffset, 0, std::move(img)});
      continue;
    }
    tSegmentInsert start{link->nStartOffset, 0, std::string()};
    EncodeHyperlinkStart(start.markup, *link, walker, note);
    items.push_back(std::move(start));
    items.push_back({link->nStartOffset + link->nTextLength, 0, "</A>"});
  }
  MergeOrDefer(segs, items);
}

void FormatIO_HTML::SegmentListAddFormatting(NoteNode& note, tSegmentList& segs, bool exp) {
  const FmtInfoList& fmt = note.m_objText.m_lstFmt;
  if (fmt.IsEmpty()) return;
  std::vector<tSegmentInsert> items;
  items.reserve(fmt.GetSize());
  for (int i = 0; i < fmt.GetSize(); ++i) {
    const FmtInfo& tag = fmt[i];
    tSegmentInsert item{tag.nOffset, 0, std::string()};
    EncodeFormattingTag(tag, item.markup, exp);
    if (item.markup.empty() || tag.nOffset < 0) continue;  // writes nothing
    items.push_back(std::move(item));
  }
  MergeOrDefer(segs, items);
}

void FormatIO_HTML::SegmentListAddAnchors(NoteNode& note, tSegmentList& segs, bool /*unused*/) {
  AddAnchorSegments(note, segs, nullptr);
}

void FormatIO_HTML::AddAnchorSegments(NoteNode& note, tSegmentList& segs, std::unordered_set<std::string>* seen) {
  const std::vector<AnchorInfo>& src = note.m_objText.m_lstAnchors.Items();
  if (src.empty()) return;
  std::vector<const AnchorInfo*> anchors;
  anchors.reserve(src.size());
  for (const AnchorInfo& a : src) anchors.push_back(&a);
  std::stable_sort(anchors.begin(), anchors.end(),
                   [](const AnchorInfo* a, const AnchorInfo* b) { return a->nOffset < b->nOffset; });
  std::vector<tSegmentInsert> items;
  items.reserve(anchors.size());
  for (const AnchorInfo* a : anchors) {
    if (a->nOffset < 0 || (seen && !seen->insert(a->strName).second)) continue;
    std::string markup = "<A name=\"";
    AppendAttrValue(markup, a->strName);
    markup += "\"></A>";
    items.push_back({a->nOffset, 0, std::move(markup)});
  }
  MergeOrDefer(segs, items);
}

void FormatIO_HTML::SegmentListToString(tSegmentList& segs, bool exp, std::string& out) {
  const size_t n = segs.size();
  // Bullet clean-up: the reader puts one bullet character back at every
  // line start, so exactly one leading bullet of the line's first text goes.
  const size_t bulletLen = strlen(g_szBullet);
  for (size_t i = 0; i < n; ++i) {
    if (!IsBulletLineStart(segs[i])) continue;
    size_t j = i + 1;
    while (j < n && IsTransparent(segs[j])) ++j;
    if (j < n && segs[j].bText && segs[j].text.compare(0, bulletLen, g_szBullet) == 0) {
      segs[j].text.erase(0, bulletLen);
      if (segs[j].nLen > 0) --segs[j].nLen;
    }
  }

  out.clear();
  size_t total = 0;
  for (const tSegment& s : segs) total += s.text.size();
  out.reserve(total + total / 8);
  bool prevTextBreak = false;  // the previous segment was text ending in "<BR>\n"
  quillery::BulletBreakSeam seam;
  for (size_t i = 0; i < n; ++i) {
    tSegment& s = segs[i];
    if (!s.bText) {
      seam.Markup(IsBulletLineEnd(s), IsTransparent(s));
      out += s.text;
      prevTextBreak = false;
      continue;
    }
    if (s.text.empty()) continue;
    // "</LI>" is a bullet line's own line break: its text keeps only the inner ones.
    size_t j = i + 1;
    while (j < n && IsTransparent(segs[j])) ++j;
    const bool lineEnd = j < n && IsBulletLineEnd(segs[j]);
    const size_t skip = seam.Text(s.text.data(), s.text.size(), lineEnd);
    if (!exp) {
      quillery::AppendNoteText(out, s.text.data() + skip, s.text.size() - skip, lineEnd);
      continue;
    }
    std::string conv;
    quillery::AppendNoteText(conv, s.text.data() + skip, s.text.size() - skip, lineEnd);
    const bool afterParagraph = i > 0 && !segs[i - 1].bText && segs[i - 1].text == "</p>";
    const bool lineStart = i == 0 || prevTextBreak;
    AppendExportText(out, conv, afterParagraph, lineStart);
    prevTextBreak = StringEndsWith(conv, "<BR>\n", 5) || conv == "<BR>\n";
  }
}

void FormatIO_HTML::AppendExportText(std::string& out, const std::string& conv, bool afterParagraph,
                                     bool lineStart) const {
  // A paragraph end already breaks the line.
  size_t k = afterParagraph && conv.compare(0, 4, "<BR>") == 0 ? 4 : 0;
  const bool replaceTabs = !m_bContentsOnly && !g_strTabReplacement.empty();
  for (; k < conv.size(); ++k) {
    char c = conv[k];
    if (lineStart && c == ' ') {  // blanks at a line start are kept visible
      out += "&nbsp;";
      continue;
    }
    if (c != '\t') lineStart = false;
    if (c == '\t' && replaceTabs) {
      out += g_strTabReplacement;
    } else {
      out += c;
    }
    if (c == '\n' && k >= 4 && conv.compare(k - 4, 5, "<BR>\n") == 0) lineStart = true;
  }
}

void FormatIO_HTML::EncodePicture(std::string noteID, PixInfo& pix, std::string& out, bool exp) {
  // The note ID names exported picture files; a slash cannot stand in them.
  noteID.erase(std::remove(noteID.begin(), noteID.end(), '/'), noteID.end());
  const char* data = pix.strEncoded.data();
  size_t len = pix.strEncoded.size();
  bool png = pix.bPNG;
  char* buf = nullptr;
  gsize bufLen = 0;
  if (len == 0) {
    if (pix.SaveToBuffer(&buf, &bufLen) && buf && bufLen > 0) {
      data = buf;
      len = bufLen;
    } else {
      xLog(LOG_ERROR, "Picture [%s] at offset %d of note %s cannot be encoded, writing a placeholder\n",
           pix.strName.c_str(), pix.nOffset, noteID.c_str());
      data = reinterpret_cast<const char*>(kPlaceholderPng);
      len = sizeof(kPlaceholderPng);
      png = true;
    }
  }
  if (exp && m_bExport && (m_bPicturesToFiles || g_bExportFrames)) {
    EncodePictureFile(noteID, pix, data, len, png, out);
    g_free(buf);
    return;
  }
  out = "<img title=\"";
  AppendAttrValue(out, pix.strName);
  out += png ? "\" src=\"data:image/png;base64," : "\" src=\"data:image/jpeg;base64,";
  AppendBase64(out, data, len);
  out += "\">";
  g_free(buf);
}

void FormatIO_HTML::EncodeFormattingTag(const FmtInfo& tag, std::string& out, bool exp) {
  char buf[64];
  switch (tag.nFormatTag) {
    case FMT_BOLD_BEGIN: out += "<b>"; break;
    case FMT_BOLD_END: out += "</b>"; break;
    case FMT_ITALIC_BEGIN: out += "<i>"; break;
    case FMT_ITALIC_END: out += "</i>"; break;
    case FMT_UNDERLINE_BEGIN: out += "<u>"; break;
    case FMT_UNDERLINE_END: out += "</u>"; break;
    case FMT_COLOR_BEGIN: AppendColor(out, "<span style=\"color:", tag.color); break;
    case FMT_STRIKE_BEGIN: out += "<s>"; break;
    case FMT_STRIKE_END: out += "</s>"; break;
    case FMT_BULLET_LIST_BEGIN: out += "<UL>\n"; break;
    case FMT_BULLET_LIST_END: out += "</UL>\n"; break;
    case FMT_BULLET_LINE_BEGIN: out += "<LI>"; break;
    case FMT_BULLET_LINE_END: out += "</LI>\n"; break;
    case FMT_BKG_COLOR_BEGIN: AppendColor(out, "<span style=\"background-color:", tag.color); break;
    case FMT_FONT_BEGIN: {
      out += "<span style=\"";
      if (!exp) {
        std::string desc = tag.strFont;
        trimstring(desc);
        out += "font: ";
        AppendAttrValue(out, desc);
      } else {
        std::string family = GetFontFamily(tag.strFont);
        bool quote = family.find(' ') != std::string::npos;
        out += "font-family:";
        if (quote) out += "'";
        AppendAttrValue(out, family);
        if (quote) out += "'";
        std::string ems = GetFontSizeToEms(tag.strFont);
        bool bold = tag.strFont.find("Bold") != std::string::npos;
        bool italic = tag.strFont.find("Italic") != std::string::npos;
        if (!ems.empty() && ems != "0.00") {
          out += "; font-size:" + ems + "em;";
        } else if (bold || italic) {
          out += ";";
        }
        if (bold) out += " font-weight:bold;";
        if (italic) out += " font-style:italic;";
      }
      out += "\">";
      break;
    }
    case FMT_COLOR_END:
    case FMT_BKG_COLOR_END:
    case FMT_FONT_END:
    case FMT_LINE_SPACING_END: out += "</span>"; break;
    case FMT_ALIGN_LEFT_BEGIN: out += "<p>"; break;
    case FMT_ALIGN_RIGHT_BEGIN: out += "<p align=\"right\">"; break;
    case FMT_ALIGN_CENTER_BEGIN: out += "<p align=\"center\">"; break;
    case FMT_ALIGN_JUSTIFY_BEGIN: out += "<p align=\"justify\">"; break;
    case FMT_ALIGN_LEFT_END:
    case FMT_ALIGN_RIGHT_END:
    case FMT_ALIGN_CENTER_END:
    case FMT_ALIGN_JUSTIFY_END: out += "</p>"; break;
    case FMT_SUPERSCRIPT_BEGIN: out += "<sup>"; break;
    case FMT_SUPERSCRIPT_END: out += "</sup>"; break;
    case FMT_SUBSCRIPT_BEGIN: out += "<sub>"; break;
    case FMT_SUBSCRIPT_END: out += "</sub>"; break;
    case FMT_LINE_SPACING_BEGIN:
      snprintf(buf, sizeof(buf), "<span style=\"line-height: %d%%\">", tag.nValue);
      out += buf;
      break;
    default: break;  // 0, text indent and unknown values have no markup
  }
}

void FormatIO_HTML::EncodeHyperlinkStart(std::string& out, const LinkInfo& link, const RecursiveTreeWalker& walker,
                                         const NoteNode& note) const {
  NoteDocument& doc = *GetDoc();
  const bool frames = m_bExport && g_bExportFrames;
  if (m_bExport && quillery::IsScriptUrl(link.strLink)) {
    // A page exported from someone else's notes must not run their script
    // when a link is clicked: the text stays, the reference goes.
    out += "<A>";
    return;
  }
  if (m_bExport && m_bLinkWarning && !IsLinkValidOnExport(link, doc, walker)) {
    out += "<A href=\"javascript:;\" onclick=\"LinkWarning()\">";
    return;
  }
  std::string ref;
  bool external = false;
  if (!link.strLink.empty()) {
    const std::string& url = link.strLink;
    if (m_bExport && doc.bExportDocLinksAsHtml && is_main_format(url)) {
      std::string target = url.substr(0, url.size() - GetFileExt(url).size()) + ".html";
      if (!doc.strExportPath.empty()) target = GetParentDir(doc.strExportPath, '/') + GetBaseName(target);
      replaceall(target, '\\', '/');
      if (g_ascii_strncasecmp(target.c_str(), "file://", 7) != 0) target = "file://" + target;
      ref = target;
      external = true;
    } else if (url.size() > 6 && url.compare(0, 7, "file://") == 0 && !IsAbsoluteLocalPathURL(url)) {
      ref = RebaseFileLink(url);
    } else {
      ref = url;
    }
  }
  if (!link.strTargetID.empty()) {
    // A note of another document is reached through that document's URL;
    // only a note of this document can have an exported page.
    ref += m_bExport && link.strLink.empty() ? ExportNoteRef(link.strTargetID, note) : "#" + link.strTargetID;
  } else if (frames) {
    external = true;
  }
  out += "<A href=\"";
  AppendAttrValue(out, ref);
  out += "\"";
  if (external) out += " target=\"_blank\"";
  out += ">";
}

std::string FormatIO_HTML::RebaseFileLink(const std::string& url) const {
  // A relative file link is relative to the folder of the document's own
  // file; written elsewhere, it must be made relative to the new folder.
  // Without a known source or destination it is left as it stands.
  // An export without an export path of its own is read from the folder of
  // the page it writes.
  NoteDocument& doc = *GetDoc();
  std::string dest = !m_bExport ? m_strPath
                     : doc.strExportPath.empty() ? quillery::ExportTargetPath(m_strPath) : doc.strExportPath;
  if (doc.GetPath().empty() || dest.empty()) return url;
  // Folders are compared component by component: both as the file system
  // names them (a backslash in a folder's name is no separator).
  dest = MakeAbsolutePath(dest);
  std::string base = GetParentDir(MakeAbsolutePath(doc.GetPath()), '/');
  xLog(LOG_INFO, "Convert URL (%s) from base path (%s) to dest path (%s)\n", url.c_str(), base.c_str(),
       GetParentDir(dest, '/').c_str());
  std::string path = url.substr(7);
  ConvertToAbsolutePath(path, base);
  xLog(LOG_INFO, "URL converted to absolute: (%s)\n", path.c_str());
  ConvertToRelativePath(path, dest);
  xLog(LOG_INFO, "URL converted relative to new path: (%s)\n", path.c_str());
  if (!m_bExport) return "file://" + path;
  return g_bExportFrames ? "../../" + path : path;
}

void FormatIO_HTML::WriteNodeAttachments(NoteNode& note, IOProcess& io, bool exp, std::string* out) {
  if (note.m_lstAttachments.empty()) return;
  std::string s;
  if (exp) s += "<span class=\"qy_attachments\">\n";
  char buf[64];
  for (AttInfo& att : note.m_lstAttachments) {
    ++m_nExportedAttachments;
    xLog(LOG_INFO, "HTML::Save Write %d bytes sized attachment\n", att.nDataSize);
    s += "<A ";
    if (!att.strHash.empty()) {
      s += "hash=\"";
      AppendAttrValue(s, att.strHash);
      s += "\" ";
    }
    if (!att.strCode.empty()) {
      s += "code=\"";
      AppendAttrValue(s, att.strCode);
      s += "\" ";
    }
    if (!att.strTarget.empty()) {
      s += "target=\"";
      AppendAttrValue(s, att.strTarget);
      s += "\" ";
    }
    std::string name = att.strName;
    HTMLParser::EscapeChars(name);
    s += "title=\"" + name + "\" href=\"";
    if (exp && m_bExport && (m_bAttachmentsToFiles || g_bExportFrames)) {
      AppendAttrValue(s, WriteAttachmentFile(att));
    } else {
      s += "data:application/octet-stream;base64,";
      xLog(LOG_INFO, "Html: write attachment as base64 data (%d bytes)\n", att.nDataSize);
      if (static_cast<size_t>(att.nDataSize) != att.strData.size())
        xLog(LOG_ERROR, "Html: attachment data size does not match (real=%d bytes)\n",
             static_cast<int>(att.strData.size()));
      AppendBase64(s, att.strData.data(), att.strData.size());
    }
    s += "\">";
    if (exp) {
      GuiControllerBase* gui = GetDoc()->GetGuiController();
      snprintf(buf, sizeof(buf), " #%02d", m_nExportedAttachments);
      s += std::string(gui ? gui->GetDefaultAttachmentPrefix() : "Attachment") + buf + " (" + name + ")";
    }
    s += "</A>\n";
    if (exp) s += "<BR>\n";
  }
  if (exp) s += "<BR>\n</span>\n";
  if (out) {
    *out += s;
  } else if (!WriteString(io, s.data(), static_cast<int>(s.size()))) {
    m_nSaveError = DOC_SAVE_WRITE_ERROR;
  }
}
