// Links, anchors, attachments and pictures of the native HTML reader: the A
// element in note text and in a note's title part, and the IMG element
// (pictures in the text, custom icons in the title).

#include <glib.h>

#include <cstring>
#include <utility>

#include "base/Base64.h"
#include "base/FileUtil.h"
#include "base/Log.h"
#include "base/StringUtf8.h"
#include "base/StringUtil.h"
#include "formats/native/FormatIOHtml.h"
#include "html/HtmlTextUtils.h"
#include "model/NoteDocument.h"
#include "model/NoteNode.h"
#include "model/FormatIO_DynamicBase.h"

namespace {

const char kBase64Marker[] = "base64,";
// The blanks HTML allows around a URL in an attribute.
const char kHtmlSpace[] = " \t\n\f\r";

bool EqualsNoCase(const std::string& s, size_t from, size_t to, const char* word) {
  const size_t a = s.find_first_not_of(kHtmlSpace, from);
  if (a == std::string::npos || a >= to) return !*word;
  size_t b = s.find_last_not_of(kHtmlSpace, to - 1) + 1;
  return b - a == strlen(word) && g_ascii_strncasecmp(s.data() + a, word, b - a) == 0;
}

// A picture this format holds: a "data:" URL of a PNG or a JPEG in base64
// ("data:image/png;base64,..."), scheme, media type and "base64" in any case,
// around blanks. Sets where the payload begins and which kind it is.
bool IsEmbeddedPicture(const std::string& src, size_t& payload, bool& png) {
  const size_t at = src.find_first_not_of(kHtmlSpace);
  if (at == std::string::npos || src.size() - at < 5 || g_ascii_strncasecmp(src.data() + at, "data:", 5) != 0)
    return false;
  const size_t comma = src.find(',', at + 5);
  if (comma == std::string::npos) return false;
  const size_t type = src.find(';', at + 5);
  const size_t last = src.rfind(';', comma);
  if (type == std::string::npos || type > comma || !EqualsNoCase(src, last + 1, comma, "base64")) return false;
  png = EqualsNoCase(src, at + 5, type, "image/png");
  if (!png && !EqualsNoCase(src, at + 5, type, "image/jpeg")) return false;
  payload = comma + 1;
  return true;
}

// A "data:" URL that carries base64 bytes: an attachment, even when empty.
bool IsDataUrl(const std::string& url) {
  return url.size() > 4 && url.compare(0, 5, "data:") == 0 && url.find(kBase64Marker) != std::string::npos;
}

}  // namespace

// ---------------------------------------------------------------------------
// Link state

void FormatIO_HTML::ResetLinkState() {
  m_bInLink = false;
  m_strLinkUrl.clear();
  m_strAttData.clear();
  m_strAttTitle.clear();
  m_strAttHash.clear();
  m_strAttCode.clear();
  m_strAttTarget.clear();
  m_nLinkStart = -1;
}

void FormatIO_HTML::SaveLinkState(tLinkState& s) const {
  s.bInLink = m_bInLink;
  s.strUrl = m_strLinkUrl;
  s.strData = m_strAttData;
  s.strTitle = m_strAttTitle;
  s.strHash = m_strAttHash;
  s.strCode = m_strAttCode;
  s.strTarget = m_strAttTarget;
  s.nStart = m_nLinkStart;
}

void FormatIO_HTML::RestoreLinkState(const tLinkState& s) {
  m_bInLink = s.bInLink;
  m_strLinkUrl = s.strUrl;
  m_strAttData = s.strData;
  m_strAttTitle = s.strTitle;
  m_strAttHash = s.strHash;
  m_strAttCode = s.strCode;
  m_strAttTarget = s.strTarget;
  m_nLinkStart = s.nStart;
}

// ---------------------------------------------------------------------------
// A

namespace {

bool FindHref(const std::string& params, std::string& url, bool& closed) {
  return HTMLParser::ExtractParam(params, "href", url, closed) || HTMLParser::ExtractParam(params, "HREF", url, closed);
}

}  // namespace

bool FormatIO_HTML::ExtractLink(const std::string& p, bool asAttachment) {
  std::string url;
  bool closed = false;
  const bool hasHref = FindHref(p, url, closed);
  return ExtractLink(p, asAttachment, hasHref, url, closed);
}

bool FormatIO_HTML::ExtractLink(const std::string& p, bool asAttachment, bool hasHref, std::string& url,
                                bool closed) {
  if (hasHref) {
    // A stray quote is dropped only from a value whose quoting was broken: in a
    // properly quoted value a final quote (written as &quot;, or the other kind
    // of quote) is part of the URL and must survive a save and a load.
    if (!closed && !url.empty() && (url.back() == '"' || url.back() == '\'')) url.pop_back();
    const char js[] = "javascript:open_window('";
    const size_t at = url.find(js);
    if (at != std::string::npos) {
      url.erase(0, at + sizeof(js) - 1);
      if (url.size() > 1) url.erase(url.size() - 2);
    }
    // Escapes are decoded only where the URL names a local file: the writer
    // stores every other URL as it stands, so decoding it would change it.
    if (!url.empty() && url[0] != '#' && url.find(':') == std::string::npos) {
      HTMLParser::UnescapeURI(url);
      if (IsAbsolutePath(url)) {
        url = "file://" + url;
      } else {
        // The link's own backslashes are separators; the folder of the file
        // being read is named as the file system has it.
        replaceall(url, '\\', '/');
        const size_t slash = m_strPath.rfind('/');
        url = "file:///" + (slash == std::string::npos ? std::string() : m_strPath.substr(0, slash + 1)) + url;
      }
    } else if (StringUtf8(url).StartsWith("file:", false)) {
      HTMLParser::UnescapeURI(url);
    }
    m_strLinkUrl.swap(url);
    m_bInLink = true;
    // The note's own link (title part) has no place in the text.
    m_nLinkStart = asAttachment ? -1 : m_nInsertPos;
    return true;
  }
  if (asAttachment) return false;
  m_strLinkUrl = p;
  std::string name;
  if (HTMLParser::ExtractParam(p, "name", name)) {
    m_nLinkStart = m_nInsertPos;
    return true;
  }
  return false;
}

void FormatIO_HTML::OnLinkBegin(const std::string& params) {
  if (!CurrentNote()) return;
  std::string href;
  bool closed = false;
  const bool hasHref = FindHref(params, href, closed);
  // An anchor inside (or at the start of) an open link interrupts it only
  // for itself: the link goes on after the anchor's end.
  if (!hasHref && m_bInLink) {
    SaveLinkState(m_savedLink);
    m_bLinkSaved = true;
  } else {
    m_bLinkSaved = false;
  }
  ResetLinkState();
  m_nSection = 2;
  if (!ExtractLink(params, false, hasHref, href, closed)) m_strLinkUrl.clear();
}

void FormatIO_HTML::OnLinkEnd() {
  NoteNode* note = CurrentNote();
  if (!note) return;
  if (!m_bInLink) {
    std::string name;
    if (!m_strLinkUrl.empty() && HTMLParser::ExtractParam(m_strLinkUrl, "name", name) &&
        m_nLinkStart == m_nInsertPos && m_nSection != 1) {
      if (!name.empty()) {
        note->m_objText.m_lstAnchors.Append(AnchorInfo(name, m_nLinkStart));
        // A clone's text, when saved with it, is a copy of its original's:
        // its anchors name the original's places and never take a name
        // over from the note that holds it (the original, read before or
        // after the clone, keeps it).
        if (note->IsClone()) m_pDoc->m_mapAnchors.emplace(name, note->m_strID);
        else m_pDoc->m_mapAnchors[name] = note->m_strID;
      }
      ResetLinkState();
    }
    if (m_bLinkSaved) {
      RestoreLinkState(m_savedLink);
      m_bLinkSaved = false;
    }
    return;
  }

  if (IsDataUrl(m_strLinkUrl)) {
    AddAttachment();
  } else {
    std::string url = m_strLinkUrl, target;
    const size_t hash = url.find('#');
    if (hash != std::string::npos) {
      target = url.substr(hash + 1);
      std::string prefix = url.substr(0, hash);
      bool external = false;
      if (!prefix.empty()) {
        const StringUtf8 p(prefix);
        const size_t scheme = p.StartsWith("file://", false) ? 7 : p.StartsWith("lua://", false) ? 6 : 0;
        if (!scheme) {
          external = true;
        } else {
          const std::string rest = prefix.substr(scheme);
          external = !rest.empty() && !is_main_format(rest);
        }
      }
      if (external) {
        target.clear();
        prefix = url;
      }
      url.swap(prefix);
    }
    if (!url.empty() || !target.empty()) AddLink(*note, url, target);
  }
  ResetLinkState();
  m_bLinkSaved = false;
}

void FormatIO_HTML::AddLink(NoteNode& note, std::string url, const std::string& target) {
  const StringUtf8 u(url);
  if (u.StartsWith("file://http://", false) || u.StartsWith("file://ftp://", false)) url.erase(0, 7);
  LinkInfo link;
  link.strLink = url;
  link.strTargetID = target;
  link.RecalcRelative();
  if (m_nSection == 1) {
    link.nStartOffset = -1;
    link.nTextLength = 0;
    note.m_objLink = link;
    return;
  }
  if (m_nLinkStart < 0) return;
  link.nStartOffset = m_nLinkStart;
  link.nTextLength = m_nInsertPos - m_nLinkStart;
  note.m_objText.m_lstLinks.Items().push_back(std::move(link));
}

void FormatIO_HTML::AddAttachment() {
  NoteNode* note = CurrentNote();
  const size_t at = m_strLinkUrl.find(kBase64Marker) + strlen(kBase64Marker);
  AttInfo att;
  att.strName = m_strAttTitle;
  b64decode(m_strLinkUrl.data() + at, static_cast<int>(m_strLinkUrl.size() - at), att.strData);
  att.nDataSize = static_cast<int>(att.strData.size());
  att.strHash = m_strAttHash;
  att.strCode = m_strAttCode;
  att.strTarget = m_strAttTarget;
  note->m_lstAttachments.push_back(std::move(att));
  note->m_bHasAttachments = true;
}

// ---------------------------------------------------------------------------
// IMG

void FormatIO_HTML::ExtractImageData(const std::string& p) {
  NoteNode* note = CurrentNote();
  if (!note) return;
  // The picture's name and bytes come from its own attributes, however an
  // editor spelt them; another attribute that quotes a data URL is only text.
  std::string name;
  HTMLParser::ReadAttribute(p, "title", name);
  trimstring(name);
  std::string src;
  HTMLParser::ReadAttribute(p, "src", src);
  size_t payload = 0;
  bool png = true;
  if (IsEmbeddedPicture(src, payload, png)) {
    std::string bytes;
    b64decode(src.data() + payload, static_cast<int>(src.size() - payload), bytes);
    if (m_nSection == 1) {
      SetCustomIcon(*note, name, bytes, png, static_cast<int>(src.size() - payload));
    } else if (m_pDoc->AddNotePicture(*note, m_nInsertPos, name, bytes, png, -1, -1)) {
      ++m_nTextPos;
      ++m_nInsertPos;
    }
    return;
  }
  src.erase(src.find_last_not_of(kHtmlSpace) + 1);  // (npos + 1: all of it)
  src.erase(0, src.find_first_not_of(kHtmlSpace));
  const std::string shown = src.size() > 30 ? src.substr(0, 30) + "..." : src;
  // A document holds only the pictures it embeds: whatever else it names is
  // left out, and the load says so (m_nPicturesLeftOut).
  if (m_nPicturesLeftOut++ == 0) m_strFirstLeftOut = shown;
  if (src.compare(0, 4, "http") == 0) {
    tExtImage img;
    img.strTitle = name;
    img.strSrc = src;
    img.nNoteIdx = m_nNodeIdx;
    img.nOffset = m_nInsertPos;
    m_arExtImages.push_back(img);
    return;
  }
  xLog(LOG_WARNING, "Skipped embedding image: %s\n", shown.c_str());
}

void FormatIO_HTML::SetCustomIcon(NoteNode& note, const std::string& name, const std::string& bytes, bool png,
                                  int encodedLen) {
  GdkPixbuf* pix = PixInfo::LoadFromBuffer(bytes.data(), bytes.size(), -1);
  if (!pix) {
    xLog(LOG_ERROR, "Failed to decode the image data (len=%d, title='%s'), document offset: %d!\n", encodedLen,
         name.c_str(), GetCurrentCumulativeOffset());
    return;
  }
  NoteDocument& doc = *m_pDoc;
  PixInfo icon;
  icon.SetPixbufOwned(pix);
  icon.strEncoded = bytes;  // kept, so that saving never re-encodes the icon
  icon.nOffset = doc.m_nCustomIconCounter;
  icon.strName = name;
  icon.bPNG = png;
  doc.m_lstCustomIcons.Push(icon);
  doc.m_mapNoteIcon[note.m_strID] = icon.nOffset;
  ++doc.m_nCustomIconCounter;
  note.m_nIconType = ICON_CUSTOM;
  note.m_strIconPath = std::to_string(icon.nOffset);
  if (FormatIO_DynamicBase* dyn = doc.GetDynamicLoader())
    dyn->OnNodeCustomIconSet(note, doc.m_lstCustomIcons.GetAt(doc.m_lstCustomIcons.GetSize() - 1));
}
