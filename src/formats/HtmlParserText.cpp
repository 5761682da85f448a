// The text routines of HTMLParser: escaping, unescaping, white space and attribute
// extraction. Each one makes a single pass into an output string (the in-place
// replacements they stand for would be quadratic on long lines) and returns early,
// without copying, when there is nothing to change.

#include <glib.h>

#include <cstring>

#include "base/Log.h"
#include "formats/HtmlEntities.h"
#include "formats/HtmlParser.h"
#include "formats/HtmlTextUtils.h"

namespace {

// An entity name is 1 to 32 characters of [A-Za-z0-9#]; anything else after an "&"
// is a literal "&" (stray ampersands in foreign text are common and must not be
// looked up or logged).
constexpr size_t kMaxEntityName = 32;

bool IsEntityNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '#';
}

bool IsValidCodePoint(uint32_t v) {
  return v >= 1 && v <= 0x10FFFF && !(v >= 0xD800 && v <= 0xDFFF);
}

void AppendUtf8(std::string& out, uint32_t code) {
  char buf[8];
  int n = g_unichar_to_utf8(code, buf);
  out.append(buf, size_t(n));
}

// Decodes "#13", "#xHH..." (lower-case x) and "#DDD...": every character after the
// prefix must be a digit and the value a Unicode scalar value. False leaves the
// reference as written.
bool DecodeNumeric(const char* name, size_t len, std::string& out) {
  if (len == 3 && memcmp(name, "#13", 3) == 0) {
    out += '\n';
    return true;
  }
  bool hex = len >= 2 && name[1] == 'x';
  size_t i = hex ? 2 : 1;
  if (i >= len) return false;
  uint32_t value = 0;
  for (; i < len; ++i) {
    int d = hex ? hexVal(name[i]) : (name[i] >= '0' && name[i] <= '9' ? name[i] - '0' : -1);
    if (d < 0) return false;
    value = value * (hex ? 16 : 10) + uint32_t(d);
    if (value > 0x10FFFF) return false;
  }
  if (!IsValidCodePoint(value)) return false;
  AppendUtf8(out, value);
  return true;
}

bool IsParamSeparator(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == ';';
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

}  // namespace

void HTMLParser::EscapeChars(std::string& text) {
  size_t first = text.find_first_of("\"&<>");
  if (first == std::string::npos) return;
  std::string out;
  out.reserve(text.size() + text.size() / 8 + 16);
  out.append(text, 0, first);
  for (size_t i = first; i < text.size(); ++i) {
    char c = text[i];
    switch (c) {
      case '"':
        out += "&quot;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      default:
        out += c;
        break;
    }
  }
  text.swap(out);
}

void HTMLParser::UnescapeChars(std::string& text) {
  const char* const data = text.data();
  const size_t n = text.size();
  const char* amp = static_cast<const char*>(memchr(data, '&', n));
  if (!amp) return;
  std::string out;
  out.reserve(n);
  size_t i = 0;
  while (amp) {
    size_t a = size_t(amp - data);
    out.append(data + i, a - i);
    size_t j = a + 1;
    while (j < n && j - a - 1 <= kMaxEntityName && IsEntityNameChar(data[j])) ++j;
    size_t nameLen = j - a - 1;
    i = a + 1;  // by default the "&" is literal and scanning resumes after it
    out += '&';
    if (j < n && data[j] == ';' && nameLen >= 1 && nameLen <= kMaxEntityName) {
      const char* name = data + a + 1;
      if (name[0] == '#') {
        out.pop_back();
        if (!DecodeNumeric(name, nameLen, out)) out.append(data + a, nameLen + 2);
        i = j + 1;
      } else if (uint32_t code = HtmlEntityLookup(name, nameLen)) {
        out.pop_back();
        AppendUtf8(out, code);
        i = j + 1;
      } else {
        xLog(4, "ERROR: Bad or unsupported HTML escape sequence: [%.*s]\n", int(nameLen), name);
      }
    }
    amp = i < n ? static_cast<const char*>(memchr(data + i, '&', n - i)) : nullptr;
  }
  out.append(data + i, n - i);
  text.swap(out);
}

void HTMLParser::EscapeURI(std::string& text) {
  gchar* escaped = g_uri_escape_string(text.c_str(), nullptr, FALSE);
  if (escaped) {
    text.assign(escaped);
    g_free(escaped);
  }
}

void HTMLParser::UnescapeURI(std::string& text) {
  if (text.find('%') == std::string::npos) return;
  gchar* plain = g_uri_unescape_string(text.c_str(), nullptr);
  if (plain) {
    text.assign(plain);
    g_free(plain);
  }
}

void HTMLParser::StripExtraWhiteSpace(std::string& text) {
  if (text.find("  ") == std::string::npos && text.find("\n ") == std::string::npos) return;
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    // A blank after a blank belongs to a folded run; one after a line feed goes.
    if (c == ' ' && !out.empty() && (out.back() == ' ' || out.back() == '\n')) continue;
    out += c;
  }
  text.swap(out);
}

// Walks the parameter text attribute by attribute, so that a name is matched only
// where an attribute name stands: text inside another attribute's quoted value
// (a title "x name='b'") is never taken for an attribute.
bool HTMLParser::ExtractParam(const std::string& params, const char* name, std::string& value) {
  bool closed = false;
  return ExtractParam(params, name, value, closed);
}

bool HTMLParser::ExtractParam(const std::string& params, const char* name, std::string& value, bool& closed) {
  value.clear();
  closed = false;
  if (!name || !*name) return false;
  const size_t nameLen = strlen(name);
  const char* p = params.data();
  const size_t n = params.size();
  size_t i = 0;
  while (i < n) {
    char c = p[i];
    if (IsParamSeparator(c)) {
      ++i;
      continue;
    }
    if (c == '"' || c == '\'') {  // a quoted run where no name can stand: skip it
      const char* q = static_cast<const char*>(memchr(p + i + 1, c, n - i - 1));
      i = q ? size_t(q - p) + 1 : n;
      continue;
    }
    size_t start = i;
    while (i < n && !IsParamSeparator(p[i]) && p[i] != '=' && p[i] != '"' && p[i] != '\'') ++i;
    const bool match = (i - start == nameLen) && memcmp(p + start, name, nameLen) == 0;
    size_t j = i;
    while (j < n && IsBlank(p[j])) ++j;
    if (j >= n || p[j] != '=') {
      if (i == start)  // a lone "=" where a name should be
        ++i;
      continue;
    }
    ++j;
    while (j < n && IsBlank(p[j])) ++j;
    if (j < n && (p[j] == '"' || p[j] == '\'')) {
      const char quote = p[j];
      const char* q = static_cast<const char*>(memchr(p + j + 1, quote, n - j - 1));
      size_t valueEnd = q ? size_t(q - p) : n;
      if (match) {
        closed = q != nullptr;
        value.assign(p + j + 1, valueEnd - j - 1);
        trimstring(value);
        UnescapeChars(value);
        return true;
      }
      i = q ? valueEnd + 1 : n;
    } else {
      // An unquoted value does not count; it runs to the next blank.
      while (j < n && !IsBlank(p[j])) ++j;
      i = j;
    }
  }
  return false;
}

bool HTMLParser::ExtractParamValue(const std::string& style, const char* name, std::string& value) {
  value.clear();
  if (!name || !*name) return false;
  std::string key = std::string(name) + ":";
  size_t pos = 0;
  while ((pos = style.find(key, pos)) != std::string::npos) {
    char before = pos > 0 ? style[pos - 1] : ' ';
    if (before == ' ' || before == ';' || before == '"' || before == '\'' || before == '\t' ||
        before == '\n') {
      size_t start = pos + key.size();
      size_t end = style.find(';', start);
      value = style.substr(start, end == std::string::npos ? std::string::npos : end - start);
      trimstring(value);
      return true;
    }
    pos += 1;
  }
  return false;
}
