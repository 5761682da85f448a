#include "formats/native/HtmlExportNames.h"

#include <glib.h>

#include "base/FileUtil.h"
#include "base/StringUtil.h"
#include "html/HtmlParser.h"
#include "html/HtmlTextUtils.h"

namespace quillery {

namespace {

const size_t kMaxFileName = 200;  // bytes; leaves room below NAME_MAX

bool EndsWith(const std::string& s, const char* suffix, size_t n) {
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

std::string Lower(const std::string& s) {
  std::string out = s;
  for (char& c : out) c = g_ascii_tolower(c);
  return out;
}

// Cuts s to at most max bytes without splitting a UTF-8 character.
void CutUtf8(std::string& s, size_t max) {
  if (s.size() <= max) return;
  size_t cut = max;
  while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
  s.resize(cut);
}

}  // namespace

std::string ExportTargetPath(const std::string& path) {
  std::string p = path;
  if (EndsWith(p, ".part", 5)) p.resize(p.size() - 5);
  return p;
}

std::string ExportSubName(const std::string& path) {
  std::string name = GetBaseName(ExportTargetPath(path));
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.resize(dot);
  return name + "_files";
}

std::string ExportSubDir(const std::string& path) {
  const std::string target = ExportTargetPath(path);
  const size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  return dir + ExportSubName(path) + "/";
}

std::string SafeExportFileName(const std::string& name) {
  std::string out;
  out.reserve(name.size());
  for (char c : name) {
    const unsigned char u = static_cast<unsigned char>(c);
    out += (c == '/' || c == '\\' || u < 0x20 || u == 0x7F) ? '_' : c;
  }
  if (out.find_first_not_of('.') == std::string::npos) return std::string();  // "", ".", ".."
  if (out.size() > kMaxFileName) {
    std::string ext = GetFileExt(out);
    if (ext.size() > 16) ext.clear();
    std::string stem = out.substr(0, out.size() - ext.size());
    CutUtf8(stem, kMaxFileName - ext.size());
    out = stem + ext;
  }
  return out;
}

std::string ExportPageName(const std::string& noteID) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string page;
  page.reserve(noteID.size() + 8);
  for (char c : noteID) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '-' || c == '/' || c == '\\' || u < 0x20 || u == 0x7F) {
      page += '-';
      page += kHex[u >> 4];
      page += kHex[u & 15];
    } else {
      page += c;
    }
  }
  CutUtf8(page, kMaxFileName);
  return page + ".html";
}

bool IsScriptUrl(const std::string& url) {
  // Read the scheme as a browser does: leading blanks and control characters
  // are skipped, tabs and line breaks inside it are ignored.
  size_t i = 0;
  while (i < url.size() && static_cast<unsigned char>(url[i]) <= 0x20) ++i;
  std::string scheme;
  for (; i < url.size() && url[i] != ':' && scheme.size() < 16; ++i) {
    const char c = url[i];
    if (c == '\t' || c == '\n' || c == '\r') continue;
    scheme += g_ascii_tolower(c);
  }
  if (i >= url.size() || url[i] != ':') return false;
  if (scheme == "javascript" || scheme == "vbscript") return true;
  if (scheme != "data") return false;
  std::string type;
  for (++i; i < url.size() && type.size() < 6; ++i) {
    const char c = url[i];
    if (static_cast<unsigned char>(c) > 0x20) type += g_ascii_tolower(c);
  }
  return type != "image/";
}

std::string UriEscapePathSegment(const std::string& segment) {
  char* esc = g_uri_escape_string(segment.c_str(), nullptr, TRUE);
  std::string out = esc ? esc : segment;
  g_free(esc);
  return out;
}

std::string ExportTagClasses(const std::string& tags) {
  // Each tag trimmed on its own, so "a; b" gives "a b", not "a _b".
  std::string classes;
  size_t start = 0;
  while (start <= tags.size()) {
    size_t end = tags.find(';', start);
    if (end == std::string::npos) end = tags.size();
    std::string tag = tags.substr(start, end - start);
    trimstring(tag);
    replaceall(tag, ' ', '_');
    if (!tag.empty()) {
      if (!classes.empty()) classes += ' ';
      classes += tag;
    }
    start = end + 1;
  }
  HTMLParser::EscapeChars(classes);
  return classes;
}

std::string JsStringEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\'') {
      out += "\\'";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\xE2' && i + 2 < text.size() && text[i + 1] == '\x80' &&
               (text[i + 2] == '\xA8' || text[i + 2] == '\xA9')) {
      out += text[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

void ExportFileNamer::Reset() {
  m_taken.clear();
  m_next.clear();
  m_pages.clear();
  m_pageKeys.clear();
}

const std::string& ExportFileNamer::PageName(const std::string& noteID) const {
  auto known = m_pages.find(noteID);
  if (known != m_pages.end()) return known->second;
  const std::string plain = ExportPageName(noteID);
  std::string page = plain;
  const std::string stem = plain.substr(0, plain.size() - 5);  // without ".html"
  for (int n = 2; !m_pageKeys.insert(Lower(page)).second; ++n)
    page = stem + "~" + std::to_string(n) + ".html";
  return m_pages.emplace(noteID, page).first->second;
}

int ExportFileNamer::NextAttempt(const std::string& stem, int first) {
  auto it = m_next.find(stem);
  if (it == m_next.end()) it = m_next.emplace(stem, first).first;
  return it->second++;
}

}  // namespace quillery
